// Syncs through a failing backend: nothing is lost, nothing is written
// twice, nothing crosses from one account into another, and a pull never
// overlaps a push.
#include "SyncManagerFixture.h"

using namespace synctest;

namespace {

using Fault = FakeBackend::Fault;

class SyncManagerFaultsTest : public SyncTest
{
public:
    Device device{backend, clock, [] {
                      SyncTiming timing = shortTiming();
                      timing.requestTimeout = 300ms;
                      return timing;
                  }()};
    QString userId = device.signIn(alice);

    // One dirty row of each table.
    void addLocalRows(const QString& owner)
    {
        const QDateTime now = tick();
        const Recording r = recording(owner, now);
        device.db.insertRecording(r);
        device.db.insertSlice(slice(r, now));
        device.db.insertGlossaryItem(glossaryItem(owner, "term", now));
        device.db.insertGlossaryItem(glossaryItem(owner, "other term", now));
    }

    bool nothingDirty(const QString& owner)
    {
        return device.db.fetchDirtyGlossaryItems(owner).isEmpty() && device.db.fetchDirtyRecordings(owner).isEmpty()
            && device.db.fetchDirtySlices(owner).isEmpty();
    }

    // The local rows of `owner` and the backend's, as "table id content-or-status", sorted.
    QStringList localRows(const QString& owner)
    {
        QStringList rows;
        for (const GlossaryItem& g : device.db.fetchAllGlossaryItems(owner, true))
            rows << "glossary " + g.id + " " + g.content;
        for (const Recording& r : device.db.fetchAllRecordings(owner, true)) {
            rows << "recordings " + r.id + " " + toText(r.status);
            for (const Slice& s : device.db.fetchSlices(r.id, true))
                rows << "slices " + s.id + " " + toText(s.status);
        }
        rows.sort();
        return rows;
    }
    QStringList backendRows(const FakeBackend::User& owner)
    {
        QStringList rows;
        for (const QString table : {"glossary", "recordings", "slices"}) {
            for (const QJsonObject& row : backend.rows(table)) {
                if (row.value("user_id").toString() != owner.id)
                    continue;
                rows << table + " " + row.value("id").toString() + " "
                            + row.value(table == "glossary" ? "content" : "status").toString();
            }
        }
        rows.sort();
        return rows;
    }

