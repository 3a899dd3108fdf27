#include <gtest/gtest.h>

#include "desktop/PasteTargetProcess.h"
#include "platform/x11/X11Connection.h"
#include "platform/x11/X11DesktopWindows.h"
#include "support/EventLoop.h"
#include "support/QStringPrinter.h"

namespace {

class DesktopWindowsTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(X11Connection::fromQt()) << "needs an X display"; }

    bool waitForFrontmost(const PasteTargetProcess& target)
    {
        return waitUntil([&] {
            const auto front = windows.frontmostApplication();
            return front && front->pid == target.pid();
        });
    }

    // Starts a target (in front once started) and reads it back.
    std::optional<DesktopApplication> startInFront(PasteTargetProcess& target)
    {
        if (!target.start())
            return std::nullopt;
        return windows.frontmostApplication();
    }

    X11DesktopWindows windows;
};

PasteTargetProcess::Options titled(const QString& title)
{
    return {{"--title", title}};
}

}

TEST_F(DesktopWindowsTest, FrontmostApplicationIsTheActiveWindowsProcessWithItsTitle)
{
    const QString title = QString::fromUtf8("Zielfenster – ünïcödé ✓");
    PasteTargetProcess target(titled(title));

    const auto front = startInFront(target);

    ASSERT_TRUE(front);
    EXPECT_EQ(front->name, "PasteTarget");
    EXPECT_EQ(front->pid, target.pid());
    EXPECT_NE(front->windowId, 0u);
    EXPECT_EQ(windows.focusedWindowTitle(*front), title);
}

TEST_F(DesktopWindowsTest, ActivatesARememberedApplicationAndReadsItsTitleFromBehind)
{
    PasteTargetProcess first(titled("First"));
    PasteTargetProcess second(titled("Second"));
    const auto remembered = startInFront(first);
    ASSERT_TRUE(remembered);
    ASSERT_TRUE(startInFront(second));

    EXPECT_EQ(windows.focusedWindowTitle(*remembered), "First");
    ASSERT_TRUE(windows.activate(*remembered));

    EXPECT_TRUE(waitForFrontmost(first));
}

TEST_F(DesktopWindowsTest, ActivationFailsOnceTheApplicationHasQuit)
{
    PasteTargetProcess gone(titled("Gone"));
    PasteTargetProcess other(titled("Other"));
    const auto remembered = startInFront(gone);
    ASSERT_TRUE(remembered);
    ASSERT_TRUE(startInFront(other));

    gone.quit();

    EXPECT_TRUE(waitUntil([&] { return !windows.activate(*remembered); }))
        << "a window of a quit process was still activated";
    EXPECT_EQ(windows.focusedWindowTitle(*remembered), "");
    const auto front = windows.frontmostApplication();
    ASSERT_TRUE(front);
    EXPECT_EQ(front->pid, other.pid());
}
