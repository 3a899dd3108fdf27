#include "platform/x11/X11Connection.h"

#include <QGuiApplication>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>

std::optional<X11Connection> X11Connection::fromQt()
{
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    // Under the offscreen platform the interface exists but has no connection.
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection || xcb_connection_has_error(connection))
        return std::nullopt;

    char* host = nullptr;
    int display = 0;
    int screenNumber = 0;
    if (xcb_parse_display(nullptr, &host, &display, &screenNumber))
        std::free(host);
    else
        screenNumber = 0;
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection));
    int screen = 0;
    for (; screen < screenNumber && it.rem > 1; ++screen)
        xcb_screen_next(&it);
    if (!it.rem)
        return std::nullopt;
    return X11Connection(connection, it.data->root, screen);
}

xcb_atom_t X11Connection::atom(const char* name) const
{
    // An atom names the same thing for as long as the server runs: each is
    // asked once (a round trip), not at every use.
    static std::mutex mutex;
    static auto& known = *new std::map<std::pair<xcb_connection_t*, std::string>, xcb_atom_t>;
    const std::lock_guard lock(mutex);
    auto key = std::make_pair(m_connection, std::string(name));
    if (const auto found = known.find(key); found != known.end())
        return found->second;
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        m_connection, xcb_intern_atom(m_connection, false, uint16_t(std::strlen(name)), name),
        nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    if (atom != XCB_ATOM_NONE)
        known.emplace(std::move(key), atom);
    return atom;
}
