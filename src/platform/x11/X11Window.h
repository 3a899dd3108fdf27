#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

#include "platform/x11/X11Connection.h"

// A top-level window and the properties the window manager and the client
// publish on it (EWMH and ICCCM). Reads of a window that has gone give nothing.
class X11Window
{
public:
    X11Window(const X11Connection& x, xcb_window_t id) : m_x(x), m_id(id) {}

    // The window the window manager says is active; none when none is.
    static std::optional<X11Window> active(const X11Connection& x);
    // Every managed window, bottom of the stack first.
    static QList<X11Window> clients(const X11Connection& x);

    xcb_window_t id() const { return m_id; }
    // _NET_WM_PID; 0 when the client does not publish it.
    qint64 pid() const;
    // _NET_WM_NAME (UTF-8), else WM_NAME (Latin-1).
    QString title() const;
    // WM_CLASS: instance name, then class name (either may be missing).
    QStringList wmClass() const;

    struct Owner
    {
        qint64 pid = 0;
        QStringList wmClass;
    };
    // The process and class of the window, none when it has gone: the three
    // questions are sent together, for one wait on the server instead of three.
    std::optional<Owner> owner() const;

private:
    QByteArray property(xcb_atom_t property, xcb_atom_t type) const;
    // A property asked for now and read later (a cookie of sequence 0 when
    // the property cannot be named).
    xcb_get_property_cookie_t askProperty(xcb_atom_t property, xcb_atom_t type) const;
    QByteArray propertyValue(xcb_get_property_cookie_t cookie, xcb_atom_t type) const;
    static qint64 pidFrom(const QByteArray& bytes);
    static QStringList classFrom(const QByteArray& bytes);
    static QList<xcb_window_t> windowList(const X11Connection& x, const char* property);

    X11Connection m_x;
    xcb_window_t m_id;
};
