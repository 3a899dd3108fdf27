#include "platform/x11/X11ClipboardReader.h"

#include <QSet>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <poll.h>

#include "platform/x11/X11Connection.h"

namespace {

// Targets that are no content: the owner's list of targets, requests for
// several at once, the time of ownership, a request to hand the content to a
// clipboard manager, and requests that change the selection.
const QSet<QByteArray> kPseudoTargets = {"TARGETS", "MULTIPLE", "TIMESTAMP", "SAVE_TARGETS",
                                         "DELETE", "INSERT_SELECTION", "INSERT_PROPERTY"};

// The plain-text targets, best first; Qt serves all of them from "text/plain".
const QByteArray kTextTargets[] = {"UTF8_STRING", "STRING", "TEXT", "COMPOUND_TEXT"};

template <typename Reply>
struct Freed
{
    Reply* reply;
    ~Freed() { std::free(reply); }
    Reply* operator->() const { return reply; }
    explicit operator bool() const { return reply != nullptr; }
};

QString wholeTimeText(const ClipboardLimits& limits)
{
    return QStringLiteral("the %1 ms for the whole clipboard ran out").arg(limits.timeout.count());
}

}

X11ClipboardReader::X11ClipboardReader()
{
    // Only where Qt itself runs on X: under another platform the toolkit's
    // clipboard is not the X one.
    if (!X11Connection::fromQt())
        return;
    int screenNumber = 0;
    m_connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(m_connection)) {
        xcb_disconnect(m_connection);
        m_connection = nullptr;
        return;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(m_connection));
    for (int i = 0; i < screenNumber && it.rem > 1; ++i)
        xcb_screen_next(&it);
    m_window = xcb_generate_id(m_connection);
    // Property changes drive the incremental transfers.
    const uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, m_window, it.data->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
    m_clipboard = atom("CLIPBOARD");
    m_targets = atom("TARGETS");
    m_incr = atom("INCR");
}

X11ClipboardReader::~X11ClipboardReader()
{
    if (m_connection)
        xcb_disconnect(m_connection);
}

std::optional<ClipboardContent> X11ClipboardReader::read(const ClipboardLimits& limits)
{
    if (!m_connection || xcb_connection_has_error(m_connection))
        return std::nullopt;
    ClipboardContent content;
    const Clock::time_point end = Clock::now() + limits.timeout;

    const Transfer targets = fetch(m_targets, 64 * 1024, limits, end);
    if (!targets.data) {
        if (!targets.failure.isEmpty())
            content.leftOut << QStringLiteral("TARGETS: ") + targets.failure;
        return content;
    }
    const auto* atoms = reinterpret_cast<const xcb_atom_t*>(targets.data->constData());
    const qsizetype count = targets.data->size() / qsizetype(sizeof(xcb_atom_t));

    // One text format stands for all of them.
    QList<QPair<xcb_atom_t, QByteArray>> wanted;
    std::optional<QPair<xcb_atom_t, QByteArray>> text;
    for (qsizetype i = 0; i < count; ++i) {
        const QByteArray name = atomName(atoms[i]);
        if (name.isEmpty() || kPseudoTargets.contains(name))
            continue;
        const auto rank = std::find(std::begin(kTextTargets), std::end(kTextTargets), name);
        if (rank == std::end(kTextTargets)) {
            wanted.append({atoms[i], name});
        } else if (!text || rank < std::find(std::begin(kTextTargets), std::end(kTextTargets),
                                             text->second)) {
            text = {atoms[i], name};
        }
    }
    if (text && (text->second == "UTF8_STRING" || text->second == "STRING"))
        wanted.prepend(*text);

    qsizetype bytes = 0;
    for (const auto& [target, name] : wanted) {
        const QString format = name == "UTF8_STRING" || name == "STRING"
            ? QStringLiteral("text/plain") : QString::fromLatin1(name);
        if (Clock::now() >= end) {
            content.leftOut << format + QStringLiteral(": not asked for, ") + wholeTimeText(limits);
            continue;
        }
        const Transfer transfer = fetch(target, limits.maxBytes - bytes, limits, end);
        if (!transfer.data) {
            content.leftOut << format + QStringLiteral(": ") + transfer.failure;
            continue;
        }
        bytes += transfer.data->size();
        content.formats.append({format, name == "STRING"
                                            ? QString::fromLatin1(*transfer.data).toUtf8()
                                            : *transfer.data});
    }
    return content;
}

