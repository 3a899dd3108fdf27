#include <QAction>
#include <QKeySequence>
#include <QMenu>
#include <QSystemTrayIcon>
#include <gtest/gtest.h>

#include "app/ApplicationShell.h"
#include "platform/Preferences.h"
#include "platform/HttpClient.h"
#include "platform/Updater.h"
#include "ui/FloatingPanelController.h"
#include "session/SessionManager.h"
#include "store/LocaleManager.h"
#include "store/Logger.h"
#include "support/EventLoop.h"
#include "support/FakeAccessibility.h"
#include "support/FakeAlertPresenter.h"
#include "support/FakeDesktopWindows.h"
#include "support/FakeHotkeyBackend.h"
#include "support/FakeKeySynthesizer.h"
#include "support/FakePermissionProvider.h"
#include "support/FakeTrayHostWatcher.h"
#include "support/MemoryAudioFileWriter.h"
#include "support/TempHome.h"
#include "support/ToneCapture.h"
#include "ui/MainView.h"
#include "ui/MainWindow.h"

using namespace std::chrono_literals;

// The shell around a controller built on the test doubles, with both
// permissions present so that the hot key starts a recording.
class ApplicationShellTest : public testing::Test
{
protected:
    ApplicationShellTest()
    {
        locale.setLanguage(LocaleManager::kEnglish);
        SessionPlatform platform;
        platform.audioCapture = [] { return std::make_unique<ToneCapture>(); };
        platform.audioFileWriter = MemoryAudioFileWriter::factory(writes);
        auto hotkeys = std::make_unique<FakeHotkeyBackend>();
        hotkey = hotkeys.get();
        platform.hotkeys = std::move(hotkeys);
        platform.windows = std::make_unique<FakeDesktopWindows>();
        platform.accessibility = std::make_unique<FakeAccessibility>();
        platform.keys = std::make_unique<FakeKeySynthesizer>();
        auto permissions = std::make_unique<FakePermissionProvider>();
        permissions->authorization = MicrophoneAuthorization::authorized;
        permissions->trusted = true;
        platform.permissions = std::move(permissions);
        platform.alerts = std::make_unique<FakeAlertPresenter>();
        platform.floatingPanel = [](SessionManager& s) {
            return std::make_unique<FloatingPanelController>(s);
        };
        platform.startupTiming = {.panelStep = 1ms, .permissionStep = 2ms};
        platform.orchestratorTiming = {.retryWaitUnit = 1ms, .pollInterval = 5ms};
        session = std::make_unique<SessionManager>(prefs, locale, http, std::move(platform));
        auto watcher = std::make_unique<FakeTrayHostWatcher>();
        trayHosts = watcher.get();
        shell = std::make_unique<ApplicationShell>(*session, updater, alerts, std::move(watcher));
        waitUntil([&] { return session->floatingPanel() && session->permissionManager().accessibilityGranted(); });
    }

    QStringList menuTexts()
    {
        emit shell->menu().aboutToShow();
        QStringList texts;
        for (QAction* action : shell->menu().actions())
            texts << (action->isSeparator() ? QStringLiteral("---") : action->text());
        return texts;
    }

    TempHome home;
    Preferences prefs{home.configHome() + "/Talvex/Talvex.conf"};
    LocaleManager locale{prefs};
    HttpClient http;
    std::shared_ptr<MemoryAudioFileWriter::Log> writes = std::make_shared<MemoryAudioFileWriter::Log>();
    FakeHotkeyBackend* hotkey = nullptr;
    FakeTrayHostWatcher* trayHosts = nullptr;   // no host until a test starts one
    FakeAlertPresenter alerts;
    Updater updater{http, [](const QString& key) { return key; }};
    std::unique_ptr<SessionManager> session;
    std::unique_ptr<ApplicationShell> shell;
};

TEST_F(ApplicationShellTest, MenuItemsInOrderWithTheirShortcuts)
{
    EXPECT_EQ(menuTexts(), (QStringList{"Settings…", "Hide Floating Panel", "Check for Updates…",
                                        "---", "Quit Talvex"}));
    const QList<QAction*> actions = shell->menu().actions();
    EXPECT_EQ(actions[0]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Comma));
    EXPECT_EQ(actions[4]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
}

