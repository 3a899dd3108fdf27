#pragma once

#include <QDBusServiceWatcher>
#include <xcb/xcb.h>

#include "platform/TrayHostWatcher.h"

class QSocketNotifier;

// TrayHostWatcher for an X11 desktop. The StatusNotifierWatcher is followed
// on the session bus (its registration and its host's); the X system tray
// through the MANAGER message a tray broadcasts to the root window when it
// takes its selection, read on a connection of its own.
class X11TrayHostWatcher final : public TrayHostWatcher
{
    Q_OBJECT
public:
    explicit X11TrayHostWatcher(QObject* parent = nullptr);
    ~X11TrayHostWatcher() override;

    bool isAvailable() const override;

private slots:
    // A host announced itself: appeared() when one is there now.
    void onHostChanged();

private:
    bool hasStatusNotifierHost() const;
    bool hasSystemTray() const;
    void readXEvents();

    QDBusServiceWatcher m_statusNotifierWatcher;
    xcb_connection_t* m_connection = nullptr;
    xcb_atom_t m_manager = XCB_ATOM_NONE;
    xcb_atom_t m_traySelection = XCB_ATOM_NONE;
    QSocketNotifier* m_notifier = nullptr;
};
