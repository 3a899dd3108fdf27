// The stored session over time: refresh before use and by the ticker, one
// refresh at a time, what a refused or unreachable refresh does, the
// auth-state streams and the sign-out.
#include <QSignalSpy>
#include <QTimer>
#include <QUuid>

#include "BackendClientFixture.h"

namespace {

using BackendRefreshTest = BackendClientFixture;
using BackendStreamTest = BackendClientFixture;
using BackendSignOutTest = BackendClientFixture;

const QString kRefresh = "POST /auth/v1/token?grant_type=refresh_token";
const QString kSelect = "GET /rest/v1/glossary?select=*";
const QString kLogout = "POST /auth/v1/logout?scope=global";

// The client's ticker; none before its first use.
QTimer* tickerOf(BackendClient& client) { return client.findChild<QTimer*>(); }

}  // namespace

TEST_F(BackendRefreshTest, RefreshesBeforeARequestOnlyWithUnderTheMarginLeft)
{
    struct Case
    {
        const char* name;
        std::chrono::seconds left;
        QStringList requests;
    };
    const Case cases[] = {
        {"31 s left: used as it is", 31s, {kSelect}},
        {"30 s left: used as it is", 30s, {kSelect}},
        {"29 s left: refreshed first", 29s, {kRefresh, kSelect}},
        {"expired an hour ago: refreshed first", -3600s, {kRefresh, kSelect}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const BackendSession session = signIn(alice);
        ChangeLog announced;
        announced.follow(*client);
        clock.set(session.expiresAt.addSecs(-c.left.count()));
        const qsizetype before = backend.requests().size();
        const auto result = select(*client, upper(alice));
        ASSERT_TRUE(result && result->ok()) << (result ? result->error().description().toStdString() : "");
        EXPECT_EQ(requestsSince(before), c.requests);
        const bool refreshed = c.requests.size() == 2;
        const BackendSession stored = *client->storedSession();
        EXPECT_EQ(stored.accessToken != session.accessToken, refreshed);
        if (refreshed) {
            // The rotated session was stored before it was used and announced.
            EXPECT_EQ(backend.requests().last().header("Authorization"), "Bearer " + stored.accessToken.toUtf8());
            EXPECT_EQ(announced.texts, QStringList{"tokenRefreshed alice@example.com"});
            EXPECT_EQ(announced.changes.first().session->accessToken, stored.accessToken);
            EXPECT_EQ(stored.expiresAt, QDateTime::fromSecsSinceEpoch(clock.now().toSecsSinceEpoch() + 3600, Qt::UTC));
        } else {
            EXPECT_EQ(announced.texts, QStringList{});
        }
    }
}

TEST_F(BackendRefreshTest, ThreeRequestsAtOnceShareOneRefresh)
{
    const BackendSession session = signIn(alice);
    clock.set(session.expiresAt.addSecs(-5));
    const qsizetype before = backend.requests().size();

    using Outcome = std::optional<Result<QJsonArray, BackendError>>;
    std::vector<std::shared_ptr<Outcome>> outcomes;
    for (int i = 0; i < 3; ++i) {
        outcomes.push_back(std::make_shared<Outcome>());
        detail::storeResult(client->select("glossary", std::nullopt, upper(alice), 2s), outcomes.back());
    }
    ASSERT_TRUE(waitUntil([&] {
        return std::all_of(outcomes.begin(), outcomes.end(), [](const auto& o) { return o->has_value(); });
    }));
    for (const auto& outcome : outcomes)
        EXPECT_TRUE((*outcome)->ok()) << (*outcome)->error().description().toStdString();
    // A second refresh with the same token would be refused and end the session.
    EXPECT_EQ(requestsSince(before), (QStringList{kRefresh, kSelect, kSelect, kSelect}));
    EXPECT_TRUE(client->storedSession());
}

TEST_F(BackendRefreshTest, CancelledWhileWaitingForTheRefreshTheRefreshStillLands)
{
    const BackendSession session = signIn(alice);
    clock.set(session.expiresAt.addSecs(-5));
    backend.addFault({.method = "POST", .path = "/auth/v1/token", .kind = FakeBackend::Fault::Kind::delay,
                      .delay = 100ms});
    ChangeLog announced;
    announced.follow(*client);
    const qsizetype before = backend.requests().size();

    CancelToken cancel;
    auto waiting = std::make_shared<std::optional<Result<QJsonArray, BackendError>>>();
    detail::storeResult(client->select("glossary", std::nullopt, upper(alice), 2s, cancel), waiting);
    cancel.cancel();
    ASSERT_TRUE(waitUntil([&] { return waiting->has_value(); }));
    ASSERT_FALSE((*waiting)->ok());
    EXPECT_TRUE((*waiting)->error().isCancelled());

    // The refresh was not the cancelled request's alone: it lands.
    ASSERT_TRUE(waitUntil([&] { return !announced.texts.isEmpty(); }));
    EXPECT_EQ(announced.texts, QStringList{"tokenRefreshed alice@example.com"});
    EXPECT_EQ(requestsSince(before), QStringList{kRefresh});
    EXPECT_NE(client->storedSession()->refreshToken, session.refreshToken);
}

TEST_F(BackendRefreshTest, RefusedRefreshEndsTheSessionAnUnreachableOneKeepsIt)
{
    struct Case
    {
        const char* name;
        std::function<void(BackendRefreshTest&)> arrange;
        bool sessionKept;
        QString error;
    };
    const Case cases[] = {
        {"revoked: 400", [](BackendRefreshTest& t) { t.backend.revokeSessions(t.alice.id); }, false,
         "Invalid Refresh Token: Session Revoked"},
        {"service unavailable: 503",
         [](BackendRefreshTest& t) {
             t.backend.addFault({.method = "POST", .path = "/auth/v1/token", .status = 503});
         },
         true, "Service unavailable"},
        {"rate limited: 429",
         [](BackendRefreshTest& t) {
             t.backend.addFault({.method = "POST", .path = "/auth/v1/token", .status = 429});
         },
         true, "Service unavailable"},
        {"connection dropped",
         [](BackendRefreshTest& t) {
             // Every time: Qt sends a request again once when a kept-alive
             // connection closes before the answer.
             t.backend.addFault({.method = "POST",
                                 .path = "/auth/v1/token",
                                 .kind = FakeBackend::Fault::Kind::dropBeforeAnswer,
                                 .times = -1});
         },
         true, ""},
        {"offline", [](BackendRefreshTest& t) { t.backend.setOffline(true); }, true, ""},
        {"no answer in time",
         [](BackendRefreshTest& t) {
             t.backend.addFault({.method = "POST", .path = "/auth/v1/token",
                                 .kind = FakeBackend::Fault::Kind::noAnswer});
         },
         true, "The request timed out."},
    };
    timing.requestTimeout = 200ms;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        backend.setOffline(false);
        backend.clearFaults();
        client = newClient(*preferences);
        const BackendSession session = signIn(alice);
        ChangeLog announced;
        announced.follow(*client);
        c.arrange(*this);
        clock.set(session.expiresAt.addSecs(-1));
        const qsizetype before = backend.requests().size();

        const auto result = select(*client, upper(alice));
        ASSERT_TRUE(result);
        ASSERT_FALSE(result->ok());
        if (!c.error.isEmpty()) {
            EXPECT_EQ(result->error().description(), c.error);
        }
        EXPECT_FALSE(requestsSince(before).contains(kSelect)) << "no table request without a usable token";
        EXPECT_EQ(client->storedSession().has_value(), c.sessionKept);
        EXPECT_EQ(announced.texts, c.sessionKept ? QStringList{} : QStringList{"signedOut -"});
        if (c.sessionKept) {
            EXPECT_EQ(client->storedSession()->refreshToken, session.refreshToken);
            EXPECT_TRUE(tickerOf(*client)->isActive());
        } else {
            EXPECT_FALSE(tickerOf(*client)->isActive());
        }
    }
}

