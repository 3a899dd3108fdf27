#pragma once

#include <QtGlobal>
#include <memory>

#include "platform/AccessibleElement.h"

// The desktop's accessibility layer: finds the element that has keyboard
// focus in another application, to read and write its text.
class Accessibility
{
public:
    // The backend this build links (AT-SPI 2).
    static std::unique_ptr<Accessibility> createDefault();

    virtual ~Accessibility();
    Accessibility(const Accessibility&) = delete;
    Accessibility& operator=(const Accessibility&) = delete;

    // Whether other applications' elements can be reached at all (on Linux:
    // the accessibility bus answers). Asks without prompting anyone.
    virtual bool isTrusted() = 0;
    // The focused element of the application with process id `pid`; none
    // when it has none, publishes nothing, or is this process itself.
    virtual std::unique_ptr<AccessibleElement> focusedElement(qint64 pid) = 0;

protected:
    Accessibility() = default;
};
