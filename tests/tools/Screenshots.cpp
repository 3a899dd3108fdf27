// Screenshots of the dictation screens, taken from the screen of a real X
// display (scripts/screenshots runs this inside the private headless desktop):
// the floating panel and the status strip in every state, the main window on
// each tab, the debug console with a line of every level and the accounts tab. The views are
// the real ones on the controller of the session tests' fixture.
//
//   talvex_screenshots FOLDER LANGUAGE     (LANGUAGE: en or zh-Hans)
//
// writes FOLDER/LANGUAGE-<subject>.png.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QLineEdit>
#include <QListView>
#include <QPixmap>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>
#include <gtest/gtest.h>

#include "platform/x11/X11WindowHints.h"
#include "store/RecordId.h"
#include "support/FakeBackend.h"
#include "support/RunTask.h"
#include "support/ScriptedWebAuthSession.h"
#include "support/TempHome.h"
#include "support/TestClock.h"
#include "sync/BackendClient.h"
#include "sync/SyncManager.h"
#include "ui/FloatingPanelController.h"
#include "ui/GlossaryRowView.h"
#include "ui/MainWindow.h"
#include "ui/RecordingListView.h"
#include "ui/RecordingStatusBar.h"
#include "ui/ServiceTestSection.h"
#include "ui/SettingsView.h"
#include "ui/ShortcutRecorderView.h"
#include "ui/ViewFixture.h"

using namespace sessiontest;
using namespace std::chrono_literals;

namespace {

QString g_folder;
QString g_language;

// Space around a window in its picture, so that its corners show against
// what lies behind it.
constexpr int kMargin = 12;
constexpr int kStripWidth = 520;

// ---- The floating panel ---------------------------------------------------
// The only place that knows how the panel is built and where its window is:
// adjust these two when the panel's construction changes.
std::function<std::unique_ptr<FloatingPanel>(SessionManager&)> panelFactory()
{
    // As the program builds it: the X server tells whether it must be cut.
    return [](SessionManager& session) {
        return std::make_unique<FloatingPanelController>(session, x11WindowHints());
    };
}

QWidget* panelWindow(SessionManager& session)
{
    auto* panel = dynamic_cast<FloatingPanelController*>(session.floatingPanel());
    return panel ? panel->panel() : nullptr;
}
// ---------------------------------------------------------------------------

}  // namespace

class Screenshots : public ViewFixture
{
protected:
    Screenshots()
    {
        floatingPanel = panelFactory();
        locale.setLanguage(g_language);
        // A light desktop, so that dark corners the panel should not have show.
        backdrop.setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnBottomHint);
        backdrop.setStyleSheet(QStringLiteral("background: #d8d8d8"));
        backdrop.setGeometry(QGuiApplication::primaryScreen()->geometry());
        backdrop.show();
    }

    // `window` as the screen shows it, with a margin around its frame.
    static void shoot(QWidget& window, const QString& subject)
    {
        window.show();
        ASSERT_TRUE(waitUntil([&] { return window.windowHandle() && window.windowHandle()->isExposed(); }))
            << subject.toStdString();
        // The window manager's frame and placement come in their own events.
        spinFor(150);
        window.repaint();
        const QRect frame = window.frameGeometry().adjusted(-kMargin, -kMargin, kMargin, kMargin);
        const QPixmap picture =
            window.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
        const QString path = g_folder + "/" + g_language + "-" + subject + ".png";
        EXPECT_TRUE(picture.save(path)) << path.toStdString();
    }

    void shootPanel(const QString& state)
    {
        QWidget* panel = panelWindow(*session);
        ASSERT_NE(panel, nullptr) << "no panel";
        shoot(*panel, "panel-" + state);
    }

    void shootStrip(const QString& state)
    {
        strip->resize(kStripWidth, strip->sizeHint().height());
        shoot(*strip, "strip-" + state);
    }

    void shootEverything(const QString& state)
    {
        shootPanel(state);
        shootStrip(state);
        shoot(*window, "main-" + state);
    }

    // `adjust` changes the scripted platform before the controller is built.
    void build(const std::function<void(SessionPlatform&)>& adjust = {})
    {
        SessionPlatform platform = scriptedPlatform();
        if (adjust)
            adjust(platform);
        SessionFixture::build(std::move(platform));
        ASSERT_TRUE(waitUntil([&] { return !permissions.trustChecks().isEmpty(); }));
        ASSERT_TRUE(waitUntil([&] { return panelWindow(*session) != nullptr; }));
        strip = std::make_unique<RecordingStatusBar>(*session);
        strip->setWindowTitle(QStringLiteral("Status strip"));
        window = std::make_unique<MainWindow>(*session);
        window->move(40, 120);
        strip->move(620, 120);
    }

    QWidget backdrop;
    std::unique_ptr<RecordingStatusBar> strip;
    std::unique_ptr<MainWindow> window;
};

