// GLib before Qt: its struct fields clash with Qt's keywords.
#include <atspi/atspi.h>

#include "platform/atspi/GlibHandles.h"
#include "platform/atspi/AtspiAccessibility.h"
#include "platform/atspi/AtspiApplicationFacts.h"
#include "platform/atspi/AtspiCaller.h"
#include "platform/atspi/AtspiElement.h"
#include "platform/atspi/AtspiFocusEvents.h"
#include "platform/atspi/AtspiThread.h"

#include <QCoreApplication>
#include <optional>
#include <string>
#include <vector>

// Everything in here runs on the accessibility thread.
namespace {

constexpr auto kSettlePoll = std::chrono::milliseconds(20);
// How long an active window without a focused element may be on its way to
// show one (a window coming back to the front).
constexpr auto kActiveWithoutFocus = std::chrono::milliseconds(100);
// Levels between an application and an element reported focused, at most.
constexpr std::size_t kMaxDepth = 64;

using Clock = std::chrono::steady_clock;

// What one search may spend: elements looked at, and time (the caller waits
// for the answer only so long, and a job it gave up on holds the thread).
struct SearchBudget
{
    int elements = AtspiAccessibility::kMaxVisitedElements;
    Clock::time_point end;

    bool spent() const { return elements <= 0 || Clock::now() >= end; }
};

// A reply to a request of our own, made on the connection libatspi uses.
class Reply
{
public:
    Reply(const char* busName, const std::string& path, const char* interface, const char* method,
          const char* argument = nullptr, const char* secondArgument = nullptr)
    {
        DBusMessage* call = dbus_message_new_method_call(busName, path.c_str(), interface, method);
        if (!call)
            return;
        if (argument)
            dbus_message_append_args(call, DBUS_TYPE_STRING, &argument, DBUS_TYPE_STRING,
                                     &secondArgument, DBUS_TYPE_INVALID);
        DBusError error;
        dbus_error_init(&error);
        m_message = dbus_connection_send_with_reply_and_block(
            atspi_get_a11y_bus(), call, AtspiThread::kRequestTimeoutMs, &error);
        dbus_error_free(&error);
        dbus_message_unref(call);
    }
    ~Reply()
    {
        if (m_message)
            dbus_message_unref(m_message);
    }
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;

