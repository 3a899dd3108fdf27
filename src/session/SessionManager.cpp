#include "session/SessionManager.h"

#include <QCoroTimer>
#include <QTimer>

#include "platform/Accessibility.h"
#include "platform/AlertPresenter.h"
#include "platform/DesktopWindows.h"
#include "platform/Graphemes.h"
#include "platform/HotkeyBackend.h"
#include "platform/KeySynthesizer.h"
#include "platform/PermissionProvider.h"
#include "platform/Preferences.h"
#include "platform/UnavailableWebAuthSession.h"
#include "platform/WebAuthSession.h"
#include "session/FloatingPanel.h"
#include "session/HotkeyManager.h"
#include "session/StartupRecovery.h"
#include "store/DatabaseManager.h"
#include "store/LocaleManager.h"
#include "store/Logger.h"
#include "store/RecordId.h"
#include "store/RecordingFileManager.h"
#include "store/Slice.h"
#include "sync/AuthStateStream.h"
#include "sync/BackendClient.h"
#include "sync/SyncManager.h"
#include "transcription/PostProcessor.h"
#include "transcription/ProviderFactory.h"

QString toText(SessionState state)
{
    switch (state) {
    case SessionState::idle: return QStringLiteral("idle");
    case SessionState::recording: return QStringLiteral("recording");
    case SessionState::paused: return QStringLiteral("paused");
    case SessionState::processing: return QStringLiteral("processing");
    case SessionState::confirming: return QStringLiteral("confirming");
    }
    return {};
}

SessionPlatform::SessionPlatform() = default;
SessionPlatform::SessionPlatform(SessionPlatform&&) noexcept = default;
SessionPlatform& SessionPlatform::operator=(SessionPlatform&&) noexcept = default;
SessionPlatform::~SessionPlatform() = default;

SessionManager::SessionManager(Preferences& preferences, LocaleManager& locale, HttpClient& http,
                               SessionPlatform platform, QObject* parent)
    : QObject(parent), m_preferences(preferences), m_locale(locale), m_http(http)
    , m_httpTiming(platform.httpTiming)
{
    buildComponents(platform);
    setupHotkey();
    setupAudioRecorderCallbacks();
    performStartupChecks();
    forwardChanges();
    schedulePermissionStep(platform.startupTiming.permissionStep);
    applySyncSetting();
    schedulePanelStep(platform.startupTiming.panelStep);
    m_logger->info(QStringLiteral("App: initialization complete, deviceId: ") + deviceId()
                   + QStringLiteral(", userId: ") + currentUserId());
}

SessionManager::~SessionManager()
{
    // The processing task's requests would otherwise come back to components
    // that go with this controller (the polishing answer is logged).
    if (m_processingTask)
        m_processingTask->cancel();
    storeStop();
    // Nothing would transcribe a slice now; one a stop is still finishing
    // is stored by the recorder's end.
    m_audioRecorder->onSliceReady = {};
    m_audioRecorder->onSliceFinishing = {};
    // Quitting while recording: seal and store the last slice so that the
    // recording keeps all its audio and can be processed again later.
    if (m_state == SessionState::recording || m_state == SessionState::paused) {
        stopRecorderAndStore();
        m_logger->info(QStringLiteral("SessionManager: quit while recording, recording kept as 'recorded'"));
    }
    // The components go after this body; none of them may call back here.
    m_db->setWriteFailureHandler({});
}

