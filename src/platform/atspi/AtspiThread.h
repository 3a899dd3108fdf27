#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>

class AtspiFocusEvents;

// The one thread of this process that talks to libatspi, and the owner of
// libatspi's connection to the accessibility bus.
//
// libatspi is not thread-safe, and where a main loop dispatches its bus it
// runs other programs' events and replies inside that loop; its handlers then
// make blocking calls that re-enter the dispatch of the same connection and
// wait for themselves. So nothing of libatspi may run on the main thread, and
// on this thread nothing dispatches the bus: the bus is moved off the main
// loop into this thread's own GLib context, which is never iterated but to run
// jobs, each inside a dispatch (so libatspi's calls do not dispatch the bus
// after their reply either); libatspi's event match rules are dropped, and
// after each job whatever arrived is read by the focus table (AtspiFocusEvents:
// the one kind of signal kept) or thrown away unread.
//
// The caller waits for each job up to a deadline. A job it gave up on keeps
// the thread: until that job returns, later calls fail at once.
class AtspiThread
{
public:
    enum class Outcome {
        answered,
        deadlineMissed,   // the job did not return in time (it still runs)
        stillBusy,        // a job given up on earlier still runs: not started
    };

    template <typename T>
    struct Answer
    {
        Outcome outcome;
        std::optional<T> value;   // set when answered
    };

    // Each libatspi request to an application fails after this long.
    static constexpr int kRequestTimeoutMs = 250;

    // The process's thread, started on first use; it lasts as long as the
    // process (a job stuck in the bus must not hold up the exit).
    static AtspiThread& instance();

    // Runs `job` on the thread and waits for it up to `deadline`. The value
    // of a job given up on is destroyed on the thread, so a job may hand out
    // references that only the thread may drop.
    template <typename Job>
    Answer<std::invoke_result_t<Job&>> call(Job job, std::chrono::milliseconds deadline)
    {
        using T = std::invoke_result_t<Job&>;
        auto slot = std::make_shared<std::optional<T>>();
        const Outcome outcome = run([slot, job]() mutable { slot->emplace(job()); },
                                    [slot] { slot->reset(); }, deadline);
        if (outcome != Outcome::answered)
            return {outcome, std::nullopt};
        return {outcome, std::move(*slot)};
    }

    // Runs `job` on the thread later, without waiting for it.
    void post(std::function<void()> job);

    // On the thread only: connects to the accessibility bus once, as told
    // above. False when there is no bus; then no other libatspi call may be
    // made (each would abort the process).
    static bool connectedToBus();
    // On the thread only: the table of the applications' focus signals; none
    // when there is no bus.
    static AtspiFocusEvents* focusEvents();

private:
    struct State;

    AtspiThread();
    // The thread's loop: runs the queued jobs, one at a time.
    static void serve(std::shared_ptr<State> state);
    Outcome run(std::function<void()> work, std::function<void()> discard,
                std::chrono::milliseconds deadline);

    std::shared_ptr<State> m_state;
};
