// The X11 key grab on the real X server of the test desktop: presses are
// posted through XTest from a second connection, which also plays the other
// client that holds a combination first. openbox takes Super+E, so these
// tests use combinations it leaves free.
#include <QAbstractNativeEventFilter>
#include <QSignalSpy>
#include <X11/keysym.h>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <vector>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
#include <xcb/xtest.h>

#include "platform/x11/X11HotkeyBackend.h"
#include "session/HotkeyManager.h"
#include "support/EventLoop.h"
#include "support/LogCapture.h"
#include "support/QStringPrinter.h"
#include "support/XTestKeyboard.h"

namespace {

constexpr int kKeyE = 14;
constexpr int kKeyF9 = 101;
constexpr uint16_t kSuper = XCB_MOD_MASK_4;   // the test server's modifier mapping
constexpr uint16_t kNumLock = XCB_MOD_MASK_2;
constexpr int kCommandShift = HotkeyModifier::command | HotkeyModifier::shift;

// A second client of the test's X server: the user's keyboard, and the
// other client that holds a combination first.
class OtherClient : public XTestKeyboard
{
public:
    // 0, or the X error code of the grab.
    int grab(xcb_keycode_t code, uint16_t modifiers)
    {
        xcb_generic_error_t* error = xcb_request_check(
            connection(), xcb_grab_key_checked(connection(), 0, root(), modifiers, code, XCB_GRAB_MODE_ASYNC,
                                               XCB_GRAB_MODE_ASYNC));
        const int code_ = error ? error->error_code : 0;
        std::free(error);
        return code_;
    }
    void ungrab(xcb_keycode_t code, uint16_t modifiers)
    {
        xcb_ungrab_key(connection(), code, root(), modifiers);
        sync();
    }

    // The server's current modifier and lock state.
    uint16_t modifierState()
    {
        xcb_query_pointer_reply_t* reply =
            xcb_query_pointer_reply(connection(), xcb_query_pointer(connection(), root()), nullptr);
        const uint16_t mask = reply ? reply->mask : 0;
        std::free(reply);
        return mask;
    }
};

class HotkeyX11Test : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(other.isConnected()) << "needs the X display of scripts/desktop-session";
        keyE = other.keycode(XK_e);
        ASSERT_NE(keyE, 0);
    }

    void TearDown() override
    {
        // The server outlives this test: leave no lock on.
        if (other.modifierState() & kNumLock)
            other.tap(XK_Num_Lock);
        if (other.modifierState() & XCB_MOD_MASK_LOCK)
            other.tap(XK_Caps_Lock);
    }

    // The presses reported for `action`: waits for `expected` of them, then
    // a little longer for any further (wrong) one.
    int pressesDuring(int expected, const std::function<void()>& action)
    {
        QSignalSpy spy(&backend, &HotkeyBackend::pressed);
        action();
        waitUntil([&] { return spy.size() >= expected; }, 2000);
        spinFor(150);
        return int(spy.size());
    }

    OtherClient other;
    X11HotkeyBackend backend;
    xcb_keycode_t keyE = 0;
};

TEST_F(HotkeyX11Test, TheGrabbedCombinationFiresOncePerPress)
{
    const HotkeyStatus status = backend.registerHotkey(kKeyE, kCommandShift);
    ASSERT_TRUE(status.isOk()) << status.description.toStdString();
    EXPECT_TRUE(backend.isRegistered());
    EXPECT_EQ(backend.grabbedKeycode(), keyE);

    EXPECT_EQ(pressesDuring(1, [&] { other.pressCombination(keyE); }), 1);
    EXPECT_EQ(pressesDuring(2,
                            [&] {
                                other.pressCombination(keyE);
                                other.pressCombination(keyE);
                            }),
              2);
    // Other modifiers are not the combination.
    EXPECT_EQ(pressesDuring(0,
                            [&] {
                                other.key(XK_Shift_L, true);
                                other.tap(XK_e);
                                other.key(XK_Shift_L, false);
                            }),
              0);
}

TEST_F(HotkeyX11Test, FiresWithNumLockAndCapsLockOn)
{
    ASSERT_TRUE(backend.registerHotkey(kKeyE, kCommandShift).isOk());
    const struct {
        const char* name;
        std::vector<xcb_keysym_t> locks;
        uint16_t state;
    } cases[] = {
        {"NumLock", {XK_Num_Lock}, kNumLock},
        {"CapsLock", {XK_Caps_Lock}, XCB_MOD_MASK_LOCK},
        {"both", {XK_Num_Lock, XK_Caps_Lock}, uint16_t(kNumLock | XCB_MOD_MASK_LOCK)},
    };
    for (const auto& c : cases) {
        for (xcb_keysym_t lock : c.locks)
            other.tap(lock);
        ASSERT_EQ(other.modifierState() & (kNumLock | XCB_MOD_MASK_LOCK), c.state) << c.name;
        EXPECT_EQ(pressesDuring(1, [&] { other.pressCombination(keyE); }), 1) << c.name;
        for (xcb_keysym_t lock : c.locks)
            other.tap(lock);
    }
}