TEST_F(Screenshots, EveryStateAndTab)
{
    build();
    const QString tabs[] = {"tabSettings", "tabRecordings", "tabGlossary", "tabAccounts", "tabDebug"};
    const QString subjects[] = {"settings", "recordings", "glossary", "accounts", "console"};
    prefs.setValue(PrefKey::enableSync, true);
    session->logger().debug(QStringLiteral("A debug line: slice 1 sealed after 30.0 s"));
    session->logger().info(QStringLiteral("An info line: state idle \u2192 recording"));
    session->logger().warning(QStringLiteral("A warning line: AX not readable, using paste"));
    session->logger().error(QStringLiteral("An error line: API error (401): bad key"));
    for (int tab = 0; tab < 5; ++tab) {
        click(*window, tabs[tab]);
        shoot(*window, "tab-" + subjects[tab]);
    }
    prefs.setValue(PrefKey::enableSync, false);
    click(*window, tabs[2]);
    shootPanel("idle");

    // Recording past its first second, paused, then processed while the
    // second slice's recognition hangs.
    transcribe = [](int request) {
        return request == 1 ? HttpFake::Answer::text(200, "words\n") : silent();
    };
    start();
    ASSERT_TRUE(waitUntil([&] { return session->audioRecorder().elapsedTime() >= 1.2; }));
    shootEverything("recording");
    session->pauseRecording();
    shootEverything("paused");
    session->resumeRecording();
    session->stopRecording();
    ASSERT_TRUE(waitUntil([&] { return session->orchestrator().progress().completed == 1; }));
    shootEverything("processing");
    session->cancelProcessing();

    // A text the target's window did not take, short and long.
    transcribe = [](int request) { return HttpFake::Answer::text(200, "words " + QByteArray::number(request)); };
    windows.activation = FakeDesktopWindows::Activation::refused;
    windows.frontmost = DesktopApplication{"Text Editor", kEditorPid, kEditorWindow};
    polish = [](const HttpFake::Request&) {
        return chatAnswer(QStringLiteral("Meet me at the station at six; bring the tickets and the map."));
    };
    reach(SessionState::confirming);
    shootEverything("confirming");
    session->cancelInjection();
    polish = [](const HttpFake::Request&) { return chatAnswer(QString("A long dictation. ").repeated(280)); };
    reach(SessionState::confirming);
    shootStrip("confirming-long");
    session->cancelInjection();

    // A dictation that fails: its message while idle, and under the next bar.
    polish = [](const HttpFake::Request&) {
        return HttpFake::Answer::json(401, R"({"error":{"message":"Incorrect API key provided."}})");
    };
    dictate();
    ASSERT_TRUE(waitForState(SessionState::idle));
    shootEverything("idle-error");
    start();
    shootStrip("recording-error");
    session->cancelRecording();
}

// The shortcut recorder on its own, showing the stored shortcut and recording.
TEST_F(Screenshots, ShortcutRecorder)
{
    QWidget frame;
    frame.setWindowTitle(QStringLiteral("Shortcut recorder"));
    auto* layout = new QVBoxLayout(&frame);
    auto* recorder = new ShortcutRecorderView(prefs, &frame);
    layout->addWidget(recorder);
    frame.move(40, 120);
    shoot(frame, "recorder-idle");
    QTest::mouseClick(recorder, Qt::LeftButton);
    shoot(frame, "recorder-recording");
}