void SessionManager::buildComponents(SessionPlatform& platform)
{
    m_fileManager = std::make_unique<RecordingFileManager>();
    m_logger = std::make_unique<Logger>(m_fileManager->logsDirectory());
    m_db = std::make_unique<DatabaseManager>(m_fileManager->baseDirectory());
    m_makeBackendClient = std::move(platform.backendClient);
    m_webAuthSession = std::move(platform.webAuthSession);
    m_startupSyncDelay = platform.startupTiming.startupSync;
    m_syncManager = std::make_unique<SyncManager>(*m_db, *m_logger, m_preferences,
                                                  [this]() -> BackendClient& { return backendClient(); },
                                                  platform.syncTiming);
    m_audioRecorder = std::make_unique<AudioRecorder>(*m_fileManager, *m_db, *m_logger,
                                                      platform.audioCapture,
                                                      platform.audioFileWriter,
                                                      platform.recorderTiming);
    m_hotkeyManager = std::make_unique<HotkeyManager>(*m_logger, std::move(platform.hotkeys));
    m_textInjector = std::make_unique<TextInjector>(
        *m_logger, std::move(platform.windows), std::move(platform.accessibility),
        std::move(platform.keys), std::move(platform.clipboardReader), platform.injectorTiming);
    m_permissionManager = std::make_unique<PermissionManager>(
        *m_logger, std::move(platform.permissions), platform.permissionTiming);

    Preferences& prefs = m_preferences;
    DatabaseManager& db = *m_db;
    PostProcessor::Readers readers{
        .apiKeyProvider = [&prefs] { return prefs.apiKey(); },
        .deepSeekApiKeyProvider = [&prefs] { return prefs.deepSeekApiKey(); },
        .modelProvider = [&prefs] { return prefs.postProcessModel(); },
        .systemPromptProvider = [&prefs] { return prefs.postProcessPrompt(); },
        .glossaryProvider = [&prefs, &db] {
            return db.fetchGlossaryPrompt(prefs.currentUserId()).value_or(QString());
        },
    };
    m_postProcessor = std::make_unique<PostProcessor>(m_http, readers, *m_logger, platform.httpTiming);
    m_orchestrator = std::make_unique<TranscriptionOrchestrator>(
        makeProviderFactory(m_http, m_preferences, m_logger.get(), platform.httpTiming), *m_postProcessor,
        *m_db, *m_fileManager, *m_logger, platform.orchestratorTiming);

    m_db->setWriteFailureHandler([this](const QString& error) { onStoreWriteFailed(error); });

    m_alerts = std::move(platform.alerts);
    m_finishLeftoverAudio = std::move(platform.leftoverAudio);
    m_makeFloatingPanel = std::move(platform.floatingPanel);
    m_clock = std::move(platform.startupTiming.clock);
}

// ---- start-up ----

void SessionManager::setupHotkey()
{
    QPointer<SessionManager> self(this);
    // The manager runs the handler in a task of its own on the main thread and
    // logs any warning or failure itself.
    m_hotkeyManager->registerHotkey(shortcut(), [self] {
        if (self)
            self->toggleRecording();
    });
}

void SessionManager::setupAudioRecorderCallbacks()
{
    QPointer<SessionManager> self(this);
    m_audioRecorder->onSliceReady = [self](const Slice& slice) {
        if (self)
            self->m_orchestrator->onSliceReady(slice);
    };
    m_audioRecorder->onSliceFinishing = [self](const QString& recordingId, int sliceIndex) {
        if (self)
            self->m_orchestrator->expectSlice(recordingId, sliceIndex);
    };
    // A dead microphone would go on recording silence: stop, so that what was
    // said until then is processed and the user is not left talking to nothing.
    connect(m_audioRecorder.get(), &AudioRecorder::inputFailed, this, [this](const QString& message) {
        if (m_state != SessionState::recording)
            return;
        m_logger->warning(QStringLiteral("SessionManager: audio input failed, stopping the recording: ")
                          + message);
        stopRecording();
    });
}

void SessionManager::performStartupChecks()
{
    auto interrupted = m_db->fetchRecordingsWithStatus(
        {RecordingStatus::recording, RecordingStatus::paused}, std::nullopt);
    // Another device's recording still under way there was not interrupted.
    // The id as stored: one made only now names no recording yet.
    const QString device = m_preferences.text(PrefKey::deviceId);
    interrupted.removeIf([&device](const Recording& r) { return !StartupRecovery::isMadeHere(r.deviceId, device); });
    if (!interrupted.isEmpty())
        m_logger->info(QStringLiteral("SessionManager: found %1 interrupted recording(s)")
                           .arg(interrupted.size()));
    // Queued before any hot-key press can be handled, after this constructor.
    QTimer::singleShot(0, this, [this] { performAsyncStartupChecks(); });
}

