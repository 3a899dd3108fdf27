#pragma once

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "platform/AudioCapture.h"
#include "platform/AudioFileProbe.h"
#include "platform/AudioFileWriter.h"
#include "platform/CancelToken.h"
#include "session/AudioRecorder.h"
#include "session/PermissionManager.h"
#include "session/TextInjector.h"
#include "store/AccountInfo.h"
#include "store/Recording.h"
#include "sync/BackendSession.h"
#include "sync/SyncManager.h"
#include "transcription/HttpTiming.h"
#include "transcription/TranscriptionOrchestrator.h"

class Accessibility;
class AlertPresenter;
class DatabaseManager;
class DesktopWindows;
class FloatingPanel;
class HotkeyBackend;
class HotkeyManager;
class HttpClient;
class KeySynthesizer;
class LocaleManager;
class Logger;
class PermissionProvider;
class PostProcessor;
class Preferences;
class RecordingFileManager;
class AuthStateStream;
class BackendClient;
class WebAuthSession;
struct AuthStateChange;

enum class SessionState { idle, recording, paused, processing, confirming };

// The state's name as log lines write it ("processing").
QString toText(SessionState state);

// The delays of the controller's start-up; tests shrink them.
struct StartupTiming
{
    std::chrono::milliseconds panelStep = std::chrono::milliseconds(300);
    std::chrono::milliseconds permissionStep = std::chrono::milliseconds(500);
    // The wait of the start-up sync after account sync is activated.
    std::chrono::milliseconds startupSync = std::chrono::milliseconds(2000);
    // The time the start-up's log clean-up measures the files' age from;
    // tests move it, as a log file's creation time cannot be set.
    std::function<QDateTime()> clock = [] { return QDateTime::currentDateTime(); };
};

// What the controller builds its components on: the desktop's backends and
// every component's timing. The app puts in the real ones; tests put fakes
// and short waits in their place.
struct SessionPlatform
{
    SessionPlatform();
    SessionPlatform(SessionPlatform&&) noexcept;
    SessionPlatform& operator=(SessionPlatform&&) noexcept;
    ~SessionPlatform();

    AudioCaptureFactory audioCapture;
    AudioFileWriterFactory audioFileWriter;
    std::unique_ptr<HotkeyBackend> hotkeys;
    std::unique_ptr<DesktopWindows> windows;
    std::unique_ptr<Accessibility> accessibility;
    std::unique_ptr<KeySynthesizer> keys;
    // None: the toolkit reads another program's clipboard, without limits.
    std::unique_ptr<ClipboardReader> clipboardReader;
    std::unique_ptr<PermissionProvider> permissions;
    std::unique_ptr<AlertPresenter> alerts;
    // The start-up recovery's repair of a slice file a dead process left.
    LeftoverAudioFinisher leftoverAudio;
    // Builds the floating panel of the start-up's panel step; none leaves
    // the controller without a panel (a session with no display).
    std::function<std::unique_ptr<FloatingPanel>(class SessionManager&)> floatingPanel;

    AudioRecorderTiming recorderTiming;
    TextInjectorTiming injectorTiming;
    PermissionTiming permissionTiming;
    OrchestratorTiming orchestratorTiming;
    HttpTiming httpTiming;
    StartupTiming startupTiming;
    SyncTiming syncTiming;

    // Makes the backend client on its first use (none: the app's own, from
    // the environment); tests give one over their fake backend.
    std::function<std::unique_ptr<BackendClient>()> backendClient;
    std::unique_ptr<WebAuthSession> webAuthSession;
};

// The dictation controller: owns every dictation component, holds the
// dictation state and drives one dictation from the hot key to the text in
// the application that had focus. Main thread only; one per process.
class SessionManager : public QObject
{
    Q_OBJECT
public:
    // The shared services are the app's; they outlive the controller.
    SessionManager(Preferences& preferences, LocaleManager& locale, HttpClient& http,
                   SessionPlatform platform, QObject* parent = nullptr);
    ~SessionManager() override;

