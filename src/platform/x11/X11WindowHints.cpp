#include "platform/x11/X11WindowHints.h"

#include <QByteArray>
#include <QList>
#include <QWidget>
#include <cstdlib>

#include "platform/x11/X11Connection.h"

namespace {

void skipTaskbar(QWidget& window)
{
    const auto x = X11Connection::fromQt();
    if (!x)
        return;
    const auto id = xcb_window_t(window.winId());
    const xcb_atom_t state = x->atom("_NET_WM_STATE");
    if (state == XCB_ATOM_NONE)
        return;

    // On a window that is not mapped the state is a plain property. Qt keeps
    // the states it does not set itself when it maps the window.
    QList<xcb_atom_t> present;
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        x->get(), xcb_get_property(x->get(), false, id, state, XCB_ATOM_ATOM, 0, 64), nullptr);
    if (reply && reply->type == XCB_ATOM_ATOM && reply->format == 32) {
        const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply));
        present = QList<xcb_atom_t>(atoms, atoms + xcb_get_property_value_length(reply) / 4);
    }
    std::free(reply);

    QList<xcb_atom_t> missing;
    for (const char* name : {"_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"}) {
        const xcb_atom_t atom = x->atom(name);
        if (atom != XCB_ATOM_NONE && !present.contains(atom))
            missing.append(atom);
    }
    if (!missing.isEmpty()) {
        xcb_change_property(x->get(), XCB_PROP_MODE_APPEND, id, state, XCB_ATOM_ATOM, 32,
                            uint32_t(missing.size()), missing.constData());
    }
}

QPoint position(const QWidget& window)
{
    const auto x = X11Connection::fromQt();
    if (!x || !window.testAttribute(Qt::WA_WState_Created))
        return window.pos();
    xcb_translate_coordinates_reply_t* reply = xcb_translate_coordinates_reply(
        x->get(), xcb_translate_coordinates(x->get(), xcb_window_t(window.winId()), x->root(), 0, 0),
        nullptr);
    if (!reply)
        return window.pos();
    // The server counts device pixels.
    const qreal ratio = window.devicePixelRatioF();
    const QPoint position(qRound(reply->dst_x / ratio), qRound(reply->dst_y / ratio));
    std::free(reply);
    return position;
}

// A compositing manager owns the selection _NET_WM_CM_S<screen> while it runs.
bool compositing()
{
    const auto x = X11Connection::fromQt();
    if (!x)
        return false;
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(x->screen());
    const xcb_atom_t selection = x->atom(name.constData());
    if (selection == XCB_ATOM_NONE)
        return false;
    xcb_get_selection_owner_reply_t* reply = xcb_get_selection_owner_reply(
        x->get(), xcb_get_selection_owner(x->get(), selection), nullptr);
    const bool owned = reply && reply->owner != XCB_WINDOW_NONE;
    std::free(reply);
    return owned;
}

} // namespace

WindowHints x11WindowHints()
{
    return {.skipTaskbar = skipTaskbar, .position = position, .compositing = compositing};
}