// The recordings tab: empty, a row of every status (one made on another
// machine), and a row whose retry is under way.
TEST_F(Screenshots, History)
{
    build();
    click(*window, "tabSettings");
    click(*window, "tabRecordings");
    shoot(*window, "history-empty");

    struct Row
    {
        RecordingStatus status;
        const char* text;
        const char* error;
        const char* deviceId;
        double duration;
    };
    const Row rows[] = {
        {RecordingStatus::recording, nullptr, nullptr, nullptr, 0},
        {RecordingStatus::paused, nullptr, nullptr, nullptr, 0},
        {RecordingStatus::recorded, nullptr, nullptr, nullptr, 42.7},
        {RecordingStatus::transcribed, "meet me at the station at six and bring the tickets", nullptr, nullptr, 8.2},
        {RecordingStatus::completed, "Meet me at the station at six; bring the tickets and the map. "
                                     "We can decide on dinner once everyone has arrived.", nullptr, nullptr, 3725},
        {RecordingStatus::failed, nullptr, "2 slice(s) failed", "another-device", 61},
        {RecordingStatus::failed, "the first part was heard",
         "Post-processing failed: Post-processing API error (401): Incorrect API key provided. "
         "You can find your API key in your account settings. Check that it is copied whole.",
         nullptr, 59.9},
    };
    DatabaseManager& db = session->database();
    QString retried;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (int i = 0; i < int(std::size(rows)); ++i) {
        const Row& row = rows[i];
        Recording r;
        r.id = newRecordId();
        r.userId = "local";
        r.createdAt = r.updatedAt = now.addSecs(-3600 * (int(std::size(rows)) - i));
        r.status = row.status;
        if (row.duration > 0)
            r.duration = row.duration;
        if (row.text)
            r.rawText = r.cleanedText = QString(row.text);
        if (row.error)
            r.error = QString(row.error);
        r.deviceId = row.deviceId ? QString(row.deviceId) : session->deviceId();
        ASSERT_TRUE(db.insertRecording(r));
        Slice slice;
        slice.id = newRecordId();
        slice.userId = "local";
        slice.recordingId = r.id;
        slice.sliceIndex = 1;
        slice.filename = RecordingFileManager::generateSliceFilename(r.id, 1, r.createdAt);
        slice.status = row.status == RecordingStatus::failed ? SliceStatus::failed : SliceStatus::completed;
        slice.updatedAt = r.updatedAt;
        ASSERT_TRUE(db.insertSlice(slice));
        QFile audio(session->fileManager().recordingsDirectory() + "/" + slice.filename);
        ASSERT_TRUE(audio.open(QIODevice::WriteOnly));
        audio.write("audio");
        if (row.status == RecordingStatus::failed && !row.deviceId)
            retried = r.id;
    }
    click(*window, "tabSettings");
    click(*window, "tabRecordings");
    shoot(*window, "history-statuses");

    transcribe = [](int) {
        HttpFake::Answer held = HttpFake::Answer::text(200, "words");
        held.heldAs = "retry";
        return held;
    };
    auto* history = shown<RecordingListView>(*window, "recordingsScreen");
    ASSERT_NE(history, nullptr);
    history->run(retried, RecordingListModel::Action::retry);
    ASSERT_TRUE(session->orchestrator().isRetrying(retried));
    shoot(*window, "history-retrying");
    ASSERT_TRUE(waitUntil([&] { return services.openAI.release("retry"); }));
    ASSERT_TRUE(waitUntil([&] { return !session->orchestrator().isRetrying(retried); }));
}