void SessionManager::performAsyncStartupChecks()
{
    StartupRecovery(*m_db, *m_fileManager, *m_logger, m_finishLeftoverAudio, deviceId()).run();
    if (RecordingFileManager::reachesDiskWarningThreshold(m_fileManager->recordingsDirectorySize()))
        m_logger->warning(QStringLiteral("SessionManager: recordings directory exceeds 10GB"));
    m_fileManager->cleanOldLogs(m_clock());
}

void SessionManager::forwardChanges()
{
    auto announce = [this] { emit changed(); };
    connect(m_audioRecorder.get(), &AudioRecorder::elapsedTimeChanged, this, announce);
    connect(m_logger.get(), &Logger::entriesChanged, this, announce);
    connect(m_orchestrator.get(), &TranscriptionOrchestrator::progressChanged, this, announce);
    connect(m_permissionManager.get(), &PermissionManager::microphoneGrantedChanged, this, announce);
    connect(m_permissionManager.get(), &PermissionManager::accessibilityGrantedChanged, this,
            announce);
    connect(m_syncManager.get(), &SyncManager::stateChanged, this, announce);
}

void SessionManager::schedulePermissionStep(std::chrono::milliseconds delay)
{
    QTimer::singleShot(delay, this, [this] { m_permissionManager->startMonitoring(); });
}

void SessionManager::schedulePanelStep(std::chrono::milliseconds delay)
{
    QTimer::singleShot(delay, this, [this] {
        if (!m_makeFloatingPanel)
            return;
        m_floatingPanel = m_makeFloatingPanel(*this);
        if (m_floatingPanel && m_preferences.showFloatingPanel())
            m_floatingPanel->show();
    });
}

void SessionManager::applySyncSetting()
{
    if (m_preferences.enableSync()) {
        activateSync();
        return;
    }
    if (currentUserId() == QLatin1String(Preferences::kLocalUserId))
        return;
    m_logger->info(QStringLiteral("SessionManager: sync disabled, forcing local mode"));
    m_preferences.setValue(PrefKey::currentUserId, QString::fromLatin1(Preferences::kLocalUserId));
}

// ---- published values ----

QString SessionManager::shortcut() const { return m_preferences.shortcut(); }

QString SessionManager::currentUserId() const { return m_preferences.currentUserId(); }

QString SessionManager::deviceId()
{
    if (m_deviceId)
        return *m_deviceId;
    QString id = m_preferences.text(PrefKey::deviceId);
    if (id.isEmpty()) {
        id = newRecordId();
        m_preferences.setValue(PrefKey::deviceId, id);
        m_logger->info(QStringLiteral("DeviceId: generated new: ") + id);
    }
    m_deviceId = id;
    return id;
}

void SessionManager::setState(SessionState state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged();
}

void SessionManager::setErrorMessage(std::optional<QString> message)
{
    const bool differs = message != m_errorMessage;
    m_errorMessage = std::move(message);
    emit changed();
    if (differs)
        emit errorMessageChanged();
}

void SessionManager::onStoreWriteFailed(const QString& error)
{
    m_logger->error(QStringLiteral("SessionManager: could not save to the database: ") + error);
    if (m_state == SessionState::idle)
        return;
    // Shown while the dictation goes on, and kept past its end, as the
    // history may lack part of it.
    m_storeError = QStringLiteral("Could not save to the database: ") + error;
    setErrorMessage(m_storeError);
}

void SessionManager::updateCurrentRecording(const std::function<void(Recording&)>& change)
{
    if (!m_currentRecording)
        return;
    change(*m_currentRecording);
    m_currentRecording->updatedAt = QDateTime::currentDateTimeUtc();
    // Every column is written from this copy, which would undo a deletion
    // made from the history meanwhile: a deleted recording stays as it is.
    const std::optional<Recording> stored =
        m_db->fetchRecordingIncludingDeleted(m_currentRecording->id);
    if (stored && !stored->deletedAt)
        m_db->updateRecording(*m_currentRecording);
    emit changed();
}

// ---- the dictation ----

