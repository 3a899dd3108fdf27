#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <gmock/gmock.h>

#include "desktop/PasteTargetProcess.h"
#include "platform/x11/X11Connection.h"
#include "platform/x11/X11DesktopWindows.h"
#include "session/TextInjector.h"
#include "store/Logger.h"
#include "support/EventLoop.h"
#include "support/QStringPrinter.h"
#include "support/TempHome.h"

using testing::Contains;

namespace {

// The injector on this build's real backends, against helper processes.
class InjectionTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(X11Connection::fromQt()) << "needs an X display"; }

    bool startInFront(PasteTargetProcess& target)
    {
        return target.start() && waitUntil([&] {
            const auto front = windows.frontmostApplication();
            return front && front->pid == target.pid();
        });
    }

    // The target is in front when the recording starts; then the user
    // switches to another window.
    void captureThenSwitchAway(PasteTargetProcess& target, PasteTargetProcess& other)
    {
        ASSERT_TRUE(startInFront(target));
        injector.captureTarget();
        ASSERT_TRUE(injector.targetApp());
        ASSERT_EQ(injector.targetApp()->pid, target.pid());
        ASSERT_TRUE(startInFront(other));
    }

    QStringList logMessages()
    {
        QCoreApplication::sendPostedEvents(&logger, QEvent::MetaCall);
        QStringList messages;
        for (const auto& entry : logger.entries())
            messages << entry.message;
        return messages;
    }

    static QClipboard& clipboard() { return *QGuiApplication::clipboard(); }

    TempHome home;
    Logger logger{home.path()};
    X11DesktopWindows windows;
    TextInjector injector{logger};
};

PasteTargetProcess::Options accessibleWithText(const QString& text)
{
    return {{"--text", text}, true};
}

}

TEST_F(InjectionTest, WritesThroughAccessibilityIntoTheRememberedWindow)
{
    PasteTargetProcess target(accessibleWithText("Hello"));
    PasteTargetProcess other({{"--title", "Elsewhere"}});
    captureThenSwitchAway(target, other);
    clipboard().setText("left alone");

    ASSERT_TRUE(injector.inject(QString::fromUtf8(" wörld")));

    EXPECT_TRUE(target.waitForText(QString::fromUtf8("Hello wörld")));
    EXPECT_THAT(logMessages(), Contains("TextInjector: AX inject verified, 6 chars inserted"));
    EXPECT_EQ(clipboard().text(), "left alone");
    EXPECT_EQ(other.text(), "");
}

TEST_F(InjectionTest, PastesIntoTheRememberedWindowWhenItPublishesNoAccessibility)
{
    PasteTargetProcess target;
    PasteTargetProcess other({{"--title", "Elsewhere"}});
    captureThenSwitchAway(target, other);
    clipboard().setText("the user's clipboard");

    ASSERT_TRUE(injector.inject("pasted text"));

    EXPECT_TRUE(target.waitForText("pasted text"));
    EXPECT_THAT(logMessages(), Contains("TextInjector: no focused element, using ⌘V paste"));
    EXPECT_THAT(logMessages(), Contains("TextInjector: injected 11 chars via ⌘V paste"));
    EXPECT_TRUE(waitUntil([&] { return clipboard().text() == "the user's clipboard"; }, 3000));
    EXPECT_EQ(other.text(), "");
}

TEST_F(InjectionTest, PastesWhenTheAccessibilityBusIsUnreachable)
{
    // Each test runs in its own process, which connects to the bus once.
    qputenv("AT_SPI_BUS_ADDRESS", "unix:path=/nonexistent/talvex-no-bus");
    PasteTargetProcess target(accessibleWithText("Hi"));
    PasteTargetProcess other({{"--title", "Elsewhere"}});
    captureThenSwitchAway(target, other);

    ASSERT_TRUE(injector.inject(" there"));

    EXPECT_TRUE(target.waitForText("Hi there"));
    EXPECT_THAT(logMessages(), Contains("TextInjector: no focused element, using ⌘V paste"));
}

TEST_F(InjectionTest, DoesNotPasteElsewhereWhenTheTargetHasQuit)
{
    PasteTargetProcess target;
    PasteTargetProcess other({{"--title", "Elsewhere"}});
    captureThenSwitchAway(target, other);
    target.quit();
    // The window manager has dropped the quit window.
    ASSERT_TRUE(waitUntil([&] { return !X11DesktopWindows().activate(*injector.targetApp()); }));

    EXPECT_FALSE(injector.inject("lost text"));

    spinFor(200);
    EXPECT_EQ(other.text(), "") << "the text went into the wrong window";
    EXPECT_THAT(logMessages(), Contains("TextInjector: could not activate PasteTarget, text not inserted"));
    const auto current = injector.getCurrentTarget();
    ASSERT_TRUE(current);
    EXPECT_EQ(current->appName, "PasteTarget");
    EXPECT_EQ(current->detail, "");
}