// The glossary tab empty, with terms and with a row being edited; the
// service test section with a result of every kind, one probe still waiting.
TEST_F(Screenshots, GlossaryAndServiceTest)
{
    build();
    click(*window, "tabGlossary");
    shoot(*window, "glossary-empty");
    auto* field = shown<QLineEdit>(*window, "glossaryAddField");
    ASSERT_NE(field, nullptr);
    const QString terms[] = {"Kubernetes", "gRPC", u"通义千问"_qs, "PostgreSQL",
                             "A rather long term that has to be cut at the edit button of its row, as it does not fit"};
    for (const QString& term : terms) {
        field->setText(term);
        QTest::keyClick(field, Qt::Key_Return);
    }
    shoot(*window, "glossary-list");
    auto* list = shown<QListView>(*window, "glossaryList");
    ASSERT_NE(list, nullptr);
    const QRect row = list->visualRect(list->model()->index(2, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, GlossaryRowView::editButtonRect(row).center());
    ASSERT_NE(QApplication::focusWidget(), nullptr);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_End);   // the editor opens with its text selected
    QTest::keyClicks(QApplication::focusWidget(), " (Qwen)");
    shoot(*window, "glossary-editing");
    window->hide();

    prefs.setValue(PrefKey::dashScopeApiKey, "sk-screenshot");
    prefs.setValue(PrefKey::deepSeekApiKey, "sk-screenshot");
    services.openAI.setResponder([](const HttpFake::Request& request) {
        if (request.body.contains("\"gpt-4o\""))
            return HttpFake::Answer::json(401, R"({"error":{"message":"Incorrect API key provided: sk-scr***. You can find your API key at https://platform.example/account/api-keys."}})");
        if (request.path == kChat)
            return chatAnswer("I am an AI language model created to help answer questions and assist with tasks.");
        return HttpFake::Answer::text(200, "Hello, this is a test recording.\n");
    });
    services.dashScope.setResponder([](const HttpFake::Request&) {
        const QJsonObject message{{"content", QJsonArray{QJsonObject{{"text", u"你好，这是一段测试录音。"_qs}}}}};
        const QJsonObject output{{"choices", QJsonArray{QJsonObject{{"message", message}}}}};
        return HttpFake::Answer::json(200, QJsonDocument(QJsonObject{{"output", output}}).toJson());
    });
    services.deepSeek.setResponder([](const HttpFake::Request&) {
        HttpFake::Answer answer = chatAnswer("I am DeepSeek Chat.");
        answer.heldAs = "deepseek";
        return answer;
    });
    QWidget frame;
    frame.setWindowTitle(QStringLiteral("Service test"));
    auto* margins = new QVBoxLayout(&frame);
    margins->setContentsMargins(16, 16, 16, 16);
    auto* section = new ServiceTestSection(*session, &frame);
    margins->addWidget(section);
    margins->addStretch(1);
    frame.resize(520, 200);
    frame.move(40, 120);
    shoot(frame, "service-test-idle");
    click(frame, "serviceTestButton");
    ASSERT_TRUE(waitUntil([&] {
        const auto& results = section->tester().results();
        return std::count_if(results.begin(), results.end(), [](const APITester::TestResult& r) {
                   return r.status != APITester::TestResult::Status::pending;
               }) == 4;
    }));
    shoot(frame, "service-test-running");
    ASSERT_TRUE(services.deepSeek.release("deepseek"));
    ASSERT_TRUE(waitUntil([&] { return !section->tester().isRunning(); }));
    shoot(frame, "service-test-results");
}

// The settings tab at its full height, as it opens and with a hot-key
// warning and accessibility not granted.
TEST_F(Screenshots, Settings)
{
    build();
    SettingsView settings(*session);
    settings.setWindowTitle(QStringLiteral("Settings"));
    settings.move(40, 20);
    const auto fit = [&] { settings.resize(kStripWidth, settings.widget()->sizeHint().height()); };
    fit();
    shoot(settings, "settings-whole");

    prefs.setValue(PrefKey::shortcut, QStringLiteral("\u2318 Space"));
    permissions.trusted = false;
    ASSERT_TRUE(waitUntil([&] { return !session->permissionManager().accessibilityGranted(); }));
    fit();
    shoot(settings, "settings-warning");
}

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    testing::InitGoogleTest(&argc, argv);
    if (argc != 3) {
        fprintf(stderr, "usage: %s FOLDER LANGUAGE (en or zh-Hans)\n", argv[0]);
        return 2;
    }
    g_folder = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    g_language = QString::fromLocal8Bit(argv[2]);
    if (!QDir().mkpath(g_folder)) {
        fprintf(stderr, "cannot make %s\n", argv[1]);
        return 2;
    }
    TempHome processHome;
    QApplication app(argc, argv);
    QApplication::setOrganizationName("Talvex");
    QApplication::setApplicationName("Talvex");
    return RUN_ALL_TESTS();
}