    // The reply's first value, none when there is none.
    bool first(DBusMessageIter* value) const { return m_message && dbus_message_iter_init(m_message, value); }

private:
    DBusMessage* m_message = nullptr;
};

// The element's states, asked of the application in one request; none when
// it does not answer. (Not through libatspi: the state set it keeps on the
// element makes it ask for the states again before every later request on
// that element, to see whether the element is transient.)
gint64 statesOf(AtspiAccessible* element)
{
    const AtspiObject& object = element->parent;
    if (!object.app || !object.app->bus_name || !object.path)
        return 0;
    Reply reply(object.app->bus_name, object.path, "org.a11y.atspi.Accessible", "GetState");
    DBusMessageIter array;
    if (!reply.first(&array) || dbus_message_iter_get_arg_type(&array) != DBUS_TYPE_ARRAY)
        return 0;
    // Two 32-bit words, the low states first.
    DBusMessageIter word;
    dbus_message_iter_recurse(&array, &word);
    quint64 states = 0;
    for (int shift = 0; shift < 64 && dbus_message_iter_get_arg_type(&word) == DBUS_TYPE_UINT32; shift += 32) {
        dbus_uint32_t bits = 0;
        dbus_message_iter_get_basic(&word, &bits);
        states |= quint64(bits) << shift;
        dbus_message_iter_next(&word);
    }
    return gint64(states);
}

bool holds(gint64 states, AtspiStateType state)
{
    return (states >> state) & 1;
}

// Depth first: the focused element is the one with state FOCUSED. Only showing
// elements can hold it; lists that manage their own descendants are not walked.
GObjectRef<AtspiAccessible> findFocused(AtspiAccessible* element, SearchBudget& budget)
{
    if (budget.spent())
        return GObjectRef<AtspiAccessible>();
    --budget.elements;
    const gint64 states = statesOf(element);
    if (holds(states, ATSPI_STATE_FOCUSED))
        return GObjectRef<AtspiAccessible>(static_cast<AtspiAccessible*>(g_object_ref(element)));
    if (!holds(states, ATSPI_STATE_SHOWING) || holds(states, ATSPI_STATE_MANAGES_DESCENDANTS))
        return GObjectRef<AtspiAccessible>();

    GErrorSlot error;
    const int count = atspi_accessible_get_child_count(element, error.out());
    for (int i = 0; !error && i < count && !budget.spent(); ++i) {
        GErrorSlot childError;
        GObjectRef<AtspiAccessible> child(
            atspi_accessible_get_child_at_index(element, i, childError.out()));
        if (!child.get())
            continue;
        if (auto found = findFocused(child.get(), budget); found.get())
            return found;
    }
    return GObjectRef<AtspiAccessible>();
}

// What the application itself answers when asked for the focused element of
// a window through the Collection interface: one request, however large the
// window, where the walk above makes three for each element (GTK offers it,
// Qt 6.4 does not). None when the window does not offer it or the request
// failed.
std::optional<GObjectRef<AtspiAccessible>> focusedByCollection(AtspiAccessible* window)
{
    GObjectRef<AtspiCollection> collection(atspi_accessible_get_collection_iface(window));
    if (!collection.get())
        return std::nullopt;
    GObjectRef<AtspiStateSet> focused(atspi_state_set_new(nullptr));
    atspi_state_set_add(focused.get(), ATSPI_STATE_FOCUSED);
    GObjectRef<AtspiMatchRule> rule(atspi_match_rule_new(
        focused.get(), ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_NONE, nullptr,
        ATSPI_Collection_MATCH_NONE, nullptr, ATSPI_Collection_MATCH_NONE, FALSE));
    GErrorSlot error;
    GArray* matches = atspi_collection_get_matches(collection.get(), rule.get(),
                                                   ATSPI_Collection_SORT_ORDER_CANONICAL, 1, TRUE,
                                                   error.out());
    if (error || !matches)
        return std::nullopt;
    GObjectRef<AtspiAccessible> found;
    for (guint i = 0; i < matches->len; ++i) {
        GObjectRef<AtspiAccessible> match(g_array_index(matches, AtspiAccessible*, i));
        if (!found.get())
            found = std::move(match);
    }
    g_array_free(matches, TRUE);
    return found;
}

// The focused element of one window: asked of the application where it can
// answer at once, else looked for.
GObjectRef<AtspiAccessible> focusedInWindow(AtspiAccessible* window, SearchBudget& budget)
{
    if (auto found = focusedByCollection(window))
        return std::move(*found);
    return findFocused(window, budget);
}

// One look for the focused element of an application, its active windows
// first.
struct Look
{
    GObjectRef<AtspiAccessible> focused;
    bool answered = false;    // the application answered at all
    bool anyActive = false;   // one of its windows is active
};

Look lookForFocus(AtspiAccessible* application, Clock::time_point end)
{
    Look look;
    GErrorSlot error;
    const int count = atspi_accessible_get_child_count(application, error.out());
    if (error)
        return look;
    look.answered = true;
    SearchBudget budget{.end = end};
    for (const bool activePass : {true, false}) {
        for (int i = 0; i < count && !budget.spent(); ++i) {
            GErrorSlot childError;
            GObjectRef<AtspiAccessible> window(
                atspi_accessible_get_child_at_index(application, i, childError.out()));
            if (!window.get())
                continue;
            const bool active = holds(statesOf(window.get()), ATSPI_STATE_ACTIVE);
            look.anyActive = look.anyActive || active;
            if (active != activePass)
                continue;
            if (auto found = focusedInWindow(window.get(), budget); found.get()) {
                look.focused = std::move(found);
                return look;
            }
        }
    }
    return look;
}

std::optional<int> indexInParent(const char* busName, const std::string& path)
{
    Reply reply(busName, path, "org.a11y.atspi.Accessible", "GetIndexInParent");
    DBusMessageIter value;
    if (!reply.first(&value) || dbus_message_iter_get_arg_type(&value) != DBUS_TYPE_INT32)
        return std::nullopt;
    dbus_int32_t index = -1;
    dbus_message_iter_get_basic(&value, &index);
    return index >= 0 ? std::optional<int>(index) : std::nullopt;
}

// The object path of the element's parent (in the same application).
std::optional<std::string> parentPath(const char* busName, const std::string& path)
{
    Reply reply(busName, path, "org.freedesktop.DBus.Properties", "Get", "org.a11y.atspi.Accessible",
                "Parent");
    DBusMessageIter variant;
    DBusMessageIter reference;
    if (!reply.first(&variant) || dbus_message_iter_get_arg_type(&variant) != DBUS_TYPE_VARIANT)
        return std::nullopt;
    dbus_message_iter_recurse(&variant, &reference);
    if (dbus_message_iter_get_arg_type(&reference) != DBUS_TYPE_STRUCT)
        return std::nullopt;
    DBusMessageIter field;
    dbus_message_iter_recurse(&reference, &field);   // (bus name, path)
    if (!dbus_message_iter_next(&field) || dbus_message_iter_get_arg_type(&field) != DBUS_TYPE_OBJECT_PATH)
        return std::nullopt;
    const char* parent = nullptr;
    dbus_message_iter_get_basic(&field, &parent);
    return std::string(parent);
}

// libatspi's proxy of the application's element at `path`: libatspi makes
// proxies only of what it is handed, so the element's place under the
// application is asked upwards (its index in each parent) and walked down.
// None when the element or one of its ancestors has gone, or the walk ends
// elsewhere (the tree changed in between).
GObjectRef<AtspiAccessible> elementAt(AtspiAccessible* application, const std::string& path)
{
    const AtspiObject& root = application->parent;
    if (!root.app || !root.app->bus_name || !root.path)
        return GObjectRef<AtspiAccessible>();
    std::vector<int> indices;
    for (std::string current = path; current != root.path;) {
        const auto index = indices.size() < kMaxDepth ? indexInParent(root.app->bus_name, current)
                                                      : std::nullopt;
        auto parent = index ? parentPath(root.app->bus_name, current) : std::nullopt;
        if (!parent)
            return GObjectRef<AtspiAccessible>();
        indices.push_back(*index);
        current = std::move(*parent);
    }
    GObjectRef<AtspiAccessible> element(static_cast<AtspiAccessible*>(g_object_ref(application)));
    for (auto index = indices.rbegin(); index != indices.rend(); ++index) {
        GErrorSlot error;
        GObjectRef<AtspiAccessible> child(atspi_accessible_get_child_at_index(element.get(), *index, error.out()));
        if (!child.get())
            return GObjectRef<AtspiAccessible>();
        element = std::move(child);
    }
    if (!element.get()->parent.path || path != element.get()->parent.path)
        return GObjectRef<AtspiAccessible>();
    return element;
}

// The element the application last reported focused, and whether it holds
// the focus now.
struct Reported
{
    GObjectRef<AtspiAccessible> element;
    bool focused = false;
};

// libatspi's proxy of the element last reported focused, as elementAt() found
// it: while the same element keeps the focus (one dictation after another in
// the same field), a search asks only for its state.
GObjectRef<AtspiAccessible> knownElementAt(AtspiAccessible* application, const std::string& path)
{
    struct Known
    {
        std::string busName;
        std::string path;
        GObjectRef<AtspiAccessible> element;
    };
    // The accessibility thread's, kept to the end of the process like the
    // thread (never dropped at exit from another thread).
    static Known& known = *new Known;
    const std::string busName = application->parent.app->bus_name;
    if (!known.element.get() || known.busName != busName || known.path != path)
        known = {busName, path, elementAt(application, path)};
    if (!known.element.get())
        return GObjectRef<AtspiAccessible>();
    return GObjectRef<AtspiAccessible>(static_cast<AtspiAccessible*>(g_object_ref(known.element.get())));
}

Reported reportedFocus(AtspiAccessible* application)
{
    AtspiFocusEvents* events = AtspiThread::focusEvents();
    const AtspiObject& root = application->parent;
    if (!events || !root.app || !root.app->bus_name)
        return Reported();
    events->drain();
    const auto path = events->focusedPath(root.app->bus_name);
    if (!path)
        return Reported();
    Reported reported{knownElementAt(application, *path)};
    const gint64 states = reported.element.get() ? statesOf(reported.element.get()) : 0;
    // No states (the request failed) or defunct: the element has gone.
    if (states == 0 || holds(states, ATSPI_STATE_DEFUNCT))
        return Reported();
    reported.focused = holds(states, ATSPI_STATE_FOCUSED);
    return reported;
}

// The element the application reported focused where it still holds the
// focus, else looked for. While a key grab lasts, the application marks no
// window active and no element focused; both come back when the grab ends,
// the window a moment before the element.
GObjectRef<AtspiAccessible> focusedInApplication(AtspiAccessible* application,
                                                 std::chrono::milliseconds settle, Clock::time_point end)
{
    auto giveUp = std::min(Clock::now() + settle, end);
    bool activeSeen = false;
    for (;;) {
        Reported reported = reportedFocus(application);
        if (reported.focused)
            return std::move(reported.element);
        // The element reported focused takes the focus back when the grab
        // ends, and a move elsewhere is reported: no need to search meanwhile.
        if (reported.element.get() && Clock::now() < giveUp) {
            g_usleep(std::chrono::microseconds(kSettlePoll).count());
            continue;
        }
        Look look = lookForFocus(application, end);
        if (look.focused.get() || !look.answered)
            return std::move(look.focused);
        const auto now = Clock::now();
        if (look.anyActive && !activeSeen) {
            activeSeen = true;
            giveUp = std::min(giveUp, now + kActiveWithoutFocus);
        }
        if (now >= giveUp)
            return GObjectRef<AtspiAccessible>();
        g_usleep(std::chrono::microseconds(kSettlePoll).count());
    }
}

GObjectRef<AtspiAccessible> focusedElementOf(qint64 pid, std::chrono::milliseconds settle,
                                             Clock::time_point end)
{
    if (!AtspiThread::connectedToBus())
        return GObjectRef<AtspiAccessible>();
    GObjectRef<AtspiAccessible> desktop(atspi_get_desktop(0));
    if (!desktop.get())
        return GObjectRef<AtspiAccessible>();
    GErrorSlot error;
    const int count = atspi_accessible_get_child_count(desktop.get(), error.out());
    for (int i = 0; !error && i < count; ++i) {
        GErrorSlot childError;
        GObjectRef<AtspiAccessible> application(
            atspi_accessible_get_child_at_index(desktop.get(), i, childError.out()));
        if (!application.get())
            continue;
        if (AtspiApplicationFacts::processOf(application.get()) != pid)
            continue;
        if (auto found = focusedInApplication(application.get(), settle, end); found.get())
            return found;
    }
    return GObjectRef<AtspiAccessible>();
}

bool busAnswers()
{
    if (!AtspiThread::connectedToBus())
        return false;
    GObjectRef<AtspiAccessible> desktop(atspi_get_desktop(0));
    if (!desktop.get())
        return false;
    GErrorSlot error;
    atspi_accessible_get_child_count(desktop.get(), error.out());
    return !error;
}

}

