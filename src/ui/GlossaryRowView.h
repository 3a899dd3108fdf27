#pragma once

#include <QRect>
#include <QStyledItemDelegate>

class GlossaryListModel;

// Draws one glossary entry: its text, then an edit and a delete button.
// A row being edited shows an editor in its place: an edit field bound to
// the row's edit text and a save button. The buttons drawn here are for the
// mouse; the list offers the same actions by keyboard and context menu.
class GlossaryRowView : public QStyledItemDelegate
{
    Q_OBJECT
public:
    static constexpr int kRowHeight = 32;
    static constexpr int kVerticalPadding = 2;
    static constexpr int kHorizontalPadding = 8;
    static constexpr int kButtonSize = 22;
    static constexpr int kSymbolPixels = 11;

    GlossaryRowView(GlossaryListModel& model, QString saveTitle, QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;
    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override;
    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const override;

    // Where a row drawn in `rowRect` has its two buttons.
    static QRect editButtonRect(const QRect& rowRect);
    static QRect deleteButtonRect(const QRect& rowRect);

signals:
    void editRequested(const QString& id);
    void deleteRequested(const QString& id);
    // Save or Return in the edit field of entry `id`, with the field's text.
    void saveRequested(const QString& id, const QString& text);

protected:
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;

private:
    GlossaryListModel& m_model;
    QString m_saveTitle;
};
