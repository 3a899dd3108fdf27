// The controller's account state on the fake backend: the auth-state
// listener's transitions, switching account sync on and off, the start-up
// sync, the cached account, and the clearing of an account's local rows.
#include <QSignalSpy>
#include <gtest/gtest.h>

#include "SessionFixture.h"
#include "store/RecordId.h"
#include "support/FakeBackend.h"
#include "support/OutputCapture.h"
#include "support/RunTask.h"
#include "support/ScriptedWebAuthSession.h"
#include "support/TestClock.h"
#include "sync/BackendClient.h"
#include "sync/SyncManager.h"
#include "transcription/RetryMode.h"

namespace {

const QString kLocal = "local";

}  // namespace

// A controller whose backend client talks to the fake backend. The periodic
// sync and the start-up sync wait an hour unless a test shortens them, so
// that only what the test does reaches the backend.
class SessionAccountStateTest : public SessionFixture
{
protected:
    SessionAccountStateTest()
    {
        // The engine stamps its checkpoints with the real clock; the
        // backend's rows must read as written before them.
        clock.set(QDateTime::currentDateTimeUtc());
        startupTiming.startupSync = 1h;
    }

    // No token, code or verifier in the log or on the terminal.
    void TearDown() override
    {
        session.reset();
        EXPECT_EQ(backend.secretsIn(logFileLines().join('\n') + QString::fromUtf8(output.text())), QStringList());
    }

    SessionManager& buildOnBackend()
    {
        SessionPlatform platform = scriptedPlatform();
        platform.backendClient = [this] {
            ++clientsMade;
            return std::make_unique<BackendClient>(prefs, http,
                                                   BackendConfig(backend.url(), FakeBackend::kPublishableKey),
                                                   clock.wallClock());
        };
        platform.syncTiming.pushDebounce = 40ms;
        platform.syncTiming.periodicInterval = 1h;
        platform.syncTiming.retryUnit = 5ms;
        platform.syncTiming.requestTimeout = 3s;
        build(std::move(platform));
        EXPECT_TRUE(waitUntil([&] { return !permissions.trustChecks().isEmpty(); }));
        return *session;
    }