void SessionManager::toggleRecording()
{
    // The alert waits in an event loop of its own, where further presses
    // arrive: they would stack alerts or start a recording beneath this one.
    if (m_permissionAlertOpen) {
        m_logger->warning(QStringLiteral("SessionManager: ignored toggle, a permission alert is open"));
        return;
    }
    switch (m_state) {
    case SessionState::idle:
        startRecording();
        return;
    case SessionState::recording:
    case SessionState::paused:
        stopRecording();
        return;
    case SessionState::processing:
    case SessionState::confirming:
        m_logger->warning(QStringLiteral("SessionManager: ignored toggle, currently ")
                          + toText(m_state));
        return;
    }
}

void SessionManager::startRecording()
{
    if (m_state != SessionState::idle)
        return;
    if (!m_permissionManager->microphoneGranted()) {
        showPermissionAlert(m_locale.text("alert.micTitle"),
                            m_locale.text("alert.micMessage"),
                            [this] { m_permissionManager->openMicrophoneSettings(); });
        return;
    }
    if (!m_permissionManager->accessibilityGranted()) {
        showPermissionAlert(m_locale.text("alert.accTitle"),
                            m_locale.text("alert.accMessage"),
                            [this] { m_permissionManager->openAccessibilitySettings(); });
        return;
    }
    storeStop();   // the last stop's row comes before the next recording's
    m_textInjector->rememberTarget();

    const QDateTime now = QDateTime::currentDateTimeUtc();
    Recording recording;
    recording.id = newRecordId();
    recording.userId = currentUserId();
    recording.createdAt = now;
    recording.updatedAt = now;
    recording.status = RecordingStatus::recording;
    recording.deviceId = deviceId();
    // Audio of a recording without a row could not be found again.
    if (!m_db->insertRecording(recording)) {
        m_logger->error(QStringLiteral("SessionManager: failed to start recording: the recording could not be saved"));
        setErrorMessage(QStringLiteral("Failed to start recording: it could not be saved to the database"));
        return;
    }
    m_storeError.reset();
    m_currentRecording = recording;
    emit changed();

    // A length that cannot time a slice (a hand-edited settings file) would
    // cut a new slice at every pass of the event loop.
    const int sliceSeconds = m_preferences.sliceDuration();
    m_audioRecorder->sliceDuration =
        sliceSeconds > 0 ? sliceSeconds : Preferences::kDefaultSliceDuration;
    if (const auto failure = m_audioRecorder->start(recording.id, currentUserId())) {
        m_logger->error(QStringLiteral("SessionManager: failed to start recording: ") + *failure);
        setErrorMessage(QStringLiteral("Failed to start recording: ") + *failure);
        return;
    }
    setState(SessionState::recording);
    m_logger->info(QStringLiteral("SessionManager: state idle \u2192 recording"));
    // Only now: the target's answer may be slow, and the microphone must not wait for it.
    m_textInjector->logCursorContext();
}

void SessionManager::pauseRecording()
{
    if (m_state != SessionState::recording)
        return;
    m_audioRecorder->pause();
    updateCurrentRecording([](Recording& r) { r.status = RecordingStatus::paused; });
    setState(SessionState::paused);
    m_logger->info(QStringLiteral("SessionManager: state recording \u2192 paused"));
}

void SessionManager::resumeRecording()
{
    if (m_state != SessionState::paused)
        return;
    updateCurrentRecording([](Recording& r) { r.status = RecordingStatus::recording; });
    if (const auto failure = m_audioRecorder->resume()) {
        m_logger->error(QStringLiteral("SessionManager: failed to resume: ") + *failure);
        setErrorMessage(QStringLiteral("Failed to resume recording"));
        return;
    }
    setState(SessionState::recording);
    m_logger->info(QStringLiteral("SessionManager: state paused \u2192 recording"));
}

void SessionManager::stopRecorderAndStore()
{
    noteStop(m_audioRecorder->stop());
    storeStop();
}

void SessionManager::noteStop(double duration)
{
    if (!m_currentRecording)
        return;
    // Every slice sealed, stored or not: the finalising step fails a
    // recording whose rows the store refused rather than join what is left.
    const int sliceCount = m_audioRecorder->sealedSliceCount();
    m_currentRecording->status = RecordingStatus::recorded;
    m_currentRecording->duration = duration;
    m_currentRecording->sliceCount = sliceCount;
    m_currentRecording->updatedAt = QDateTime::currentDateTimeUtc();
    m_unstoredStop = UnstoredStop{m_currentRecording->id, duration, sliceCount, m_currentRecording->updatedAt};
    emit changed();
}

