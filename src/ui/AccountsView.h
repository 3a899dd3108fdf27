#pragma once

#include <QCoroTask>
#include <QScrollArea>
#include <QString>
#include <optional>

class AccountRow;
class Dot;
class PlainLabel;
class QLabel;
class QPushButton;
class QToolButton;
class QVBoxLayout;
class SessionManager;
class Spinner;

// The accounts tab: the local user and the cached account as two rows (a
// click makes one current), the sign-in choices, and, while an account is
// current, its sync status with a sync-now button, the sync engine's last
// error and the statistics of the account's rows. Follows the controller's
// account state and the preference "currentUserId", whoever changes them.
// Flows that would clear an account's rows are refused outside idle: a
// dictation's rows may have been pushed clean meanwhile.
class AccountsView : public QScrollArea
{
    Q_OBJECT
public:
    // The longest failure description shown: it may come from the callback
    // address, which anyone can send.
    static constexpr int kDescriptionGraphemes = 300;

    explicit AccountsView(SessionManager& session, QWidget* parent = nullptr);

    // The duration cell: "59s", "1m00s", "2h02m".
    static QString formatDuration(double seconds);
    // A provider as shown: each word capitalised ("google" gives "Google").
    static QString providerText(const QString& provider);

private:
    void buildSyncSection(QVBoxLayout* column);
    QWidget* buildStatistics(QWidget* parent);
    // Shows the account state, the view state and the sync engine's state;
    // the statistics are read anew.
    void refresh();
    void showStatistics(const QString& userId);
    QString syncStatusText() const;
    QString lastSyncText() const;
    void setErrorMessage(std::optional<QString> message);

    void selectRemote();
    void switchToLocal();
    void openLoginOptions();
    void cancelLogin();
    QCoro::Task<void> switchToLocalTask(QString oldId);
    QCoro::Task<void> logout();
    QCoro::Task<void> signInWithGoogle();
    QCoro::Task<void> syncNow(QString userId);

    SessionManager& m_session;
    bool m_showingLoginOptions = false;
    bool m_isLoading = false;
    std::optional<QString> m_errorMessage;

    AccountRow* m_localRow;
    AccountRow* m_remoteRow;
    QToolButton* m_signInButton;
    QWidget* m_loginOptions;
    QPushButton* m_googleButton;
    PlainLabel* m_errorLine;
    QWidget* m_syncSection;
    Spinner* m_syncSpinner;
    Dot* m_syncDot;
    PlainLabel* m_syncStatus;
    QPushButton* m_syncNowButton;
    QWidget* m_lastErrorRow;
    PlainLabel* m_lastError;
    QLabel* m_recordingsValue;
    QLabel* m_slicesValue;
    QLabel* m_glossaryValue;
    QLabel* m_durationValue;
    QWidget* m_failedSlicesRow;
    PlainLabel* m_failedSlices;
};