AtspiAccessibility::AtspiAccessibility(AtspiTiming timing)
    : m_timing(timing), m_caller(std::make_shared<AtspiCaller>(timing.answerDeadline))
{
}

AtspiAccessibility::~AtspiAccessibility() = default;

bool AtspiAccessibility::isTrusted()
{
    return m_caller->ask(QStringLiteral("bus"), [] { return busAnswers(); }).value_or(false);
}

std::unique_ptr<AccessibleElement> AtspiAccessibility::focusedElement(qint64 pid)
{
    // Asking our own process would wait on the very thread that must answer.
    if (pid <= 0 || pid == QCoreApplication::applicationPid())
        return nullptr;
    // The search ends before the caller's deadline, so that a slow one (a
    // walk through a large window) does not hold the thread past it.
    const auto searchTime = m_timing.answerDeadline * 3 / 4;
    auto found = m_caller->ask(QStringLiteral("focused element"),
                               [pid, settle = m_timing.focusSettle, searchTime] {
                                   return focusedElementOf(pid, settle, Clock::now() + searchTime);
                               });
    if (!found || !found->get())
        return nullptr;
    return std::make_unique<AtspiElement>(m_caller, found->release());
}

void AtspiAccessibility::setUnansweredHandler(UnansweredHandler handler)
{
    m_caller->setUnansweredHandler(std::move(handler));
}
