#include "platform/x11/X11TrayHostWatcher.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QSocketNotifier>
#include <cstdlib>
#include <cstring>

#include "platform/x11/X11Connection.h"

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");

xcb_atom_t internAtom(xcb_connection_t* connection, const QByteArray& name)
{
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, false, uint16_t(name.size()), name.constData()), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return atom;
}

}

X11TrayHostWatcher::X11TrayHostWatcher(QObject* parent)
    : TrayHostWatcher(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        m_statusNotifierWatcher.setConnection(bus);
        m_statusNotifierWatcher.addWatchedService(kWatcherService);
        m_statusNotifierWatcher.setWatchMode(QDBusServiceWatcher::WatchForRegistration);
        connect(&m_statusNotifierWatcher, &QDBusServiceWatcher::serviceRegistered, this,
                &X11TrayHostWatcher::onHostChanged);
        bus.connect(kWatcherService, kWatcherPath, kWatcherService,
                    QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(onHostChanged()));
    }

    // Only where Qt itself runs on X: elsewhere an X tray could not take the icon.
    if (const auto x = X11Connection::fromQt()) {
        int screenNumber = 0;
        m_connection = xcb_connect(nullptr, &screenNumber);
        if (xcb_connection_has_error(m_connection)) {
            xcb_disconnect(m_connection);
            m_connection = nullptr;
        } else {
            xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(m_connection));
            for (int i = 0; i < screenNumber && it.rem > 1; ++i)
                xcb_screen_next(&it);
            // A tray announces itself with a MANAGER message to the root
            // window, delivered to every client that selects structure
            // changes there.
            const uint32_t events = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
            xcb_change_window_attributes(m_connection, it.data->root, XCB_CW_EVENT_MASK, &events);
            m_manager = internAtom(m_connection, "MANAGER");
            m_traySelection = internAtom(m_connection, "_NET_SYSTEM_TRAY_S" + QByteArray::number(screenNumber));
            xcb_flush(m_connection);
            m_notifier = new QSocketNotifier(xcb_get_file_descriptor(m_connection), QSocketNotifier::Read, this);
            connect(m_notifier, &QSocketNotifier::activated, this, &X11TrayHostWatcher::readXEvents);
        }
    }
}

X11TrayHostWatcher::~X11TrayHostWatcher()
{
    delete m_notifier;
    if (m_connection)
        xcb_disconnect(m_connection);
}

bool X11TrayHostWatcher::isAvailable() const
{
    return hasStatusNotifierHost() || hasSystemTray();
}

bool X11TrayHostWatcher::hasStatusNotifierHost() const
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(kWatcherService))
        return false;
    // A watcher without a host shows nothing.
    QDBusInterface watcher(kWatcherService, kWatcherPath, kWatcherService, bus);
    return watcher.property("IsStatusNotifierHostRegistered").toBool();
}

bool X11TrayHostWatcher::hasSystemTray() const
{
    if (!m_connection)
        return false;
    xcb_get_selection_owner_reply_t* reply = xcb_get_selection_owner_reply(
        m_connection, xcb_get_selection_owner(m_connection, m_traySelection), nullptr);
    const bool owned = reply && reply->owner != XCB_WINDOW_NONE;
    std::free(reply);
    return owned;
}

void X11TrayHostWatcher::readXEvents()
{
    bool trayStarted = false;
    while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
        if ((event->response_type & ~0x80) == XCB_CLIENT_MESSAGE) {
            const auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
            trayStarted |= message->type == m_manager && message->data.data32[1] == m_traySelection;
        }
        std::free(event);
    }
    if (xcb_connection_has_error(m_connection))
        m_notifier->setEnabled(false);
    if (trayStarted)
        onHostChanged();
}

void X11TrayHostWatcher::onHostChanged()
{
    if (isAvailable())
        emit appeared();
}