TEST_F(HotkeyX11Test, AHeldKeyFiresOnceThroughItsAutoRepeat)
{
    xcb_get_keyboard_control_reply_t* control = xcb_get_keyboard_control_reply(
        other.connection(), xcb_get_keyboard_control(other.connection()), nullptr);
    ASSERT_TRUE(control);
    const bool repeats = control->global_auto_repeat && (control->auto_repeats[keyE / 8] & (1 << (keyE % 8)));
    std::free(control);
    ASSERT_TRUE(repeats) << "the server does not auto-repeat the key, so this test would prove nothing";

    ASSERT_TRUE(backend.registerHotkey(kKeyE, kCommandShift).isOk());
    // About 660 ms until the first repeat, then 25 per second.
    EXPECT_EQ(pressesDuring(1, [&] { other.pressCombination(keyE, 1100); }), 1);
    // The next real press is not taken for a repeat.
    EXPECT_EQ(pressesDuring(1, [&] { other.pressCombination(keyE); }), 1);
}

TEST_F(HotkeyX11Test, ACombinationAnotherClientHoldsIsAFailedRegistration)
{
    ASSERT_EQ(other.grab(keyE, kSuper | XCB_MOD_MASK_SHIFT), 0);

    const HotkeyStatus status = backend.registerHotkey(kKeyE, kCommandShift);
    EXPECT_EQ(status.code, HotkeyStatus::badAccess);
    EXPECT_EQ(status.description, "another X client has grabbed this key combination");
    EXPECT_FALSE(backend.isRegistered());
    EXPECT_EQ(backend.grabbedKeycode(), 0);
}

TEST_F(HotkeyX11Test, AHeldLockVariantFailsTheWholeRegistration)
{
    // The other client holds only the NumLock variant.
    ASSERT_EQ(other.grab(keyE, kSuper | XCB_MOD_MASK_SHIFT | kNumLock), 0);

    EXPECT_EQ(backend.registerHotkey(kKeyE, kCommandShift).code, HotkeyStatus::badAccess);
    EXPECT_FALSE(backend.isRegistered());
    // The variants that were granted have been given back.
    EXPECT_EQ(other.grab(keyE, kSuper | XCB_MOD_MASK_SHIFT), 0);
    EXPECT_EQ(other.grab(keyE, kSuper | XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_LOCK), 0);
}

TEST_F(HotkeyX11Test, UnregisterReleasesTheGrab)
{
    ASSERT_TRUE(backend.registerHotkey(kKeyE, kCommandShift).isOk());
    EXPECT_EQ(other.grab(keyE, kSuper | XCB_MOD_MASK_SHIFT), XCB_ACCESS);

    backend.unregisterHotkey();
    EXPECT_FALSE(backend.isRegistered());
    EXPECT_EQ(other.grab(keyE, kSuper | XCB_MOD_MASK_SHIFT | kNumLock), 0);
    EXPECT_EQ(other.grab(keyE, kSuper | XCB_MOD_MASK_SHIFT), 0);
    other.ungrab(keyE, kSuper | XCB_MOD_MASK_SHIFT);
    other.ungrab(keyE, kSuper | XCB_MOD_MASK_SHIFT | kNumLock);
    EXPECT_EQ(pressesDuring(0, [&] { other.pressCombination(keyE); }), 0);
}

TEST_F(HotkeyX11Test, ADestroyedBackendLeavesNoGrab)
{
    {
        X11HotkeyBackend shortLived;
        ASSERT_TRUE(shortLived.registerHotkey(kKeyE, kCommandShift).isOk());
    }
    EXPECT_EQ(other.grab(keyE, kSuper | XCB_MOD_MASK_SHIFT), 0);
}

