#pragma once

#include <dbus/dbus.h>

#include <optional>
#include <string>
#include <unordered_map>

// The element each application last reported focused, read from the
// applications' own focus signals: where walking a large window for its
// focused element takes seconds (Qt offers no Collection interface), the
// element remembered here is found in a few requests.
//
// Accessibility thread only. The signals are read straight off the bus
// connection (never dispatched: libatspi's handlers must not run there); the
// thread hands every message that waits on it to take().
class AtspiFocusEvents
{
public:
    // Asks the bus for the focus signals and has the applications send them:
    // toolkits emit them only while someone has registered for them with the
    // accessibility registry. Registered once, when the thread connects, so
    // that a focus change made before the hot key is seen too.
    explicit AtspiFocusEvents(DBusConnection* bus);

    // Reads what waits on the connection without blocking, notes the focus
    // signals among it and throws everything else away unread.
    void drain();
    // The object path that the application with unique bus name `sender`
    // last reported focused and has not reported unfocused since.
    std::optional<std::string> focusedPath(const std::string& sender) const;

private:
    void take(DBusMessage* message);

    DBusConnection* const m_bus;
    std::unordered_map<std::string, std::string> m_focused;   // sender -> path
};
