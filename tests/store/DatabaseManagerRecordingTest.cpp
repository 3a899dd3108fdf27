#include "DatabaseManagerTest.h"

using namespace dbtest;

// Recording and slice queries on a real file.
class DatabaseRecordings : public StoreTest
{
protected:
    void SetUp() override { store = openStore(); }
    std::unique_ptr<DatabaseManager> store;
};

namespace {

Recording fullRecording()
{
    Recording r = makeRecording("rec-full", "USER-ABC", at(1, 123));
    r.duration = 12.375;
    r.status = RecordingStatus::transcribed;
    r.sliceCount = 3;
    r.rawText = "raw text, ünïcode ✓ and 'quotes'";
    r.cleanedText = "Cleaned text.";
    r.provider = "deepseek-chat";
    r.deviceId = "device-1";
    r.error = "an error";
    r.deletedAt = at(3, 7);
    r.updatedAt = at(2, 999);
    return r;
}

Slice fullSlice()
{
    Slice s = makeSlice("slice-full", "rec-full", 4, "USER-ABC");
    s.status = SliceStatus::failed;
    s.rawText = "recognised ✓";
    s.duration = 30.25;
    s.provider = "OpenAI Whisper";
    s.error = "Transcription failed after 3 attempts";
    s.deletedAt = at(5, 1);
    s.updatedAt = at(4, 2);
    return s;
}

} // namespace

TEST_F(DatabaseRecordings, RecordingsRoundTripEveryField)
{
    const Recording minimal = makeRecording("rec-min");
    for (const Recording& recording : {fullRecording(), minimal}) {
        store->insertRecording(recording);
        EXPECT_EQ(describe(store->fetchRecordingIncludingDeleted(recording.id)), describe(recording));
    }
    EXPECT_EQ(describe(store->fetchRecording("rec-min")), describe(minimal));
    const auto all = store->fetchAllRecordings(std::nullopt, true);
    ASSERT_EQ(all.size(), 2);
    EXPECT_EQ(describe(all[0]), describe(fullRecording()));   // the newer one first

    // The update writes every mutable field as given, owner and creation excepted.
    Recording changed = minimal;
    changed.userId = "SOMEONE-ELSE";
    changed.createdAt = at(40);
    changed.duration = 1.5;
    changed.status = RecordingStatus::failed;
    changed.sliceCount = 2;
    changed.rawText = "r";
    changed.cleanedText = "c";
    changed.provider = "p";
    changed.deviceId = "d";
    changed.error = "e";
    changed.deletedAt = at(9);
    changed.updatedAt = at(8);
    store->updateRecording(changed);
    Recording expected = changed;
    expected.userId = minimal.userId;
    expected.createdAt = minimal.createdAt;
    EXPECT_EQ(describe(store->fetchRecordingIncludingDeleted("rec-min")), describe(expected));

    // ...and clears optional fields again.
    store->updateRecording(minimal);
    EXPECT_EQ(describe(store->fetchRecording("rec-min")), describe(minimal));
}

TEST_F(DatabaseRecordings, SlicesRoundTripEveryField)
{
    Slice minimal = makeSlice("slice-min", "rec-full", 1);
    for (const Slice& slice : {fullSlice(), minimal}) {
        store->insertSlice(slice);   // no recording needed
        EXPECT_EQ(describe(store->fetchSlice(slice.id)), describe(slice));
    }

    // Owner, recording, index and file name stay as inserted.
    Slice changed = minimal;
    changed.userId = "OTHER";
    changed.recordingId = "rec-other";
    changed.sliceIndex = 9;
    changed.filename = "other.m4a";
    changed.status = SliceStatus::completed;
    changed.rawText = "text";
    changed.duration = 2.5;
    changed.provider = "DashScope";
    changed.error = "none really";
    changed.deletedAt = at(7);
    changed.updatedAt = at(6);
    store->updateSlice(changed);
    Slice expected = changed;
    expected.userId = minimal.userId;
    expected.recordingId = minimal.recordingId;
    expected.sliceIndex = minimal.sliceIndex;
    expected.filename = minimal.filename;
    EXPECT_EQ(describe(store->fetchSlice("slice-min")), describe(expected));

    store->updateSlice(minimal);
    EXPECT_EQ(describe(store->fetchSlice("slice-min")), describe(minimal));
}