    void expectNoSecretInTheLog()
    {
        EXPECT_EQ(backend.secretsIn(device.log.lines().join('\n')), QStringList())
            << "a token, code or verifier reached the log";
    }
};

// A loop left running for one account after another signed in (or after a
// sign-out) sends no table request: it stores none of the other account's
// rows as its own, pushes none of its rows into the other account and moves
// no checkpoint.
TEST_F(SyncManagerFaultsTest, ALoopOfOneAccountUnderAnothersSessionMovesNothing)
{
    struct Case
    {
        const char* name;
        std::function<void()> switchAway;
        QString description;
    };
    const Case cases[] = {
        {"bob signed in", [&] { device.signIn(bob); }, "Signed in as another account"},
        {"signed out", [&] { ASSERT_TRUE(runTask(device.client().signOut(), 10'000)); }, "Not signed in"},
    };
    const QString bobId = bob.id.toUpper();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        device.signIn(alice);
        ASSERT_TRUE(device.sync(userId));
        const QVariant pullCheckpoint = device.preferences.value("lastPullTime_" + userId);
        const QVariant fullCheckpoint = device.preferences.value("lastFullSyncTime_" + userId);
        addLocalRows(userId);
        const QStringList alicesRows = localRows(userId);
        tick();
        backend.writeRow("glossary", bob.id, {{"id", newRecordId()}, {"content", "bob's"}});
        const QStringList bobsBackendRows = backendRows(bob);
        const QStringList alicesBackendRows = backendRows(alice);

        c.switchAway();
        const qsizetype before = backend.requests().size();
        device.freshLines();
        clock.advance(25h);   // the loop's sync would pull in full
        device.engine.startPeriodicSync(userId);
        QStringList lines;
        ASSERT_TRUE(waitUntil([&] {
            lines += device.freshLines();
            return !lines.filter(QRegularExpression("push (failed after|completed)")).isEmpty();
        }));
        device.engine.stopPeriodicSync();

        EXPECT_EQ(tableRequests(backend, before), QStringList()) << "nothing is sent";
        EXPECT_EQ(localRows(userId), alicesRows);
        EXPECT_EQ(localRows(bobId), QStringList());
        EXPECT_FALSE(nothingDirty(userId)) << "alice's changes wait for her session";
        EXPECT_EQ(backendRows(bob), bobsBackendRows);
        EXPECT_EQ(backendRows(alice), alicesBackendRows);
        EXPECT_EQ(device.preferences.value("lastPullTime_" + userId), pullCheckpoint);
        EXPECT_EQ(device.preferences.value("lastFullSyncTime_" + userId), fullCheckpoint);
        EXPECT_TRUE(lines.contains("ERROR SyncManager: pull failed: " + c.description));
        EXPECT_EQ(device.engine.lastError(), "Push: " + c.description);

        // Back under her own session, her changes go out.
        device.signIn(alice);
        ASSERT_TRUE(device.sync(userId));
        EXPECT_TRUE(nothingDirty(userId));
        EXPECT_EQ(backendRows(alice), localRows(userId));
    }
    expectNoSecretInTheLog();
}

// A write that failed, timed out, was dropped or was applied without an
// answer is sent again by the next attempt: every row reaches the backend
// once, and every local row ends clean.
TEST_F(SyncManagerFaultsTest, FailedWritesAreSentAgainAndNothingIsLostOrDoubled)
{
    struct Case
    {
        const char* name;
        Fault::Kind kind;
    };
    const Case cases[] = {
        {"server error", Fault::Kind::serverError}, {"time-out", Fault::Kind::noAnswer},
        {"dropped before the write", Fault::Kind::dropBeforeAnswer},
        {"applied, dropped before the answer", Fault::Kind::dropAfterApply},
        {"applied, half an answer", Fault::Kind::halfAnswer},
    };
    for (const Case& c : cases) {
        for (const QString table : {"glossary", "recordings", "slices"}) {
            SCOPED_TRACE(std::string(c.name) + " on " + table.toStdString());
            addLocalRows(userId);
            backend.addFault({"POST", "/rest/v1/" + table, c.kind, 1, 503});
            device.freshLines();

            ASSERT_TRUE(device.sync(userId));

            // Qt itself sends a request again once when the connection closed
            // before any answer, so a drop may not reach the engine.
            const QStringList lines = device.freshLines();
            EXPECT_LE(lines.filter("WARN").size(), 1);
            EXPECT_TRUE(lines.contains("INFO SyncManager: push completed"));
            EXPECT_EQ(device.engine.lastError(), std::nullopt);
            EXPECT_TRUE(nothingDirty(userId));
            EXPECT_EQ(backendRows(alice), localRows(userId));
            EXPECT_EQ(backend.rows(table).size(), localRows(userId).filter(QRegularExpression("^" + table + " ")).size())
                << "no row twice";
            backend.clearFaults();
        }
    }
    expectNoSecretInTheLog();
}

// A pull whose answer fails or comes in part applies nothing of that table
// and keeps its checkpoint; the next sync brings every row.
TEST_F(SyncManagerFaultsTest, AFailedOrPartialAnswerAppliesNothingAndTheNextPullBringsIt)
{
    struct Case
    {
        const char* name;
        Fault::Kind kind;
    };
    const Case cases[] = {
        {"server error", Fault::Kind::serverError},
        {"time-out", Fault::Kind::noAnswer},
        {"half an answer", Fault::Kind::halfAnswer},
    };
    ASSERT_TRUE(device.sync(userId));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tick();
        const QStringList ids = {newRecordId(), newRecordId()};
        for (const QString& id : ids)
            backend.writeRow("recordings", alice.id, {{"id", id}, {"status", "completed"}});
        const QVariant checkpoint = device.preferences.value("lastPullTime_" + userId);
        backend.addFault({"GET", "/rest/v1/recordings", c.kind, 1, 500});
        device.freshLines();
        tick();

        ASSERT_TRUE(device.sync(userId));

        EXPECT_EQ(device.freshLines().filter("pull failed").size(), 1);
        EXPECT_FALSE(device.db.fetchRecordingIncludingDeleted(ids[0]));
        EXPECT_FALSE(device.db.fetchRecordingIncludingDeleted(ids[1]));
        EXPECT_EQ(device.preferences.value("lastPullTime_" + userId), checkpoint);

        backend.clearFaults();
        tick();
        ASSERT_TRUE(device.sync(userId));
        EXPECT_TRUE(device.db.fetchRecordingIncludingDeleted(ids[0]));
        EXPECT_TRUE(device.db.fetchRecordingIncludingDeleted(ids[1]));
        EXPECT_TRUE(nothingDirty(userId));
    }
}

// An expired token is renewed on the way; a session revoked on the backend
// fails the sync and keeps every change dirty until the user signs in again.
TEST_F(SyncManagerFaultsTest, AnExpiredTokenIsRenewedAndARevokedSessionLosesNothing)
{
    addLocalRows(userId);
    backend.expireTokens();
    ASSERT_TRUE(device.sync(userId));
    EXPECT_EQ(device.engine.lastError(), std::nullopt);
    EXPECT_TRUE(nothingDirty(userId));

    addLocalRows(userId);
    const QStringList rows = localRows(userId);
    backend.revokeSessions(alice.id);
    device.freshLines();
    ASSERT_TRUE(device.sync(userId));
    const QStringList lines = device.freshLines();
    EXPECT_EQ(lines.filter("ERROR SyncManager: pull failed").size(), 1);
    EXPECT_EQ(lines.filter("ERROR SyncManager: push failed after 4 attempts").size(), 1);
    EXPECT_TRUE(device.engine.lastError().value_or("").startsWith("Push: "));
    EXPECT_FALSE(nothingDirty(userId));

    device.signIn(alice);
    ASSERT_TRUE(device.sync(userId));
    EXPECT_TRUE(nothingDirty(userId));
    EXPECT_EQ(localRows(userId), rows);
    EXPECT_EQ(backendRows(alice), rows);
    expectNoSecretInTheLog();
}

// A sync started while a push waits on the network pulls after that push
// has ended. Otherwise its pull could write another device's later copy of
// a row the push had read already, and the push would then send the older
// copy over it.
TEST_F(SyncManagerFaultsTest, APullWaitsForThePushUnderWay)
{
    GlossaryItem first = glossaryItem(userId, "first", tick());
    GlossaryItem second = glossaryItem(userId, "second", tick());
    device.db.insertGlossaryItem(first);
    device.db.insertGlossaryItem(second);
    ASSERT_TRUE(device.sync(userId));
    for (GlossaryItem* item : {&first, &second}) {
        item->content += ", laptop";
        item->updatedAt = tick();
        device.db.updateGlossaryItem(*item);
    }
    tick();
    backend.writeRow("glossary", alice.id, {{"id", second.id}, {"content", "second, phone"}});
    backend.addFault({"POST", "/rest/v1/glossary", Fault::Kind::delay, 1, 0, 150ms});
    const qsizetype before = backend.requests().size();

    device.engine.schedulePush(userId);
    ASSERT_TRUE(waitUntil([&] { return tableRequests(backend, before).size() == 1; }));
    tick();
    ASSERT_TRUE(device.sync(userId));
    ASSERT_TRUE(waitUntil([&] { return device.log.lines().count("INFO SyncManager: push completed") == 3; }));

    EXPECT_EQ(tableRequests(backend, before),
              QStringList({"POST glossary", "POST glossary", "GET glossary", "GET recordings", "GET slices"}));
    EXPECT_EQ(device.db.fetchGlossaryItem(second.id)->content,
              backendRow(backend, "glossary", second.id).value("content").toString());
    EXPECT_TRUE(nothingDirty(userId));
}

}  // namespace