    // Published state.
    SessionState state() const { return m_state; }
    const std::optional<Recording>& currentRecording() const { return m_currentRecording; }
    const std::optional<QString>& cleanedText() const { return m_cleanedText; }
    const std::optional<InjectionTarget>& injectionTarget() const { return m_injectionTarget; }
    int characterCount() const { return m_characterCount; }
    const std::optional<QString>& errorMessage() const { return m_errorMessage; }
    QString shortcut() const;
    // This installation's id, made and stored on first use.
    QString deviceId();

    // The dictation operations (the hot key's toggle and the views' buttons).
    void toggleRecording();
    void pauseRecording();
    void resumeRecording();
    void stopRecording();
    void cancelRecording();
    void cancelProcessing();
    void injectText();
    void copyText();
    void cancelInjection();

    // Account sync switched on and off (the start-up and the main window's
    // hidden switch).
    void activateSync();
    void deactivateSync();

    // Account state, announced by accountChanged(). The signed-in backend
    // user as the auth-state stream last told it; the cached account.
    const std::optional<BackendUser>& supabaseUser() const { return m_supabaseUser; }
    const std::optional<AccountInfo>& remoteAccount() const { return m_remoteAccount; }
    // The accounts screen's changes: after a sign-out, and before
    // saveRemoteAccount() removes the cached account. Nothing is stored.
    void clearSupabaseUser();
    void clearRemoteAccount();
    // Stores the cached account under "cachedAccounts", or removes the key
    // when there is none.
    void saveRemoteAccount();
    // Removes an account's local rows and sync checkpoints; nothing for "local".
    void clearRemoteUserData(const QString& userId);
    // The backend client, made on first use: a start with sync off makes none.
    BackendClient& backendClient();
    // The browser step of a sign-in. Safe to call without one given: a
    // sign-in then fails at once, saying that this build cannot open one.
    WebAuthSession& webAuthSession();

    // The components, for the views.
    Preferences& preferences() { return m_preferences; }
    LocaleManager& locale() { return m_locale; }
    AlertPresenter& alerts() { return *m_alerts; }
    RecordingFileManager& fileManager() { return *m_fileManager; }
    Logger& logger() { return *m_logger; }
    DatabaseManager& database() { return *m_db; }
    SyncManager& syncManager() { return *m_syncManager; }
    AudioRecorder& audioRecorder() { return *m_audioRecorder; }
    HotkeyManager& hotkeyManager() { return *m_hotkeyManager; }
    TextInjector& textInjector() { return *m_textInjector; }
    // The desktop backend the text injector holds (opening folders and links).
    DesktopWindows& desktopWindows() { return m_textInjector->windows(); }
    PermissionManager& permissionManager() { return *m_permissionManager; }
    PostProcessor& postProcessor() { return *m_postProcessor; }
    TranscriptionOrchestrator& orchestrator() { return *m_orchestrator; }
    // The app's client and the service time-outs, for the service test.
    HttpClient& http() { return m_http; }
    const HttpTiming& httpTiming() const { return m_httpTiming; }
    // None until the start-up's panel step has run.
    FloatingPanel* floatingPanel() { return m_floatingPanel.get(); }

signals:
    // The dictation state changed.
    void stateChanged();
    // The error message changed (it can while idle: a failed start).
    void errorMessageChanged();
    // supabaseUser or remoteAccount changed.
    void accountChanged();
    // Any other published value changed, the components' own included
    // (the recorder's elapsed time among them, ten times a second).
    void changed();

private:
    void buildComponents(SessionPlatform& platform);
    void setupHotkey();
    void setupAudioRecorderCallbacks();
    void performStartupChecks();
    // The recovery pass (StartupRecovery), the large-folder warning and the
    // removal of old logs.
    void performAsyncStartupChecks();
    void forwardChanges();
    void schedulePanelStep(std::chrono::milliseconds delay);
    void schedulePermissionStep(std::chrono::milliseconds delay);
    // Starts account sync when "enableSync" is on, else makes local data current.
    void applySyncSetting();
    // One element of the auth-state stream, handled to its end before the next.
    void onAuthStateChange(const AuthStateChange& change);
    // Syncs the current account and starts its periodic sync (run by a timer
    // after the start-up wait),
    // unless the activation `activation` has ended meanwhile.
    QCoro::Task<void> runStartupSync(int activation);
    void loadRemoteAccount();
    void setRemoteAccount(const BackendUser& user);
    void setSupabaseUser(std::optional<BackendUser> user);
    // Why an account's rows must stay for now: work that may still write or
    // push them; none when they may go.
    std::optional<QString> reasonToKeepRows(const QString& userId) const;

