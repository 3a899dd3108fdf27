#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <X11/keysym.h>
#include <gtest/gtest.h>
#include <thread>
#include <xcb/xcb_keysyms.h>
#include <xcb/xtest.h>

#include "desktop/PasteTargetProcess.h"
#include "platform/x11/X11Connection.h"
#include "platform/x11/X11KeySynthesizer.h"
#include "support/EventLoop.h"
#include "support/QStringPrinter.h"

using namespace std::chrono_literals;

namespace {

// A keyboard of its own on the X server, standing for the user's hands.
class Hands
{
public:
    Hands() : m_connection(xcb_connect(nullptr, nullptr)) {}
    ~Hands() { xcb_disconnect(m_connection); }

    void press(xcb_keysym_t keysym) { fake(XCB_KEY_PRESS, keysym); }
    void release(xcb_keysym_t keysym) { fake(XCB_KEY_RELEASE, keysym); }

    bool anyKeyDown()
    {
        xcb_query_keymap_reply_t* reply =
            xcb_query_keymap_reply(m_connection, xcb_query_keymap(m_connection), nullptr);
        const bool down = std::any_of(std::begin(reply->keys), std::end(reply->keys),
                                      [](uint8_t bits) { return bits != 0; });
        std::free(reply);
        return down;
    }

private:
    void fake(uint8_t type, xcb_keysym_t keysym)
    {
        xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(m_connection);
        xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, keysym);
        xcb_test_fake_input(m_connection, type, codes[0], XCB_CURRENT_TIME, XCB_WINDOW_NONE, 0, 0, 0);
        std::free(codes);
        xcb_key_symbols_free(symbols);
        std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
    }

    xcb_connection_t* m_connection;
};

class PasteKeySynthesizerTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(X11Connection::fromQt()) << "needs an X display"; }

    static bool hasLine(PasteTargetProcess& target, const QString& line)
    {
        return waitUntil([&] { return target.lines().contains(line); });
    }
};

}

TEST_F(PasteKeySynthesizerTest, CtrlVPastesTheClipboardIntoTheFocusedField)
{
    PasteTargetProcess target;
    ASSERT_TRUE(target.start());
    QGuiApplication::clipboard()->setText(QString::fromUtf8("Grüße aus dem Test ✓"));
    X11KeySynthesizer keys;

    ASSERT_TRUE(keys.isAvailable());
    ASSERT_TRUE(keys.postPaste());

    EXPECT_TRUE(target.waitForText(QString::fromUtf8("Grüße aus dem Test ✓")));
    EXPECT_TRUE(target.lines().contains("KEY Ctrl+V"));
}

TEST_F(PasteKeySynthesizerTest, TerminalEmulatorsGetCtrlShiftV)
{
    PasteTargetProcess terminal({.resourceName = "xterm"});
    ASSERT_TRUE(terminal.start());
    X11KeySynthesizer keys;

    ASSERT_TRUE(keys.postPaste());

    EXPECT_TRUE(hasLine(terminal, "KEY Ctrl+Shift+V"));
    EXPECT_FALSE(terminal.lines().contains("KEY Ctrl+V"));
}

TEST_F(PasteKeySynthesizerTest, WaitsForTheUserToLetGoOfTheHotKey)
{
    PasteTargetProcess target;
    ASSERT_TRUE(target.start());
    QGuiApplication::clipboard()->setText("after the hot key");
    Hands hands;
    hands.press(XK_Shift_L);
    hands.press(XK_Super_L);
    std::thread letGo([&] {
        std::this_thread::sleep_for(150ms);
        hands.release(XK_Super_L);
        hands.release(XK_Shift_L);
    });
    X11KeySynthesizer keys(X11KeyTiming{.keyReleaseWait = 5s});
    QElapsedTimer clock;
    clock.start();

    const bool posted = keys.postPaste();
    const qint64 waited = clock.elapsed();
    letGo.join();

    ASSERT_TRUE(posted);
    EXPECT_GE(waited, 140);
    EXPECT_LT(waited, 4000) << "it did not notice the keys came up";
    EXPECT_TRUE(target.waitForText("after the hot key"));
    EXPECT_TRUE(target.lines().contains("KEY Ctrl+V"));
}

TEST_F(PasteKeySynthesizerTest, ReleasesKeysStillHeldWhenTheWaitEnds)
{
    PasteTargetProcess target;
    ASSERT_TRUE(target.start());
    QGuiApplication::clipboard()->setText("despite Shift");
    Hands hands;
    hands.press(XK_Shift_L);   // held on: with it down the field would see Ctrl+Shift+V
    X11KeySynthesizer keys(X11KeyTiming{.keyReleaseWait = 100ms});

    ASSERT_TRUE(keys.postPaste());

    EXPECT_TRUE(target.waitForText("despite Shift"));
    EXPECT_TRUE(target.lines().contains("KEY Ctrl+V"));
    EXPECT_FALSE(hands.anyKeyDown());
}
