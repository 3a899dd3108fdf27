#include <QSignalSpy>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

#include "session/PermissionManager.h"
#include "support/EventLoop.h"
#include "support/FakePermissionProvider.h"
#include "support/LogCapture.h"
#include "support/QStringPrinter.h"

using namespace std::chrono_literals;
using testing::ElementsAre;
using testing::IsEmpty;

namespace {

constexpr auto kPoll = 40ms;

class PermissionManagerTest : public testing::Test
{
protected:
    PermissionManagerTest()
    {
        auto owned = std::make_unique<FakePermissionProvider>();
        provider = owned.get();
        manager = std::make_unique<PermissionManager>(log.logger, std::move(owned), PermissionTiming{kPoll});
    }

    // Runs the event loop until `count` more polls have run (each reads the
    // trust once).
    bool waitForPolls(int count)
    {
        const auto target = provider->trustChecks().size() + count;
        return waitUntil([&] { return provider->trustChecks().size() >= target; });
    }

    LogCapture log;
    FakePermissionProvider* provider = nullptr;
    std::unique_ptr<PermissionManager> manager;
};

TEST_F(PermissionManagerTest, BothFlagsAreFalseUntilTheFirstCheck)
{
    provider->authorization = MicrophoneAuthorization::authorized;
    provider->trusted = true;
    spinFor(3 * kPoll.count());
    EXPECT_FALSE(manager->microphoneGranted());
    EXPECT_FALSE(manager->accessibilityGranted());
    EXPECT_EQ(provider->authorizationReads(), 0);
}

TEST_F(PermissionManagerTest, StartMonitoringChecksBothAndLogsWhatIsGranted)
{
    provider->authorization = MicrophoneAuthorization::authorized;
    provider->trusted = true;
    QSignalSpy microphone(manager.get(), &PermissionManager::microphoneGrantedChanged);
    QSignalSpy accessibility(manager.get(), &PermissionManager::accessibilityGrantedChanged);

    manager->startMonitoring();

    EXPECT_TRUE(manager->microphoneGranted());
    EXPECT_TRUE(manager->accessibilityGranted());
    EXPECT_THAT(provider->trustChecks(), ElementsAre(false));   // checked without a prompt
    EXPECT_EQ(provider->requestCount(), 0);
    EXPECT_THAT(log.lines(), ElementsAre("INFO PermissionManager: microphone permission granted",
                                         "INFO PermissionManager: accessibility permission granted"));
    EXPECT_EQ(microphone.size(), 1);
    EXPECT_EQ(accessibility.size(), 1);
}

TEST_F(PermissionManagerTest, MicrophoneStatesMapOntoTheFlag)
{
    const struct {
        MicrophoneAuthorization state;
        bool startGranted;
        bool expected;
        QStringList logged;
    } cases[] = {
        {MicrophoneAuthorization::authorized, false, true, {"INFO PermissionManager: microphone permission granted"}},
        {MicrophoneAuthorization::denied, true, false, {"INFO PermissionManager: microphone permission denied"}},
        {MicrophoneAuthorization::restricted, true, false, {"INFO PermissionManager: microphone permission denied"}},
        {MicrophoneAuthorization::denied, false, false, {}},
        // Outside the known states: the flag stays as it was, nothing is stored.
        {static_cast<MicrophoneAuthorization>(7), true, true, {}},
        {static_cast<MicrophoneAuthorization>(7), false, false, {}},
    };
    for (const auto& c : cases) {
        provider->authorization = c.startGranted ? MicrophoneAuthorization::authorized
                                                 : MicrophoneAuthorization::denied;
        manager->checkMicrophonePermission();
        ASSERT_EQ(manager->microphoneGranted(), c.startGranted);
        log.fresh();
        QSignalSpy stored(manager.get(), &PermissionManager::microphoneGrantedChanged);

        provider->authorization = c.state;
        manager->checkMicrophonePermission();

        EXPECT_EQ(manager->microphoneGranted(), c.expected) << int(c.state);
        EXPECT_EQ(log.fresh(), c.logged) << int(c.state);
        const bool known = int(c.state) <= 3;
        EXPECT_EQ(stored.size(), known ? 1 : 0) << int(c.state);   // every store is announced
        EXPECT_EQ(provider->requestCount(), 0);
    }
}

TEST_F(PermissionManagerTest, AnUndeterminedMicrophoneIsAskedForAtEveryCheckUntilAnswered)
{
    provider->authorization = MicrophoneAuthorization::notDetermined;
    manager->startMonitoring();
    EXPECT_EQ(provider->requestCount(), 1);
    EXPECT_FALSE(manager->microphoneGranted());

    // Unanswered prompts do not stop the poll from asking again.
    ASSERT_TRUE(waitForPolls(2));
    EXPECT_GE(provider->requestCount(), 3);
    EXPECT_THAT(log.lines().filter("microphone"), IsEmpty());

    // The user grants access: every answer is published and logged.
    const int answered = provider->answerRequestsFromAnotherThread(true);
    ASSERT_TRUE(waitUntil([&] { return log.lines().filter("microphone").size() == answered; }));
    EXPECT_TRUE(manager->microphoneGranted());
    for (const QString& line : log.lines().filter("microphone"))
        EXPECT_EQ(line, "INFO PermissionManager: microphone permission granted");

    // Decided now: the next poll stores true again and logs nothing.
    provider->authorization = MicrophoneAuthorization::authorized;
    const int requests = provider->requestCount();
    log.fresh();
    QSignalSpy stored(manager.get(), &PermissionManager::microphoneGrantedChanged);
    ASSERT_TRUE(waitForPolls(1));
    EXPECT_GE(stored.size(), 1);
    EXPECT_TRUE(manager->microphoneGranted());
    EXPECT_EQ(provider->requestCount(), requests);
    EXPECT_THAT(log.fresh(), IsEmpty());
}

TEST_F(PermissionManagerTest, AnAnswerIsLoggedEvenWhenTheFlagAlreadyHeldIt)
{
    manager->requestMicrophonePermission();
    manager->requestMicrophonePermission();
    QSignalSpy stored(manager.get(), &PermissionManager::microphoneGrantedChanged);
    EXPECT_EQ(provider->answerRequests(false), 2);
    EXPECT_EQ(stored.size(), 0) << "published inside the answer, not from the main thread's queue";
    ASSERT_TRUE(waitUntil([&] { return log.lines().size() == 2; }));
    EXPECT_EQ(stored.size(), 2);
    EXPECT_THAT(log.lines(), ElementsAre("INFO PermissionManager: microphone permission denied",
                                         "INFO PermissionManager: microphone permission denied"));
    EXPECT_FALSE(manager->microphoneGranted());
}

TEST_F(PermissionManagerTest, AnAnswerAfterTheMonitorIsGoneDoesNothing)
{
    manager->requestMicrophonePermission();
    const QList<PermissionProvider::AccessAnswer> answers = provider->takePendingAnswers();
    ASSERT_EQ(answers.size(), 1);
    manager.reset();
    std::thread([&] { answers.first()(true); }).join();
    spinFor(20);
    EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(PermissionManagerTest, ThePollNoticesChangesAndLogsEachOnce)
{
    provider->authorization = MicrophoneAuthorization::authorized;
    manager->startMonitoring();
    log.fresh();

    provider->authorization = MicrophoneAuthorization::denied;   // revoked while running
    provider->trusted = true;                                    // trust granted while running
    ASSERT_TRUE(waitForPolls(1));
    ASSERT_TRUE(waitForPolls(2));   // later polls see no change
    EXPECT_FALSE(manager->microphoneGranted());
    EXPECT_TRUE(manager->accessibilityGranted());
    EXPECT_THAT(log.fresh(), ElementsAre("INFO PermissionManager: microphone permission denied",
                                         "INFO PermissionManager: accessibility permission granted"));
    for (bool prompt : provider->trustChecks())
        EXPECT_FALSE(prompt);
}

TEST_F(PermissionManagerTest, EveryPollAnnouncesBothFlagsEvenWithoutAChange)
{
    provider->authorization = MicrophoneAuthorization::denied;
    manager->startMonitoring();
    QSignalSpy microphone(manager.get(), &PermissionManager::microphoneGrantedChanged);
    QSignalSpy accessibility(manager.get(), &PermissionManager::accessibilityGrantedChanged);
    ASSERT_TRUE(waitForPolls(2));
    EXPECT_GE(microphone.size(), 2);
    EXPECT_GE(accessibility.size(), 2);
    EXPECT_THAT(log.lines(), IsEmpty()) << "both flags stayed false from the start";
}

TEST_F(PermissionManagerTest, StartingTwiceLeavesOnePollRunning)
{
    provider->authorization = MicrophoneAuthorization::authorized;
    manager->startMonitoring();
    manager->startMonitoring();
    const auto before = provider->trustChecks().size();
    spinFor(int(10 * kPoll.count()));
    const auto polls = provider->trustChecks().size() - before;
    EXPECT_GE(polls, 2u);
    EXPECT_LE(polls, 11u) << "more checks than one poll makes";
}

TEST_F(PermissionManagerTest, TheMicrophoneOpenerAsksWhileUndeterminedAndOpensOtherwise)
{
    const struct {
        MicrophoneAuthorization state;
        int requests;
        int opened;
    } cases[] = {
        {MicrophoneAuthorization::notDetermined, 1, 0},
        {MicrophoneAuthorization::denied, 0, 1},
        {MicrophoneAuthorization::restricted, 0, 1},
        {MicrophoneAuthorization::authorized, 0, 1},
    };
    for (const auto& c : cases) {
        provider->authorization = c.state;
        const int requestsBefore = provider->requestCount();
        const int openedBefore = provider->microphoneSettingsOpened();
        manager->openMicrophoneSettings();
        EXPECT_EQ(provider->requestCount() - requestsBefore, c.requests) << int(c.state);
        EXPECT_EQ(provider->microphoneSettingsOpened() - openedBefore, c.opened) << int(c.state);
        EXPECT_FALSE(manager->microphoneGranted()) << "the opener writes no flag";
    }
    EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(PermissionManagerTest, TheAccessibilityOpenerPromptsAndOpensWhetherOrNotTrusted)
{
    for (bool trusted : {false, true}) {
        provider->trusted = trusted;
        const int before = provider->accessibilitySettingsOpened();
        manager->openAccessibilitySettings();
        EXPECT_EQ(provider->accessibilitySettingsOpened(), before + 1);
        EXPECT_EQ(provider->trustChecks().last(), true) << "asked with the prompt";
        EXPECT_FALSE(manager->accessibilityGranted()) << "the opener writes no flag";
    }
}

TEST_F(PermissionManagerTest, SettingsThatCannotBeOpenedAreLogged)
{
    provider->canOpenSettings = false;
    provider->authorization = MicrophoneAuthorization::denied;
    manager->openMicrophoneSettings();
    manager->openAccessibilitySettings();
    EXPECT_THAT(log.lines(),
                ElementsAre("WARN PermissionManager: could not open the microphone settings: no settings program found",
                            "WARN PermissionManager: could not open the accessibility settings: no settings program "
                            "found"));
}

}
