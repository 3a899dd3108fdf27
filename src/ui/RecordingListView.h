#pragma once

#include <QPointer>
#include <QWidget>

#include "ui/RecordingListModel.h"

class QListView;
class QMenu;
class QMessageBox;
class QPushButton;
class RecordingRowView;
class SessionManager;

// The recordings tab: the current user's recordings, newest first, with the
// buttons to clear them all and to open the folder of their audio files; an
// empty state that names the shortcut when there are none. It keeps nothing
// but the list it loaded last, and loads it again when it appears, at every
// change of the dictation state or of the current user, after each of its own
// changes, and when a retry ends.
//
// A row's actions are its painted buttons, its context menu (also by the menu
// key or Shift+F10) and the keys Delete and Ctrl+C; all of them run through
// one place with the row's own rules. The dictation under way cannot be
// deleted, and nothing is cleared while one is.
class RecordingListView : public QWidget
{
    Q_OBJECT
public:
    // Rows laid out per pass of the event loop: the first pass paints.
    static constexpr int kBatchSize = 40;

    explicit RecordingListView(SessionManager& session, QWidget* parent = nullptr);

    // Runs `action` on the recording, when its row allows it now.
    void run(const QString& recordingId, RecordingListModel::Action action);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The row at the top of the list, to find it again after a load.
    struct ScrollAnchor
    {
        QString recordingId;
        int offset = 0;   // of its top from the list's top, 0 or less
        int value = 0;    // the scroll bar's
    };

    QWidget* buildEmptyState();
    void reload();
    std::optional<ScrollAnchor> scrollAnchor() const;
    void restoreScroll(const std::optional<ScrollAnchor>& anchor);
    void onPreferenceChanged(const QString& key);
    void onRetryingChanged(const QString& recordingId);

    // The context menu of the row at `position` (the list viewport's); of the
    // current row when there is none there.
    void showRowMenu(const QPoint& position);
    void confirmClearAll();
    void clearAll();
    void remove(const QString& recordingId);
    void copy(const Recording& recording);
    void openFolder();

    SessionManager& m_session;
    // The list first: children go in the order they came, and the list must
    // not outlive the model and delegate it shows.
    QListView* m_list;
    RecordingListModel* m_model;
    RecordingRowView* m_rows;
    QWidget* m_empty;
    QPushButton* m_clearAll;
    QPushButton* m_openFolder;
    QPointer<QMessageBox> m_clearConfirm;
    QString m_shownUserId;
};
