#pragma once

#include <QHash>
#include <QPixmap>
#include <QStyledItemDelegate>
#include <optional>

#include "ui/LineFit.h"
#include "ui/RecordingListModel.h"
#include "ui/Symbol.h"

// One row of the history, painted: the status icon; the time, length, text
// (2 lines at most) and error (3 lines at most, whole in its tooltip); and a
// column with the retry button (or the note that the recording was made on
// another machine) above the regenerate, copy and delete buttons. The buttons
// are painted, so they take no focus and stay out of the accessibility tree:
// the list reaches every action by keyboard and context menu instead.
class RecordingRowView : public QStyledItemDelegate
{
    Q_OBJECT
public:
    using Action = RecordingListModel::Action;

    static constexpr int kPadding = 4;
    static constexpr int kInset = 12;
    static constexpr int kIconBox = 20;
    static constexpr int kIconSize = 16;
    static constexpr int kGap = 10;
    static constexpr int kLineGap = 4;
    static constexpr int kButton = 20;
    static constexpr int kButtonIcon = 13;
    static constexpr int kButtonGap = 8;
    static constexpr int kColumnWidth = 96;
    static constexpr int kTextLines = 2;
    static constexpr int kErrorLines = 3;
    static constexpr int kNoteLines = 2;

    explicit RecordingRowView(const RecordingListModel& model, QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // Where the row in `rect` paints the control of `action`; empty when it
    // shows none.
    QRect actionRect(const QRect& rect, int row, Action action) const;
    // Where it paints the note that the recording was made elsewhere.
    QRect noteRect(const QRect& rect, int row) const;

signals:
    // A painted button was clicked, and its action is allowed.
    void actionTriggered(const QString& recordingId, RecordingListModel::Action action);

protected:
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

private:
    // What sits where in a row; buttons only where the row offers them.
    struct Geometry
    {
        QRect icon;
        QRect time;
        QRect length;
        std::optional<QString> lengthText;
        QRect text;
        LineFit::Fitted textFit;
        QRect error;
        LineFit::Fitted errorFit;
        QRect note;
        LineFit::Fitted noteFit;
        QRect retry;
        QRect regenerate;
        QRect copy;
        QRect remove;
        int height = 0;
    };
    // The row's place for the retry button or the note: decided without the
    // store, so that sizing many rows asks it nothing.
    enum class Slot { none, button, note };

    Geometry geometry(const QRect& rect, const Recording& recording,
                      const std::optional<RecordingListModel::Actions>& actions) const;
    Slot slot(const Recording& recording) const;
    std::optional<Action> actionAt(const QRect& rect, int row, const QPoint& position) const;
    void paintButton(QPainter& painter, const QRect& rect, Symbol symbol, const QColor& colour,
                     bool enabled) const;
    QPixmap symbol(Symbol symbol, const QColor& colour, int pixels, qreal ratio) const;

    const RecordingListModel& m_model;
    QFont m_timeFont;
    QFont m_captionFont;
    QFont m_textFont;
    // The button pressed and not yet released: the recording and its action.
    std::optional<std::pair<QString, Action>> m_pressed;
    mutable QHash<QString, QPixmap> m_symbols;
    // A row's height by recording id, with what it was measured from: every
    // load lays all rows out again, mostly unchanged.
    struct Measured
    {
        int width = 0;
        RecordingStatus status = RecordingStatus::recording;
        size_t text = 0;    // hashes of the texts measured
        size_t error = 0;
        int height = 0;
    };
    mutable QHash<QString, Measured> m_heights;
};
