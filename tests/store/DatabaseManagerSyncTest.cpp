#include "DatabaseManagerTest.h"

using namespace dbtest;
using SyncedRow = DatabaseManager::SyncedRow;

// Dirty rows, marks, clearing and counts.
class DatabaseSync : public StoreTest
{
protected:
    void SetUp() override
    {
        store = openStore();
        store->insertRecording(makeRecording("rec-1"));   // the slices' recording
    }
    std::unique_ptr<DatabaseManager> store;
};

namespace {

// The same bookkeeping on each of the three tables.
struct Table
{
    const char* name;
    std::function<void(DatabaseManager&, const QString& id)> insert;
    // A change through the table's update operation, stamped with `time`.
    std::function<void(DatabaseManager&, const QString& id, const QDateTime& time)> change;
    std::function<void(DatabaseManager&, const QString& id)> softDelete;
    // The dirty rows of "local" as a push reads and sends them.
    std::function<QList<SyncedRow>(DatabaseManager&)> dirty;
    std::function<void(DatabaseManager&, const QList<SyncedRow>&)> mark;
};

template <typename Record>
QList<SyncedRow> asPushed(const QList<Record>& records)
{
    QList<SyncedRow> rows;
    for (const Record& record : records)
        rows.append(SyncedRow::of(record));
    return rows;
}

QStringList idsOf(const QList<SyncedRow>& rows)
{
    QStringList ids;
    for (const SyncedRow& row : rows)
        ids.append(row.id);
    ids.sort();
    return ids;
}

const Table kTables[] = {
    {"recordings",
     [](DatabaseManager& db, const QString& id) { db.insertRecording(makeRecording(id)); },
     [](DatabaseManager& db, const QString& id, const QDateTime& time) {
         Recording r = *db.fetchRecording(id);
         r.rawText = "changed";
         r.updatedAt = time;
         db.updateRecording(r);
     },
     [](DatabaseManager& db, const QString& id) { db.softDeleteRecording(id); },
     [](DatabaseManager& db) { return asPushed(db.fetchDirtyRecordings("local")); },
     [](DatabaseManager& db, const QList<SyncedRow>& rows) { db.markRecordingsSynced(rows); }},
    {"slices",
     [](DatabaseManager& db, const QString& id) { db.insertSlice(makeSlice(id, "rec-1")); },
     [](DatabaseManager& db, const QString& id, const QDateTime& time) {
         Slice s = *db.fetchSlice(id);
         s.rawText = "changed";
         s.updatedAt = time;
         db.updateSlice(s);
     },
     [](DatabaseManager& db, const QString& id) {
         Slice s = *db.fetchSlice(id);
         s.deletedAt = s.updatedAt = QDateTime::currentDateTimeUtc();
         db.updateSlice(s);
     },
     [](DatabaseManager& db) { return asPushed(db.fetchDirtySlices("local")); },
     [](DatabaseManager& db, const QList<SyncedRow>& rows) { db.markSlicesSynced(rows); }},
    {"glossary",
     [](DatabaseManager& db, const QString& id) {
         db.insertGlossaryItem(makeGlossaryItem(id, "term"));
     },
     [](DatabaseManager& db, const QString& id, const QDateTime& time) {
         GlossaryItem g = *db.fetchGlossaryItem(id);
         g.content = "changed";
         g.updatedAt = time;
         db.updateGlossaryItem(g);
     },
     [](DatabaseManager& db, const QString& id) { db.softDeleteGlossaryItem(id); },
     [](DatabaseManager& db) { return asPushed(db.fetchDirtyGlossaryItems("local")); },
     [](DatabaseManager& db, const QList<SyncedRow>& rows) { db.markGlossaryItemsSynced(rows); }},
};

} // namespace

TEST_F(DatabaseSync, RowsAreDirtyUntilMarkedAndAgainAfterAStampedChange)
{
    RawDb raw(dbPath());
    for (const Table& table : kTables) {
        SCOPED_TRACE(table.name);
        table.insert(*store, "a-1");
        table.insert(*store, "a-2");
        const QList<SyncedRow> pushed = table.dirty(*store);
        EXPECT_TRUE(idsOf(pushed).contains("a-1") && idsOf(pushed).contains("a-2"));

        const QString before = TimeText::now();
        table.mark(*store, pushed);
        const QString after = TimeText::now();
        EXPECT_TRUE(table.dirty(*store).isEmpty());
        const QString stamp = raw.value(QString("SELECT last_synced_at FROM %1 WHERE id = 'a-1';")
                                            .arg(table.name));
        EXPECT_TRUE(before <= stamp && stamp <= after) << stamp.toStdString();

        // Writing back a value as read leaves the row clean...
        const QDateTime unchanged = *TimeText::parse(pushed.first().updatedAt);
        table.change(*store, pushed.first().id, unchanged);
        EXPECT_TRUE(table.dirty(*store).isEmpty());
        // ...a change stamped now makes it dirty, and so does a soft deletion.
        passOneMillisecond();
        table.change(*store, "a-1", QDateTime::currentDateTimeUtc());
        table.softDelete(*store, "a-2");
        EXPECT_EQ(idsOf(table.dirty(*store)), QStringList({"a-1", "a-2"}));
    }
}

