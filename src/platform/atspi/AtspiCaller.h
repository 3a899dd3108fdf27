#pragma once

#include <QString>
#include <chrono>
#include <optional>
#include <type_traits>

#include "platform/Accessibility.h"
#include "platform/atspi/AtspiThread.h"

// The calling side of the requests to the accessibility thread, shared by
// the accessibility layer and the elements it hands out: waits for each
// answer up to the deadline, and tells the handler of every request given up
// on.
class AtspiCaller
{
public:
    explicit AtspiCaller(std::chrono::milliseconds deadline) : m_deadline(deadline) {}

    void setUnansweredHandler(Accessibility::UnansweredHandler handler)
    {
        m_handler = std::move(handler);
    }

    // The value of `job`, run on the accessibility thread; none when it gave
    // no answer in time. `request` names it for the handler.
    template <typename Job>
    std::optional<std::invoke_result_t<Job&>> ask(const QString& request, Job job) const
    {
        auto answer = AtspiThread::instance().call(std::move(job), m_deadline);
        if (answer.outcome != AtspiThread::Outcome::answered)
            tellUnanswered(request, answer.outcome == AtspiThread::Outcome::stillBusy);
        return std::move(answer.value);
    }

private:
    void tellUnanswered(const QString& request, bool earlierStillPending) const;

    const std::chrono::milliseconds m_deadline;
    Accessibility::UnansweredHandler m_handler;
};
