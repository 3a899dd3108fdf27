// GLib before Qt: its struct fields clash with Qt's keywords.
#include <glib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/atspi/AtspiThread.h"
#include "support/EventLoop.h"

using namespace std::chrono_literals;
using Outcome = AtspiThread::Outcome;

// The accessibility thread's hand-over, with jobs that touch no bus. Each
// test runs in its own process, so each has the process's thread to itself.

namespace {

// A job that holds the thread until the test lets it go.
class Blocker
{
public:
    Blocker() : m_released(m_release.get_future().share()) {}
    ~Blocker() { letGo(); }

    auto job() const
    {
        return [released = m_released] {
            released.wait();
            return 1;
        };
    }
    void letGo()
    {
        if (!m_done.exchange(true))
            m_release.set_value();
    }

private:
    std::promise<void> m_release;
    std::shared_future<void> m_released;
    std::atomic<bool> m_done = false;
};

// Tells which thread destroyed it.
struct Witness
{
    std::shared_ptr<std::atomic<std::thread::id>> destroyedOn =
        std::make_shared<std::atomic<std::thread::id>>();
    bool live = true;

    Witness() = default;
    Witness(Witness&& other) noexcept : destroyedOn(other.destroyedOn) { other.live = false; }
    ~Witness()
    {
        if (live)
            destroyedOn->store(std::this_thread::get_id());
    }
};

bool answers(AtspiThread& thread)
{
    return thread.call([] { return true; }, 5s).outcome == Outcome::answered;
}

}

TEST(AtspiThread, AnswersWithTheJobsValueFromItsOwnThread)
{
    const auto answer = AtspiThread::instance().call([] { return std::this_thread::get_id(); }, 5s);

    EXPECT_EQ(answer.outcome, Outcome::answered);
    ASSERT_TRUE(answer.value);
    EXPECT_NE(*answer.value, std::this_thread::get_id());
}

// libatspi dispatches the bus after a request's reply only when it is not
// inside a dispatch; and the context must not be the main loop's.
TEST(AtspiThread, RunsJobsInsideADispatchOfItsOwnContext)
{
    const auto answer = AtspiThread::instance().call(
        [] {
            return std::pair{g_main_depth(),
                             g_main_context_get_thread_default() != nullptr
                                 && g_main_context_get_thread_default() != g_main_context_default()};
        },
        5s);

    ASSERT_TRUE(answer.value);
    EXPECT_GE(answer.value->first, 1);
    EXPECT_TRUE(answer.value->second);
}

TEST(AtspiThread, GivesUpAtTheDeadlineAndFailsFastUntilTheJobReturns)
{
    AtspiThread& thread = AtspiThread::instance();
    Blocker blocker;

    EXPECT_EQ(thread.call(blocker.job(), 50ms).outcome, Outcome::deadlineMissed);
    bool ran = false;
    EXPECT_EQ(thread.call([&ran] { return ran = true; }, 5s).outcome, Outcome::stillBusy);
    EXPECT_FALSE(ran) << "a job was started behind the stuck one";

    blocker.letGo();
    EXPECT_TRUE(waitUntil([&] { return answers(thread); }));
}

TEST(AtspiThread, ValueOfAJobGivenUpOnIsDroppedOnTheThread)
{
    AtspiThread& thread = AtspiThread::instance();
    Blocker blocker;
    auto destroyedOn = std::make_shared<std::atomic<std::thread::id>>();

    const auto answer = thread.call(
        [released = blocker.job(), destroyedOn] {
            released();
            Witness witness;
            witness.destroyedOn = destroyedOn;
            return witness;
        },
        50ms);
    ASSERT_EQ(answer.outcome, Outcome::deadlineMissed);
    blocker.letGo();

    ASSERT_TRUE(waitUntil([&] { return destroyedOn->load() != std::thread::id(); }));
    EXPECT_NE(destroyedOn->load(), std::this_thread::get_id());
}

TEST(AtspiThread, PostedJobsRunBeforeLaterCalls)
{
    AtspiThread& thread = AtspiThread::instance();
    std::vector<int> order;   // touched by the thread only, read after the call

    thread.post([&order] { order.push_back(1); });
    thread.post([&order] { order.push_back(2); });
    const auto answer = thread.call([&order] { order.push_back(3); return order; }, 5s);

    ASSERT_TRUE(answer.value);
    EXPECT_EQ(*answer.value, (std::vector<int>{1, 2, 3}));
}
