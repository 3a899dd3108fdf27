#pragma once

#include <QClipboard>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>
#include <gtest/gtest.h>
#include <functional>
#include <memory>

#include "platform/HttpClient.h"
#include "platform/Preferences.h"
#include "platform/ffmpeg/FfmpegAudioFileProbe.h"
#include "platform/ffmpeg/FfmpegAudioFileWriter.h"
#include "session/SessionManager.h"
#include "store/DatabaseManager.h"
#include "store/LocaleManager.h"
#include "store/Logger.h"
#include "store/RecordingFileManager.h"
#include "store/TimeText.h"
#include "support/EventLoop.h"
#include "support/FakeAccessibility.h"
#include "support/FakeAlertPresenter.h"
#include "support/FakeDesktopWindows.h"
#include "support/FakeHotkeyBackend.h"
#include "support/FakeKeySynthesizer.h"
#include "support/FakePermissionProvider.h"
#include "support/FakeServices.h"
#include "support/QStringPrinter.h"
#include "support/RecordPrinter.h"
#include "support/TempHome.h"
#include "support/ToneCapture.h"

using namespace std::chrono_literals;

namespace sessiontest {

inline constexpr auto kTranscriptions = "/v1/audio/transcriptions";
inline constexpr auto kChat = "/v1/chat/completions";

// A chat-completion answer whose message is `content`.
inline HttpFake::Answer chatAnswer(const QString& content)
{
    const QJsonObject message{{"role", "assistant"}, {"content", content}};
    const QJsonObject choice{{"message", message}};
    return HttpFake::Answer::json(
        200, QJsonDocument(QJsonObject{{"choices", QJsonArray{choice}}}).toJson(QJsonDocument::Compact));
}

inline HttpFake::Answer delayed(HttpFake::Answer answer, std::chrono::milliseconds delay)
{
    answer.delay = delay;
    return answer;
}

// An answer that never comes while the test runs.
inline HttpFake::Answer silent()
{
    HttpFake::Answer answer;
    answer.silent = true;
    return answer;
}

inline QString text(const std::optional<QString>& value)
{
    return value ? "'" + *value + "'" : QStringLiteral("none");
}

}  // namespace sessiontest

// A controller in a private home (data folder, store, logs and settings file
// in a temporary folder) on desktop fakes, a tone microphone writing real m4a
// slices, the recognition and polishing services as fakes on loopback, and
// every wait shrunk. Script the fakes and settings, then build().
//
// The desktop: "Editor" (pid 4242, window 7, titled "notes.txt") is in front
// and obeys activation; its focused field is empty and takes accessibility
// writes. Both permissions are granted. Each transcription request gets
// `transcribe(n)` (n counts the requests from 1, in the order they arrive:
// slice order for first attempts), each chat request `polish(request)`.
class SessionFixture : public testing::Test
{
protected:
    static constexpr qint64 kEditorPid = 4242;
    static constexpr quint32 kEditorWindow = 7;

    SessionFixture()
    {
        prefs.setValue(PrefKey::apiKey, "sk-session-test");
        windows.frontmost = DesktopApplication{"Editor", kEditorPid, kEditorWindow};
        windows.titles[kEditorWindow] = "notes.txt";
        field = accessibility.focusField(kEditorPid);
        field->value = QString();
        permissions.authorization = MicrophoneAuthorization::authorized;
        permissions.trusted = true;
        services.openAI.setResponder([this](const HttpFake::Request& request) {
            if (request.path == sessiontest::kChat)
                return polish(request);
            return transcribe(++transcriptionRequests);
        });
        QGuiApplication::clipboard()->clear();
    }

    ~SessionFixture() override
    {
        // The controller before the fakes and the home it works in.
        session.reset();
    }

    // Builds the controller on the fakes above.
    SessionManager& build() { return build(scriptedPlatform()); }

    SessionManager& build(SessionPlatform platform)
    {
        session = std::make_unique<SessionManager>(prefs, locale, http, std::move(platform));
        return *session;
    }