// Moves a keysym to another key for one test, and puts it back after.
class MovedKey
{
public:
    MovedKey(xcb_connection_t* connection, xcb_keysym_t keysym, xcb_keycode_t from)
        : m_connection(connection)
        , m_from(from)
    {
        const xcb_setup_t* setup = xcb_get_setup(connection);
        const int count = setup->max_keycode - setup->min_keycode + 1;
        xcb_get_keyboard_mapping_reply_t* reply = xcb_get_keyboard_mapping_reply(
            connection, xcb_get_keyboard_mapping(connection, setup->min_keycode, uint8_t(count)), nullptr);
        if (!reply)
            return;
        m_perKey = reply->keysyms_per_keycode;
        const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply);
        for (int i = 0; i < count && !m_to; ++i) {
            const bool unused = std::all_of(syms + i * m_perKey, syms + (i + 1) * m_perKey,
                                            [](xcb_keysym_t s) { return s == XCB_NO_SYMBOL; });
            if (unused)
                m_to = xcb_keycode_t(setup->min_keycode + i);
        }
        const int fromIndex = from - setup->min_keycode;
        m_saved.assign(syms + fromIndex * m_perKey, syms + (fromIndex + 1) * m_perKey);
        std::free(reply);
        if (!m_to)
            return;
        std::vector<xcb_keysym_t> moved(m_perKey, XCB_NO_SYMBOL);
        moved[0] = keysym;
        set(m_to, moved);
        set(m_from, std::vector<xcb_keysym_t>(m_perKey, XCB_NO_SYMBOL));
    }
    ~MovedKey()
    {
        if (!m_to)
            return;
        set(m_from, m_saved);
        set(m_to, std::vector<xcb_keysym_t>(m_perKey, XCB_NO_SYMBOL));
    }

    xcb_keycode_t to() const { return m_to; }

private:
    void set(xcb_keycode_t code, const std::vector<xcb_keysym_t>& syms)
    {
        std::free(xcb_request_check(
            m_connection, xcb_change_keyboard_mapping_checked(m_connection, 1, code, m_perKey, syms.data())));
    }

    xcb_connection_t* m_connection;
    xcb_keycode_t m_from;
    xcb_keycode_t m_to = 0;
    uint8_t m_perKey = 0;
    std::vector<xcb_keysym_t> m_saved;
};

// Counts the keyboard mapping changes the application has been told of.
// Filters run newest first, so once this one has seen a change, the
// backend's filter has handled it as well.
class MappingChanges : public QAbstractNativeEventFilter
{
public:
    MappingChanges() { QCoreApplication::instance()->installNativeEventFilter(this); }
    ~MappingChanges() override { QCoreApplication::instance()->removeNativeEventFilter(this); }

    int count() const { return m_count; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override
    {
        if (eventType == "xcb_generic_event_t"
            && (static_cast<xcb_generic_event_t*>(message)->response_type & ~0x80) == XCB_MAPPING_NOTIFY)
            ++m_count;
        return false;
    }

private:
    int m_count = 0;
};

// The shortcut names a key's position: when the mapping gives the F9 symbol
// to another key, the hot key stays on the F9 position.
TEST_F(HotkeyX11Test, TheGrabStaysOnItsKeyWhenTheMappingMoves)
{
    const xcb_keycode_t keyF9 = other.keycode(XK_F9);
    ASSERT_TRUE(backend.registerHotkey(kKeyF9, kCommandShift).isOk());
    ASSERT_EQ(backend.grabbedKeycode(), keyF9);

    const MappingChanges changes;
    const MovedKey moved(other.connection(), XK_F9, keyF9);
    ASSERT_NE(moved.to(), 0) << "no unused key code on this keyboard";
    // MovedKey changes two keys, one request each.
    ASSERT_TRUE(waitUntil([&] { return changes.count() >= 2; }, 3000));

    EXPECT_EQ(backend.grabbedKeycode(), keyF9);
    EXPECT_EQ(pressesDuring(1, [&] { other.pressCombination(keyF9); }), 1);
    EXPECT_EQ(pressesDuring(0, [&] { other.pressCombination(moved.to()); }), 0);
}

TEST(HotkeyManagerOnX11, TheStoredShortcutRunsItsHandlerOncePerPress)
{
    OtherClient other;
    ASSERT_TRUE(other.isConnected());
    LogCapture log;
    HotkeyManager manager(log.logger, std::make_unique<X11HotkeyBackend>());
    int presses = 0;

    EXPECT_EQ(manager.registerHotkey("\u2318 \u21e7 E", [&] { ++presses; }), std::nullopt);
    other.pressCombination(other.keycode(XK_e));
    ASSERT_TRUE(waitUntil([&] { return presses == 1; }, 2000));
    spinFor(100);
    EXPECT_EQ(presses, 1);
    EXPECT_THAT(log.lines(), testing::Contains("INFO HotkeyManager: hotkey triggered"));
}

TEST(HotkeyManagerOnX11, ACombinationTheWindowManagerHoldsIsReportedAsInUse)
{
    LogCapture log;
    HotkeyManager manager(log.logger, std::make_unique<X11HotkeyBackend>());

    // openbox binds Super+E.
    EXPECT_EQ(manager.registerHotkey("\u2318 E", [] {}),
              "Failed to register hotkey '\u2318 E'. It may be in use by another application.");
    EXPECT_THAT(log.lines(), testing::Contains("ERROR HotkeyManager: failed to register hotkey '\u2318 E', status: 10"));
}

}
