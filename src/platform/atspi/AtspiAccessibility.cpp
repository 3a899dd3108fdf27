// GLib before Qt: its struct fields clash with Qt's keywords.
#include <atspi/atspi.h>

#include "platform/atspi/GlibHandles.h"
#include "platform/atspi/AtspiAccessibility.h"
#include "platform/atspi/AtspiCaller.h"
#include "platform/atspi/AtspiElement.h"
#include "platform/atspi/AtspiThread.h"

#include <QCoreApplication>
#include <optional>

// Everything in here runs on the accessibility thread.
namespace {

constexpr auto kSettlePoll = std::chrono::milliseconds(20);
// How long an active window without a focused element may be on its way to
// show one (a window coming back to the front).
constexpr auto kActiveWithoutFocus = std::chrono::milliseconds(100);

// The element's states, asked once. (A state set of libatspi asks the
// application again at every look: nothing is cached here.)
gint64 statesOf(AtspiAccessible* element)
{
    GObjectRef<AtspiStateSet> states(atspi_accessible_get_state_set(element));
    return states.get() ? states.get()->states : 0;
}

bool holds(gint64 states, AtspiStateType state)
{
    return (states >> state) & 1;
}

// Depth first: the focused element is the one with state FOCUSED. Only showing
// elements can hold it; lists that manage their own descendants are not walked.
GObjectRef<AtspiAccessible> findFocused(AtspiAccessible* element, int& budget)
{
    if (--budget < 0)
        return GObjectRef<AtspiAccessible>();
    const gint64 states = statesOf(element);
    if (holds(states, ATSPI_STATE_FOCUSED))
        return GObjectRef<AtspiAccessible>(static_cast<AtspiAccessible*>(g_object_ref(element)));
    if (!holds(states, ATSPI_STATE_SHOWING) || holds(states, ATSPI_STATE_MANAGES_DESCENDANTS))
        return GObjectRef<AtspiAccessible>();

    GErrorSlot error;
    const int count = atspi_accessible_get_child_count(element, error.out());
    for (int i = 0; !error && i < count && budget > 0; ++i) {
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
GObjectRef<AtspiAccessible> focusedInWindow(AtspiAccessible* window, int& budget)
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

Look lookForFocus(AtspiAccessible* application)
{
    Look look;
    GErrorSlot error;
    const int count = atspi_accessible_get_child_count(application, error.out());
    if (error)
        return look;
    look.answered = true;
    int budget = AtspiAccessibility::kMaxVisitedElements;
    for (const bool activePass : {true, false}) {
        for (int i = 0; i < count && budget > 0; ++i) {
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

// While a key grab lasts, the application marks no window active and no
// element focused; both come back when the grab ends, the window a moment
// before the element.
GObjectRef<AtspiAccessible> focusedInApplication(AtspiAccessible* application,
                                                 std::chrono::milliseconds settle)
{
    auto giveUp = std::chrono::steady_clock::now() + settle;
    bool activeSeen = false;
    for (;;) {
        Look look = lookForFocus(application);
        if (look.focused.get() || !look.answered)
            return std::move(look.focused);
        const auto now = std::chrono::steady_clock::now();
        if (look.anyActive && !activeSeen) {
            activeSeen = true;
            giveUp = std::min(giveUp, now + kActiveWithoutFocus);
        }
        if (now >= giveUp)
            return GObjectRef<AtspiAccessible>();
        g_usleep(std::chrono::microseconds(kSettlePoll).count());
    }
}

GObjectRef<AtspiAccessible> focusedElementOf(qint64 pid, std::chrono::milliseconds settle)
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
        GErrorSlot pidError;
        if (qint64(atspi_accessible_get_process_id(application.get(), pidError.out())) != pid || pidError)
            continue;
        if (auto found = focusedInApplication(application.get(), settle); found.get())
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
    auto found = m_caller->ask(QStringLiteral("focused element"),
                               [pid, settle = m_timing.focusSettle] {
                                   return focusedElementOf(pid, settle);
                               });
    if (!found || !found->get())
        return nullptr;
    return std::make_unique<AtspiElement>(m_caller, found->release());
}

void AtspiAccessibility::setUnansweredHandler(UnansweredHandler handler)
{
    m_caller->setUnansweredHandler(std::move(handler));
}