X11ClipboardReader::Transfer X11ClipboardReader::fetch(xcb_atom_t target, qsizetype maxBytes,
                                                       const ClipboardLimits& limits, Clock::time_point end)
{
    maxBytes = std::max<qsizetype>(maxBytes, 0);
    // The target's own name is the property: a late answer to a request
    // given up on lands where nothing reads it any more.
    const xcb_atom_t property = target;
    xcb_delete_property(m_connection, m_window, property);
    xcb_convert_selection(m_connection, m_window, m_clipboard, target, property, XCB_CURRENT_TIME);
    xcb_flush(m_connection);

    QString late;
    xcb_generic_event_t* event = waitForAnswer([&](const xcb_generic_event_t& e) {
        if ((e.response_type & ~0x80) != XCB_SELECTION_NOTIFY)
            return false;
        const auto& notify = reinterpret_cast<const xcb_selection_notify_event_t&>(e);
        return notify.requestor == m_window && notify.target == target;
    }, limits, end, late);
    if (!event)
        return {std::nullopt, late};
    const bool refused = reinterpret_cast<xcb_selection_notify_event_t*>(event)->property == XCB_NONE;
    std::free(event);
    if (refused)   // no owner, or one that cannot give this format
        return {std::nullopt, target == m_targets ? QString() : QStringLiteral("refused by the owner")};

    // One more 32-bit unit than allowed tells a value that is too large.
    const uint32_t units = uint32_t(std::min<qsizetype>(maxBytes / 4 + 1, UINT32_MAX / 4));
    Freed<xcb_get_property_reply_t> reply{xcb_get_property_reply(
        m_connection, xcb_get_property(m_connection, false, m_window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, units),
        nullptr)};
    if (!reply)
        return {std::nullopt, QStringLiteral("the property could not be read")};
    if (reply->type == m_incr)
        return fetchIncrementally(property, maxBytes, limits, end);
    xcb_delete_property(m_connection, m_window, property);
    xcb_flush(m_connection);
    const int length = xcb_get_property_value_length(reply.reply);
    if (reply->bytes_after > 0 || length > maxBytes)
        return {std::nullopt, QStringLiteral("larger than the %1 bytes left to keep").arg(maxBytes)};
    return {QByteArray(static_cast<const char*>(xcb_get_property_value(reply.reply)), length), {}};
}

X11ClipboardReader::Transfer X11ClipboardReader::fetchIncrementally(xcb_atom_t property, qsizetype maxBytes,
                                                                    const ClipboardLimits& limits,
                                                                    Clock::time_point end)
{
    // Deleting the INCR property asks for the first piece; each piece read
    // (and deleted) asks for the next; an empty piece ends the transfer.
    xcb_delete_property(m_connection, m_window, property);
    xcb_flush(m_connection);
    QByteArray data;
    for (;;) {
        QString late;
        xcb_generic_event_t* event = waitForAnswer([&](const xcb_generic_event_t& e) {
            if ((e.response_type & ~0x80) != XCB_PROPERTY_NOTIFY)
                return false;
            const auto& notify = reinterpret_cast<const xcb_property_notify_event_t&>(e);
            return notify.window == m_window && notify.atom == property
                && notify.state == XCB_PROPERTY_NEW_VALUE;
        }, limits, end, late);
        if (!event)
            return {std::nullopt, late};
        std::free(event);
        const uint32_t units = uint32_t(std::min<qsizetype>((maxBytes - data.size()) / 4 + 1, UINT32_MAX / 4));
        Freed<xcb_get_property_reply_t> reply{xcb_get_property_reply(
            m_connection,
            xcb_get_property(m_connection, true, m_window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, units),
            nullptr)};
        if (!reply)
            return {std::nullopt, QStringLiteral("the property could not be read")};
        const int length = xcb_get_property_value_length(reply.reply);
        if (reply->bytes_after > 0 || data.size() + length > maxBytes) {
            xcb_delete_property(m_connection, m_window, property);
            xcb_flush(m_connection);
            return {std::nullopt, QStringLiteral("larger than the %1 bytes left to keep").arg(maxBytes)};
        }
        xcb_flush(m_connection);
        if (length == 0)
            return {data, {}};
        data.append(static_cast<const char*>(xcb_get_property_value(reply.reply)), length);
    }
}

xcb_generic_event_t* X11ClipboardReader::waitForAnswer(
    const std::function<bool(const xcb_generic_event_t&)>& matches, const ClipboardLimits& limits,
    Clock::time_point end, QString& late)
{
    const Clock::time_point answerBy = Clock::now() + limits.answerTimeout;
    const Clock::time_point deadline = std::min(answerBy, end);
    late = answerBy <= end ? QStringLiteral("no answer within %1 ms").arg(limits.answerTimeout.count())
                           : wholeTimeText(limits);
    for (;;) {
        while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
            if (matches(*event))
                return event;
            std::free(event);
        }
        if (xcb_connection_has_error(m_connection))
            return nullptr;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return nullptr;
        pollfd fd{xcb_get_file_descriptor(m_connection), POLLIN, 0};
        ::poll(&fd, 1, int(left.count()));
    }
}

xcb_atom_t X11ClipboardReader::atom(const char* name) const
{
    Freed<xcb_intern_atom_reply_t> reply{xcb_intern_atom_reply(
        m_connection, xcb_intern_atom(m_connection, false, uint16_t(std::strlen(name)), name), nullptr)};
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

QByteArray X11ClipboardReader::atomName(xcb_atom_t atom) const
{
    Freed<xcb_get_atom_name_reply_t> reply{
        xcb_get_atom_name_reply(m_connection, xcb_get_atom_name(m_connection, atom), nullptr)};
    if (!reply)
        return {};
    return QByteArray(xcb_get_atom_name_name(reply.reply), xcb_get_atom_name_name_length(reply.reply));
}
