// A clipboard owner in a process of its own, for the clipboard tests: it takes
// the X CLIPBOARD selection and serves the formats named on the command line,
//   <target>=text:<content>      the bytes of <content>
//   <target>=bytes:<n>           n bytes of a repeating pattern (0..250)
//   <target>=incr:<n>            the same n bytes through the INCR protocol
//   <target>=silent              never answers
// After taking the selection it prints "ready"; for every request it prints
// "asked <target>". It also lists the pseudo-targets TIMESTAMP, MULTIPLE and
// SAVE_TARGETS among its targets, as toolkits do. Runs until killed.
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

xcb_connection_t* connection;

xcb_atom_t atom(const std::string& name)
{
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, false, uint16_t(name.size()), name.c_str()), nullptr);
    const xcb_atom_t result = reply->atom;
    std::free(reply);
    return result;
}

std::string atomName(xcb_atom_t atom)
{
    xcb_get_atom_name_reply_t* reply =
        xcb_get_atom_name_reply(connection, xcb_get_atom_name(connection, atom), nullptr);
    std::string name(xcb_get_atom_name_name(reply), size_t(xcb_get_atom_name_name_length(reply)));
    std::free(reply);
    return name;
}

struct Format
{
    std::string data;
    bool incremental = false;
    bool silent = false;
};

std::string pattern(size_t size)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = char(i % 251);
    return data;
}

// An incremental transfer under way: what is left to send into the property.
struct Incremental
{
    xcb_atom_t type;
    std::string left;
    bool ended = false;
};

void notify(const xcb_selection_request_event_t& request, xcb_atom_t property)
{
    xcb_selection_notify_event_t event{};
    event.response_type = XCB_SELECTION_NOTIFY;
    event.time = request.time;
    event.requestor = request.requestor;
    event.selection = request.selection;
    event.target = request.target;
    event.property = property;
    xcb_send_event(connection, false, request.requestor, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&event));
}

}

int main(int argc, char** argv)
{
    connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        std::fprintf(stderr, "no X display\n");
        return 1;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;

    std::map<xcb_atom_t, Format> formats;
    std::vector<xcb_atom_t> targets;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        // The target's name may hold '=' itself ("text/plain;charset=utf-8").
        size_t equals = std::string::npos;
        for (const char* marker : {"=text:", "=bytes:", "=incr:", "=silent"})
            equals = std::min(equals, argument.find(marker));
        const std::string content = argument.substr(equals + 1);
        Format format;
        if (content.rfind("text:", 0) == 0)
            format.data = content.substr(5);
        else if (content.rfind("bytes:", 0) == 0)
            format.data = pattern(std::stoul(content.substr(6)));
        else if (content.rfind("incr:", 0) == 0)
            format = {pattern(std::stoul(content.substr(5))), true};
        else if (content == "silent")
            format.silent = true;
        const xcb_atom_t target = atom(argument.substr(0, equals));
        formats[target] = format;
        targets.push_back(target);
    }
    const xcb_atom_t targetsAtom = atom("TARGETS");
    const xcb_atom_t incrAtom = atom("INCR");
    for (const char* pseudo : {"TARGETS", "TIMESTAMP", "MULTIPLE", "SAVE_TARGETS"})
        targets.push_back(atom(pseudo));

    const xcb_window_t window = xcb_generate_id(connection);
    const uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
    // The selection needs a real timestamp: take it from a property change.
    xcb_change_property(connection, XCB_PROP_MODE_APPEND, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, 0, "");
    xcb_flush(connection);
    xcb_timestamp_t now = XCB_CURRENT_TIME;
    while (xcb_generic_event_t* event = xcb_wait_for_event(connection)) {
        const bool found = (event->response_type & ~0x80) == XCB_PROPERTY_NOTIFY;
        if (found)
            now = reinterpret_cast<xcb_property_notify_event_t*>(event)->time;
        std::free(event);
        if (found)
            break;
    }
    const xcb_atom_t clipboard = atom("CLIPBOARD");
    xcb_set_selection_owner(connection, window, clipboard, now);
    // A round trip: the server has made us the owner before anyone is told.
    xcb_get_selection_owner_reply_t* owner =
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, clipboard), nullptr);
    const bool owning = owner && owner->owner == window;
    std::free(owner);
    if (!owning) {
        std::fprintf(stderr, "could not take the clipboard\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    // Per requestor window and property.
    std::map<std::pair<xcb_window_t, xcb_atom_t>, Incremental> transfers;
    const uint32_t chunk = 64 * 1024;
    while (xcb_generic_event_t* event = xcb_wait_for_event(connection)) {
        switch (event->response_type & ~0x80) {
        case XCB_SELECTION_REQUEST: {
            const auto& request = *reinterpret_cast<xcb_selection_request_event_t*>(event);
            std::printf("asked %s\n", atomName(request.target).c_str());
            std::fflush(stdout);
            if (request.target == targetsAtom) {
                xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request.requestor, request.property,
                                    XCB_ATOM_ATOM, 32, uint32_t(targets.size()), targets.data());
                notify(request, request.property);
                break;
            }
            const auto found = formats.find(request.target);
            if (found == formats.end()) {
                notify(request, XCB_NONE);
                break;
            }
            const Format& format = found->second;
            if (format.silent)
                break;
            if (format.incremental) {
                const uint32_t size = uint32_t(format.data.size());
                const uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
                xcb_change_window_attributes(connection, request.requestor, XCB_CW_EVENT_MASK, &events);
                xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request.requestor, request.property,
                                    incrAtom, 32, 1, &size);
                transfers[{request.requestor, request.property}] = {request.target, format.data};
            } else {
                xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request.requestor, request.property,
                                    request.target, 8, uint32_t(format.data.size()), format.data.data());
            }
            notify(request, request.property);
            break;
        }
        case XCB_PROPERTY_NOTIFY: {
            const auto& change = *reinterpret_cast<xcb_property_notify_event_t*>(event);
            const auto found = transfers.find({change.window, change.atom});
            if (change.state != XCB_PROPERTY_DELETE || found == transfers.end())
                break;
            Incremental& transfer = found->second;
            if (transfer.ended) {
                transfers.erase(found);
                break;
            }
            const uint32_t size = uint32_t(std::min<size_t>(chunk, transfer.left.size()));
            xcb_change_property(connection, XCB_PROP_MODE_REPLACE, change.window, change.atom, transfer.type, 8,
                                size, transfer.left.data());
            transfer.ended = size == 0;
            transfer.left.erase(0, size);
            break;
        }
        default:
            break;
        }
        std::free(event);
        xcb_flush(connection);
    }
    return 0;
}
