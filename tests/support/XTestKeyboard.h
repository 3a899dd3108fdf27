#pragma once

#include <cstdint>
#include <functional>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

// A user's keyboard on the test's X server: a client of its own that posts
// key events through XTest, as a person's key presses would arrive.
class XTestKeyboard
{
public:
    XTestKeyboard();
    ~XTestKeyboard();
    XTestKeyboard(const XTestKeyboard&) = delete;
    XTestKeyboard& operator=(const XTestKeyboard&) = delete;

    bool isConnected() const;
    xcb_connection_t* connection() const { return m_connection; }
    xcb_window_t root() const { return m_root; }

    // The first key that produces `keysym`; 0 when none does.
    xcb_keycode_t keycode(xcb_keysym_t keysym) const;

    void key(xcb_keysym_t keysym, bool down);
    // `delayMs`: the server handles the event (and this client's later
    // requests) that much later.
    void keycodeEvent(xcb_keycode_t code, bool down, uint32_t delayMs = 0);
    void tap(xcb_keysym_t keysym);
    // Super+Shift+key, pressed and released as a user does. `pressed` runs
    // once the server has handled the key's press.
    void pressCombination(xcb_keycode_t code, int holdMs = 0, const std::function<void()>& pressed = {});

    // Round trip: everything sent so far has been handled by the server.
    void sync();

private:
    xcb_connection_t* m_connection;
    xcb_window_t m_root = XCB_NONE;
    xcb_key_symbols_t* m_symbols = nullptr;
};
