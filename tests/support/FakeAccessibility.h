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

    QList<qint64> askedPids;   // every focusedElement() request

    // Makes `pid`'s focused field a new one and returns it for scripting.
    std::shared_ptr<FakeField> focusField(qint64 pid);

    bool isTrusted() override { return trusted; }
    std::unique_ptr<AccessibleElement> focusedElement(qint64 pid) override;
};
