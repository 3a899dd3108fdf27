// Two devices of one account on the fake backend. Profile 1 is the whole
// application in its own home: the controller on desktop fakes with account
// sync on, its dictations, its accounts screen for the user's account flows,
// and a restart. Profile 2 is a second device (store, client, sync engine).
// What either device wrote must end up on both and on the backend, through a
// switch to local while offline, another device's recording pulled while it
// was still being recorded there, a restart and a sign-out.
#include "ViewFixture.h"
#include "store/RecordId.h"
#include "support/FakeBackend.h"
#include "support/OutputCapture.h"
#include "support/RunTask.h"
#include "support/ScriptedWebAuthSession.h"
#include "support/SyncDevice.h"
#include "support/TestClock.h"
#include "sync/BackendClient.h"
#include "sync/SyncManager.h"
#include "ui/AccountsView.h"

using namespace sessiontest;

namespace {

constexpr int kTaskLimitMs = 20'000;
const QString kOtherDevice = "DEVICE-OF-PROFILE-2";

SyncTiming shrunkSyncTiming()
{
    SyncTiming timing;
    timing.pushDebounce = 40ms;
    timing.periodicInterval = 1h;   // only the syncs the test makes
    timing.retryUnit = 5ms;
    timing.requestTimeout = 3s;
    return timing;
}

}  // namespace

class AccountSyncEndToEnd : public ViewFixture
{
protected:
    AccountSyncEndToEnd()
    {
        // The engines stamp checkpoints with the real clock; the backend's
        // token times start from it too.
        clock.set(QDateTime::currentDateTimeUtc());
        startupTiming.startupSync = 20ms;
        prefs.setValue(PrefKey::enableSync, true);
        int polished = 0;
        polish = [polished](const HttpFake::Request&) mutable {
            return chatAnswer(QString("Polished text %1.").arg(++polished));
        };
    }

    ~AccountSyncEndToEnd() override { quit(); }

    // Starts profile 1 on `platform` (the scripted fakes, or fresh ones for
    // a restart) and opens its accounts screen.
    void launch(SessionPlatform platform)
    {
        platform.backendClient = [this] {
            return std::make_unique<BackendClient>(prefs, http, config, clock.wallClock(),
                                                   AuthTiming{.tickInterval = 50ms, .requestTimeout = 3s});
        };
        platform.webAuthSession = std::make_unique<ScriptedWebAuthSession>();
        platform.syncTiming = shrunkSyncTiming();
        build(std::move(platform));
        view = std::make_unique<AccountsView>(*session);
        view->resize(420, 520);
        view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    }

    void quit()
    {
        view.reset();
        session.reset();
    }

    void click(const QString& name) { ViewFixture::click(*view, name); }

    SyncManager& sync1() { return session->syncManager(); }
    DatabaseManager& db1() { return session->database(); }
    bool sync1Idle() { return !sync1().isSyncing(); }

    // Profile 1's sync of `userId`, run to its end.
    bool syncProfile1(const QString& userId)
    {
        return runTask(sync1().sync(userId).then([] { return true; }), kTaskLimitMs).has_value();
    }