TEST_F(DatabaseRecordings, LookUpsIgnoreLetterCaseWhileWritesMatchExactly)
{
    Recording recording = makeRecording("abc-1");
    store->insertRecording(recording);
    store->insertSlice(makeSlice("slice-1", "abc-1"));
    ASSERT_TRUE(store->fetchRecording("ABC-1"));
    EXPECT_EQ(store->fetchRecording("ABC-1")->id, "abc-1");
    EXPECT_EQ(store->fetchRecordingIncludingDeleted("Abc-1")->id, "abc-1");
    EXPECT_EQ(store->fetchSlice("SLICE-1")->id, "slice-1");
    EXPECT_TRUE(store->fetchSlices("ABC-1", true).isEmpty());

    Recording upper = recording;
    upper.id = "ABC-1";
    upper.rawText = "changed";
    store->updateRecording(upper);
    Slice upperSlice = makeSlice("SLICE-1", "abc-1");
    upperSlice.rawText = "changed";
    store->updateSlice(upperSlice);
    store->softDeleteRecording("ABC-1");

    EXPECT_EQ(describe(store->fetchRecording("abc-1")), describe(recording));
    EXPECT_EQ(describe(store->fetchSlice("slice-1")), describe(makeSlice("slice-1", "abc-1")));
}

TEST_F(DatabaseRecordings, DuplicateInsertFailsAndKeepsTheStoredRow)
{
    Recording first = makeRecording("rec-1");
    store->insertRecording(first);
    Recording twin = first;
    twin.rawText = "second";
    EXPECT_EQ(printedBy([&] { store->insertRecording(twin); }),
              "[DatabaseManager] Step error: UNIQUE constraint failed: recordings.id\n");
    EXPECT_EQ(describe(store->fetchRecording("rec-1")), describe(first));

    const Slice slice = makeSlice("slice-1", "rec-1");
    store->insertSlice(slice);
    Slice sliceTwin = slice;
    sliceTwin.rawText = "second";
    EXPECT_EQ(printedBy([&] { store->insertSlice(sliceTwin); }),
              "[DatabaseManager] Step error: UNIQUE constraint failed: slices.id\n");
    EXPECT_EQ(describe(store->fetchSlice("slice-1")), describe(slice));
}

TEST_F(DatabaseRecordings, ListingsFilterByOwnerDeletionAndStatus)
{
    struct Row { const char* id; const char* owner; int second; RecordingStatus status; bool deleted; };
    const Row rows[] = {
        {"r-1", "local", 1, RecordingStatus::recording, false},
        {"r-2", "local", 3, RecordingStatus::paused, false},
        {"r-3", "ACC-1", 2, RecordingStatus::recording, false},
        {"r-4", "local", 4, RecordingStatus::completed, false},
        {"r-5", "local", 5, RecordingStatus::recording, true},
    };
    for (const Row& row : rows) {
        Recording r = makeRecording(row.id, row.owner, at(row.second));
        r.status = row.status;
        if (row.deleted)
            r.deletedAt = at(row.second);
        store->insertRecording(r);
    }

    struct AllCase { std::optional<QString> owner; bool includingDeleted; QStringList ids; };
    const AllCase allCases[] = {
        {std::nullopt, false, {"r-4", "r-2", "r-3", "r-1"}},
        {std::nullopt, true, {"r-5", "r-4", "r-2", "r-3", "r-1"}},
        {"local", false, {"r-4", "r-2", "r-1"}},
        {"local", true, {"r-5", "r-4", "r-2", "r-1"}},
        {"ACC-1", false, {"r-3"}},
        {"NOBODY", true, {}},
    };
    for (const AllCase& c : allCases)
        EXPECT_EQ(idsOf(store->fetchAllRecordings(c.owner, c.includingDeleted)), c.ids)
            << c.owner.value_or("no owner").toStdString() << " " << c.includingDeleted;

    const QList<RecordingStatus> interrupted{RecordingStatus::recording, RecordingStatus::paused};
    struct StatusCase { QList<RecordingStatus> statuses; std::optional<QString> owner; QStringList ids; };
    const StatusCase statusCases[] = {
        {interrupted, std::nullopt, {"r-1", "r-2", "r-3"}},
        {interrupted, "local", {"r-1", "r-2"}},
        {{RecordingStatus::completed}, "ACC-1", {}},
        {{RecordingStatus::completed}, std::nullopt, {"r-4"}},
        {{}, std::nullopt, {}},
    };
    for (const StatusCase& c : statusCases) {
        QStringList ids = idsOf(store->fetchRecordingsWithStatus(c.statuses, c.owner));
        ids.sort();   // the database's order
        EXPECT_EQ(ids, c.ids) << c.owner.value_or("no owner").toStdString();
    }

    EXPECT_FALSE(store->fetchRecording("r-5"));
    EXPECT_TRUE(store->fetchRecordingIncludingDeleted("r-5"));
}

