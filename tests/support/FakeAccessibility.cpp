#include "support/FakeAccessibility.h"

std::shared_ptr<FakeField> FakeAccessibility::focusField(qint64 pid)
{
    auto field = std::make_shared<FakeField>();
    focusedFields[pid] = field;
    return field;
}

std::unique_ptr<AccessibleElement> FakeAccessibility::focusedElement(qint64 pid)
{
    askedPids.append(pid);
    if (focusedElementUnanswered) {
        if (unansweredHandler)
            unansweredHandler(UnansweredRequest{QStringLiteral("focused element"), false,
                                                std::chrono::milliseconds(1000)});
        return nullptr;
    }
    const auto it = focusedFields.find(pid);
    if (it == focusedFields.end())
        return nullptr;
    return std::make_unique<FakeAccessibleElement>(it->second, unansweredHandler);
}