// The accounts tab over the fake backend: local current with the account
// cached; the account current with statistics, a failed sync and a failed
// sign-out.
TEST_F(Screenshots, Accounts)
{
    TestClock clock;
    FakeBackend backend{clock};
    const FakeBackend::User alice = backend.addUser("alice@example.com");
    ScriptedWebAuthSession* browser = nullptr;
    prefs.setValue(PrefKey::enableSync, true);
    build([&](SessionPlatform& platform) {
        platform.backendClient = [&] {
            return std::make_unique<BackendClient>(prefs, http,
                                                   BackendConfig(backend.url(), FakeBackend::kPublishableKey),
                                                   clock.wallClock(), AuthTiming{.tickInterval = 1h});
        };
        auto scripted = std::make_unique<ScriptedWebAuthSession>();
        browser = scripted.get();
        platform.webAuthSession = std::move(scripted);
    });
    session->activateSync();
    SyncManager& sync = session->syncManager();
    backend.setSignInUser(alice.id);
    const auto result = runTask(session->backendClient().signInWithOAuth(*browser));
    ASSERT_TRUE(result && result->ok());
    ASSERT_TRUE(waitUntil([&] {
        return session->remoteAccount() && prefs.currentUserId() == session->remoteAccount()->id
            && sync.lastSyncTime() && !sync.isSyncing();
    }));
    const QString id = session->remoteAccount()->id;

    click(*window, "tabAccounts");
    click(*window, "localRow");
    ASSERT_TRUE(waitUntil([&] { return prefs.currentUserId() == "local"; }));
    shoot(*window, "accounts-local");

    DatabaseManager& db = session->database();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const double durations[] = {42.5, 3725, 610};
    for (int i = 0; i < 3; ++i) {
        Recording r{.id = newRecordId(), .userId = id, .createdAt = now, .duration = durations[i],
                    .status = RecordingStatus::completed, .updatedAt = now};
        ASSERT_TRUE(db.insertRecording(r));
        for (int index = 1; index <= 3; ++index) {
            Slice slice{.id = newRecordId(), .userId = id, .recordingId = r.id, .sliceIndex = index,
                        .filename = RecordingFileManager::generateSliceFilename(r.id, index, now),
                        .status = i == 2 && index == 3 ? SliceStatus::failed : SliceStatus::completed,
                        .updatedAt = now};
            ASSERT_TRUE(db.insertSlice(slice));
        }
    }
    db.insertGlossaryItem({newRecordId(), id, "Kubernetes", std::nullopt, now, now});
    click(*window, "remoteRow");
    ASSERT_TRUE(waitUntil([&] { return !sync.isSyncing() && sync.lastSyncTime(); }));
    backend.addFault({"POST", "/auth/v1/logout", FakeBackend::Fault::Kind::serverError, 1, 500});
    click(*window, "remoteRowSignOut");
    ASSERT_TRUE(waitUntil([&] { return shown(*window, "accountsError") != nullptr && !sync.isSyncing(); }));
    // The failed sign-out dropped the client's session: a term written now
    // cannot be pushed, and the push's error stays.
    db.insertGlossaryItem({newRecordId(), id, "PostgreSQL", std::nullopt, now, now});
    click(*window, "syncNowButton");
    ASSERT_TRUE(waitUntil([&] { return !sync.isSyncing() && sync.lastError(); }, 30000));
    shoot(*window, "accounts-account");
}