TEST_F(DatabaseSync, ChangeMadeWhileThePushWasUnderWayStaysDirty)
{
    for (const Table& table : kTables) {
        SCOPED_TRACE(table.name);
        table.insert(*store, "b-1");
        table.insert(*store, "b-2");
        const QList<SyncedRow> pushed = table.dirty(*store);

        // The row changes while the push waits for the backend's answers.
        const QDateTime changedAt = QDateTime::currentDateTimeUtc();
        table.change(*store, "b-2", changedAt);
        table.mark(*store, pushed);

        const QList<SyncedRow> dirty = table.dirty(*store);
        ASSERT_EQ(idsOf(dirty), QStringList{"b-2"});
        EXPECT_EQ(dirty.first().updatedAt, TimeText::format(changedAt));
        table.mark(*store, dirty);   // the next push sends and marks it
        EXPECT_TRUE(table.dirty(*store).isEmpty());
    }
}

TEST_F(DatabaseSync, EmptyMarkRunsNoStatement)
{
    RawDb(dbPath()).exec("DROP TABLE slices; DROP TABLE glossary; DROP TABLE recordings;");
    for (const Table& table : kTables) {
        SCOPED_TRACE(table.name);
        EXPECT_EQ(printedBy([&] { table.mark(*store, {}); }), "");
        // A statement would have failed on the missing table and said so.
        EXPECT_TRUE(printedBy([&] { table.mark(*store, {{"x", TimeText::now()}}); })
                        .startsWith("[DatabaseManager] "));
    }
}

TEST_F(DatabaseSync, MarkingMoreRowsThanOneStatementTakesMarksThemAll)
{
    // As many rows as one statement may have parameters, so that the mark
    // cannot be a single statement.
    RawDb raw(dbPath());
    const int count = raw.parameterLimit();
    ASSERT_GT(count, 0);
    raw.exec(QString("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1)\n"
                     "INSERT INTO recordings (id, created_at, status, updated_at)\n"
                     "SELECT printf('bulk-%06d', i), '2025-03-04T05:06:07.000Z', 'recorded', "
                     "'2025-03-04T05:06:07.000Z' FROM n;")
                 .arg(count));
    QList<SyncedRow> pushed;
    pushed.reserve(count);
    for (int i = 1; i <= count; ++i)
        pushed.append({QString("bulk-%1").arg(i, 6, 10, QChar('0')), "2025-03-04T05:06:07.000Z"});

    EXPECT_EQ(printedBy([&] { store->markRecordingsSynced(pushed); }), "");
    EXPECT_EQ(raw.value("SELECT COUNT(*) FROM recordings WHERE last_synced_at IS NULL;"),
              "1");   // only the fixture's own recording
}

TEST_F(DatabaseSync, SlicesAreDirtyForTheOwnerOfTheirRecording)
{
    store->insertRecording(makeRecording("rec-acc", "ACC-1"));
    store->insertSlice(makeSlice("s-local", "rec-1"));
    store->insertSlice(makeSlice("s-acc", "rec-acc", 1, "local"));   // own owner says "local"
    store->insertSlice(makeSlice("s-orphan", "rec-missing"));
    RawDb(dbPath()).exec(
        "INSERT INTO slices (id, recording_id, slice_index, filename, status, last_synced_at) "
        "VALUES ('s-synced-once', 'rec-1', 2, 'f.m4a', 'pending', '2025-03-04T05:06:07.000Z');");

    EXPECT_EQ(idsOf(store->fetchDirtySlices("local")), QStringList{"s-local"});
    EXPECT_EQ(idsOf(store->fetchDirtySlices("ACC-1")), QStringList{"s-acc"});
}

