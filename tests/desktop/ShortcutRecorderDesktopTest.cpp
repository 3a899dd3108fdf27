// The shortcut recorder and the hot key on the real X server of the test
// desktop, with keys pressed through XTest from a second client: combinations
// that others hold reach the recorder while it records, and keys are named
// and grabbed by their position on every keyboard layout.
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>
#include <X11/keysym.h>
#include <cstdlib>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>

#include "platform/KeyTable.h"
#include "platform/x11/X11HotkeyBackend.h"
#include "session/HotkeyManager.h"
#include "session/SessionFixture.h"
#include "support/EventLoop.h"
#include "support/LogCapture.h"
#include "support/QStringPrinter.h"
#include "support/XTestKeyboard.h"
#include "ui/ShortcutRecorderView.h"

namespace {

constexpr xcb_keycode_t kPositionA = 38;
constexpr xcb_keycode_t kPositionE = 26;

// The server's keyboard layout set to `layout` for one test, and the one it
// had put back after: the other desktop tests run on the same server.
class ScopedLayout
{
public:
    explicit ScopedLayout(const QString& layout)
    {
        QProcess query;
        query.start("setxkbmap", {"-query"});
        query.waitForFinished();
        for (const QString& line : QString::fromUtf8(query.readAllStandardOutput()).split('\n')) {
            const QString name = line.section(':', 0, 0).trimmed();
            const QString value = line.section(':', 1).trimmed();
            if (name == "rules" || name == "model" || name == "layout" || name == "variant")
                m_restore << "-" + name << value;
            else if (name == "options")
                m_restore << "-option" << "" << "-option" << value;
        }
        m_set = !m_restore.isEmpty() && setxkbmap({"-layout", layout});
    }
    ~ScopedLayout()
    {
        if (m_set) {
            EXPECT_TRUE(setxkbmap(m_restore)) << "the layout could not be put back";
        }
    }

    bool isSet() const { return m_set; }

private:
    static bool setxkbmap(const QStringList& arguments)
    {
        return QProcess::execute("setxkbmap", arguments) == 0;
    }

    QStringList m_restore;
    bool m_set = false;
};

// Super held around a press of the key at `position`, as a user presses it.
void pressWithSuper(XTestKeyboard& keyboard, xcb_keycode_t position)
{
    keyboard.key(XK_Super_L, true);
    // Events within one millisecond share their X timestamp, which marks an auto-repeat.
    keyboard.keycodeEvent(position, true, 2);
    keyboard.keycodeEvent(position, false);
    keyboard.key(XK_Super_L, false);
}

// A window showing the recorder on `prefs`, in front.
class RecorderWindow
{
public:
    explicit RecorderWindow(Preferences& prefs)
    {
        auto* layout = new QVBoxLayout(&m_window);
        recorder = new ShortcutRecorderView(prefs, &m_window);
        layout->addWidget(recorder);
        m_window.show();
        m_window.activateWindow();
    }

    // Waits until the window is in front, then clicks the recorder.
    bool startRecording()
    {
        if (!waitUntil([&] { return m_window.isActiveWindow(); }))
            return false;
        QTest::mouseClick(recorder, Qt::LeftButton);
        return recorder->isRecording();
    }

    ShortcutRecorderView* recorder = nullptr;

private:
    QWidget m_window;
};

// The controller of the session tests, with the real key grab.
class RecorderWithHotkeyTest : public SessionFixture
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(keyboard.isConnected()) << "needs the X display of scripts/desktop-session";
        SessionPlatform platform = scriptedPlatform();
        platform.hotkeys = std::make_unique<X11HotkeyBackend>();
        build(std::move(platform));
        ASSERT_TRUE(waitUntil([&] { return !permissions.trustChecks().isEmpty(); }));
        ASSERT_THAT(logLines(), testing::Contains("INFO HotkeyManager: registered hotkey '\u2318 \u21e7 E'"));
    }

    XTestKeyboard keyboard;
};

TEST_F(RecorderWithHotkeyTest, TheHotKeyPressedWhileRecordingIsRecordedAndStartsNoDictation)
{
    RecorderWindow window(prefs);
    ASSERT_TRUE(window.startRecording());

    keyboard.pressCombination(kPositionE);
    ASSERT_TRUE(waitUntil([&] { return prefs.shortcut() == "\u21e7 \u2318 E"; }, 3000)) << prefs.shortcut().toStdString();
    EXPECT_FALSE(window.recorder->isRecording());
    // Long enough for a hot-key press to have reached the controller.
    spinFor(300);
    EXPECT_EQ(session->state(), SessionState::idle);
    EXPECT_THAT(logLines(), testing::Not(testing::Contains("INFO HotkeyManager: hotkey triggered")));

    // Recording over, the same keys are the hot key again.
    keyboard.pressCombination(kPositionE);
    EXPECT_TRUE(waitForState(SessionState::recording));
    session->cancelRecording();
}

