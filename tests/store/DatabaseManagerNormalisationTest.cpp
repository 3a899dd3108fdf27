#include "DatabaseManagerTest.h"

using namespace dbtest;

// The start-up normalisation of ids (case twins, lower-casing) and of slice
// owners, seen through a restart of the store on a planted file.
class DatabaseNormalisation : public StoreTest {};

namespace {

// One row of `table` with the given id, update time (NULL when empty) and a
// marker text in its text column, so that the surviving row can be told.
struct TableShape
{
    const char* table;
    const char* markerColumn;
    QString insert(const QString& id, const QString& updatedAt, const QString& marker) const
    {
        const QString updated = updatedAt.isEmpty() ? "NULL" : "'" + updatedAt + "'";
        if (table == std::string("recordings"))
            return QString("INSERT INTO recordings (id, created_at, status, raw_text, updated_at) "
                           "VALUES ('%1', '2025-03-04T05:06:00.000Z', 'recorded', '%3', %2);")
                .arg(id, updated, marker);
        if (table == std::string("slices"))
            return QString("INSERT INTO slices (id, recording_id, slice_index, filename, status, "
                           "raw_text, updated_at) VALUES ('%1', 'rec-x', 1, 'f.m4a', 'completed', "
                           "'%3', %2);")
                .arg(id, updated, marker);
        return QString("INSERT INTO glossary (id, content, created_at, updated_at) VALUES "
                       "('%1', '%3', '2025-03-04T05:06:00.000Z', %2);")
            .arg(id, updated, marker);
    }
    QStringList idsAndMarkers(RawDb& raw) const
    {
        return raw.rows(QString("SELECT id, %1 FROM %2 ORDER BY id;").arg(markerColumn, table));
    }
};

const TableShape kTables[] = {
    {"recordings", "raw_text"},
    {"slices", "raw_text"},
    {"glossary", "content"},
};

} // namespace

TEST_F(DatabaseNormalisation, UpperCaseTwinOfALowerCaseIdIsRemovedInEveryTable)
{
    auto store = openStore();
    for (const TableShape& shape : kTables) {
        SCOPED_TRACE(shape.table);
        const QString printed = restartWith(store, [&](RawDb& raw) {
            raw.exec(shape.insert("abc-1", "2025-03-04T05:06:01.000Z", "lower"));
            // Newer, yet the lower-case row is the one kept.
            raw.exec(shape.insert("ABC-1", "2025-03-04T05:06:09.000Z", "upper"));
            raw.exec(shape.insert("Def-2", "2025-03-04T05:06:01.000Z", "sole"));
        });
        EXPECT_EQ(printed, "");
        RawDb raw(dbPath());
        EXPECT_EQ(shape.idsAndMarkers(raw), QStringList({"abc-1|lower", "def-2|sole"}));
        raw.exec(QString("DELETE FROM %1;").arg(shape.table));   // clean for the next table
    }
}

TEST_F(DatabaseNormalisation, SoleUpperCaseRecordingIsLowerCasedAndItsSlicesFollow)
{
    auto store = openStore();
    Recording recording = makeRecording("ABC-1");
    recording.rawText = "kept";
    store->insertRecording(recording);
    store->insertSlice(makeSlice("S-1", "ABC-1", 1));
    store->insertSlice(makeSlice("s-2", "abc-1", 2));

    EXPECT_EQ(restartWith(store), "");

    const auto all = store->fetchAllRecordings(std::nullopt, false);
    ASSERT_EQ(idsOf(all), QStringList{"abc-1"});
    EXPECT_EQ(all.first().rawText, "kept");
    const auto slices = store->fetchSlices("abc-1", false);
    EXPECT_EQ(idsOf(slices), QStringList({"s-1", "s-2"}));
    for (const Slice& slice : slices)
        EXPECT_EQ(slice.recordingId, "abc-1");
}

