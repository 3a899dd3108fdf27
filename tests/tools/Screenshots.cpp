// Screenshots of the dictation screens, taken from the screen of a real X
// display (scripts/screenshots runs this inside the private headless desktop):
// the floating panel and the status strip in every state, the main window on
// each tab, and the debug console with a line of every level. The views are
// the real ones on the controller of the session tests' fixture.
//
//   talvex_screenshots FOLDER LANGUAGE     (LANGUAGE: en or zh-Hans)
//
// writes FOLDER/LANGUAGE-<subject>.png.
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QScreen>
#include <QWindow>
#include <gtest/gtest.h>

#include "platform/x11/X11WindowHints.h"
#include "support/TempHome.h"
#include "ui/FloatingPanelController.h"
#include "ui/MainWindow.h"
#include "ui/RecordingStatusBar.h"
#include "ui/SettingsView.h"
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

    void build()
    {
        buildReady();
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
