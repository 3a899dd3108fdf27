#include "platform/AccessibleElement.h"

AccessibleElement::~AccessibleElement() = default;

AccessibleElement::Snapshot AccessibleElement::snapshot() const
{
    Snapshot snapshot{role(), isPasswordField()};
    // A password field's value and selection are never read.
    if (snapshot.password)
        return snapshot;
    snapshot.value = value();
    if (snapshot.value)
        snapshot.selection = selection();
    return snapshot;
}