TEST_F(ApplicationShellTest, FloatingPanelItemTogglesTheSettingAndThePanel)
{
    ASSERT_TRUE(waitUntil([&] { return session->floatingPanel()->isShown(); }));
    shell->menu().actions()[1]->trigger();
    EXPECT_FALSE(prefs.showFloatingPanel());
    EXPECT_FALSE(session->floatingPanel()->isShown());
    EXPECT_EQ(menuTexts()[1], "Show Floating Panel");

    shell->menu().actions()[1]->trigger();
    EXPECT_TRUE(prefs.showFloatingPanel());
    EXPECT_TRUE(session->floatingPanel()->isShown());
    EXPECT_EQ(menuTexts()[1], "Hide Floating Panel");
}

TEST_F(ApplicationShellTest, TrayIconFollowsTheDictationState)
{
    EXPECT_EQ(shell->stateIconPath(), ":/icons/tray-idle.svg");
    hotkey->press();
    ASSERT_TRUE(waitUntil([&] { return session->state() == SessionState::recording; }));
    EXPECT_EQ(shell->stateIconPath(), ":/icons/tray-recording.svg");
    session->pauseRecording();
    EXPECT_EQ(shell->stateIconPath(), ":/icons/tray-paused.svg");
    session->stopRecording();
    EXPECT_EQ(shell->stateIconPath(), ":/icons/tray-processing.svg");
    for (const char* state : {"idle", "recording", "paused", "processing"})
        EXPECT_FALSE(QIcon(QStringLiteral(":/icons/tray-%1.svg").arg(state)).isNull()) << state;
}

TEST_F(ApplicationShellTest, WithoutATrayTheMainWindowStaysOpen)
{
    shell->start();
    spinFor(ApplicationShell::kHideMainWindowDelayMs + 50);
    EXPECT_TRUE(shell->mainWindow().isVisible());
    EXPECT_GE(shell->mainWindow().minimumWidth(), 480);
    EXPECT_GE(shell->mainWindow().minimumHeight(), 520);
    bool logged = false;
    for (const Logger::LogEntry& entry : session->logger().entries())
        logged |= entry.message == "App: no system tray available, keeping the main window open";
    EXPECT_TRUE(logged);
}

// A tray host that starts after the program (a panel restarted, or one that
// comes up late in the session) gets the icon; the window the user was
// given meanwhile stays open.
TEST_F(ApplicationShellTest, ATrayThatStartsLaterGetsTheIcon)
{
    shell->start();
    ASSERT_EQ(shell->trayIcon(), nullptr);

    trayHosts->startHost();

    ASSERT_NE(shell->trayIcon(), nullptr);
    EXPECT_TRUE(shell->trayIcon()->isVisible());
    EXPECT_EQ(shell->trayIcon()->contextMenu(), &shell->menu());
    EXPECT_FALSE(shell->trayIcon()->icon().isNull());
    spinFor(ApplicationShell::kHideMainWindowDelayMs + 50);
    EXPECT_TRUE(shell->mainWindow().isVisible());

    // A host announcing itself again changes nothing.
    QSystemTrayIcon* icon = shell->trayIcon();
    trayHosts->startHost();
    EXPECT_EQ(shell->trayIcon(), icon);
}

// A left click shows the same menu as a right click does.
TEST_F(ApplicationShellTest, ALeftClickOnTheIconShowsTheMenu)
{
    trayHosts->available = true;
    shell->start();
    ASSERT_NE(shell->trayIcon(), nullptr);
    ASSERT_FALSE(shell->menu().isVisible());

    emit shell->trayIcon()->activated(QSystemTrayIcon::Trigger);

    EXPECT_TRUE(shell->menu().isVisible());
    EXPECT_EQ(shell->menu().actions()[0]->text(), "Settings\u2026");
    shell->menu().hide();
}

TEST_F(ApplicationShellTest, TheMainWindowShowsTheTabsAndTheRunningDictation)
{
    shell->start();
    QWidget& window = shell->mainWindow();
    const auto* view = window.findChild<MainView*>(QStringLiteral("mainView"));
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(view->isVisibleTo(&window));
    EXPECT_EQ(view->selectedTab(), MainView::settingsTab);
    EXPECT_FALSE(window.findChild<QWidget*>(QStringLiteral("statusStrip"))->isVisibleTo(&window));

    hotkey->press();
    ASSERT_TRUE(waitUntil([&] { return session->state() == SessionState::recording; }));
    EXPECT_TRUE(window.findChild<QWidget*>(QStringLiteral("statusStrip"))->isVisibleTo(&window));
}