TEST_F(DatabaseRecordings, SlicesComeInSliceOrderWithoutDeletedOnes)
{
    Slice third = makeSlice("s-c", "rec-1", 3);
    Slice first = makeSlice("s-a", "rec-1", 1);
    Slice deleted = makeSlice("s-b", "rec-1", 2);
    deleted.deletedAt = at(1);
    for (const Slice& s : {third, first, deleted, makeSlice("s-other", "rec-2", 1)})
        store->insertSlice(s);

    EXPECT_EQ(idsOf(store->fetchSlices("rec-1", false)), QStringList({"s-a", "s-c"}));
    EXPECT_EQ(idsOf(store->fetchSlices("rec-1", true)), QStringList({"s-a", "s-b", "s-c"}));
    EXPECT_EQ(store->fetchSlice("s-b")->deletedAt, at(1));   // the look-up includes deleted ones
    EXPECT_TRUE(store->fetchSlices("rec-none", true).isEmpty());
}

// The start-up recovery's one read of every slice: the state of each slice
// of every recording that is not deleted, deleted slices included.
TEST_F(DatabaseRecordings, SliceStatesOfEveryLiveRecordingComeInOneListing)
{
    Recording deletedRecording = makeRecording("rec-c");
    deletedRecording.deletedAt = at(1);
    for (const Recording& r : {makeRecording("rec-b", "USER-X"), makeRecording("rec-a"), deletedRecording})
        store->insertRecording(r);
    Slice deleted = makeSlice("s-b2", "rec-b", 2, "USER-X");
    deleted.deletedAt = at(1);
    deleted.status = SliceStatus::failed;
    Slice transcribed = makeSlice("s-a1", "rec-a", 1);
    transcribed.rawText = "";
    transcribed.status = SliceStatus::completed;
    for (const Slice& s : {makeSlice("s-b3", "rec-b", 3, "USER-X"), transcribed, deleted,
                           makeSlice("s-c1", "rec-c", 1), makeSlice("s-orphan", "rec-none", 1),
                           makeSlice("s-case", "REC-A", 2)})
        store->insertSlice(s);

    QStringList states;
    for (const DatabaseManager::SliceState& s : store->fetchSliceStatesOfLiveRecordings())
        states << QStringList{s.id, s.recordingId, s.filename, toText(s.status), s.hasRawText ? "text" : "no text",
                              s.deleted ? "deleted" : "live"}
                      .join(" | ");
    states.sort();
    EXPECT_EQ(states, QStringList({"s-a1 | rec-a | rec-a_slice_1.m4a | completed | text | live",
                                   "s-b2 | rec-b | rec-b_slice_2.m4a | failed | no text | deleted",
                                   "s-b3 | rec-b | rec-b_slice_3.m4a | pending | no text | live"}));
}

TEST_F(DatabaseRecordings, AStatusWriteKeepsEveryOtherColumn)
{
    store->insertRecording(makeRecording("rec-1"));
    Slice slice = makeSlice("s-1", "rec-1");
    slice.status = SliceStatus::processing;
    slice.duration = 12.5;
    slice.error = "an error";
    slice.updatedAt = at(7, 250);
    store->insertSlice(slice);
    store->insertSlice(makeSlice("s-2", "rec-1", 2));

    store->updateSliceStatus("s-1", SliceStatus::lost);

    slice.status = SliceStatus::lost;
    EXPECT_EQ(describe(store->fetchSlice("s-1")), describe(slice));
    EXPECT_EQ(store->fetchSlice("s-2")->status, SliceStatus::pending);
}

