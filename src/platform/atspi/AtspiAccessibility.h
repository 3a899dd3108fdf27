#pragma once

#include <chrono>
#include <memory>

#include "platform/Accessibility.h"

class AtspiCaller;

// The accessibility layer's waits; tests shrink them.
struct AtspiTiming
{
    // How long the caller waits for one answer of the accessibility thread. A
    // search or a read of a normal application takes a few milliseconds; a
    // frozen one fails inside libatspi after its request time-out (250 ms a
    // request). This is the bound for everything else (a bus that never
    // answers, a slow search through a huge tree).
    std::chrono::milliseconds answerDeadline = std::chrono::milliseconds(1000);
    // How long a search waits for the application to show an active window
    // again. While a key grab lasts (the hot key's press starts one), GTK and
    // Qt mark no window active and no element focused.
    std::chrono::milliseconds focusSettle = std::chrono::milliseconds(500);
};

// The accessibility layer over AT-SPI 2 (libatspi), all of whose calls run on
// the process's accessibility thread (AtspiThread). When there is no bus,
// every application reads as publishing nothing, so the caller falls back to
// pasting.
class AtspiAccessibility final : public Accessibility
{
public:
    // Elements looked at per search at most (large documents and lists).
    static constexpr int kMaxVisitedElements = 5000;

    explicit AtspiAccessibility(AtspiTiming timing = {});
    ~AtspiAccessibility() override;

    bool isTrusted() override;
    std::unique_ptr<AccessibleElement> focusedElement(qint64 pid) override;
    void setUnansweredHandler(UnansweredHandler handler) override;

private:
    const AtspiTiming m_timing;
    std::shared_ptr<AtspiCaller> m_caller;
};