TEST_F(DatabaseSync, DeleteUserDataRemovesOnlyAnAccountsOwnRows)
{
    store->insertSlice(makeSlice("s-local", "rec-1"));
    store->insertGlossaryItem(makeGlossaryItem("g-local", "mine"));
    store->insertRecording(makeRecording("rec-acc", "ACC-1"));
    store->insertSlice(makeSlice("s-acc", "rec-acc", 1, "ACC-1"));
    store->insertSlice(makeSlice("s-stray", "rec-acc", 2, "local"));
    store->insertGlossaryItem(makeGlossaryItem("g-acc", "theirs", "ACC-1"));
    store->insertRecording(makeRecording("rec-other", "ACC-2"));

    RawDb raw(dbPath());
    const QStringList everything = raw.snapshot();
    store->deleteUserData("local");
    EXPECT_EQ(raw.snapshot(), everything);

    store->deleteUserData("ACC-1");
    EXPECT_EQ(raw.rows("SELECT id FROM recordings ORDER BY id;"), QStringList({"rec-1", "rec-other"}));
    // Slices go by their own owner.
    EXPECT_EQ(raw.rows("SELECT id FROM slices ORDER BY id;"), QStringList({"s-local", "s-stray"}));
    EXPECT_EQ(raw.rows("SELECT id FROM glossary ORDER BY id;"), QStringList{"g-local"});
}

TEST_F(DatabaseSync, ClearAllSoftDeletesTheOwnersLiveRowsWithOneTime)
{
    Recording earlier = makeRecording("rec-gone");
    earlier.deletedAt = at(1);
    store->insertRecording(earlier);
    store->insertRecording(makeRecording("rec-acc", "ACC-1"));
    Slice earlierSlice = makeSlice("s-gone", "rec-1", 2);
    earlierSlice.deletedAt = at(1);
    for (const Slice& s : {makeSlice("s-live", "rec-1"), earlierSlice,
                           makeSlice("s-stray", "rec-acc", 1, "local"),
                           makeSlice("s-acc", "rec-acc", 2, "ACC-1")})
        store->insertSlice(s);

    store->softDeleteAllRecordings("local");

    RawDb raw(dbPath());
    const QString now = raw.value("SELECT deleted_at FROM recordings WHERE id = 'rec-1';");
    ASSERT_TRUE(TimeText::parse(now)) << now.toStdString();
    EXPECT_EQ(raw.rows("SELECT id, deleted_at = updated_at, deleted_at FROM recordings ORDER BY id;"),
              QStringList({"rec-1|1|" + now, "rec-acc|NULL|NULL",
                           "rec-gone|0|2025-03-04T05:06:01.000Z"}));
    EXPECT_EQ(raw.rows("SELECT id, deleted_at FROM slices ORDER BY id;"),
              QStringList({"s-acc|NULL", "s-gone|2025-03-04T05:06:01.000Z", "s-live|" + now,
                           "s-stray|" + now}));
    EXPECT_EQ(raw.value("SELECT updated_at FROM slices WHERE id = 's-gone';"),
              "2025-03-04T05:06:00.000Z");
}

TEST_F(DatabaseSync, UserStatsCountLiveRowsByTheirOwnOwner)
{
    struct R { const char* id; const char* owner; std::optional<double> duration; bool deleted; };
    for (const R& r : {R{"r-a", "local", 2.5, false}, R{"r-b", "local", 4.0, false},
                       R{"r-c", "local", std::nullopt, false}, R{"r-d", "local", 100.0, true},
                       R{"r-e", "ACC-1", std::nullopt, false}}) {
        Recording recording = makeRecording(r.id, r.owner);
        recording.duration = r.duration;
        if (r.deleted)
            recording.deletedAt = at(1);
        store->insertRecording(recording);
    }
    struct S { const char* id; const char* recording; SliceStatus status; bool deleted; };
    int index = 0;
    for (const S& s : {S{"s-1", "r-a", SliceStatus::completed, false},
                       S{"s-2", "r-a", SliceStatus::completed, false},
                       S{"s-3", "r-b", SliceStatus::failed, false},
                       S{"s-4", "r-b", SliceStatus::pending, false},
                       S{"s-5", "r-b", SliceStatus::completed, true},
                       S{"s-6", "r-e", SliceStatus::lost, false}}) {   // "local" slice of an account recording
        Slice slice = makeSlice(s.id, s.recording, ++index, "local");
        slice.status = s.status;
        if (s.deleted)
            slice.deletedAt = at(1);
        store->insertSlice(slice);
    }
    store->insertGlossaryItem(makeGlossaryItem("g-1", "one"));
    store->insertGlossaryItem(makeGlossaryItem("g-2", "two"));
    GlossaryItem deleted = makeGlossaryItem("g-3", "three");
    deleted.deletedAt = at(1);
    store->insertGlossaryItem(deleted);

    // rec-1 of the fixture is a live local recording without duration.
    using Stats = DatabaseManager::UserStats;
    EXPECT_EQ(store->fetchUserStats("local"), (Stats{4, 5, 2, 2, 1, 6.5}));
    EXPECT_EQ(store->fetchUserStats("ACC-1"), (Stats{1, 0, 0, 0, 0, 0.0}));
    EXPECT_EQ(store->fetchUserStats("NOBODY"), Stats{});
}