void SessionManager::storeStop()
{
    const std::optional<UnstoredStop> stop = std::exchange(m_unstoredStop, std::nullopt);
    if (!stop)
        return;
    // Re-read: a deletion made meanwhile stays, and the finalising step may
    // already have moved the row on (its status and texts then stay).
    std::optional<Recording> row = m_db->fetchRecordingIncludingDeleted(stop->recordingId);
    if (!row || row->deletedAt)
        return;
    if (row->status == RecordingStatus::recording || row->status == RecordingStatus::paused)
        row->status = RecordingStatus::recorded;
    row->duration = stop->duration;
    row->sliceCount = stop->sliceCount;
    row->updatedAt = stop->stoppedAt;
    m_db->updateRecording(*row);
}

void SessionManager::stopRecording()
{
    if (m_state != SessionState::recording && m_state != SessionState::paused)
        return;
    // The last slice is sealed and stored once control is back in the event
    // loop, and so is the recording's row: the finalising step's first wait
    // has begun by then and covers both.
    noteStop(m_audioRecorder->stopLater());
    setState(SessionState::processing);
    m_logger->info(QStringLiteral("SessionManager: state \u2192 processing"));

    if (m_processingTask)
        m_processingTask->cancel();
    CancelToken cancel;
    m_processingTask = cancel;
    process(cancel);
    QMetaObject::invokeMethod(this, &SessionManager::storeStop, Qt::QueuedConnection);
}

QCoro::Task<void> SessionManager::process(CancelToken cancel)
{
    if (!m_currentRecording)
        co_return;
    QPointer<SessionManager> self(this);
    const Recording finished = co_await m_orchestrator->finalizeRecording(*m_currentRecording, cancel);
    if (!self || cancel.isCancelled())
        co_return;
    m_processingTask.reset();
    m_currentRecording = finished;

    if (finished.status == RecordingStatus::completed && finished.cleanedText) {
        const QString text = *finished.cleanedText;
        if (text.trimmed().isEmpty()) {
            // Nothing was said: there is nothing to insert.
            m_logger->info(QStringLiteral("SessionManager: nothing was recognised, nothing to insert"));
            resetToIdle();
            co_return;
        }
        const int characters = Graphemes::count(text);
        m_logger->info(QStringLiteral("SessionManager: transcription done, auto-injecting %1 chars")
                           .arg(characters));
        if (m_textInjector->inject(text)) {
            m_logger->info(QStringLiteral("SessionManager: auto-inject succeeded"));
            resetToIdle();
            co_return;
        }
        m_logger->warning(QStringLiteral("SessionManager: auto-inject failed, entering confirming state"));
        m_cleanedText = text;
        m_characterCount = characters;
        m_injectionTarget = m_textInjector->getCurrentTarget();
        emit changed();
        setState(SessionState::confirming);
        co_return;
    }

    QString message = finished.error.value_or(QStringLiteral("Transcription failed"));
    if (const std::optional<QString> storeError = std::exchange(m_storeError, std::nullopt))
        message += QStringLiteral(". ") + *storeError;
    setErrorMessage(message);
    setState(SessionState::idle);
    m_logger->info(QStringLiteral("SessionManager: state processing \u2192 idle (failed)"));
}

void SessionManager::cancelRecording()
{
    if (m_state != SessionState::recording && m_state != SessionState::paused)
        return;
    m_audioRecorder->stop();   // the last slice is still sealed and transcribed
    updateCurrentRecording([](Recording& r) {
        r.status = RecordingStatus::failed;
        r.error = QStringLiteral("Cancelled by user");
    });
    resetToIdle();
    m_logger->info(QStringLiteral("SessionManager: recording cancelled by user"));
}