TEST_F(DatabaseRecordings, WritesInATransactionAreCommittedTogether)
{
    RawDb other(dbPath());
    const bool committed = store->writeInTransaction([&] {
        store->insertRecording(makeRecording("rec-1"));
        store->insertSlice(makeSlice("s-1", "rec-1"));
        // Another connection does not see the rows before the commit.
        EXPECT_EQ(other.value("SELECT COUNT(*) FROM slices;"), "0");
    });
    EXPECT_TRUE(committed);
    EXPECT_EQ(other.value("SELECT COUNT(*) FROM recordings;"), "1");
    EXPECT_EQ(other.value("SELECT COUNT(*) FROM slices;"), "1");

    // Inside an open transaction there is no second one: the writes still
    // happen, each as the caller's transaction has it.
    bool nestedCommitted = true;
    const QString printed = printedBy([&] {
        store->writeInTransaction([&] {
            nestedCommitted = store->writeInTransaction([&] { store->insertSlice(makeSlice("s-2", "rec-1", 2)); });
        });
    });
    EXPECT_FALSE(nestedCommitted);
    EXPECT_TRUE(printed.startsWith("[DatabaseManager] Step error: cannot start a transaction within a transaction"))
        << printed.toStdString();
    EXPECT_EQ(other.value("SELECT COUNT(*) FROM slices;"), "2");
}

TEST_F(DatabaseRecordings, SoftDeletionStampsTheRecordingAndEverySliceOfItWithOneTime)
{
    store->insertRecording(makeRecording("rec-1"));
    store->insertRecording(makeRecording("rec-2"));
    Slice earlier = makeSlice("s-2", "rec-1", 2);
    earlier.deletedAt = at(1);
    earlier.updatedAt = at(1);
    for (const Slice& s : {makeSlice("s-1", "rec-1", 1), earlier, makeSlice("s-3", "rec-2", 1)})
        store->insertSlice(s);
    store->markRecordingsSynced({DatabaseManager::SyncedRow::of(makeRecording("rec-1"))});
    store->markSlicesSynced({DatabaseManager::SyncedRow::of(makeSlice("s-1", "rec-1", 1))});
    ASSERT_EQ(idsOf(store->fetchDirtyRecordings("local")), QStringList{"rec-2"});
    passOneMillisecond();

    const QDateTime before = QDateTime::currentDateTimeUtc();
    store->softDeleteRecording("rec-1");
    const QDateTime after = QDateTime::currentDateTimeUtc();

    const auto deleted = store->fetchRecordingIncludingDeleted("rec-1");
    ASSERT_TRUE(deleted && deleted->deletedAt);
    EXPECT_EQ(deleted->deletedAt, deleted->updatedAt);
    EXPECT_GE(deleted->updatedAt, before.addMSecs(-1));
    EXPECT_LE(deleted->updatedAt, after);
    for (const char* id : {"s-1", "s-2"}) {
        const auto slice = store->fetchSlice(id);
        EXPECT_EQ(slice->deletedAt, deleted->updatedAt) << id;
        EXPECT_EQ(slice->updatedAt, deleted->updatedAt) << id;
    }
    EXPECT_EQ(describe(store->fetchSlice("s-3")), describe(makeSlice("s-3", "rec-2", 1)));

    EXPECT_FALSE(store->fetchRecording("rec-1"));
    EXPECT_EQ(idsOf(store->fetchAllRecordings("local", false)), QStringList{"rec-2"});
    EXPECT_TRUE(store->fetchSlices("rec-1", false).isEmpty());
    QStringList dirty = idsOf(store->fetchDirtyRecordings("local"));
    dirty.sort();
    EXPECT_EQ(dirty, QStringList({"rec-1", "rec-2"}));
    QStringList dirtySlices = idsOf(store->fetchDirtySlices("local"));
    dirtySlices.sort();
    EXPECT_EQ(dirtySlices, QStringList({"s-1", "s-2", "s-3"}));
}

