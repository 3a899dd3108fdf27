#include "platform/x11/X11Window.h"

#include <cstdlib>
#include <cstring>

namespace {
// Enough for any title or client list; longer values are cut.
constexpr uint32_t kMaxPropertyLongs = 16384;
}

QList<xcb_window_t> X11Window::windowList(const X11Connection& x, const char* property)
{
    const QByteArray bytes = X11Window(x, x.root()).property(x.atom(property), XCB_ATOM_WINDOW);
    QList<xcb_window_t> ids(bytes.size() / qsizetype(sizeof(xcb_window_t)));
    std::memcpy(ids.data(), bytes.constData(), size_t(ids.size()) * sizeof(xcb_window_t));
    return ids;
}

std::optional<X11Window> X11Window::active(const X11Connection& x)
{
    const QList<xcb_window_t> ids = windowList(x, "_NET_ACTIVE_WINDOW");
    if (ids.isEmpty() || ids.first() == XCB_WINDOW_NONE)
        return std::nullopt;
    return X11Window(x, ids.first());
}

QList<X11Window> X11Window::clients(const X11Connection& x)
{
    QList<X11Window> windows;
    for (xcb_window_t id : windowList(x, "_NET_CLIENT_LIST_STACKING"))
        windows.append(X11Window(x, id));
    return windows;
}

qint64 X11Window::pid() const
{
    return pidFrom(property(m_x.atom("_NET_WM_PID"), XCB_ATOM_CARDINAL));
}

qint64 X11Window::pidFrom(const QByteArray& bytes)
{
    if (bytes.size() < qsizetype(sizeof(uint32_t)))
        return 0;
    uint32_t pid = 0;
    std::memcpy(&pid, bytes.constData(), sizeof pid);
    return pid;
}

QString X11Window::title() const
{
    const QByteArray utf8 = property(m_x.atom("_NET_WM_NAME"), m_x.atom("UTF8_STRING"));
    if (!utf8.isEmpty())
        return QString::fromUtf8(utf8);
    return QString::fromLatin1(property(XCB_ATOM_WM_NAME, XCB_ATOM_STRING));
}

QStringList X11Window::wmClass() const
{
    return classFrom(property(XCB_ATOM_WM_CLASS, XCB_ATOM_STRING));
}

QStringList X11Window::classFrom(const QByteArray& bytes)
{
    QStringList names;
    // Two NUL-terminated strings.
    for (const QByteArray& part : bytes.split('\0')) {
        if (names.size() < 2)
            names.append(QString::fromLatin1(part));
    }
    while (!names.isEmpty() && names.last().isEmpty())
        names.removeLast();
    return names;
}

std::optional<X11Window::Owner> X11Window::owner() const
{
    const xcb_atom_t pidAtom = m_x.atom("_NET_WM_PID");
    const xcb_get_window_attributes_cookie_t attributes = xcb_get_window_attributes(m_x.get(), m_id);
    const xcb_get_property_cookie_t pid = askProperty(pidAtom, XCB_ATOM_CARDINAL);
    const xcb_get_property_cookie_t wmClass = askProperty(XCB_ATOM_WM_CLASS, XCB_ATOM_STRING);
    xcb_get_window_attributes_reply_t* reply = xcb_get_window_attributes_reply(m_x.get(), attributes, nullptr);
    const bool exists = reply != nullptr;
    std::free(reply);
    Owner owner{pidFrom(propertyValue(pid, XCB_ATOM_CARDINAL)),
                classFrom(propertyValue(wmClass, XCB_ATOM_STRING))};
    if (!exists)
        return std::nullopt;
    return owner;
}

QByteArray X11Window::property(xcb_atom_t property, xcb_atom_t type) const
{
    return propertyValue(askProperty(property, type), type);
}

xcb_get_property_cookie_t X11Window::askProperty(xcb_atom_t property, xcb_atom_t type) const
{
    if (property == XCB_ATOM_NONE || type == XCB_ATOM_NONE)
        return {0};
    return xcb_get_property(m_x.get(), false, m_id, property, type, 0, kMaxPropertyLongs);
}

QByteArray X11Window::propertyValue(xcb_get_property_cookie_t cookie, xcb_atom_t type) const
{
    if (cookie.sequence == 0)
        return {};
    xcb_get_property_reply_t* reply = xcb_get_property_reply(m_x.get(), cookie, nullptr);
    QByteArray value;
    if (reply && reply->type == type) {
        value = QByteArray(static_cast<const char*>(xcb_get_property_value(reply)),
                           xcb_get_property_value_length(reply));
    }
    std::free(reply);
    return value;
}
