#pragma once

#include <QList>
#include <map>
#include <memory>

#include "platform/Accessibility.h"
#include "support/FakeAccessibleElement.h"

// A scripted accessibility layer: the focused field of each process.
class FakeAccessibility final : public Accessibility
{
public:
    bool trusted = true;
    std::map<qint64, std::shared_ptr<FakeField>> focusedFields;   // by process id
    // The search for a focused element gets no answer in time.
    bool focusedElementUnanswered = false;

    QList<qint64> askedPids;   // every focusedElement() request
    UnansweredHandler unansweredHandler;

    // Makes `pid`'s focused field a new one and returns it for scripting.
    std::shared_ptr<FakeField> focusField(qint64 pid);

    bool isTrusted() override { return trusted; }
    std::unique_ptr<AccessibleElement> focusedElement(qint64 pid) override;
    void setUnansweredHandler(UnansweredHandler handler) override
    {
        unansweredHandler = std::move(handler);
    }
};
