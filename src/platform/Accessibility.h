#pragma once

#include <QString>
#include <QtGlobal>
#include <chrono>
#include <functional>
#include <memory>

#include "platform/AccessibleElement.h"

// A request the accessibility layer gave up on: the application (or the
// accessibility bus) did not answer within the layer's deadline, or an
// earlier request that went unanswered still holds the layer. It reads as
// "nothing": no element, no value, a failed write.
struct UnansweredRequest
{
    QString request;                   // what was asked: "focused element", "value", …
    bool earlierStillPending = false;  // skipped at once, without waiting
    std::chrono::milliseconds deadline{0};

    bool operator==(const UnansweredRequest&) const = default;
};

// The desktop's accessibility layer: finds the element that has keyboard
// focus in another application, to read and write its text. Another
// program's accessibility never holds the caller longer than the layer's
// deadline.
class Accessibility
{
public:
    using UnansweredHandler = std::function<void(const UnansweredRequest&)>;

    virtual ~Accessibility();
    Accessibility(const Accessibility&) = delete;
    Accessibility& operator=(const Accessibility&) = delete;

    // Whether other applications' elements can be reached at all (on Linux:
    // the accessibility bus answers). Asks without prompting anyone.
    virtual bool isTrusted() = 0;
    // The focused element of the application with process id `pid`; none
    // when it has none, publishes nothing, or is this process itself.
    virtual std::unique_ptr<AccessibleElement> focusedElement(qint64 pid) = 0;
    // Told, on the calling thread, of every request given up on, by this
    // layer and the elements it hands out.
    virtual void setUnansweredHandler(UnansweredHandler handler) = 0;

protected:
    Accessibility() = default;
};