    // A dictation on profile 1, processed and inserted; its recording's id.
    QString dictateToTheEnd()
    {
        const QString id = dictate();
        EXPECT_TRUE(waitForState(SessionState::idle, 10'000));
        EXPECT_EQ(row(id)->status, RecordingStatus::completed);
        return id;
    }

    GlossaryItem addTerm(DatabaseManager& db, const QString& userId, const QString& content)
    {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        GlossaryItem item{newRecordId(), userId, content, std::nullopt, now, now};
        db.insertGlossaryItem(item);
        return item;
    }

    // The backend's row of that id in `table` (it keeps ids in lower case);
    // an empty object when it has none.
    QJsonObject backendRow(const QString& table, const QString& id) const
    {
        for (const QJsonObject& row : backend.rows(table)) {
            if (row.value("id").toString().compare(id, Qt::CaseInsensitive) == 0)
                return row;
        }
        return {};
    }

    OutputCapture output;
    TestClock clock;
    FakeBackend backend{clock};
    FakeBackend::User alice = backend.addUser("alice@example.com");
    const BackendConfig config{backend.url(), FakeBackend::kPublishableKey};
    SyncDevice p2{http, config, shrunkSyncTiming(), AuthTiming{.tickInterval = 1h, .requestTimeout = 3s}};
    ScriptedWebAuthSession p2Browser;
    std::unique_ptr<AccountsView> view;
};

TEST_F(AccountSyncEndToEnd, EveryEditReachesBothDevicesThroughLocalModeARestartAndSignOut)
{
    launch(scriptedPlatform());
    ASSERT_TRUE(waitUntil([&] { return !permissions.trustChecks().isEmpty(); }));

    // Both sign in; profile 1 through its accounts screen.
    backend.setSignInUser(alice.id);
    click("signInButton");
    click("googleButton");
    ASSERT_TRUE(waitUntil([&] {
        return session->remoteAccount() && prefs.currentUserId() == session->remoteAccount()->id
            && sync1().lastSyncTime() && sync1Idle();
    }, kTaskLimitMs));
    const QString aliceId = session->remoteAccount()->id;
    QString failure;
    ASSERT_TRUE(p2.signIn(p2Browser, &failure)) << failure.toStdString();
    ASSERT_EQ(p2.userId(), aliceId);

    // Edits on both, and syncs.
    const QString first = dictateToTheEnd();
    const GlossaryItem term1 = addTerm(db1(), aliceId, "Talvex");
    const GlossaryItem term2 = addTerm(p2.db, aliceId, "Kubernetes");
    ASSERT_TRUE(syncProfile1(aliceId));
    ASSERT_TRUE(p2.sync(kTaskLimitMs));
    ASSERT_TRUE(syncProfile1(aliceId));
    EXPECT_EQ(p2.db.fetchRecording(first)->cleanedText, "Polished text 1.");
    EXPECT_EQ(p2.db.fetchSlices(first, false).size(), 2);
    EXPECT_TRUE(p2.db.fetchGlossaryItem(term1.id).has_value());
    EXPECT_TRUE(db1().fetchGlossaryItem(term2.id).has_value());

    // Offline, a dictation that cannot be pushed; then the switch to local,
    // whose sync fails: the recording stays.
    backend.setOffline(true);
    const QString unpushed = dictateToTheEnd();
    ASSERT_TRUE(waitUntil([&] { return sync1().lastError().has_value() && sync1Idle(); }, kTaskLimitMs));
    click("localRow");
    ASSERT_TRUE(waitUntil([&] { return prefs.currentUserId() == "local"; }, kTaskLimitMs));
    EXPECT_EQ(logLines().filter("SessionManager: kept the local data of " + aliceId).size(), 1);
    ASSERT_TRUE(row(unpushed).has_value()) << "the recording never pushed is kept";
    EXPECT_EQ(row(unpushed)->cleanedText, "Polished text 2.");
    EXPECT_EQ(session->remoteAccount()->id, aliceId);

    // Back online, the next token refresh makes the account current again,
    // and its sync pushes the recording.
    backend.setOffline(false);
    clock.set(session->backendClient().storedSession()->expiresAt.addSecs(-100));
    ASSERT_TRUE(waitUntil([&] {
        return prefs.currentUserId() == aliceId && !backendRow("recordings", unpushed).isEmpty() && sync1Idle();
    }, kTaskLimitMs));
    EXPECT_EQ(logLines().filter("Auth: auto-switching from local to " + aliceId).size(), 2);
    ASSERT_TRUE(p2.sync(kTaskLimitMs));
    ASSERT_TRUE(p2.db.fetchRecording(unpushed).has_value());
    EXPECT_EQ(p2.db.fetchRecording(unpushed)->cleanedText, "Polished text 2.");
    EXPECT_EQ(p2.db.fetchSlices(unpushed, false).size(), 2);

    // Profile 2 starts a recording; its first slice is pushed while it is
    // still recording there, and profile 1 pulls it so.
    Recording theirs;
    theirs.id = newRecordId();
    theirs.userId = aliceId;
    theirs.createdAt = QDateTime::currentDateTimeUtc();
    theirs.updatedAt = theirs.createdAt;
    theirs.status = RecordingStatus::recording;
    theirs.deviceId = kOtherDevice;
    theirs.sliceCount = 1;
    ASSERT_TRUE(p2.db.insertRecording(theirs));
    Slice slice;
    slice.id = newRecordId();
    slice.userId = aliceId;
    slice.recordingId = theirs.id;
    slice.sliceIndex = 1;
    slice.filename = "20261211_080000_" + theirs.id + "_001.m4a";
    slice.status = SliceStatus::processing;
    slice.updatedAt = theirs.createdAt;
    ASSERT_TRUE(p2.db.insertSlice(slice));
    ASSERT_TRUE(p2.sync(kTaskLimitMs));
    ASSERT_EQ(backendRow("recordings", theirs.id).value("status").toString(), "recording");
    ASSERT_TRUE(syncProfile1(aliceId));
    ASSERT_EQ(row(theirs.id)->status, RecordingStatus::recording);

    // Profile 2 finishes it and pushes it; then profile 1 restarts.
    spinFor(5);   // the finished edit is later than the first one
    theirs.status = RecordingStatus::completed;
    theirs.rawText = "finished words";
    theirs.cleanedText = "Finished on the other device.";
    theirs.duration = 12.5;
    theirs.updatedAt = QDateTime::currentDateTimeUtc();
    ASSERT_TRUE(p2.db.updateRecording(theirs));
    slice.status = SliceStatus::completed;
    slice.rawText = "finished words";
    slice.updatedAt = theirs.updatedAt;
    ASSERT_TRUE(p2.db.updateSlice(slice));
    ASSERT_TRUE(p2.sync(kTaskLimitMs));

    quit();
    launch(freshPlatform());
    ASSERT_TRUE(waitUntil([&] {
        return !logLines().filter("SessionManager: startup sync for " + aliceId).isEmpty()
            && sync1().lastSyncTime() && sync1Idle();
    }, kTaskLimitMs));
    ASSERT_TRUE(p2.sync(kTaskLimitMs));
    for (auto [name, stored] : {std::pair{"profile 1", row(theirs.id)},
                                std::pair{"profile 2", p2.db.fetchRecording(theirs.id)}}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(stored.has_value());
        EXPECT_EQ(stored->status, RecordingStatus::completed);
        EXPECT_EQ(stored->cleanedText, "Finished on the other device.");
    }
    EXPECT_EQ(db1().fetchSlice(slice.id)->status, SliceStatus::completed);
    EXPECT_EQ(backendRow("recordings", theirs.id).value("cleaned_text").toString(),
              "Finished on the other device.");

    // Sign-out on profile 1: its session, the account's rows and the cached
    // account go; the backend and profile 2 keep every edit.
    click("remoteRowSignOut");
    ASSERT_TRUE(waitUntil([&] { return !session->remoteAccount() && prefs.currentUserId() == "local"; },
                          kTaskLimitMs));
    EXPECT_FALSE(session->backendClient().storedSession().has_value());
    EXPECT_FALSE(prefs.contains(config.storageKey()));
    EXPECT_FALSE(prefs.contains(PrefKey::cachedAccounts));
    EXPECT_TRUE(db1().fetchAllRecordings(aliceId, true).isEmpty());
    EXPECT_TRUE(db1().fetchAllGlossaryItems(aliceId, true).isEmpty());
    EXPECT_FALSE(db1().fetchSlice(slice.id).has_value());

    ASSERT_TRUE(p2.sync(kTaskLimitMs));
    const std::pair<QString, QString> recordings[] = {{first, "Polished text 1."},
                                                      {unpushed, "Polished text 2."},
                                                      {theirs.id, "Finished on the other device."}};
    for (const auto& [id, text] : recordings) {
        SCOPED_TRACE(text.toStdString());
        EXPECT_EQ(backendRow("recordings", id).value("cleaned_text").toString(), text);
        ASSERT_TRUE(p2.db.fetchRecording(id).has_value());
        EXPECT_EQ(p2.db.fetchRecording(id)->cleanedText, text);
    }
    for (const GlossaryItem& term : {term1, term2}) {
        EXPECT_EQ(backendRow("glossary", term.id).value("content").toString(), term.content);
        EXPECT_TRUE(p2.db.fetchGlossaryItem(term.id).has_value());
    }

    // No token, code or verifier in any log line or on the terminal.
    quit();
    const QStringList profile1Lines = logFileLines();
    ASSERT_FALSE(profile1Lines.filter("Auth: logged out, switched to local").isEmpty());
    ASSERT_FALSE(backend.secretsIssued().isEmpty());
    EXPECT_EQ(backend.secretsIn((profile1Lines + p2.log.lines()).join('\n') + QString::fromUtf8(output.text())),
              QStringList());
}