TEST_F(DatabaseNormalisation, TwinsWithoutALowerCaseIdCollapseSoThatNoSliceIsOrphaned)
{
    auto store = openStore();
    Recording older = makeRecording("ABC-1");
    older.rawText = "older";
    older.updatedAt = at(1);
    Recording newer = makeRecording("AbC-1");
    newer.rawText = "newer";
    newer.updatedAt = at(2);
    store->insertRecording(older);
    store->insertRecording(newer);
    store->insertSlice(makeSlice("slice-1", "ABC-1", 1));
    store->insertSlice(makeSlice("slice-2", "AbC-1", 2));
    GlossaryItem first = makeGlossaryItem("G-A", "first");
    GlossaryItem second = makeGlossaryItem("g-A", "second");
    second.updatedAt = at(5);
    store->insertGlossaryItem(first);
    store->insertGlossaryItem(second);

    // Without the collapse the lower-casing fails on the primary key, both
    // recordings keep their ids and the lower-cased slices name neither.
    EXPECT_EQ(restartWith(store), "");

    const auto all = store->fetchAllRecordings(std::nullopt, false);
    ASSERT_EQ(idsOf(all), QStringList{"abc-1"});
    EXPECT_EQ(all.first().rawText, "newer");
    EXPECT_EQ(idsOf(store->fetchSlices(all.first().id, false)), QStringList({"slice-1", "slice-2"}));
    const auto glossary = store->fetchAllGlossaryItems(std::nullopt, false);
    ASSERT_EQ(idsOf(glossary), QStringList{"g-a"});
    EXPECT_EQ(glossary.first().content, "second");
}

TEST_F(DatabaseNormalisation, CollapsedTwinKeepsTheNewestRowWithADeterministicTieBreak)
{
    // Slices may lack an update time: such a row counts as the oldest. On
    // equal times the smallest id in binary order ("S" before "s") stays.
    struct Twin { const char* id; const char* updatedAt; const char* marker; };
    struct Case { const char* name; std::vector<Twin> twins; const char* survivor; };
    const Case cases[] = {
        {"missing time loses", {{"S-X", "", "a"}, {"s-X", "2025-03-04T05:06:01.000Z", "b"}}, "b"},
        {"both missing: smaller id", {{"s-X", "", "b"}, {"S-X", "", "a"}}, "a"},
        {"equal times: smaller id",
         {{"s-X", "2025-03-04T05:06:01.000Z", "b"}, {"S-X", "2025-03-04T05:06:01.000Z", "a"}}, "a"},
        {"newer wins over smaller id",
         {{"S-X", "2025-03-04T05:06:01.000Z", "a"}, {"s-X", "2025-03-04T05:06:02.000Z", "b"}}, "b"},
        {"three twins",
         {{"S-X", "2025-03-04T05:06:01.000Z", "a"}, {"s-X", "2025-03-04T05:06:03.000Z", "b"},
          {"S-x", "2025-03-04T05:06:02.000Z", "c"}}, "b"},
    };
    const TableShape& slices = kTables[1];
    auto store = openStore();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString printed = restartWith(store, [&](RawDb& raw) {
            raw.exec("DELETE FROM slices;");
            for (const Twin& twin : c.twins)
                raw.exec(slices.insert(twin.id, twin.updatedAt, twin.marker));
        });
        EXPECT_EQ(printed, "");
        RawDb raw(dbPath());
        EXPECT_EQ(slices.idsAndMarkers(raw), QStringList{QString("s-x|") + c.survivor});
    }
}

TEST_F(DatabaseNormalisation, LocalSlicesTakeTheOwnerOfTheirAccountRecording)
{
    auto store = openStore();
    store->insertRecording(makeRecording("rec-acc", "ACC-1"));
    store->insertRecording(makeRecording("rec-local", "local"));
    struct Case { const char* slice; const char* recording; const char* owner; const char* after; };
    const Case cases[] = {
        {"s-1", "rec-acc", "local", "ACC-1"},     // aligned
        {"s-2", "rec-local", "local", "local"},   // a local recording's slice
        {"s-3", "rec-gone", "local", "local"},    // its recording is missing
        {"s-4", "rec-acc", "ACC-2", "ACC-2"},     // only "local" slices are aligned
        {"s-5", "REC-ACC", "local", "ACC-1"},     // after its recording id is lower-cased
    };
    for (const Case& c : cases)
        store->insertSlice(makeSlice(c.slice, c.recording, 1, c.owner));

    EXPECT_EQ(restartWith(store), "");

    for (const Case& c : cases) {
        const auto slice = store->fetchSlice(c.slice);
        ASSERT_TRUE(slice) << c.slice;
        EXPECT_EQ(slice->userId, c.after) << c.slice;
    }
}