    // Signs `user` in through the controller's client; their current user id.
    QString signIn(const FakeBackend::User& user)
    {
        backend.setSignInUser(user.id);
        ScriptedWebAuthSession browser;
        const auto signedIn = runTask(session->backendClient().signInWithOAuth(browser), 10'000);
        EXPECT_TRUE(signedIn && signedIn->ok()) << "sign-in failed";
        return user.id.toUpper();
    }

    // A controller whose start-up sync waits briefly, with alice signed in and
    // current; her id.
    QString buildWithAliceCurrent()
    {
        startupTiming.startupSync = 20ms;
        buildOnBackend();
        const QString aliceId = signIn(alice);
        prefs.setValue(PrefKey::currentUserId, aliceId);
        return aliceId;
    }

    // The next sync's first pull is answered only after a while.
    void slowFirstPull()
    {
        backend.addFault({.method = "GET", .path = "/rest/v1/glossary",
                          .kind = FakeBackend::Fault::Kind::delay, .delay = 300ms});
    }

    // Whether a periodic sync runs. Stopping it is the one thing that tells,
    // so it is stopped afterwards.
    bool periodicSyncRuns()
    {
        freshLines();
        session->syncManager().stopPeriodicSync();
        return !freshLines().filter("SyncManager: stopped periodic sync").isEmpty();
    }

    bool lineLogged(const QString& part, int timeoutMs = 5000)
    {
        return waitUntil([&] { return !logLines().filter(part).isEmpty(); }, timeoutMs);
    }

    static QStringList syncStarts(const QStringList& lines)
    {
        return lines.filter(QRegularExpression("SyncManager: (full sync|incremental sync for)"));
    }

    std::optional<AccountInfo> cachedAccount() const
    {
        return AccountInfo::fromJson(prefs.value(PrefKey::cachedAccounts).toByteArray());
    }

    // A recording of `userId` in the store, never pushed.
    Recording addRecording(const QString& userId)
    {
        Recording r;
        r.id = newRecordId();
        r.userId = userId;
        r.createdAt = QDateTime::currentDateTimeUtc();
        r.updatedAt = r.createdAt;
        r.status = RecordingStatus::completed;
        r.rawText = "kept words";
        r.cleanedText = "Kept words.";
        EXPECT_TRUE(session->database().insertRecording(r));
        return r;
    }

    // The backend's recording of that id (it keeps ids in lower case), or an
    // empty object.
    QJsonObject backendRecording(const QString& id) const
    {
        for (const QJsonObject& row : backend.rows("recordings")) {
            if (row.value("id").toString().compare(id, Qt::CaseInsensitive) == 0)
                return row;
        }
        return {};
    }

    // Waits until `part` appears in `count` lines in all.
    bool lineCount(const QString& part, int count, int timeoutMs = 5000)
    {
        return waitUntil([&] { return logLines().filter(part).size() == count; }, timeoutMs);
    }

    // Marks every row of `userId` as pushed.
    void markAllSynced(const QString& userId)
    {
        DatabaseManager& db = session->database();
        QList<DatabaseManager::SyncedRow> recordings, slices;
        for (const Recording& r : db.fetchDirtyRecordings(userId))
            recordings << DatabaseManager::SyncedRow::of(r);
        for (const Slice& s : db.fetchDirtySlices(userId))
            slices << DatabaseManager::SyncedRow::of(s);
        db.markRecordingsSynced(recordings);
        db.markSlicesSynced(slices);
    }

    OutputCapture output;
    TestClock clock;
    FakeBackend backend{clock};
    FakeBackend::User alice = backend.addUser("alice@example.com");
    FakeBackend::User bob = backend.addUser("bob@example.com");
    int clientsMade = 0;
};

// ---- the auth-state listener's transitions -----------------------------------------

struct TransitionCase
{
    const char* name;
    bool withSession;        // the element carries alice's session
    const char* current;     // "local", "alice" or "bob" before the element
    const char* currentAfter;
    bool synced;             // one sync of alice starts
    bool loopAfter;          // a periodic sync runs afterwards
    bool loopStopped;        // the running periodic sync was stopped
};

void PrintTo(const TransitionCase& c, std::ostream* out) { *out << c.name; }

class SessionAccountTransitionTest : public SessionAccountStateTest,
                                     public testing::WithParamInterface<TransitionCase>
{
};

TEST_P(SessionAccountTransitionTest, ElementMovesTheAccountState)
{
    const TransitionCase c = GetParam();
    buildOnBackend();
    const QString aliceId = alice.id.toUpper();
    const QString bobId = bob.id.toUpper();
    const auto idOf = [&](const QString& who) {
        return who == "alice" ? aliceId : who == "bob" ? bobId : kLocal;
    };
    // The session is stored before the listener subscribes; its first
    // element carries it. An earlier account is cached.
    if (c.withSession)
        signIn(alice);
    const AccountInfo earlier{bobId, "bob@example.com", "google"};
    prefs.setValue(PrefKey::cachedAccounts, earlier.toJson());
    prefs.setValue(PrefKey::currentUserId, idOf(c.current));
    session->syncManager().startPeriodicSync(idOf(c.current));
    freshLines();

    session->activateSync();
    ASSERT_TRUE(lineLogged("Auth: state changed"));
    const QStringList lines = freshLines();

    const AccountInfo aliceAccount{aliceId, "alice@example.com", "google"};
    QStringList expected;
    if (c.withSession) {
        ASSERT_TRUE(session->supabaseUser().has_value());
        EXPECT_EQ(session->supabaseUser()->id, alice.id);
        EXPECT_EQ(session->remoteAccount(), aliceAccount);
        EXPECT_EQ(cachedAccount(), aliceAccount);
        expected << "INFO Auth: state changed, user: alice@example.com (" + aliceId + ")";
        if (QString(c.current) == kLocal)
            expected << "INFO Auth: auto-switching from local to " + aliceId;
    } else {
        EXPECT_FALSE(session->supabaseUser().has_value());
        EXPECT_EQ(session->remoteAccount(), earlier) << "the cached account stays";
        EXPECT_EQ(cachedAccount(), earlier);
        expected << "INFO Auth: state changed, user signed out";
    }
    EXPECT_EQ(lines.filter("INFO Auth: "), expected);
    EXPECT_EQ(prefs.currentUserId(), idOf(c.currentAfter));
    EXPECT_EQ(lines.filter("SyncManager: stopped periodic sync").size(), c.loopStopped ? 1 : 0);
    const QStringList starts = syncStarts(lines);
    EXPECT_EQ(starts.size(), c.synced ? 1 : 0) << lines.join('\n').toStdString();
    if (c.synced)
        EXPECT_TRUE(waitUntil([&] { return session->syncManager().lastSyncTime().has_value(); }));
    EXPECT_EQ(periodicSyncRuns(), c.loopAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Elements, SessionAccountTransitionTest,
    testing::Values(
        // A session while local is current: switch, sync, and a new periodic sync.
        TransitionCase{"SessionWhileLocal", true, "local", "alice", true, true, true},
        TransitionCase{"SessionOfTheCurrentAccount", true, "alice", "alice", false, true, false},
        TransitionCase{"SessionOfAnotherAccount", true, "bob", "bob", false, true, false},
        TransitionCase{"NoSessionWhileLocal", false, "local", "local", false, false, true},
        TransitionCase{"NoSessionWithAnAccountCurrent", false, "alice", "alice", false, false, true},
        TransitionCase{"NoSessionWithAnotherAccountCurrent", false, "bob", "bob", false, false, true}),
    [](const testing::TestParamInfo<TransitionCase>& info) { return std::string(info.param.name); });

TEST_F(SessionAccountStateTest, SecondElementOfTheSameSessionSyncsNothing)
{
    buildOnBackend();
    session->activateSync();
    ASSERT_TRUE(lineLogged("Auth: state changed, user signed out"));
    const QString aliceId = signIn(alice);   // the element switches to alice and syncs
    ASSERT_TRUE(waitUntil([&] { return session->syncManager().lastSyncTime().has_value(); }));
    freshLines();

    // A token refresh: the next request finds the token expired.
    backend.expireTokens();
    ASSERT_TRUE(runTask(session->syncManager().sync(aliceId).then([] { return true; }), 10'000));
    const QStringList lines = freshLines();

    EXPECT_EQ(lines.filter("INFO Auth: "),
              QStringList{"INFO Auth: state changed, user: alice@example.com (" + aliceId + ")"});
    EXPECT_EQ(syncStarts(lines).size(), 1) << "only the sync the test ran";
    EXPECT_TRUE(lines.filter("stopped periodic sync").isEmpty());
    EXPECT_TRUE(periodicSyncRuns());
}

// ---- switching account sync on and off ---------------------------------------------

TEST_F(SessionAccountStateTest, ActivateTwiceSubscribesAndSyncsOnce)
{
    const QString aliceId = buildWithAliceCurrent();
    freshLines();

    session->activateSync();
    session->activateSync();
    ASSERT_TRUE(lineLogged("SessionManager: startup sync for"));
    ASSERT_TRUE(waitUntil([&] { return session->syncManager().lastSyncTime().has_value(); }));
    // Both waits would have ended together; the second client sign-out shows
    // how many listeners hear a change.
    ASSERT_TRUE(runTask(session->backendClient().signOut(), 10'000));
    const QStringList lines = freshLines();

    EXPECT_EQ(lines.filter("activating sync features").size(), 1);
    EXPECT_EQ(lines.filter("SessionManager: startup sync for").size(), 1);
    EXPECT_EQ(lines.filter("Auth: state changed, user: ").size(), 1) << "one initial element";
    EXPECT_EQ(lines.filter("Auth: state changed, user signed out").size(), 1) << "one listener";
}

TEST_F(SessionAccountStateTest, ActivateDeactivateActivateStartsOver)
{
    startupTiming.startupSync = 20ms;
    buildOnBackend();
    const QString aliceId = signIn(alice);
    session->activateSync();
    ASSERT_TRUE(lineLogged("Auth: auto-switching from local to " + aliceId));
    ASSERT_TRUE(lineLogged("SessionManager: startup sync for " + aliceId));
    ASSERT_TRUE(waitUntil([&] { return !session->syncManager().isSyncing(); }));

    session->deactivateSync();
    EXPECT_EQ(prefs.currentUserId(), kLocal);
    EXPECT_TRUE(session->remoteAccount().has_value()) << "deactivating keeps the cached account";
    EXPECT_FALSE(periodicSyncRuns());
    // The subscription has ended: a change now reaches no listener.
    freshLines();
    ASSERT_TRUE(runTask(session->backendClient().signOut(), 10'000));
    EXPECT_TRUE(freshLines().filter("Auth: ").isEmpty());

    // The cached account is read again on the next activation.
    const AccountInfo edited{aliceId, "alice@elsewhere.example", "google"};
    prefs.setValue(PrefKey::cachedAccounts, edited.toJson());
    signIn(alice);
    prefs.setValue(PrefKey::currentUserId, aliceId);
    freshLines();
    QSignalSpy announced(session.get(), &SessionManager::accountChanged);
    session->activateSync();
    EXPECT_EQ(session->remoteAccount(), edited);
    EXPECT_FALSE(announced.isEmpty());
    ASSERT_TRUE(lineCount("SessionManager: startup sync for " + aliceId, 2));
    const QStringList lines = freshLines();
    EXPECT_EQ(lines.filter("Auth: state changed, user: alice@example.com").size(), 1) << "a new listener";
    ASSERT_TRUE(waitUntil([&] { return !session->syncManager().isSyncing(); }));
    EXPECT_TRUE(periodicSyncRuns()) << "the new start-up sync started the periodic sync";
}

struct StartupCase
{
    const char* name;
    bool enableSync;
    const char* current;
    QStringList logged;        // the lines about sync at start-up
    const char* currentAfter;
    bool clientMade;
};

void PrintTo(const StartupCase& c, std::ostream* out) { *out << c.name; }

class SessionAccountStartupTest : public SessionAccountStateTest,
                                  public testing::WithParamInterface<StartupCase>
{
};

TEST_P(SessionAccountStartupTest, SyncSettingDecidesAtStartup)
{
    const StartupCase c = GetParam();
    prefs.setValue(PrefKey::enableSync, c.enableSync);
    prefs.setValue(PrefKey::currentUserId, QString(c.current));
    buildOnBackend();
    if (c.enableSync)
        ASSERT_TRUE(lineLogged("Auth: state changed"));

    const QStringList lines = logLines();
    const QStringList about = lines.filter(QRegularExpression("sync features|forcing local mode"));
    EXPECT_EQ(about, c.logged);
    EXPECT_EQ(prefs.currentUserId(), QString(c.currentAfter));
    EXPECT_EQ(clientsMade, c.clientMade ? 1 : 0);
    EXPECT_TRUE(backend.requests().isEmpty()) << "no session is stored: nothing to send";
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SessionAccountStartupTest,
    testing::Values(
        StartupCase{"OnWhileLocal", true, "local", {"INFO SessionManager: activating sync features"}, "local",
                    true},
        StartupCase{"OnWithAnAccount", true, "ACCOUNT-1", {"INFO SessionManager: activating sync features"},
                    "ACCOUNT-1", true},
        StartupCase{"OffWhileLocal", false, "local", {}, "local", false},
        StartupCase{"OffWithAnAccount", false, "ACCOUNT-1",
                    {"INFO SessionManager: sync disabled, forcing local mode"}, "local", false}),
    [](const testing::TestParamInfo<StartupCase>& info) { return std::string(info.param.name); });

TEST_F(SessionAccountStateTest, CachedAccountReadsAsNoneWhenUnreadable)
{
    struct Case
    {
        const char* name;
        QByteArray stored;   // empty: the key is absent
        std::optional<AccountInfo> loaded;
    };
    const AccountInfo account{"ID-1", "a@example.com", "google"};
    const Case cases[] = {
        {"readable", account.toJson(), account},
        {"absent", {}, std::nullopt},
        {"not JSON", "{\"id\": \"ID-1\", ", std::nullopt},
        {"a member missing", R"({"id":"ID-1","email":"a@example.com"})", std::nullopt},
    };
    buildOnBackend();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        session->deactivateSync();
        if (c.stored.isEmpty())
            prefs.remove(PrefKey::cachedAccounts);
        else
            prefs.setValue(PrefKey::cachedAccounts, c.stored);
        session->activateSync();
        EXPECT_EQ(session->remoteAccount(), c.loaded);
        EXPECT_EQ(prefs.value(PrefKey::cachedAccounts).toByteArray(), c.stored) << "nothing written back";
    }
}

// ---- the start-up sync -------------------------------------------------------------

TEST_F(SessionAccountStateTest, DeactivatingDuringTheStartupSyncLeavesNoPeriodicSync)
{
    const QString aliceId = buildWithAliceCurrent();
    // The start-up sync's first pull is still on its way when sync goes off.
    slowFirstPull();
    session->activateSync();
    ASSERT_TRUE(lineLogged("SessionManager: startup sync for " + aliceId));
    session->deactivateSync();
    ASSERT_TRUE(waitUntil([&] { return session->syncManager().lastSyncTime().has_value(); }, 10'000));

    EXPECT_FALSE(periodicSyncRuns());
}

TEST_F(SessionAccountStateTest, StartupSyncOfAnAccountNoLongerCurrentLeavesItsPeriodicSyncOut)
{
    const QString aliceId = buildWithAliceCurrent();
    slowFirstPull();
    session->activateSync();
    ASSERT_TRUE(lineLogged("SessionManager: startup sync for " + aliceId));
    // The accounts screen makes another account current meanwhile.
    const QString bobId = bob.id.toUpper();
    prefs.setValue(PrefKey::currentUserId, bobId);
    session->syncManager().startPeriodicSync(bobId);
    ASSERT_TRUE(waitUntil([&] { return session->syncManager().lastSyncTime().has_value(); }, 10'000));

    // Bob's periodic sync is the one that runs: alice's would have replaced
    // it, logging the stop of bob's.
    EXPECT_TRUE(logLines().filter("SyncManager: stopped periodic sync").isEmpty());
    EXPECT_TRUE(periodicSyncRuns());
}

// ---- clearing an account's rows ----------------------------------------------------

TEST_F(SessionAccountStateTest, ClearingLocalDoesNothing)
{
    buildOnBackend();
    const Recording kept = addRecording(kLocal);
    freshLines();
    session->clearRemoteUserData(kLocal);
    EXPECT_TRUE(freshLines().isEmpty());
    EXPECT_TRUE(row(kept.id).has_value());
}

TEST_F(SessionAccountStateTest, ClearingAPushedAccountRemovesItsRowsAndCheckpoints)
{
    buildOnBackend();
    const QString aliceId = alice.id.toUpper();
    const Recording pushed = addRecording(aliceId);
    const Recording other = addRecording(kLocal);
    markAllSynced(aliceId);
    prefs.setValue("lastPullTime_" + aliceId, QDateTime::currentDateTimeUtc());
    prefs.setValue("lastFullSyncTime_" + aliceId, QDateTime::currentDateTimeUtc());
    const AccountInfo account{aliceId, "alice@example.com", "google"};
    prefs.setValue(PrefKey::cachedAccounts, account.toJson());
    freshLines();

    session->clearRemoteUserData(aliceId);

    EXPECT_EQ(freshLines(), QStringList{"INFO SessionManager: clearing local data for remote user " + aliceId});
    EXPECT_FALSE(session->database().fetchRecordingIncludingDeleted(pushed.id).has_value());
    EXPECT_TRUE(row(other.id).has_value());
    EXPECT_FALSE(prefs.contains("lastPullTime_" + aliceId));
    EXPECT_FALSE(prefs.contains("lastFullSyncTime_" + aliceId));
    EXPECT_EQ(cachedAccount(), account);
}

TEST_F(SessionAccountStateTest, SwitchToLocalWhileOfflineKeepsAnUnpushedRecordingUntilItIsPushed)
{
    buildOnBackend();
    session->activateSync();
    const QString aliceId = signIn(alice);
    ASSERT_TRUE(waitUntil([&] { return session->syncManager().lastSyncTime().has_value(); }));
    const Recording unpushed = addRecording(aliceId);
    prefs.setValue("lastPullTime_" + aliceId, QDateTime::currentDateTimeUtc());

    // The accounts screen's switch to local: a sync (which fails), the
    // clearing, and local made current.
    backend.setOffline(true);
    ASSERT_TRUE(runTask(session->syncManager().sync(aliceId).then([] { return true; }), 20'000));
    freshLines();
    session->clearRemoteUserData(aliceId);
    prefs.setValue(PrefKey::currentUserId, kLocal);

    const QStringList lines = freshLines();
    EXPECT_EQ(lines.filter("WARN SessionManager: kept the local data of " + aliceId).size(), 1)
        << lines.join('\n').toStdString();
    ASSERT_TRUE(row(unpushed.id).has_value()) << "the recording never pushed is kept";
    EXPECT_FALSE(prefs.contains("lastPullTime_" + aliceId));

    // Back online, the next element that carries the session makes the
    // account current again, and its sync pushes the recording.
    backend.setOffline(false);
    session->deactivateSync();
    session->activateSync();
    ASSERT_TRUE(waitUntil([&] {
        return !backendRecording(unpushed.id).isEmpty();
    }, 10'000));
    EXPECT_EQ(prefs.currentUserId(), aliceId);
    EXPECT_EQ(backendRecording(unpushed.id).value("cleaned_text").toString(), "Kept words.");
}

TEST_F(SessionAccountStateTest, ClearingDuringADictationKeepsTheRows)
{
    buildOnBackend();
    const QString aliceId = alice.id.toUpper();
    prefs.setValue(PrefKey::currentUserId, aliceId);
    const Recording earlier = addRecording(aliceId);
    const QString dictated = start();
    markAllSynced(aliceId);   // a periodic push may have sent both

    session->clearRemoteUserData(aliceId);

    EXPECT_TRUE(row(earlier.id).has_value());
    EXPECT_TRUE(row(dictated).has_value());
    EXPECT_EQ(logLines().filter("kept the local data of " + aliceId + ": a dictation is under way").size(), 1);
    session->cancelRecording();
}

TEST_F(SessionAccountStateTest, ClearingDuringARetryKeepsTheRows)
{
    transcribe = [](int) { return HttpFake::Answer::text(500, "down"); };
    buildOnBackend();
    const QString aliceId = alice.id.toUpper();
    prefs.setValue(PrefKey::currentUserId, aliceId);
    const QString id = dictate();
    ASSERT_TRUE(waitForState(SessionState::idle));
    ASSERT_EQ(row(id)->status, RecordingStatus::failed);

    // The retry's transcriptions wait on a service that does not answer.
    transcribe = [](int) { return sessiontest::silent(); };
    auto retrying = session->orchestrator().retry(id, RetryMode::retryFailed);
    ASSERT_TRUE(session->orchestrator().isRetrying(id));
    markAllSynced(aliceId);   // a push may have sent the rows as they are now

    session->clearRemoteUserData(aliceId);

    EXPECT_TRUE(row(id).has_value());
    EXPECT_EQ(slices(id).size(), 2);
    EXPECT_EQ(logLines().filter("kept the local data of " + aliceId + ": transcriptions are under way").size(),
              1);
}

// ---- the start-up recovery and other devices' recordings ---------------------------

TEST_F(SessionAccountStateTest, RecoveryLeavesOtherDevicesRecordingsAsPulled)
{
    const QString thisDevice = "DEVICE-HERE";
    prefs.setValue(PrefKey::deviceId, thisDevice);
    const QDateTime pulledAt = QDateTime::currentDateTimeUtc().addSecs(-60);
    struct Left
    {
        QString id;
        std::optional<QString> device;
        bool touched;
    };
    QList<Left> left{{"", QString("DEVICE-ELSEWHERE"), false}, {"", thisDevice, true}, {"", std::nullopt, true}};
    prepareStore([&](DatabaseManager& db, RecordingFileManager&) {
        for (Left& l : left) {
            Recording r;
            r.id = newRecordId();
            r.userId = kLocal;
            r.createdAt = pulledAt;
            r.updatedAt = pulledAt;
            r.status = RecordingStatus::recording;
            r.deviceId = l.device;
            ASSERT_TRUE(db.insertRecording(r));
            Slice s;
            s.id = newRecordId();
            s.userId = kLocal;
            s.recordingId = r.id;
            s.sliceIndex = 1;
            s.filename = "20260101_000000_" + r.id + "_001.m4a";   // no such file here
            s.status = SliceStatus::processing;
            s.updatedAt = pulledAt;
            ASSERT_TRUE(db.insertSlice(s));
            l.id = r.id;
        }
    });

    buildOnBackend();
    ASSERT_TRUE(waitUntil([&] { return logLines().filter("Consistency: ").size() == 2; }));

    EXPECT_EQ(logLines().filter("interrupted recording(s)"),
              QStringList{"INFO SessionManager: found 2 interrupted recording(s)"});
    for (const Left& l : left) {
        SCOPED_TRACE(l.device.value_or("no device").toStdString());
        const std::optional<Recording> stored = row(l.id);
        ASSERT_TRUE(stored.has_value());
        const QList<Slice> its = slices(l.id);
        ASSERT_EQ(its.size(), 1);
        if (l.touched) {
            EXPECT_EQ(stored->status, RecordingStatus::failed);
            EXPECT_EQ(its[0].status, SliceStatus::lost);
        } else {
            EXPECT_EQ(stored->status, RecordingStatus::recording);
            EXPECT_EQ(stored->updatedAt, pulledAt);
            EXPECT_EQ(its[0].status, SliceStatus::processing);
        }
    }
}