TEST_F(BackendRefreshTest, RefusedTokenIsRefreshedOnceAndTheRequestSentAgainOnce)
{
    struct Case
    {
        const char* name;
        int refusals;   // 401 answers to the table request
        QStringList requests;
        bool ok;
    };
    const Case cases[] = {
        {"expired early: refreshed and sent again", 1, {kSelect, kRefresh, kSelect}, true},
        {"refused again: no third try", 2, {kSelect, kRefresh, kSelect}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const BackendSession session = signIn(alice);
        backend.addFault({.method = "GET", .path = "/rest/v1/glossary", .times = c.refusals, .status = 401});
        const qsizetype before = backend.requests().size();
        const auto result = select(*client, upper(alice));
        ASSERT_TRUE(result);
        EXPECT_EQ(result->ok(), c.ok);
        EXPECT_EQ(requestsSince(before), c.requests);
        EXPECT_NE(client->storedSession()->accessToken, session.accessToken);
        EXPECT_EQ(backend.requests().last().header("Authorization"),
                  "Bearer " + client->storedSession()->accessToken.toUtf8());
    }

    // Tokens the backend ended before their time.
    signIn(alice);
    backend.expireTokens();
    const qsizetype before = backend.requests().size();
    ASSERT_TRUE(select(*client, upper(alice))->ok());
    EXPECT_EQ(requestsSince(before), (QStringList{kSelect, kRefresh, kSelect}));
}

TEST_F(BackendRefreshTest, TickerRefreshesAtThreeOrFewerWholePeriodsLeft)
{
    timing.tickInterval = 5ms;
    client = newClient(*preferences);
    const BackendSession session = signIn(alice);
    ChangeLog announced;
    announced.follow(*client);
    QTimer* ticker = tickerOf(*client);
    ASSERT_TRUE(ticker && ticker->isActive());
    QSignalSpy ticks(ticker, &QTimer::timeout);

    // 4 whole periods (121 s): three ticks go by without a request.
    clock.set(session.expiresAt.addSecs(-121));
    const qsizetype before = backend.requests().size();
    ASSERT_TRUE(waitUntil([&] { return ticks.count() >= 3; }));
    EXPECT_EQ(requestsSince(before), QStringList{});

    // 3 whole periods (119 s): the next tick refreshes, once.
    clock.set(session.expiresAt.addSecs(-119));
    ASSERT_TRUE(waitUntil([&] { return !announced.texts.isEmpty(); }));
    EXPECT_EQ(announced.texts, QStringList{"tokenRefreshed alice@example.com"});
    EXPECT_NE(client->storedSession()->refreshToken, session.refreshToken);
    const int ticksAtRefresh = int(ticks.count());
    ASSERT_TRUE(waitUntil([&] { return ticks.count() >= ticksAtRefresh + 3; }));
    EXPECT_EQ(requestsSince(before), QStringList{kRefresh});

    // No session stored: the ticker stops.
    ASSERT_FALSE(runTask(client->signOut())->has_value());
    EXPECT_FALSE(ticker->isActive());
}

TEST_F(BackendRefreshTest, NothingIsSentOrTimedBeforeFirstUse)
{
    signIn(alice);
    client.reset();
    const qsizetype before = backend.requests().size();
    clock.advance(3600s);   // expired: a first use would refresh it
    const auto restarted = newClient(*preferences);
    spinFor(50);
    EXPECT_EQ(tickerOf(*restarted), nullptr);
    EXPECT_EQ(requestsSince(before), QStringList{});

    const auto stream = restarted->authStateChanges();
    ASSERT_NE(tickerOf(*restarted), nullptr);
    EXPECT_TRUE(tickerOf(*restarted)->isActive());
}

TEST_F(BackendStreamTest, FirstElementCarriesTheStoredSessionOnceChecked)
{
    struct Case
    {
        const char* name;
        bool signedIn;
        std::chrono::seconds advance;
        std::function<void(BackendStreamTest&)> arrange;
        QString first;
        QStringList requests;
        bool refreshed;
    };
    const auto none = [](BackendStreamTest&) {};
    const Case cases[] = {
        {"nobody signed in", false, 0s, none, "initialSession -", {}, false},
        {"still valid: as stored, unchecked", true, 60s, none, "initialSession alice@example.com", {}, false},
        {"expired: refreshed", true, 3600s, none, "initialSession alice@example.com", {kRefresh}, true},
        {"expired and refused: none", true, 3600s,
         [](BackendStreamTest& t) { t.backend.revokeSessions(t.alice.id); }, "initialSession -", {kRefresh},
         false},
        // Offline at start: the session stays, and the stream must say so, or
        // a later sign-out would find nothing to end.
        {"expired, backend unreachable: as stored", true, 3600s,
         [](BackendStreamTest& t) { t.backend.setOffline(true); }, "initialSession alice@example.com", {}, false},
        {"expired, backend failing: as stored", true, 3600s,
         [](BackendStreamTest& t) {
             t.backend.addFault({.method = "POST", .path = "/auth/v1/token", .status = 502});
         },
         "initialSession alice@example.com", {kRefresh}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        backend.setOffline(false);
        client.reset();
        preferences = newPreferences();
        client = newClient(*preferences);
        const BackendSession session = c.signedIn ? signIn(alice) : BackendSession{};
        // The app starts again later.
        client = newClient(*preferences);
        clock.advance(c.advance);
        c.arrange(*this);
        const qsizetype before = backend.requests().size();

        const std::unique_ptr<AuthStateStream> stream = client->authStateChanges();
        ChangeLog seen;
        seen.follow(*stream);
        EXPECT_EQ(seen.texts, QStringList{}) << "the first element comes after subscribing";
        ASSERT_TRUE(waitUntil([&] { return !seen.texts.isEmpty(); }));
        EXPECT_EQ(seen.texts, QStringList{c.first});
        EXPECT_EQ(requestsSince(before), c.requests);
        if (seen.changes.first().session) {
            const QString token = seen.changes.first().session->accessToken;
            EXPECT_EQ(token != session.accessToken, c.refreshed);
            EXPECT_EQ(token, client->storedSession()->accessToken);
        } else {
            EXPECT_FALSE(client->storedSession());
        }
    }
}

TEST_F(BackendStreamTest, EachSubscriberGetsItsOwnFirstElementThenEveryChangeInOrder)
{
    ChangeLog signal;
    signal.follow(*client);
    const auto early = client->authStateChanges();
    ChangeLog earlyLog;
    earlyLog.follow(*early);
    ASSERT_TRUE(waitUntil([&] { return !earlyLog.texts.isEmpty(); }));

    const BackendSession session = signIn(alice);
    const auto late = client->authStateChanges();
    ChangeLog lateLog;
    lateLog.follow(*late);
    ASSERT_TRUE(waitUntil([&] { return !lateLog.texts.isEmpty(); }));

    clock.set(session.expiresAt.addSecs(-10));
    ASSERT_TRUE(select(*client, upper(alice))->ok());
    std::unique_ptr<AuthStateStream> ended = client->authStateChanges();
    ended.reset();   // a subscriber that has gone gets nothing, and nothing breaks
    ASSERT_FALSE(runTask(client->signOut())->has_value());

    EXPECT_EQ(earlyLog.texts, (QStringList{"initialSession -", "signedIn alice@example.com",
                                           "tokenRefreshed alice@example.com", "signedOut -"}));
    EXPECT_EQ(lateLog.texts, (QStringList{"initialSession alice@example.com", "tokenRefreshed alice@example.com",
                                          "signedOut -"}));
    EXPECT_EQ(signal.texts, (QStringList{"signedIn alice@example.com", "tokenRefreshed alice@example.com",
                                         "signedOut -"}));
}

TEST_F(BackendSignOutTest, WithoutASessionNothingIsSent)
{
    ChangeLog announced;
    announced.follow(*client);
    const auto result = runTask(client->signOut());
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, std::nullopt);
    EXPECT_EQ(backend.requests().size(), 0);
    EXPECT_EQ(announced.texts, QStringList{});
}

TEST_F(BackendSignOutTest, ForgetsTheSessionFirstThenEndsItEverywhere)
{
    struct Case
    {
        const char* name;
        int status;   // the logout's answer; 0: the fake's own
        QString error;   // empty: success
    };
    const Case cases[] = {
        {"ended", 0, ""},
        {"unknown token: 401", 401, ""},
        {"forbidden: 403", 403, ""},
        {"no such session: 404", 404, ""},
        {"server failure: 500", 500, "Service unavailable"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto otherPrefs = newPreferences();
        const auto otherDevice = newClient(*otherPrefs);
        signIn(*otherDevice, alice);
        const BackendSession session = signIn(alice);
        if (c.status)
            backend.addFault({.method = "POST", .path = "/auth/v1/logout", .status = c.status});
        ChangeLog announced;
        announced.follow(*client);
        bool storedWhenAnnounced = true;
        const QObject caseScope;
        QObject::connect(client.get(), &BackendClient::authStateChanged, &caseScope,
                         [&] { storedWhenAnnounced = preferences->contains(kSessionKey); });
        const qsizetype before = backend.requests().size();

        const auto result = runTask(client->signOut());
        ASSERT_TRUE(result);
        EXPECT_EQ(result->has_value() ? (*result)->description() : QString(), c.error);
        EXPECT_EQ(announced.texts, QStringList{"signedOut -"});
        EXPECT_FALSE(storedWhenAnnounced) << "removed before it is announced";
        EXPECT_FALSE(preferences->contains(kSessionKey));
        EXPECT_EQ(requestsSince(before), QStringList{kLogout});
        EXPECT_EQ(backend.requests().last().header("Authorization"), "Bearer " + session.accessToken.toUtf8());
        if (c.status == 0) {
            // Global: the other device's session can no longer be refreshed.
            clock.advance(3600s);
            EXPECT_FALSE(select(*otherDevice, upper(alice))->ok());
            EXPECT_FALSE(otherDevice->storedSession());
            clock.advance(-3600s);
        }
    }
}

TEST_F(BackendSignOutTest, ExpiredTokenIsRefreshedSoTheSignOutReachesEveryDevice)
{
    const auto otherPrefs = newPreferences();
    const auto otherDevice = newClient(*otherPrefs);
    signIn(*otherDevice, alice);
    const BackendSession session = signIn(alice);
    clock.set(session.expiresAt.addSecs(10));
    const qsizetype before = backend.requests().size();

    const auto result = runTask(client->signOut());
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, std::nullopt);
    EXPECT_EQ(requestsSince(before), (QStringList{kRefresh, kLogout}));
    EXPECT_FALSE(preferences->contains(kSessionKey)) << "the refreshed session is not stored again";
    EXPECT_FALSE(select(*otherDevice, upper(alice))->ok());
    EXPECT_FALSE(otherDevice->storedSession());
}

TEST_F(BackendSignOutTest, OfflineStartThenSignOutForgetsTheSessionAndReportsTheNetwork)
{
    signIn(alice);
    client = newClient(*preferences);
    clock.advance(3600s);
    backend.setOffline(true);
    const auto stream = client->authStateChanges();
    ChangeLog seen;
    seen.follow(*stream);
    ASSERT_TRUE(waitUntil([&] { return !seen.texts.isEmpty(); }));
    ASSERT_EQ(seen.texts, QStringList{"initialSession alice@example.com"});

    const auto result = runTask(client->signOut());
    ASSERT_TRUE(result && result->has_value());
    EXPECT_EQ((*result)->kind(), BackendError::Kind::transport);
    EXPECT_EQ(seen.texts, (QStringList{"initialSession alice@example.com", "signedOut -"}));
    EXPECT_FALSE(preferences->contains(kSessionKey));
}
