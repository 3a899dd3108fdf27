// GLib before Qt: its struct fields clash with Qt's keywords.
#include <atspi/atspi.h>

#include "platform/atspi/GlibHandles.h"
#include "platform/atspi/AtspiAccessibility.h"
#include "platform/atspi/AtspiElement.h"

#include <QCoreApplication>

std::unique_ptr<Accessibility> Accessibility::createDefault()
{
    return std::make_unique<AtspiAccessibility>();
}

namespace {

// Connects once per process. Every other libatspi call aborts the process
// when there is no bus, so nothing else may run unless this holds.
bool connectedToBus()
{
    static const bool connected = [] {
        if (atspi_init() > 1)   // 0: connected now, 1: already connected
            return false;
        atspi_set_timeout(AtspiAccessibility::kTimeoutMs, AtspiAccessibility::kTimeoutMs);
        // Nothing listens for change events here, so cached states (focus!)
        // would go stale: ask the applications every time.
        GObjectRef<AtspiAccessible> desktop(atspi_get_desktop(0));
        if (desktop.object)
            atspi_accessible_set_cache_mask(desktop.object, ATSPI_CACHE_NONE);
        return true;
    }();
    return connected;
}

bool hasState(AtspiAccessible* element, AtspiStateType state)
{
    GObjectRef<AtspiStateSet> states(atspi_accessible_get_state_set(element));
    return states.object && atspi_state_set_contains(states.object, state);
}

// Depth first: the focused element is the one with state FOCUSED. Only showing
// elements can hold it; lists that manage their own descendants are not walked.
AtspiAccessible* findFocused(AtspiAccessible* element, int& budget)
{
    if (--budget < 0)
        return nullptr;
    GObjectRef<AtspiStateSet> states(atspi_accessible_get_state_set(element));
    if (!states.object)
        return nullptr;
    if (atspi_state_set_contains(states.object, ATSPI_STATE_FOCUSED))
        return static_cast<AtspiAccessible*>(g_object_ref(element));
    if (!atspi_state_set_contains(states.object, ATSPI_STATE_SHOWING)
        || atspi_state_set_contains(states.object, ATSPI_STATE_MANAGES_DESCENDANTS))
        return nullptr;

    GErrorSlot error;
    const int count = atspi_accessible_get_child_count(element, error.out());
    for (int i = 0; !error && i < count && budget > 0; ++i) {
        GErrorSlot childError;
        GObjectRef<AtspiAccessible> child(
            atspi_accessible_get_child_at_index(element, i, childError.out()));
        if (!child.object)
            continue;
        if (AtspiAccessible* found = findFocused(child.object, budget))
            return found;
    }
    return nullptr;
}

// The focused element of one application: its active windows first.
AtspiAccessible* findFocusedInApplication(AtspiAccessible* application)
{
    int budget = AtspiAccessibility::kMaxVisitedElements;
    GErrorSlot error;
    const int count = atspi_accessible_get_child_count(application, error.out());
    if (error)
        return nullptr;
    for (const bool activePass : {true, false}) {
        for (int i = 0; i < count && budget > 0; ++i) {
            GErrorSlot childError;
            GObjectRef<AtspiAccessible> window(
                atspi_accessible_get_child_at_index(application, i, childError.out()));
            if (!window.object || hasState(window.object, ATSPI_STATE_ACTIVE) != activePass)
                continue;
            if (AtspiAccessible* found = findFocused(window.object, budget))
                return found;
        }
    }
    return nullptr;
}

}

bool AtspiAccessibility::isTrusted()
{
    if (!connectedToBus())
        return false;
    GObjectRef<AtspiAccessible> desktop(atspi_get_desktop(0));
    if (!desktop.object)
        return false;
    GErrorSlot error;
    atspi_accessible_get_child_count(desktop.object, error.out());
    return !error;
}

std::unique_ptr<AccessibleElement> AtspiAccessibility::focusedElement(qint64 pid)
{
    // Asking our own process would wait on the very thread that must answer.
    if (pid <= 0 || pid == QCoreApplication::applicationPid() || !connectedToBus())
        return nullptr;
    GObjectRef<AtspiAccessible> desktop(atspi_get_desktop(0));
    if (!desktop.object)
        return nullptr;
    GErrorSlot error;
    const int count = atspi_accessible_get_child_count(desktop.object, error.out());
    for (int i = 0; !error && i < count; ++i) {
        GErrorSlot childError;
        GObjectRef<AtspiAccessible> application(
            atspi_accessible_get_child_at_index(desktop.object, i, childError.out()));
        if (!application.object)
            continue;
        GErrorSlot pidError;
        if (qint64(atspi_accessible_get_process_id(application.object, pidError.out())) != pid || pidError)
            continue;
        GObjectRef<AtspiAccessible> focused(findFocusedInApplication(application.object));
        if (focused.object)
            return std::make_unique<AtspiElement>(focused.object);
    }
    return nullptr;
}