    void startRecording();
    // Stops the recorder and writes the recording as recorded with its
    // duration and slice count.
    void stopRecorderAndStore();
    // Marks the current recording as recorded, with its duration and slice
    // count, and notes that the row still has to be written.
    void noteStop(double duration);
    // Writes the noted stop to the recording's row, if not yet written.
    void storeStop();
    QCoro::Task<void> process(CancelToken cancel);
    void resetToIdle();
    void showPermissionAlert(const QString& title, const QString& message,
                             const std::function<void()>& onOpen);

    // The store refused a write (a full disk): logged, and shown while a
    // dictation is under way.
    void onStoreWriteFailed(const QString& error);
    void setState(SessionState state);
    void setErrorMessage(std::optional<QString> message);
    void updateCurrentRecording(const std::function<void(Recording&)>& change);
    QString currentUserId() const;

    Preferences& m_preferences;
    LocaleManager& m_locale;
    HttpClient& m_http;
    HttpTiming m_httpTiming;

    SessionState m_state = SessionState::idle;
    std::optional<Recording> m_currentRecording;
    std::optional<QString> m_cleanedText;
    std::optional<InjectionTarget> m_injectionTarget;
    int m_characterCount = 0;
    std::optional<QString> m_errorMessage;
    // The message of a store failure during the current dictation.
    std::optional<QString> m_storeError;
    std::optional<QString> m_deviceId;
    std::optional<CancelToken> m_processingTask;
    // A stop whose row write is still to come.
    struct UnstoredStop
    {
        QString recordingId;
        double duration = 0.0;
        int sliceCount = 0;
        QDateTime stoppedAt;
    };
    std::optional<UnstoredStop> m_unstoredStop;
    bool m_permissionAlertOpen = false;
    // Counts the activations of account sync: a start-up sync belongs to one.
    int m_activation = 0;
    std::chrono::milliseconds m_startupSyncDelay{0};

    std::unique_ptr<RecordingFileManager> m_fileManager;
    std::unique_ptr<Logger> m_logger;
    std::unique_ptr<DatabaseManager> m_db;
    // Before the engine, which uses it until it goes.
    std::optional<BackendUser> m_supabaseUser;
    std::optional<AccountInfo> m_remoteAccount;
    std::function<std::unique_ptr<BackendClient>()> m_makeBackendClient;
    std::unique_ptr<WebAuthSession> m_webAuthSession;
    std::unique_ptr<BackendClient> m_backendClient;
    // The auth-state listener's subscription, from activateSync() until
    // deactivateSync(); it goes before the client that feeds it.
    std::unique_ptr<AuthStateStream> m_authListener;
    std::unique_ptr<SyncManager> m_syncManager;
    std::unique_ptr<AudioRecorder> m_audioRecorder;
    std::unique_ptr<HotkeyManager> m_hotkeyManager;
    std::unique_ptr<TextInjector> m_textInjector;
    std::unique_ptr<PermissionManager> m_permissionManager;
    std::unique_ptr<PostProcessor> m_postProcessor;
    std::unique_ptr<TranscriptionOrchestrator> m_orchestrator;
    std::unique_ptr<AlertPresenter> m_alerts;
    LeftoverAudioFinisher m_finishLeftoverAudio;
    std::function<std::unique_ptr<FloatingPanel>(SessionManager&)> m_makeFloatingPanel;
    std::function<QDateTime()> m_clock;
    std::unique_ptr<FloatingPanel> m_floatingPanel;
};
