// The turns of the sync engine's pulls and pushes: first come, first served;
// a waiter whose task is cancelled leaves at once; a holder that ends,
// however it ends, hands the lock on.
#include <QCoroTask>
#include <QCoroTimer>
#include <QTimer>
#include <map>
#include <QStringList>
#include <gtest/gtest.h>

#include "support/EventLoop.h"
#include "support/QStringPrinter.h"
#include "sync/TaskLock.h"

namespace {

// Takes the lock (or not, when cancelled first), notes it, and holds it
// until `release` fires.
QCoro::Task<void> take(TaskLock& lock, QString name, CancelToken cancel, CancelToken release, QStringList& events)
{
    auto acquiring = lock.acquire(cancel);
    std::optional<TaskLock::Holder> turn = co_await acquiring;
    if (!turn) {
        events << name + " cancelled";
        co_return;
    }
    events << name + " holds";
    if (!release.isCancelled()) {
        QTimer timer;
        QObject::connect(release.notifier(), &CancelNotifier::cancelled, &timer, [&timer] { timer.start(0); });
        timer.start(std::chrono::hours(1));
        co_await timer;
    }
    events << name + " releases";
}

TEST(TaskLock, TurnsGoInOrderAndACancelledWaiterLeavesAtOnce)
{
    struct Case
    {
        const char* name;
        QString cancelled;   // the waiter cancelled while "a" holds; empty: none
        QStringList events;
    };
    const Case cases[] = {
        {"no cancel", "", {"a holds", "a releases", "b holds", "b releases", "c holds", "c releases"}},
        {"second cancelled", "b", {"a holds", "b cancelled", "a releases", "c holds", "c releases"}},
        {"last cancelled", "c", {"a holds", "c cancelled", "a releases", "b holds", "b releases"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TaskLock lock;
        QStringList events;
        std::map<QString, CancelToken> cancel, release;
        for (const QString name : {"a", "b", "c"})
            take(lock, name, cancel[name], release[name], events);
        spinFor(20);
        if (!c.cancelled.isEmpty()) {
            cancel[c.cancelled].cancel();
            ASSERT_TRUE(waitUntil([&] { return events.contains(c.cancelled + " cancelled"); }));
        }
        for (const QString name : {"a", "b", "c"}) {
            release[name].cancel();
            ASSERT_TRUE(waitUntil([&] { return events.contains(name + " releases") || events.contains(name + " cancelled"); }));
        }
        ASSERT_TRUE(waitUntil([&] { return !lock.isHeld(); }));
        EXPECT_EQ(events, c.events);
    }
}

TEST(TaskLock, ACancelledHolderStillHoldsUntilItsTaskEnds)
{
    TaskLock lock;
    QStringList events;
    CancelToken cancelA, releaseA, cancelB, releaseB;
    take(lock, "a", cancelA, releaseA, events);
    take(lock, "b", cancelB, releaseB, events);
    cancelA.cancel();   // "a" has the lock already: cancelling its token does not take it away
    spinFor(20);
    EXPECT_EQ(events, QStringList{"a holds"});
    releaseA.cancel();
    ASSERT_TRUE(waitUntil([&] { return events.contains("b holds"); }));
    releaseB.cancel();
    ASSERT_TRUE(waitUntil([&] { return !lock.isHeld(); }));
}

}  // namespace
