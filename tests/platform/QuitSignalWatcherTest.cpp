// The quit signals reach the event loop as a Qt signal, and the process
// lives on to end in order.
#include <QSignalSpy>
#include <csignal>
#include <gtest/gtest.h>

#include "platform/QuitSignalWatcher.h"
#include "support/EventLoop.h"

namespace {

struct SignalCase
{
    int number;
    const char* name;
};

class QuitSignalWatcherTest : public testing::TestWithParam<SignalCase>
{
};

void PrintTo(const SignalCase& c, std::ostream* out) { *out << c.name; }

// The handler installed for `number` now.
void (*currentHandler(int number))(int)
{
    struct sigaction now = {};
    ::sigaction(number, nullptr, &now);
    return now.sa_handler;
}

} // namespace

TEST_P(QuitSignalWatcherTest, EachSignalIsReportedOnceInTheEventLoop)
{
    const SignalCase c = GetParam();
    QuitSignalWatcher watcher;
    ASSERT_TRUE(watcher.errorString().isEmpty()) << watcher.errorString().toStdString();
    QSignalSpy received(&watcher, &QuitSignalWatcher::received);

    ASSERT_EQ(std::raise(c.number), 0);   // the default would end this test process
    ASSERT_EQ(std::raise(c.number), 0);
    EXPECT_TRUE(received.isEmpty()) << "reported inside the signal handler";
    ASSERT_TRUE(waitUntil([&] { return received.size() >= 2; }, 2000)) << received.size() << " reported";
    EXPECT_EQ(received.size(), 2);
    EXPECT_EQ(received.at(0).at(0).toInt(), c.number);
    EXPECT_EQ(QuitSignalWatcher::nameOf(c.number), c.name);
}

TEST_P(QuitSignalWatcherTest, TheReplacedHandlerComesBack)
{
    const SignalCase c = GetParam();
    static volatile sig_atomic_t ownHandlerRan = 0;
    ownHandlerRan = 0;
    const auto own = +[](int) { ownHandlerRan = 1; };
    struct sigaction action = {};
    action.sa_handler = own;
    struct sigaction saved = {};
    ASSERT_EQ(::sigaction(c.number, &action, &saved), 0);
    {
        QuitSignalWatcher watcher;
        EXPECT_NE(currentHandler(c.number), own);
    }
    EXPECT_EQ(currentHandler(c.number), own);
    std::raise(c.number);
    EXPECT_EQ(ownHandlerRan, 1);
    ::sigaction(c.number, &saved, nullptr);
}

INSTANTIATE_TEST_SUITE_P(QuitSignals, QuitSignalWatcherTest,
                         testing::Values(SignalCase{SIGTERM, "SIGTERM"}, SignalCase{SIGINT, "SIGINT"},
                                         SignalCase{SIGHUP, "SIGHUP"}),
                         [](const testing::TestParamInfo<SignalCase>& info) {
                             return std::string(info.param.name).substr(3);
                         });

TEST(QuitSignalWatcher, OnlyOneWatchesAtATime)
{
    QuitSignalWatcher first;
    ASSERT_TRUE(first.errorString().isEmpty());
    QuitSignalWatcher second;
    EXPECT_FALSE(second.errorString().isEmpty());
    QSignalSpy received(&first, &QuitSignalWatcher::received);
    ASSERT_EQ(std::raise(SIGTERM), 0);
    EXPECT_TRUE(received.wait(2000)) << "the refused second watcher took the first one's pipe";
}
