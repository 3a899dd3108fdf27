// The sync cycle: the local rule, full or incremental pulls by their
// checkpoints, the order of requests and log lines, failed pulls and the
// retries of a push.
#include <QElapsedTimer>
#include <QUrlQuery>

#include "SyncManagerFixture.h"

using namespace synctest;

namespace {

class SyncManagerCycleTest : public SyncTest
{
public:
    Device device{backend, clock};
    QString userId = device.signIn(alice);

    QString pullKey() const { return "lastPullTime_" + userId; }
    QString fullKey() const { return "lastFullSyncTime_" + userId; }
};

TEST_F(SyncManagerCycleTest, LocalDoesNothingAndNeverMakesTheClient)
{
    Device local(backend, clock);
    QSignalSpy changes(&local.engine, &SyncManager::stateChanged);
    local.db.insertGlossaryItem(glossaryItem("local", "term", clock.now()));

    local.engine.schedulePush("local");
    ASSERT_TRUE(local.sync("local"));
    ASSERT_TRUE(local.forceFullSync("local"));
    spinFor(150);   // longer than the push's debounce

    EXPECT_FALSE(local.hasClient());
    EXPECT_EQ(local.log.lines(), QStringList());
    EXPECT_EQ(changes.count(), 0);
    EXPECT_FALSE(local.engine.lastSyncTime());
    EXPECT_EQ(tableRequests(backend), QStringList());
}

TEST_F(SyncManagerCycleTest, APushForLocalLeavesTheAccountsPendingPush)
{
    device.db.insertGlossaryItem(glossaryItem(userId, "term", clock.now()));
    device.engine.schedulePush(userId);
    device.engine.schedulePush("local");

    ASSERT_TRUE(waitUntil([&] { return device.freshLines().contains("INFO SyncManager: push completed"); }));
    EXPECT_EQ(tableRequests(backend), QStringList{"POST glossary"});
}

TEST_F(SyncManagerCycleTest, ASyncPullsThenPushesEachTableWithEveryLogLine)
{
    const Recording mine = recording(userId, clock.now());
    device.db.insertRecording(mine);
    device.db.insertSlice(slice(mine, clock.now()));
    device.db.insertGlossaryItem(glossaryItem(userId, "local term", clock.now()));
    backend.writeRow("glossary", alice.id, {{"id", newRecordId()}, {"content", "one"}});
    backend.writeRow("glossary", alice.id, {{"id", newRecordId()}, {"content", "two"}});
    QList<bool> syncing;
    QObject::connect(&device.engine, &SyncManager::stateChanged, [&] { syncing << device.engine.isSyncing(); });
    clock.advance(1s);

    ASSERT_TRUE(device.sync(userId));

    EXPECT_EQ(device.freshLines(), QStringList({
                                       "INFO SyncManager: full sync (24h checkpoint or first sync)",
                                       "INFO SyncManager: pulling (full) for " + userId,
                                       "DEBUG SyncManager: pulled 2 glossary items",
                                       "DEBUG SyncManager: pulled 0 recordings",
                                       "DEBUG SyncManager: pulled 0 slices",
                                       "INFO SyncManager: pull completed",
                                       "INFO SyncManager: pushing dirty data for " + userId,
                                       "DEBUG SyncManager: pushing 1 dirty glossary items",
                                       "DEBUG SyncManager: pushing 1 dirty recordings",
                                       "DEBUG SyncManager: pushing 1 dirty slices",
                                       "INFO SyncManager: push completed",
                                   }));
    EXPECT_EQ(tableRequests(backend), QStringList({"GET glossary", "GET recordings", "GET slices",
                                                   "POST glossary", "POST recordings", "POST slices"}));
    EXPECT_EQ(device.db.fetchAllGlossaryItems(userId, true).size(), 3);
    EXPECT_TRUE(device.db.fetchDirtyGlossaryItems(userId).isEmpty());
    EXPECT_TRUE(device.db.fetchDirtyRecordings(userId).isEmpty());
    EXPECT_TRUE(device.db.fetchDirtySlices(userId).isEmpty());
    EXPECT_EQ(device.preferences.value(pullKey()).toDateTime(), clock.now());
    EXPECT_EQ(device.preferences.value(fullKey()).toDateTime(), clock.now());
    EXPECT_EQ(device.engine.lastSyncTime(), clock.now());
    EXPECT_EQ(device.engine.lastError(), std::nullopt);
    ASSERT_FALSE(syncing.isEmpty());
    EXPECT_TRUE(syncing.first());
    EXPECT_FALSE(syncing.last());

    // Nothing changed since: a second sync (incremental, so asking again for
    // the last ten minutes) writes and sends nothing.
    ASSERT_TRUE(device.sync(userId));
    EXPECT_EQ(device.freshLines().filter("DEBUG"), QStringList({
                                                       "DEBUG SyncManager: pulled 3 glossary items",
                                                       "DEBUG SyncManager: pulled 1 recordings",
                                                       "DEBUG SyncManager: pulled 1 slices",
                                                       "DEBUG SyncManager: glossary clean, skipping push",
                                                       "DEBUG SyncManager: recordings clean, skipping push",
                                                       "DEBUG SyncManager: slices clean, skipping push",
                                                   }));
}

// A full pull after more than 24 h since the last full sync, or on demand;
// otherwise an incremental pull that asks again for the ten minutes before
// its checkpoint, as other devices push rows stamped before their push.
TEST_F(SyncManagerCycleTest, FullOrIncrementalByTheAgeOfTheLastFullSync)
{
    const QDateTime lastPull = clock.now().addSecs(-3600);
    struct Case
    {
        const char* name;
        QVariant lastFull;
        QVariant pullCheckpoint;
        bool forced;
        QString line;
        // The updated_at filter of the requests; empty for none.
        QString filter;
    };
    const QString incremental = "INFO SyncManager: incremental sync for " + userId;
    const QString full = "INFO SyncManager: full sync (24h checkpoint or first sync)";
    const QString sinceOverlap = "gt." + TimeText::format(lastPull.addSecs(-600));
    const Case cases[] = {
        {"no full sync yet", {}, lastPull, false, full, ""},
        {"exactly 24 h", clock.now().addSecs(-86'400), lastPull, false, incremental, sinceOverlap},
        {"24 h and half a second", clock.now().addMSecs(-86'400'500), lastPull, false, full, ""},
        {"in the future", clock.now().addSecs(60), lastPull, false, incremental, sinceOverlap},
        {"not a date", TimeText::format(clock.now()), lastPull, false, full, ""},
        {"incremental without a pull checkpoint", clock.now(), {}, false, incremental, ""},
        {"pull checkpoint not a date", clock.now(), QString("yesterday"), false, incremental, ""},
        {"forced", clock.now(), lastPull, true, "INFO SyncManager: force full sync for " + userId, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& [key, value] : {std::pair(fullKey(), c.lastFull), std::pair(pullKey(), c.pullCheckpoint)}) {
            if (value.isValid())
                device.preferences.setValue(key, value);
            else
                device.preferences.remove(key);
        }
        device.freshLines();
        const qsizetype before = backend.requests().size();

        ASSERT_TRUE(c.forced ? device.forceFullSync(userId) : device.sync(userId));

        const QStringList lines = device.freshLines();
        ASSERT_FALSE(lines.isEmpty());
        EXPECT_EQ(lines.first(), c.line);
        const bool isFull = c.filter.isEmpty() && c.line != incremental;
        EXPECT_EQ(lines.value(1), "INFO SyncManager: pulling (" + QString(isFull ? "full" : "incremental")
                                      + ") for " + userId);
        QStringList filters;
        for (qsizetype i = before; i < backend.requests().size(); ++i) {
            const HttpFake::Request& request = backend.requests()[i];
            if (request.method == "GET")
                filters << QUrlQuery(QUrl::fromEncoded(request.path).query()).queryItemValue("updated_at");
        }
        EXPECT_EQ(filters, QStringList({c.filter, c.filter, c.filter}));
        EXPECT_EQ(device.preferences.value(pullKey()).toDateTime(), clock.now());
        if (isFull)
            EXPECT_EQ(device.preferences.value(fullKey()).toDateTime(), clock.now());
        else
            EXPECT_EQ(device.preferences.value(fullKey()), c.lastFull) << "an incremental sync keeps the 24 h count";
    }
}

// The first failing table ends the pull: the tables before it keep what they
// applied, no checkpoint moves, and the push of the same sync still runs. Its
// success leaves the pull's error up and the last sync time where it was: the
// sync did not reach the backend's rows.
TEST_F(SyncManagerCycleTest, AFailedPullStopsAtItsTableAndMovesNoCheckpoint)
{
    const QStringList tables = {"glossary", "recordings", "slices"};
    const QDateTime lastPull = clock.now().addSecs(-60);
    const QDateTime lastFull = clock.now().addSecs(-90'000);
    for (int failing = 0; failing < tables.size(); ++failing) {
        SCOPED_TRACE(tables[failing].toStdString());
        device.preferences.setValue(pullKey(), lastPull);
        device.preferences.setValue(fullKey(), lastFull);
        clock.advance(1s);
        const QString glossaryId = newRecordId();
        backend.writeRow("glossary", alice.id, {{"id", glossaryId}, {"content", "from the phone"}});
        device.db.insertGlossaryItem(glossaryItem(userId, "to push", clock.now()));
        backend.addFault({"GET", "/rest/v1/" + tables[failing], FakeBackend::Fault::Kind::serverError, 1, 500});
        QList<std::optional<QString>> errors;
        const auto connection = QObject::connect(&device.engine, &SyncManager::stateChanged,
                                        [&] { errors << device.engine.lastError(); });
        device.freshLines();
        const qsizetype before = backend.requests().size();
        const std::optional<QDateTime> lastSync = device.engine.lastSyncTime();
        clock.advance(1s);

        ASSERT_TRUE(device.sync(userId));
        QObject::disconnect(connection);

        QStringList expected;
        for (int i = 0; i <= failing; ++i)
            expected << "GET " + tables[i];
        expected << "POST glossary";
        EXPECT_EQ(tableRequests(backend, before), expected);
        EXPECT_EQ(device.db.fetchGlossaryItem(glossaryId).has_value(), failing > 0);
        EXPECT_EQ(device.preferences.value(pullKey()).toDateTime(), lastPull);
        EXPECT_EQ(device.preferences.value(fullKey()).toDateTime(), lastFull) << "the next sync is full again";
        const QStringList lines = device.freshLines();
        const QStringList failed = lines.filter("pull failed");
        ASSERT_EQ(failed.size(), 1);
        EXPECT_TRUE(failed.first().startsWith("ERROR SyncManager: pull failed: ")) << failed.first().toStdString();
        EXPECT_FALSE(lines.contains("INFO SyncManager: pull completed"));
        EXPECT_TRUE(lines.contains("INFO SyncManager: push completed"));
        const QString description = failed.first().mid(QString("ERROR SyncManager: pull failed: ").size());
        EXPECT_TRUE(errors.contains(std::optional("Pull: " + description)));
        EXPECT_EQ(device.engine.lastError(), "Pull: " + description) << "the push's success hid it";
        EXPECT_FALSE(device.engine.isSyncing());
        EXPECT_EQ(device.engine.lastSyncTime(), lastSync);
    }
}

// Attempts 1 to 3 wait 2, 4 and 8 units; each attempt starts again from the
// glossary, whose rows an earlier attempt may have sent and marked already.
TEST_F(SyncManagerCycleTest, APushRetriesAfterTwoFourAndEightUnitsThenGivesUp)
{
    struct Case
    {
        const char* name;
        QString failingTable;
        int failures;
        QStringList warnings;   // the part before the description
        bool givesUp;
        QStringList requests;
        int waitUnits;
    };
    const auto warning = [](int attempt, int wait) {
        return QString("WARN SyncManager: push attempt %1 failed, retrying in %2s: ").arg(attempt).arg(wait);
    };
    const Case cases[] = {
        {"glossary fails every time", "glossary", -1, {warning(1, 2), warning(2, 4), warning(3, 8)}, true,
         {"POST glossary", "POST glossary", "POST glossary", "POST glossary"}, 14},
        {"recordings fail once", "recordings", 1, {warning(1, 2)}, false,
         {"POST glossary", "POST recordings", "POST recordings", "POST slices"}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Recording mine = recording(userId, clock.now());
        device.db.insertRecording(mine);
        device.db.insertSlice(slice(mine, clock.now()));
        device.db.insertGlossaryItem(glossaryItem(userId, "term", clock.now()));
        backend.clearFaults();
        backend.addFault({"POST", "/rest/v1/" + c.failingTable, FakeBackend::Fault::Kind::serverError,
                          c.failures, 503});
        device.freshLines();
        const qsizetype before = backend.requests().size();
        QElapsedTimer elapsed;
        elapsed.start();

        ASSERT_TRUE(device.sync(userId));

        EXPECT_GE(elapsed.elapsed(), c.waitUnits * shortTiming().retryUnit.count()) << "every wait is kept";
        EXPECT_EQ(tableRequests(backend, before).filter("POST"), c.requests);
        const QStringList lines = device.freshLines();
        QStringList warnings;
        for (const QString& line : lines.filter("WARN"))
            warnings << line.left(line.indexOf("s: ") + 3);
        EXPECT_EQ(warnings, c.warnings);
        const QStringList failedLines = lines.filter("push failed after");
        if (c.givesUp) {
            ASSERT_EQ(failedLines.size(), 1);
            const QString description = failedLines.first().section(": ", 2);
            EXPECT_EQ(failedLines.first(), "ERROR SyncManager: push failed after 4 attempts: " + description);
            EXPECT_EQ(device.engine.lastError(), "Push: " + description);
            EXPECT_EQ(device.db.fetchDirtyRecordings(userId).size(), 1) << "later tables stay dirty";
        } else {
            EXPECT_TRUE(failedLines.isEmpty());
            EXPECT_TRUE(lines.contains("INFO SyncManager: push completed"));
            EXPECT_EQ(device.engine.lastError(), std::nullopt);
            EXPECT_TRUE(device.db.fetchDirtyRecordings(userId).isEmpty());
        }
        EXPECT_FALSE(device.engine.isSyncing());
        // Clean up for the next case.
        backend.clearFaults();
        ASSERT_TRUE(device.sync(userId));
    }
}

TEST_F(SyncManagerCycleTest, ABurstOfChangesGivesOnePushAfterTheLastOfThem)
{
    QSignalSpy changes(&device.engine, &SyncManager::stateChanged);
    QElapsedTimer sinceLast;
    for (int i = 0; i < 3; ++i) {
        device.db.insertGlossaryItem(glossaryItem(userId, QString("term %1").arg(i), clock.now()));
        device.engine.schedulePush(userId);
        sinceLast.start();
        spinFor(10);
    }

    ASSERT_TRUE(waitUntil([&] { return device.log.lines().contains("INFO SyncManager: push completed"); }));
    EXPECT_GE(sinceLast.elapsed(), shortTiming().pushDebounce.count());
    spinFor(100);
    EXPECT_EQ(device.freshLines(), QStringList({
                                       "INFO SyncManager: pushing dirty data for " + userId,
                                       "DEBUG SyncManager: pushing 3 dirty glossary items",
                                       "DEBUG SyncManager: recordings clean, skipping push",
                                       "DEBUG SyncManager: slices clean, skipping push",
                                       "INFO SyncManager: push completed",
                                   }));
    EXPECT_EQ(tableRequests(backend).size(), 3);
    EXPECT_FALSE(device.engine.lastSyncTime()) << "a push alone is no sync";
    EXPECT_EQ(changes.count(), 0) << "nor does it set isSyncing";
}

TEST_F(SyncManagerCycleTest, ANewChangeCancelsThePushUnderWay)
{
    device.db.insertGlossaryItem(glossaryItem(userId, "first", clock.now()));
    backend.addFault({"POST", "/rest/v1/glossary", FakeBackend::Fault::Kind::noAnswer, 1});
    device.engine.schedulePush(userId);
    ASSERT_TRUE(waitUntil([&] { return tableRequests(backend).size() == 1; }));

    device.db.insertGlossaryItem(glossaryItem(userId, "second", clock.now()));
    device.engine.schedulePush(userId);

    ASSERT_TRUE(waitUntil([&] { return device.log.lines().contains("INFO SyncManager: push completed"); }));
    const QStringList lines = device.freshLines();
    EXPECT_EQ(lines.filter("push cancelled"), QStringList{"INFO SyncManager: push cancelled"});
    EXPECT_TRUE(lines.filter("WARN").isEmpty());
    EXPECT_EQ(device.engine.lastError(), std::nullopt);
    EXPECT_TRUE(device.db.fetchDirtyGlossaryItems(userId).isEmpty());
    EXPECT_EQ(backend.rows("glossary").size(), 2);
}

// The loop syncs one interval after its start and one after each of its
// syncs; stopping it cancels the sync it runs.
TEST_F(SyncManagerCycleTest, ThePeriodicLoopSyncsUntilStoppedAndIsReplacedByANewOne)
{
    device.engine.stopPeriodicSync();
    EXPECT_EQ(device.freshLines(), QStringList()) << "no loop, nothing to stop";

    device.engine.startPeriodicSync(userId);
    EXPECT_EQ(device.freshLines(), QStringList()) << "nothing is logged at the start";
    device.engine.startPeriodicSync(userId);
    EXPECT_EQ(device.freshLines(), QStringList{"INFO SyncManager: stopped periodic sync"});

    QStringList lines;
    ASSERT_TRUE(waitUntil([&] {
        lines += device.freshLines();
        return lines.count("INFO SyncManager: push completed") == 2;
    }));
    EXPECT_EQ(lines.filter("periodic").size(), 2);
    EXPECT_EQ(lines.first(), "INFO SyncManager: periodic sync triggered");

    // Stopped while its sync waits for an answer.
    backend.addFault({"GET", "/rest/v1/glossary", FakeBackend::Fault::Kind::noAnswer, -1});
    const qsizetype before = backend.requests().size();
    ASSERT_TRUE(waitUntil([&] { return tableRequests(backend, before).contains("GET glossary"); }));
    const std::optional<QDateTime> lastSync = device.engine.lastSyncTime();
    device.freshLines();
    device.engine.stopPeriodicSync();
    ASSERT_TRUE(waitUntil([&] { return !device.engine.isSyncing(); }));
    EXPECT_EQ(device.freshLines(), QStringList({
                                       "INFO SyncManager: stopped periodic sync",
                                       "ERROR SyncManager: pull failed: The request was cancelled.",
                                       "INFO SyncManager: pushing dirty data for " + userId,
                                       "INFO SyncManager: push cancelled",
                                   }));
    EXPECT_EQ(device.engine.lastError(), "Pull: The request was cancelled.");
    EXPECT_EQ(device.engine.lastSyncTime(), lastSync) << "a cancelled sync synced nothing";
    spinFor(200);
    EXPECT_EQ(device.freshLines(), QStringList()) << "no loop is left";
    EXPECT_EQ(tableRequests(backend, before), QStringList{"GET glossary"});
}

// An engine that goes while its tasks wait (a request of its loop, a
// pending push) ends them without touching what went with it, and sends
// nothing more.
TEST_F(SyncManagerCycleTest, AnEngineThatGoesEndsItsTasksAndSendsNothingMore)
{
    auto other = std::make_unique<Device>(backend, clock);
    const QString otherUser = other->signIn(alice);
    other->db.insertGlossaryItem(glossaryItem(otherUser, "term", clock.now()));
    backend.addFault({"GET", "/rest/v1/glossary", FakeBackend::Fault::Kind::noAnswer, -1});
    const qsizetype before = backend.requests().size();
    other->engine.startPeriodicSync(otherUser);
    ASSERT_TRUE(waitUntil([&] { return tableRequests(backend, before).contains("GET glossary"); }));
    other->engine.schedulePush(otherUser);

    other.reset();
    spinFor(200);   // past the push's debounce and the loop's interval

    EXPECT_EQ(tableRequests(backend, before), QStringList{"GET glossary"});
}

}  // namespace