    // The scripted fakes, handed over once: the controller owns them then.
    SessionPlatform scriptedPlatform()
    {
        SessionPlatform platform = withTimings();
        platform.hotkeys = std::move(m_hotkeys);
        platform.windows = std::move(m_windows);
        platform.accessibility = std::move(m_accessibility);
        platform.keys = std::move(m_keys);
        platform.permissions = std::move(m_permissions);
        platform.alerts = std::move(m_alerts);
        return platform;
    }

    // Fakes of its own, as they start out, for a later launch in the same home.
    SessionPlatform freshPlatform()
    {
        SessionPlatform platform = withTimings();
        platform.hotkeys = std::make_unique<FakeHotkeyBackend>();
        platform.windows = std::make_unique<FakeDesktopWindows>();
        platform.accessibility = std::make_unique<FakeAccessibility>();
        platform.keys = std::make_unique<FakeKeySynthesizer>();
        platform.permissions = std::make_unique<FakePermissionProvider>();
        platform.alerts = std::make_unique<FakeAlertPresenter>();
        return platform;
    }

    // Builds the controller and waits until its permission step has read
    // both permissions (and so the start-up recovery has run).
    SessionManager& buildReady()
    {
        build();
        EXPECT_TRUE(waitUntil([&] { return !permissions.trustChecks().isEmpty(); }));
        return *session;
    }

    // Opens the store of the private home for `prepare`, then closes it again,
    // as an earlier run of the application would have left it.
    void prepareStore(const std::function<void(DatabaseManager&, RecordingFileManager&)>& prepare)
    {
        RecordingFileManager files;
        DatabaseManager db(files.baseDirectory());
        prepare(db, files);
    }

    // "LEVEL message" of every line logged so far, oldest first. Only the
    // logger's own queued appends are delivered, so nothing else runs.
    QStringList logLines()
    {
        Logger& logger = session->logger();
        QCoreApplication::sendPostedEvents(&logger, QEvent::MetaCall);
        QStringList lines;
        for (const Logger::LogEntry& entry : logger.entries())
            lines << toText(entry.level) + ' ' + entry.message;
        return lines;
    }

    // Every line the controllers of this home wrote to their log files.
    // Complete once they have gone: a controller's logger writes on a
    // thread of its own until it goes.
    QStringList logFileLines() const
    {
        QStringList lines;
        const QDir logs(home.talvexDataDir() + "/logs");
        for (const QString& name : logs.entryList(QDir::Files)) {
            QFile file(logs.filePath(name));
            EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
            lines += QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
        }
        return lines;
    }

    // Lines logged since the last call.
    QStringList freshLines()
    {
        const QStringList all = logLines();
        const QStringList fresh = all.mid(m_linesSeen);
        m_linesSeen = int(all.size());
        return fresh;
    }

    QList<HttpFake::Request> requestsTo(const QByteArray& path) const
    {
        QList<HttpFake::Request> found;
        for (const HttpFake::Request& r : services.openAI.requests()) {
            if (r.path == path)
                found << r;
        }
        return found;
    }

    // The user message of a chat request: the joined text in its quotes.
    static QString chatText(const HttpFake::Request& request)
    {
        const QString content = QJsonDocument::fromJson(request.body)["messages"]
                                    .toArray()[1].toObject()["content"].toString();
        static const QRegularExpression quoted("\"\"\"\\n(.*)\\n\"\"\"",
                                               QRegularExpression::DotMatchesEverythingOption);
        return quoted.match(content).captured(1);
    }

    // Starts a dictation with the toggle; the id of its recording.
    QString start()
    {
        session->toggleRecording();
        EXPECT_EQ(session->state(), SessionState::recording);
        return session->currentRecording() ? session->currentRecording()->id : QString();
    }

    // A dictation of two slices (one sealed by a pause, one by the stop),
    // stopped; returns the recording's id with the controller in processing.
    QString dictate()
    {
        const QString id = start();
        spinFor(60);
        session->pauseRecording();
        session->resumeRecording();
        spinFor(60);
        session->stopRecording();
        return id;
    }

