#pragma once

#include <optional>
#include <xcb/xcb.h>

// Qt's own connection to the X server and the root window of its screen, for
// backends that talk to the window manager or XTest directly. There is none
// under a platform other than xcb (offscreen, Wayland): callers degrade.
class X11Connection
{
public:
    static std::optional<X11Connection> fromQt();

    xcb_connection_t* get() const { return m_connection; }
    xcb_window_t root() const { return m_root; }
    // The number of the screen Qt shows its windows on.
    int screen() const { return m_screen; }
    // XCB_ATOM_NONE when the server does not answer.
    xcb_atom_t atom(const char* name) const;

private:
    X11Connection(xcb_connection_t* connection, xcb_window_t root, int screen)
        : m_connection(connection), m_root(root), m_screen(screen) {}

    xcb_connection_t* m_connection;
    xcb_window_t m_root;
    int m_screen;
};
