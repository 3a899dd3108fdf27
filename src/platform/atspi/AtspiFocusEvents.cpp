#include "platform/atspi/AtspiFocusEvents.h"

#include "platform/atspi/AtspiThread.h"

namespace {

constexpr const char* kFocusRule =
    "type='signal',interface='org.a11y.atspi.Event.Object',member='StateChanged',arg0='focused'";

// The registry's name of the event. Qt's bridge sends focus changes to anyone
// registered for state changes, the ATK bridge (GTK) for this one in particular.
constexpr const char* kFocusEvent = "object:state-changed:focused";

void registerForFocusEvents(DBusConnection* bus)
{
    DBusMessage* call = dbus_message_new_method_call(
        "org.a11y.atspi.Registry", "/org/a11y/atspi/registry", "org.a11y.atspi.Registry", "RegisterEvent");
    if (!call)
        return;
    // RegisterEvent(s event, as properties, s app_bus_name): no properties
    // wanted with the events, and every application ("").
    DBusMessageIter args;
    DBusMessageIter properties;
    const char* event = kFocusEvent;
    const char* everyApplication = "";
    dbus_message_iter_init_append(call, &args);
    dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &event);
    dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING_AS_STRING, &properties);
    dbus_message_iter_close_container(&args, &properties);
    dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &everyApplication);
    DBusError error;
    dbus_error_init(&error);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(
        bus, call, AtspiThread::kRequestTimeoutMs, &error);
    if (reply)
        dbus_message_unref(reply);
    dbus_error_free(&error);
    dbus_message_unref(call);
}

}

AtspiFocusEvents::AtspiFocusEvents(DBusConnection* bus) : m_bus(bus)
{
    dbus_bus_add_match(m_bus, kFocusRule, nullptr);
    registerForFocusEvents(m_bus);
}

void AtspiFocusEvents::drain()
{
    dbus_connection_read_write(m_bus, 0);
    while (DBusMessage* message = dbus_connection_pop_message(m_bus)) {
        take(message);
        dbus_message_unref(message);
    }
}

std::optional<std::string> AtspiFocusEvents::focusedPath(const std::string& sender) const
{
    const auto found = m_focused.find(sender);
    if (found == m_focused.end())
        return std::nullopt;
    return found->second;
}

void AtspiFocusEvents::take(DBusMessage* message)
{
    if (!dbus_message_is_signal(message, "org.a11y.atspi.Event.Object", "StateChanged"))
        return;
    const char* sender = dbus_message_get_sender(message);
    const char* path = dbus_message_get_path(message);
    DBusMessageIter args;
    if (!sender || !path || !dbus_message_iter_init(message, &args)
        || dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_STRING)
        return;
    const char* state = nullptr;
    dbus_message_iter_get_basic(&args, &state);
    if (std::string_view(state) != "focused" || !dbus_message_iter_next(&args)
        || dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_INT32)
        return;
    dbus_int32_t gained = 0;
    dbus_message_iter_get_basic(&args, &gained);
    if (gained)
        m_focused[sender] = path;
    else if (const auto found = m_focused.find(sender); found != m_focused.end() && found->second == path)
        m_focused.erase(found);
}
