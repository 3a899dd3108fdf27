#pragma once

// GLib before Qt: its struct fields clash with Qt's keywords.
#include <atspi/atspi.h>

#include <QtGlobal>
#include <optional>

// What never changes about an application on the accessibility bus: its
// process and its toolkit. A unique bus name is never given to another
// connection while the bus lasts, so each is asked of the bus once, not at
// every dictation (each answer is a round trip, the toolkit one a walk up
// to the application first).
//
// Accessibility thread only.
namespace AtspiApplicationFacts {

// The process of the application whose root is `application`.
std::optional<qint64> processOf(AtspiAccessible* application);
// Whether the application that `element` belongs to is a Qt one.
std::optional<bool> isQt(AtspiAccessible* element);

}