void SessionManager::cancelProcessing()
{
    if (m_state != SessionState::processing)
        return;
    if (m_processingTask) {
        m_processingTask->cancel();
        m_processingTask.reset();
    }
    updateCurrentRecording([](Recording& r) { r.status = RecordingStatus::recorded; });
    resetToIdle();
    m_logger->info(
        QStringLiteral("SessionManager: processing cancelled by user, recording preserved as 'recorded'"));
}

void SessionManager::injectText()
{
    if (m_state != SessionState::confirming || !m_cleanedText)
        return;
    const bool injected = m_textInjector->inject(*m_cleanedText);
    resetToIdle();
    if (!injected)
        setErrorMessage(QStringLiteral("Failed to inject text. Try copying to clipboard instead."));
}

void SessionManager::copyText()
{
    if (!m_cleanedText)
        return;
    m_textInjector->copyToClipboard(*m_cleanedText);
    resetToIdle();
}

void SessionManager::cancelInjection()
{
    // Only a waiting text can be dismissed: elsewhere the return to idle would
    // leave a running recorder or processing task behind.
    if (m_state != SessionState::confirming)
        return;
    m_logger->info(QStringLiteral("SessionManager: injection cancelled, text preserved in DB"));
    resetToIdle();
}

void SessionManager::resetToIdle()
{
    // Everything is cleared before idle is announced: an observer reacting to
    // the state reads the values that go with it.
    m_cleanedText.reset();
    m_injectionTarget.reset();
    m_characterCount = 0;
    m_currentRecording.reset();
    m_textInjector->clearTargetApp();
    // A store failure of the dictation just ended stays in view.
    setErrorMessage(std::exchange(m_storeError, std::nullopt));
    setState(SessionState::idle);
    m_logger->info(QStringLiteral("SessionManager: state \u2192 idle"));
    m_syncManager->schedulePush(currentUserId());
}

// ---- account sync ----

namespace {

bool isLocal(const QString& userId) { return userId == QLatin1String(Preferences::kLocalUserId); }

}  // namespace

BackendClient& SessionManager::backendClient()
{
    if (!m_backendClient) {
        m_backendClient = m_makeBackendClient
            ? m_makeBackendClient()
            : std::make_unique<BackendClient>(m_preferences, m_http, BackendConfig::fromEnvironment(),
                                              systemWallClock);
    }
    return *m_backendClient;
}

WebAuthSession& SessionManager::webAuthSession()
{
    if (!m_webAuthSession)
        m_webAuthSession = std::make_unique<UnavailableWebAuthSession>();
    return *m_webAuthSession;
}

void SessionManager::activateSync()
{
    if (m_authListener)
        return;
    m_logger->info(QStringLiteral("SessionManager: activating sync features"));
    loadRemoteAccount();
    ++m_activation;
    m_authListener = backendClient().authStateChanges();
    connect(m_authListener.get(), &AuthStateStream::changed, this, &SessionManager::onAuthStateChange);
    // A timer of the controller rather than a task waiting on its own: a
    // controller that goes during the wait leaves no task behind.
    QTimer::singleShot(m_startupSyncDelay, Qt::PreciseTimer, this,
                       [this, activation = m_activation] { runStartupSync(activation); });
}

void SessionManager::deactivateSync()
{
    m_logger->info(QStringLiteral("SessionManager: deactivating sync features"));
    m_syncManager->stopPeriodicSync();
    // Deleting the stream ends the subscription.
    m_authListener.reset();
    if (!isLocal(currentUserId()))
        m_preferences.setValue(PrefKey::currentUserId, QString::fromLatin1(Preferences::kLocalUserId));
}

void SessionManager::onAuthStateChange(const AuthStateChange& change)
{
    const QString previousUser = currentUserId();
    setSupabaseUser(change.session ? std::optional<BackendUser>(change.session->user) : std::nullopt);
    if (!change.session) {
        m_logger->info(QStringLiteral("Auth: state changed, user signed out"));
        m_syncManager->stopPeriodicSync();
        return;
    }
    const BackendUser& user = change.session->user;
    const QString userId = user.id.toUpper();
    m_logger->info(QStringLiteral("Auth: state changed, user: ")
                   + (user.email.isEmpty() ? QStringLiteral("unknown") : user.email) + QStringLiteral(" (")
                   + userId + QStringLiteral(")"));
    setRemoteAccount(user);
    if (isLocal(previousUser)) {
        m_logger->info(QStringLiteral("Auth: auto-switching from local to ") + userId);
        m_preferences.setValue(PrefKey::currentUserId, userId);
    }
    const QString current = currentUserId();
    if (current == previousUser || isLocal(current))
        return;
    m_syncManager->stopPeriodicSync();
    m_syncManager->sync(current);
    m_syncManager->startPeriodicSync(current);
}

