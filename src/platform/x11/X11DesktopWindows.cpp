#include "platform/x11/X11DesktopWindows.h"

#include <QDesktopServices>
#include <cstdlib>

#include "platform/x11/X11Window.h"

namespace {

// The application that shows `window`; none when the window has gone.
std::optional<DesktopApplication> applicationOf(const X11Window& window)
{
    const auto owner = window.owner();
    if (!owner)
        return std::nullopt;
    // The class name is what the program calls itself ("Firefox", "XTerm").
    return DesktopApplication{owner->wmClass.isEmpty() ? QString() : owner->wmClass.last(), owner->pid,
                              window.id()};
}

// A window of `application` that still exists: the remembered one, else its
// topmost other window. A remembered id may have been reused by another
// program, so the process has to match too.
std::optional<X11Window> windowOf(const X11Connection& x, const DesktopApplication& application)
{
    const X11Window remembered(x, application.windowId);
    if (application.windowId) {
        const auto shown = applicationOf(remembered);
        if (shown && application.isSameApplication(*shown))
            return remembered;
    }
    if (application.pid <= 0)
        return std::nullopt;
    const QList<X11Window> clients = X11Window::clients(x);
    for (auto it = clients.rbegin(); it != clients.rend(); ++it) {
        if (it->pid() == application.pid)
            return *it;
    }
    return std::nullopt;
}

}

std::optional<DesktopApplication> X11DesktopWindows::frontmostApplication() const
{
    const auto x = X11Connection::fromQt();
    if (!x)
        return std::nullopt;
    const auto window = X11Window::active(*x);
    return window ? applicationOf(*window) : std::nullopt;
}

bool X11DesktopWindows::activate(const DesktopApplication& application)
{
    const auto x = X11Connection::fromQt();
    if (!x)
        return false;
    const auto window = windowOf(*x, application);
    if (!window)
        return false;

    // The pager's request (source 2): window managers honour it without the
    // focus-stealing checks they apply to applications.
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window->id();
    event.type = x->atom("_NET_ACTIVE_WINDOW");
    event.data.data32[0] = 2;
    event.data.data32[1] = XCB_CURRENT_TIME;
    const xcb_void_cookie_t cookie = xcb_send_event_checked(
        x->get(), false, x->root(),
        XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
        reinterpret_cast<const char*>(&event));
    xcb_generic_error_t* error = xcb_request_check(x->get(), cookie);
    std::free(error);
    return error == nullptr;
}

QString X11DesktopWindows::focusedWindowTitle(const DesktopApplication& application) const
{
    const auto x = X11Connection::fromQt();
    if (!x)
        return {};
    const auto active = X11Window::active(*x);
    const auto activeApplication = active ? applicationOf(*active) : std::nullopt;
    if (activeApplication && application.isSameApplication(*activeApplication))
        return active->title();
    const auto window = windowOf(*x, application);
    return window ? window->title() : QString();
}

bool X11DesktopWindows::openUrl(const QUrl& url)
{
    return QDesktopServices::openUrl(url);
}

bool X11DesktopWindows::openFolder(const QString& path)
{
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}