TEST(ShortcutRecorderOnX11, RecordsTheWindowManagersSuperE)
{
    XTestKeyboard keyboard;
    ASSERT_TRUE(keyboard.isConnected());
    xcb_generic_error_t* held = xcb_request_check(
        keyboard.connection(), xcb_grab_key_checked(keyboard.connection(), 0, keyboard.root(), XCB_MOD_MASK_4,
                                                    kPositionE, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    ASSERT_TRUE(held && held->error_code == XCB_ACCESS) << "openbox does not hold Super+E: nothing to prove";
    std::free(held);

    QTemporaryDir folder;
    Preferences prefs(folder.filePath("settings.conf"));
    RecorderWindow window(prefs);
    ASSERT_TRUE(window.startRecording());
    pressWithSuper(keyboard, kPositionE);
    EXPECT_TRUE(waitUntil([&] { return prefs.shortcut() == "\u2318 E"; }, 3000)) << prefs.shortcut().toStdString();
}

// On a layout whose A position types another letter, or no Latin letter at
// all, that key is recorded as "A", and the hot key "⌘ A" is that key.
TEST(ShortcutKeysOnX11, TheUsAPositionIsAOnEveryLayout)
{
    const struct {
        const char* layout;
        xcb_keysym_t atPosition;   // what the layout types there
    } layouts[] = {{"fr", XK_q}, {"ru", XK_Cyrillic_ef}};
    for (const auto& l : layouts) {
        SCOPED_TRACE(l.layout);
        const ScopedLayout layout(l.layout);
        ASSERT_TRUE(layout.isSet());
        XTestKeyboard keyboard;   // reads the layout just set
        ASSERT_EQ(keyboard.keycode(l.atPosition), kPositionA);

        QTemporaryDir folder;
        Preferences prefs(folder.filePath("settings.conf"));
        {
            RecorderWindow window(prefs);
            ASSERT_TRUE(window.startRecording());
            pressWithSuper(keyboard, kPositionA);
            EXPECT_TRUE(waitUntil([&] { return prefs.shortcut() == "\u2318 A"; }, 3000))
                << prefs.shortcut().toStdString();
        }

        LogCapture log;
        auto owned = std::make_unique<X11HotkeyBackend>();
        X11HotkeyBackend& backend = *owned;
        HotkeyManager manager(log.logger, std::move(owned));
        int presses = 0;
        EXPECT_EQ(manager.registerHotkey(prefs.shortcut(), [&] { ++presses; }), std::nullopt);
        EXPECT_EQ(backend.grabbedKeycode(), kPositionA);
        pressWithSuper(keyboard, kPositionA);
        EXPECT_TRUE(waitUntil([&] { return presses == 1; }, 2000));
    }
}

// The table's positions are the keys of those names on the US layout.
TEST(ShortcutKeysOnX11, EveryKeyNameSitsAtItsUsPosition)
{
    const ScopedLayout layout("us");
    ASSERT_TRUE(layout.isSet());
    XTestKeyboard keyboard;
    ASSERT_TRUE(keyboard.isConnected());
    const std::pair<const char*, xcb_keysym_t> keysyms[] = {
        {"Space", XK_space}, {"Return", XK_Return}, {"Tab", XK_Tab}, {"Delete", XK_BackSpace},
        {"Fwd Delete", XK_Delete}, {"Escape", XK_Escape},
        {"\u2191", XK_Up}, {"\u2193", XK_Down}, {"\u2190", XK_Left}, {"\u2192", XK_Right},
        {"A", XK_a}, {"B", XK_b}, {"C", XK_c}, {"D", XK_d}, {"E", XK_e}, {"F", XK_f}, {"G", XK_g},
        {"H", XK_h}, {"I", XK_i}, {"J", XK_j}, {"K", XK_k}, {"L", XK_l}, {"M", XK_m}, {"N", XK_n},
        {"O", XK_o}, {"P", XK_p}, {"Q", XK_q}, {"R", XK_r}, {"S", XK_s}, {"T", XK_t}, {"U", XK_u},
        {"V", XK_v}, {"W", XK_w}, {"X", XK_x}, {"Y", XK_y}, {"Z", XK_z},
        {"0", XK_0}, {"1", XK_1}, {"2", XK_2}, {"3", XK_3}, {"4", XK_4},
        {"5", XK_5}, {"6", XK_6}, {"7", XK_7}, {"8", XK_8}, {"9", XK_9},
        {"F1", XK_F1}, {"F2", XK_F2}, {"F3", XK_F3}, {"F4", XK_F4}, {"F5", XK_F5}, {"F6", XK_F6},
        {"F7", XK_F7}, {"F8", XK_F8}, {"F9", XK_F9}, {"F10", XK_F10}, {"F11", XK_F11}, {"F12", XK_F12},
    };
    ASSERT_EQ(std::size(keysyms), size_t(KeyTable::keys().size()));
    for (const auto& [name, keysym] : keysyms) {
        const ShortcutKey* key = KeyTable::byName(QString::fromUtf8(name));
        ASSERT_NE(key, nullptr) << name;
        EXPECT_EQ(key->xKeycode, keyboard.keycode(keysym)) << name;
    }
}

}