    // Builds the controller (buildReady) and drives it into `state`:
    // processing waits on a silent recognition service, confirming holds the
    // polished text, which could not be inserted as Editor refused activation.
    void reach(SessionState state)
    {
        buildReady();
        if (state == SessionState::idle)
            return;
        start();
        if (state == SessionState::paused)
            session->pauseRecording();
        if (state == SessionState::processing) {
            transcribe = [](int) { return sessiontest::silent(); };
            session->stopRecording();
        }
        if (state == SessionState::confirming) {
            windows.activation = FakeDesktopWindows::Activation::refused;
            session->stopRecording();
            ASSERT_TRUE(waitForState(SessionState::confirming));
        }
        ASSERT_EQ(session->state(), state);
    }

    bool waitForState(SessionState state, int timeoutMs = 5000)
    {
        return waitUntil([&] { return session->state() == state; }, timeoutMs);
    }

    std::optional<Recording> row(const QString& id) const { return session->database().fetchRecording(id); }
    QList<Slice> slices(const QString& id) const { return session->database().fetchSlices(id, false); }

    bool slicesSettle(const QString& id, int count, int timeoutMs = 5000)
    {
        return waitUntil([&] {
            const QList<Slice> all = slices(id);
            return all.size() == count && std::all_of(all.begin(), all.end(), [](const Slice& s) {
                return s.status == SliceStatus::completed || s.status == SliceStatus::failed;
            });
        }, timeoutMs);
    }

    static QString clipboardText() { return QGuiApplication::clipboard()->text(); }

    TempHome home;
    FakeServices services;
    Preferences prefs{home.configHome() + "/Talvex/Talvex.conf"};
    LocaleManager locale{prefs};
    HttpClient http;

private:
    SessionPlatform withTimings()
    {
        SessionPlatform platform;
        platform.audioCapture = [this] { return std::make_unique<ToneCapture>(tone); };
        platform.audioFileWriter = writers;
        platform.floatingPanel = floatingPanel;
        platform.leftoverAudio = finishLeftoverAudioFile;
        platform.injectorTiming = {.activationWait = 0ms, .readBackWait = 0ms,
                                   .clipboardRestoreDelay = 50ms};
        platform.permissionTiming = {.pollInterval = 100ms};
        platform.orchestratorTiming = {.retryWaitUnit = 1ms, .pollInterval = 10ms};
        platform.httpTiming = {.serviceRequestTimeout = 5s, .serviceTestTimeout = 5s};
        platform.startupTiming = startupTiming;
        return platform;
    }

    std::unique_ptr<FakeHotkeyBackend> m_hotkeys = std::make_unique<FakeHotkeyBackend>();
    std::unique_ptr<FakeDesktopWindows> m_windows = std::make_unique<FakeDesktopWindows>();
    std::unique_ptr<FakeAccessibility> m_accessibility = std::make_unique<FakeAccessibility>();
    std::unique_ptr<FakeKeySynthesizer> m_keys = std::make_unique<FakeKeySynthesizer>();
    std::unique_ptr<FakePermissionProvider> m_permissions = std::make_unique<FakePermissionProvider>();
    std::unique_ptr<FakeAlertPresenter> m_alerts = std::make_unique<FakeAlertPresenter>();
    int m_linesSeen = 0;

protected:
    // The doubles; the controller owns them once built.
    FakeHotkeyBackend& hotkeys = *m_hotkeys;
    FakeDesktopWindows& windows = *m_windows;
    FakeAccessibility& accessibility = *m_accessibility;
    FakeKeySynthesizer& keys = *m_keys;
    FakePermissionProvider& permissions = *m_permissions;
    FakeAlertPresenter& alerts = *m_alerts;
    std::shared_ptr<FakeField> field;   // Editor's focused field

    ToneCapture::Options tone{.speed = 1.0};   // what each new capture plays
    AudioFileWriterFactory writers = [] { return std::make_unique<FfmpegAudioFileWriter>(); };
    StartupTiming startupTiming{.panelStep = 10ms, .permissionStep = 20ms};
    std::function<std::unique_ptr<FloatingPanel>(SessionManager&)> floatingPanel;

    std::function<HttpFake::Answer(int request)> transcribe = [](int request) {
        return HttpFake::Answer::text(200, "words " + QByteArray::number(request) + "\n");
    };
    std::function<HttpFake::Answer(const HttpFake::Request&)> polish = [](const HttpFake::Request&) {
        return sessiontest::chatAnswer("Polished text.");
    };
    int transcriptionRequests = 0;

    std::unique_ptr<SessionManager> session;
};