QCoro::Task<void> SessionManager::runStartupSync(int activation)
{
    const QPointer<SessionManager> self(this);
    // A later activation runs a start-up sync of its own.
    if (m_activation != activation || !m_authListener)
        co_return;
    const QString userId = currentUserId();
    if (isLocal(userId))
        co_return;
    m_logger->info(QStringLiteral("SessionManager: startup sync for ") + userId);
    co_await m_syncManager->sync(userId);
    // Sync switched off meanwhile, or another account made current, must not
    // get this account's periodic sync back.
    if (!self || m_activation != activation || !m_authListener || currentUserId() != userId)
        co_return;
    m_syncManager->startPeriodicSync(userId);
}

void SessionManager::loadRemoteAccount()
{
    m_remoteAccount = AccountInfo::fromJson(m_preferences.value(PrefKey::cachedAccounts).toByteArray());
    emit accountChanged();
}

void SessionManager::setRemoteAccount(const BackendUser& user)
{
    m_remoteAccount = AccountInfo{
        user.id.toUpper(),
        user.email.isEmpty() ? QStringLiteral("Unknown") : user.email,
        user.provider.isEmpty() ? QStringLiteral("unknown") : user.provider,
    };
    emit accountChanged();
    saveRemoteAccount();
}

void SessionManager::setSupabaseUser(std::optional<BackendUser> user)
{
    m_supabaseUser = std::move(user);
    emit accountChanged();
}

void SessionManager::clearSupabaseUser() { setSupabaseUser(std::nullopt); }

void SessionManager::clearRemoteAccount()
{
    m_remoteAccount.reset();
    emit accountChanged();
}

void SessionManager::saveRemoteAccount()
{
    if (m_remoteAccount)
        m_preferences.setValue(PrefKey::cachedAccounts, m_remoteAccount->toJson());
    else
        m_preferences.remove(PrefKey::cachedAccounts);
}

void SessionManager::clearRemoteUserData(const QString& userId)
{
    if (isLocal(userId))
        return;
    m_logger->info(QStringLiteral("SessionManager: clearing local data for remote user ") + userId);
    // The sync before this may have failed (offline): rows it did not push
    // stay, hidden while another user is current, and are pushed once the
    // account is current again.
    if (const std::optional<QString> reason = reasonToKeepRows(userId))
        m_logger->warning(QStringLiteral("SessionManager: kept the local data of ") + userId
                          + QStringLiteral(": ") + *reason);
    else
        m_db->deleteUserData(userId);
    m_syncManager->forgetCheckpoints(userId);
}

std::optional<QString> SessionManager::reasonToKeepRows(const QString& userId) const
{
    if (m_state != SessionState::idle)
        return QStringLiteral("a dictation is under way");
    if (m_orchestrator->hasWorkUnderWay())
        return QStringLiteral("transcriptions are under way");
    if (!m_db->fetchDirtyRecordings(userId).isEmpty() || !m_db->fetchDirtySlices(userId).isEmpty()
        || !m_db->fetchDirtyGlossaryItems(userId).isEmpty())
        return QStringLiteral("it has changes not yet synced");
    return std::nullopt;
}

void SessionManager::showPermissionAlert(const QString& title, const QString& message,
                                         const std::function<void()>& onOpen)
{
    Alert alert{title, message, {}};
    if (onOpen)
        alert.buttons = {m_locale.text("alert.openSettings"),
                         m_locale.text("accounts.cancel")};
    else
        alert.buttons = {m_locale.text("alert.ok")};
    m_permissionAlertOpen = true;
    const int answer = m_alerts->run(alert);
    m_permissionAlertOpen = false;
    if (answer == 0 && onOpen)
        onOpen();
}
