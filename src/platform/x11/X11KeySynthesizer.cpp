#include "platform/x11/X11KeySynthesizer.h"

#include <QDeadlineTimer>
#include <QSet>
#include <QThread>
#include <X11/keysym.h>
#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>
#include <xcb/xcb_keysyms.h>
#include <xcb/xtest.h>

#include "platform/x11/X11Window.h"

namespace {

using KeyMap = std::array<uint8_t, 32>;   // one bit per keycode

bool hasXTest(const X11Connection& x)
{
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(x.get(), &xcb_test_id);
    return ext && ext->present;
}

std::optional<KeyMap> pressedKeys(const X11Connection& x)
{
    xcb_query_keymap_reply_t* reply =
        xcb_query_keymap_reply(x.get(), xcb_query_keymap(x.get()), nullptr);
    if (!reply)
        return std::nullopt;
    KeyMap keys;
    std::copy(std::begin(reply->keys), std::end(reply->keys), keys.begin());
    std::free(reply);
    return keys;
}

bool anyPressed(const KeyMap& keys)
{
    return std::any_of(keys.begin(), keys.end(), [](uint8_t bits) { return bits != 0; });
}

void fakeKey(const X11Connection& x, uint8_t type, xcb_keycode_t key)
{
    xcb_test_fake_input(x.get(), type, key, XCB_CURRENT_TIME, XCB_WINDOW_NONE, 0, 0, 0);
}

// Waits for the user to let go of every key; the keys still down when the wait
// ends are released here, so that the paste is not read as another shortcut.
void releaseHeldKeys(const X11Connection& x, const X11KeyTiming& timing)
{
    QDeadlineTimer deadline(timing.keyReleaseWait);
    std::optional<KeyMap> keys = pressedKeys(x);
    while (keys && anyPressed(*keys) && !deadline.hasExpired()) {
        QThread::msleep(std::chrono::milliseconds(timing.keyPollInterval).count());
        keys = pressedKeys(x);
    }
    if (!keys)
        return;
    for (int code = 8; code < 256; ++code) {
        if ((*keys)[code / 8] & (1 << (code % 8)))
            fakeKey(x, XCB_KEY_RELEASE, xcb_keycode_t(code));
    }
}

// The first keycode that types `keysym`; 0 when no key does.
xcb_keycode_t keycodeOf(xcb_key_symbols_t* symbols, xcb_keysym_t keysym)
{
    xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, keysym);
    const xcb_keycode_t code = codes ? codes[0] : xcb_keycode_t(XCB_NO_SYMBOL);
    std::free(codes);
    return code;
}

bool focusedWindowIsTerminal(const X11Connection& x)
{
    const auto window = X11Window::active(x);
    return window && X11KeySynthesizer::isTerminal(window->wmClass());
}

}

bool X11KeySynthesizer::isTerminal(const QStringList& wmClass)
{
    static const QSet<QString> terminals = {
        "xterm", "uxterm", "gnome-terminal", "gnome-terminal-server", "konsole",
        "xfce4-terminal", "alacritty", "kitty", "terminator", "tilix", "urxvt", "rxvt",
        "st", "st-256color", "lxterminal", "mate-terminal", "qterminal", "terminology",
        "sakura", "guake", "tilda", "yakuake", "wezterm", "org.wezfurlong.wezterm", "foot",
        "x-terminal-emulator",
    };
    for (const QString& name : wmClass) {
        if (terminals.contains(name.toLower()))
            return true;
    }
    return false;
}

bool X11KeySynthesizer::isAvailable()
{
    const auto x = X11Connection::fromQt();
    return x && hasXTest(*x);
}

bool X11KeySynthesizer::postPaste()
{
    const auto x = X11Connection::fromQt();
    if (!x || !hasXTest(*x))
        return false;

    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(x->get());
    if (!symbols)
        return false;
    const xcb_keycode_t control = keycodeOf(symbols, XK_Control_L);
    const xcb_keycode_t shift = keycodeOf(symbols, XK_Shift_L);
    const xcb_keycode_t v = keycodeOf(symbols, XK_v);
    xcb_key_symbols_free(symbols);
    if (!control || !shift || !v)
        return false;

    const bool terminal = focusedWindowIsTerminal(*x);
    releaseHeldKeys(*x, m_timing);

    fakeKey(*x, XCB_KEY_PRESS, control);
    if (terminal)
        fakeKey(*x, XCB_KEY_PRESS, shift);
    fakeKey(*x, XCB_KEY_PRESS, v);
    fakeKey(*x, XCB_KEY_RELEASE, v);
    if (terminal)
        fakeKey(*x, XCB_KEY_RELEASE, shift);
    fakeKey(*x, XCB_KEY_RELEASE, control);

    // A round trip: the server has taken every event once its reply is here.
    xcb_get_input_focus_reply_t* reply =
        xcb_get_input_focus_reply(x->get(), xcb_get_input_focus(x->get()), nullptr);
    std::free(reply);
    return reply != nullptr && !xcb_connection_has_error(x->get());
}