TEST_F(DatabaseRecordings, UnreadableRowsAreLeftOutOfEveryListingAndLookUp)
{
    store->insertRecording(makeRecording("rec-good"));
    store->insertSlice(makeSlice("slice-good-1", "rec-good", 1));
    store->insertSlice(makeSlice("slice-good-3", "rec-good", 3));
    RawDb raw(dbPath());
    const char* const badRecordings[] = {
        "status = 'Completed'",                       // status text in another case
        "status = 'done'",
        "status = X'636f6d706c65746564'",             // "completed" as a blob
        "created_at = 'yesterday'",
        "updated_at = '2025-03-04 05:06:07.000Z'",    // not the time form
        "created_at = '2025-03-04T05:06:07.000'",     // no zone
    };
    for (const char* change : badRecordings) {
        SCOPED_TRACE(change);
        raw.exec("INSERT INTO recordings (id, created_at, status, updated_at) VALUES "
                 "('rec-bad', '2025-03-04T05:06:00.000Z', 'recording', '2025-03-04T05:06:00.000Z');");
        raw.exec(QString("UPDATE recordings SET %1 WHERE id = 'rec-bad';").arg(change));
        EXPECT_EQ(idsOf(store->fetchAllRecordings(std::nullopt, true)), QStringList{"rec-good"});
        EXPECT_FALSE(store->fetchRecording("rec-bad"));
        EXPECT_FALSE(store->fetchRecordingIncludingDeleted("rec-bad"));
        EXPECT_EQ(idsOf(store->fetchRecordingsWithStatus(
                      {RecordingStatus::recording, RecordingStatus::completed}, std::nullopt)),
                  QStringList{});
        EXPECT_EQ(idsOf(store->fetchDirtyRecordings("local")), QStringList{"rec-good"});
        raw.exec("DELETE FROM recordings WHERE id = 'rec-bad';");
    }

    const char* const badSlices[] = {
        "slice_index = 'two'",
        "slice_index = 2.5",
        "status = 'Pending'",
        "filename = X'00'",
        "recording_id = X'00'",
    };
    for (const char* change : badSlices) {
        SCOPED_TRACE(change);
        raw.exec("INSERT INTO slices (id, recording_id, slice_index, filename, status, updated_at) "
                 "VALUES ('slice-bad', 'rec-good', 2, 'f.m4a', 'pending', '2025-03-04T05:06:00.000Z');");
        raw.exec(QString("UPDATE slices SET %1 WHERE id = 'slice-bad';").arg(change));
        EXPECT_EQ(idsOf(store->fetchSlices("rec-good", true)),
                  QStringList({"slice-good-1", "slice-good-3"}));
        EXPECT_FALSE(store->fetchSlice("slice-bad"));
        EXPECT_EQ(idsOf(store->fetchDirtySlices("local")), QStringList({"slice-good-1", "slice-good-3"}));
        raw.exec("DELETE FROM slices WHERE id = 'slice-bad';");
    }
}

TEST_F(DatabaseRecordings, OptionalValuesOfAnotherKindReadAsAbsent)
{
    store->insertRecording(fullRecording());
    store->insertSlice(fullSlice());
    RawDb raw(dbPath());
    raw.exec("UPDATE recordings SET user_id = X'01', duration = 'long', slice_count = 'many', "
             "raw_text = X'02', deleted_at = 'some day' WHERE id = 'rec-full';");
    raw.exec("UPDATE slices SET user_id = X'01', duration = 'long', raw_text = X'02', "
             "updated_at = 'later', deleted_at = 'some day' WHERE id = 'slice-full';");

    Recording recording = fullRecording();
    recording.userId = "local";
    recording.duration.reset();
    recording.sliceCount = 0;
    recording.rawText.reset();
    recording.deletedAt.reset();
    EXPECT_EQ(describe(store->fetchRecordingIncludingDeleted("rec-full")), describe(recording));

    const QDateTime before = QDateTime::currentDateTimeUtc();
    const auto slice = store->fetchSlice("slice-full");
    ASSERT_TRUE(slice);
    EXPECT_GE(slice->updatedAt, before);   // an unreadable update time reads as now
    Slice expected = fullSlice();
    expected.userId = "local";
    expected.duration.reset();
    expected.rawText.reset();
    expected.deletedAt.reset();
    expected.updatedAt = slice->updatedAt;
    EXPECT_EQ(describe(slice), describe(expected));
}
