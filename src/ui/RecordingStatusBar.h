#pragma once

#include <QWidget>
#include <optional>

class PlainLabel;
class QLabel;
class QPushButton;
class QVBoxLayout;
class SessionManager;
enum class SessionState;

// The strip at the top of the main window: the running dictation with its
// controls (elapsed time, progress, the text waiting to be inserted) and,
// below that, the controller's error message. While idle it holds the error
// line alone, so a failed dictation is seen when it fails. It keeps no state
// of its own and updates in place: the bar is built anew only when the
// dictation state changes. The main window builds the strip anew when the
// interface language changes.
class RecordingStatusBar : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kTextAreaMaximumHeight = 120;

    explicit RecordingStatusBar(SessionManager& session, QWidget* parent = nullptr);

    // Whether there is anything to show: a dictation under way or a message.
    bool hasContent() const;

private:
    enum class Emphasis { bordered, prominent };

    void showState();
    void showElapsed();
    void showProgress();
    void showError();

    QWidget* buildBar(SessionState state);
    QWidget* buildRecordingBar(bool paused);
    QWidget* buildProcessingBar();
    QWidget* buildConfirmingBar();
    QPushButton* button(const char* key, const QString& name, Emphasis emphasis,
                        void (SessionManager::*operation)());

    SessionManager& m_session;
    QVBoxLayout* m_layout;
    std::optional<SessionState> m_shownState;
    QWidget* m_bar = nullptr;
    // Parts of the current bar that follow their value; null when the bar
    // has none.
    PlainLabel* m_elapsed = nullptr;
    PlainLabel* m_progress = nullptr;
    QWidget* m_errorLine;
    PlainLabel* m_errorText;
};
