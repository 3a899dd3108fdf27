#include "support/XTestKeyboard.h"

#include <X11/keysym.h>
#include <cstdlib>
#include <xcb/xtest.h>

#include "support/EventLoop.h"

XTestKeyboard::XTestKeyboard()
    : m_connection(xcb_connect(nullptr, nullptr))
{
    if (!isConnected())
        return;
    m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
    m_symbols = xcb_key_symbols_alloc(m_connection);
}

XTestKeyboard::~XTestKeyboard()
{
    if (m_symbols)
        xcb_key_symbols_free(m_symbols);
    xcb_disconnect(m_connection);
}

bool XTestKeyboard::isConnected() const
{
    return !xcb_connection_has_error(m_connection);
}

xcb_keycode_t XTestKeyboard::keycode(xcb_keysym_t keysym) const
{
    if (!m_symbols)
        return 0;
    xcb_keycode_t* codes = xcb_key_symbols_get_keycode(m_symbols, keysym);
    const xcb_keycode_t code = codes ? codes[0] : 0;
    std::free(codes);
    return code;
}

void XTestKeyboard::key(xcb_keysym_t keysym, bool down)
{
    keycodeEvent(keycode(keysym), down);
}

void XTestKeyboard::keycodeEvent(xcb_keycode_t code, bool down, uint32_t delayMs)
{
    xcb_test_fake_input(m_connection, down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, code, delayMs, XCB_NONE, 0, 0,
                        0);
    sync();
}

void XTestKeyboard::tap(xcb_keysym_t keysym)
{
    key(keysym, true);
    key(keysym, false);
}

void XTestKeyboard::pressCombination(xcb_keycode_t code, int holdMs, const std::function<void()>& pressed)
{
    key(XK_Super_L, true);
    key(XK_Shift_L, true);
    // A person's presses come milliseconds apart; events posted within one
    // millisecond share their X timestamp, which marks an auto-repeat.
    keycodeEvent(code, true, 2);
    if (pressed)
        pressed();
    if (holdMs)
        spinFor(holdMs);
    keycodeEvent(code, false);
    key(XK_Shift_L, false);
    key(XK_Super_L, false);
}

void XTestKeyboard::sync()
{
    std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
}
