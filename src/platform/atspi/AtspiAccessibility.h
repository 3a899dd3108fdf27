#pragma once

#include "platform/Accessibility.h"

// The accessibility layer over AT-SPI 2 (libatspi). The library connects to
// the accessibility bus once per process; when that fails every application
// reads as publishing nothing, so the caller falls back to pasting. Requests
// are bounded by a short time-out so that a frozen application cannot hang
// the caller for long.
class AtspiAccessibility final : public Accessibility
{
public:
    // Requests that take longer fail.
    static constexpr int kTimeoutMs = 250;
    // Elements looked at per search at most (large documents and lists).
    static constexpr int kMaxVisitedElements = 5000;

    AtspiAccessibility() = default;

    bool isTrusted() override;
    std::unique_ptr<AccessibleElement> focusedElement(qint64 pid) override;
};
