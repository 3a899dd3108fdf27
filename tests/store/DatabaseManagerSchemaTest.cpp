#include <QFile>
#include <QRegularExpression>

#include "DatabaseManagerTest.h"
#include "support/ScopedUmask.h"

using namespace dbtest;

namespace {

// What SQLite stores for the schema once the column additions have run: it
// drops "IF NOT EXISTS" and the final ";", and each ADD COLUMN splices
// ", <column> <type>" in front of the table constraints, or in front of the
// closing parenthesis when there are none.
const QStringList kExpectedSchema = {
    "table|glossary|glossary|CREATE TABLE glossary (\n"
    "    id              TEXT PRIMARY KEY,\n"
    "    user_id         TEXT NOT NULL DEFAULT 'local',\n"
    "    content         TEXT NOT NULL,\n"
    "    deleted_at      TEXT,\n"
    "    created_at      TEXT NOT NULL,\n"
    "    updated_at      TEXT NOT NULL\n"
    ", last_synced_at TEXT)",
    "index|idx_glossary_user|glossary|CREATE INDEX idx_glossary_user ON glossary(user_id)",
    "index|idx_recordings_status|recordings|CREATE INDEX idx_recordings_status ON recordings(status)",
    "index|idx_recordings_user_created|recordings|"
    "CREATE INDEX idx_recordings_user_created ON recordings(user_id, created_at)",
    "index|idx_slices_recording|slices|CREATE INDEX idx_slices_recording ON slices(recording_id)",
    "table|recordings|recordings|CREATE TABLE recordings (\n"
    "    id              TEXT PRIMARY KEY,\n"
    "    user_id         TEXT NOT NULL DEFAULT 'local',\n"
    "    created_at      TEXT NOT NULL,\n"
    "    duration        REAL,\n"
    "    status          TEXT NOT NULL,\n"
    "    slice_count     INTEGER DEFAULT 0,\n"
    "    raw_text        TEXT,\n"
    "    cleaned_text    TEXT,\n"
    "    provider        TEXT,\n"
    "    error           TEXT,\n"
    "    deleted_at      TEXT,\n"
    "    updated_at      TEXT NOT NULL\n"
    ", last_synced_at TEXT, device_id TEXT)",
    "table|slices|slices|CREATE TABLE slices (\n"
    "    id              TEXT PRIMARY KEY,\n"
    "    user_id         TEXT NOT NULL DEFAULT 'local',\n"
    "    recording_id    TEXT NOT NULL,\n"
    "    slice_index     INTEGER NOT NULL,\n"
    "    filename        TEXT NOT NULL,\n"
    "    status          TEXT NOT NULL,\n"
    "    raw_text        TEXT,\n"
    "    duration        REAL,\n"
    "    error           TEXT,\n"
    "    deleted_at      TEXT, updated_at TEXT, last_synced_at TEXT, provider TEXT,\n"
    "    FOREIGN KEY (recording_id) REFERENCES recordings(id)\n"
    ")",
    "index|sqlite_autoindex_glossary_1|glossary|NULL",
    "index|sqlite_autoindex_recordings_1|recordings|NULL",
    "index|sqlite_autoindex_slices_1|slices|NULL",
};

// The tables as they were before the synced columns existed.
const char* const kOldSchema = R"sql(
CREATE TABLE recordings (
    id              TEXT PRIMARY KEY,
    user_id         TEXT NOT NULL DEFAULT 'local',
    created_at      TEXT NOT NULL,
    duration        REAL,
    status          TEXT NOT NULL,
    slice_count     INTEGER DEFAULT 0,
    raw_text        TEXT,
    cleaned_text    TEXT,
    provider        TEXT,
    error           TEXT,
    deleted_at      TEXT,
    updated_at      TEXT NOT NULL
);
CREATE TABLE slices (
    id              TEXT PRIMARY KEY,
    user_id         TEXT NOT NULL DEFAULT 'local',
    recording_id    TEXT NOT NULL,
    slice_index     INTEGER NOT NULL,
    filename        TEXT NOT NULL,
    status          TEXT NOT NULL,
    raw_text        TEXT,
    duration        REAL,
    error           TEXT,
    deleted_at      TEXT,
    FOREIGN KEY (recording_id) REFERENCES recordings(id)
);
CREATE TABLE glossary (
    id              TEXT PRIMARY KEY,
    user_id         TEXT NOT NULL DEFAULT 'local',
    content         TEXT NOT NULL,
    deleted_at      TEXT,
    created_at      TEXT NOT NULL,
    updated_at      TEXT NOT NULL
);
)sql";

} // namespace

class DatabaseSchema : public StoreTest {};

TEST_F(DatabaseSchema, FreshFolderGetsTheWholeSchemaInWalModeSilently)
{
    std::unique_ptr<DatabaseManager> store;
    EXPECT_EQ(printedBy([&] { store = openStore(); }), "");
    ASSERT_TRUE(QFile::exists(dbPath()));

    RawDb raw(dbPath());
    EXPECT_EQ(raw.rows("SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name;"),
              kExpectedSchema);
    EXPECT_EQ(raw.value("PRAGMA journal_mode;"), "wal");
    // Foreign keys stay unenforced: a slice may name a missing recording.
    EXPECT_EQ(raw.value("PRAGMA foreign_keys;"), "0");
}

// The database and its write-ahead files hold every transcript.
TEST_F(DatabaseSchema, DatabaseAndItsWalFilesAreTheUsersAlone)
{
    const ScopedUmask usual(022);
    const auto store = openStore();
    RawDb raw(dbPath());   // a second connection: the -shm file is in use
    ASSERT_EQ(raw.value("PRAGMA journal_mode;"), "wal");
    for (const char* suffix : {"", "-wal", "-shm"})
        EXPECT_EQ(permissionBits(dbPath() + suffix), 0600) << suffix;
}

TEST_F(DatabaseSchema, SecondStartPrintsOneLinePerColumnAdditionAndChangesNothing)
{
    auto store = openStore();
    Recording recording = makeRecording("rec-1");
    recording.duration = 3.5;
    store->insertRecording(recording);
    store->insertSlice(makeSlice("slice-1", "rec-1"));
    store->insertGlossaryItem(makeGlossaryItem("gloss-1", "Talvex"));
    store->markRecordingsSynced({DatabaseManager::SyncedRow::of(recording)});
    store->softDeleteGlossaryItem("gloss-1");
    store.reset();

    const QStringList before = RawDb(dbPath()).snapshot();
    const QString printed = printedBy([&] { store = openStore(); });

    const QString expected =
        "[DatabaseManager] Prepare error: duplicate column name: updated_at | SQL: ALTER TABLE slices ADD COLUMN updated_at TEXT;\n"
        "[DatabaseManager] Prepare error: duplicate column name: last_synced_at | SQL: ALTER TABLE recordings ADD COLUMN last_synced_at TEXT;\n"
        "[DatabaseManager] Prepare error: duplicate column name: last_synced_at | SQL: ALTER TABLE slices ADD COLUMN last_synced_at TEXT;\n"
        "[DatabaseManager] Prepare error: duplicate column name: last_synced_at | SQL: ALTER TABLE glossary ADD COLUMN last_synced_at TEXT;\n"
        "[DatabaseManager] Prepare error: duplicate column name: provider | SQL: ALTER TABLE slices ADD COLUMN provider TEXT;\n"
        "[DatabaseManager] Prepare error: duplicate column name: device_id | SQL: ALTER TABLE recordings ADD COLUMN device_id TEXT;\n";
    EXPECT_EQ(printed, expected);
    EXPECT_EQ(printed, secondStartLines());
    EXPECT_EQ(RawDb(dbPath()).snapshot(), before);
    EXPECT_EQ(before.size(), kExpectedSchema.size() + 3);
    EXPECT_EQ(describe(store->fetchRecording("rec-1")), describe(recording));
}

TEST_F(DatabaseSchema, OldFileGainsTheMissingColumnsAndKeepsItsRows)
{
    {
        RawDb raw(dbPath());
        raw.exec(kOldSchema);
        raw.exec("INSERT INTO recordings (id, user_id, created_at, status, updated_at) VALUES "
                 "('rec-1', 'local', '2025-03-04T05:06:01.000Z', 'completed', "
                 "'2025-03-04T05:06:02.000Z');");
        raw.exec("INSERT INTO slices (id, recording_id, slice_index, filename, status, raw_text) "
                 "VALUES ('slice-1', 'rec-1', 1, 'rec-1_slice_1.m4a', 'completed', 'hello');");
        raw.exec("INSERT INTO glossary (id, content, created_at, updated_at) VALUES "
                 "('gloss-1', 'Talvex', '2025-03-04T05:06:01.000Z', '2025-03-04T05:06:01.000Z');");
    }
    std::unique_ptr<DatabaseManager> store;
    EXPECT_EQ(printedBy([&] { store = openStore(); }), "");

    // The added columns land where a fresh file has them, so both schemas read the same.
    EXPECT_EQ(RawDb(dbPath()).rows("SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name;"),
              kExpectedSchema);

    const auto recording = store->fetchRecording("rec-1");
    ASSERT_TRUE(recording);
    EXPECT_EQ(recording->deviceId, std::nullopt);
    EXPECT_EQ(recording->status, RecordingStatus::completed);
    EXPECT_TRUE(store->fetchGlossaryItem("gloss-1"));
    EXPECT_EQ(store->fetchDirtyRecordings("local").size(), 1);
    EXPECT_EQ(store->fetchDirtyGlossaryItems("local").size(), 1);
}

TEST_F(DatabaseSchema, SliceWithoutUpdateTimeReadsAsChangedNowAndCanBeMarkedSynced)
{
    auto store = openStore();
    store->insertRecording(makeRecording("rec-1"));
    restartWith(store, [](RawDb& raw) {
        raw.exec("INSERT INTO slices (id, recording_id, slice_index, filename, status) "
                 "VALUES ('slice-1', 'rec-1', 1, 'rec-1_slice_1.m4a', 'pending');");
    });

    const QDateTime before = QDateTime::currentDateTimeUtc();
    const auto slice = store->fetchSlice("slice-1");
    const QDateTime after = QDateTime::currentDateTimeUtc();
    ASSERT_TRUE(slice);
    EXPECT_GE(slice->updatedAt, before);
    EXPECT_LE(slice->updatedAt, after);

    // Such a slice is pushed with the time it was read at; marking it must
    // still take, or it would be pushed again at every sync.
    const QList<Slice> dirty = store->fetchDirtySlices("local");
    ASSERT_EQ(idsOf(dirty), QStringList{"slice-1"});
    store->markSlicesSynced({DatabaseManager::SyncedRow::of(dirty.first())});
    EXPECT_TRUE(store->fetchDirtySlices("local").isEmpty());
}

TEST_F(DatabaseSchema, UnopenableFileIsReportedAndEveryLaterStatementFailsQuietly)
{
    const QString missing = folder() + "/no/such/folder";
    std::unique_ptr<DatabaseManager> store;
    const QString printed = printedBy([&] {
        store = std::make_unique<DatabaseManager>(missing);
    });
    const QStringList lines = printed.split('\n');
    EXPECT_EQ(lines.value(0), "[DatabaseManager] Failed to open database at " + missing + "/talvex.db");
    EXPECT_TRUE(lines.value(1).startsWith("[DatabaseManager] Prepare error: ")) << lines.value(1).toStdString();
    EXPECT_TRUE(lines.value(1).endsWith(" | SQL: PRAGMA journal_mode=WAL;")) << lines.value(1).toStdString();
    // Every start-up statement fails to compile and says so: the pragma, 7
    // creations, 6 column additions, 3 per table plus 1 for the ids, the owners.
    EXPECT_EQ(printed.count("[DatabaseManager] Prepare error: "), 1 + 7 + 6 + 10 + 1)
        << printed.toStdString();

    const QString later = printedBy([&] {
        store->insertRecording(makeRecording("rec-1"));
        EXPECT_TRUE(store->fetchAllRecordings(std::nullopt, false).isEmpty());
        EXPECT_FALSE(store->fetchRecording("rec-1"));
        EXPECT_EQ(store->fetchUserStats("local"), DatabaseManager::UserStats{});
    });
    EXPECT_TRUE(later.startsWith("[DatabaseManager] Prepare error: ")) << later.toStdString();
    EXPECT_TRUE(later.contains("[DatabaseManager] Query prepare error: ")) << later.toStdString();
    EXPECT_FALSE(QFile::exists(missing));
}

TEST_F(DatabaseSchema, FailedStatementsPrintTheirLine)
{
    struct Case
    {
        const char* name;
        const char* planted;   // raw SQL run while the store is open
        std::function<void(DatabaseManager&)> action;
        QString expected;
    };
    const Case cases[] = {
        {"constraint failure is a step error", "",
         [](DatabaseManager& store) {
             Recording twin = makeRecording("rec-1");
             twin.rawText = "second";
             store.insertRecording(twin);
         },
         "[DatabaseManager] Step error: UNIQUE constraint failed: recordings.id\n"},
        // A statement the store has not compiled before the change.
        {"prepare error cuts the statement at 100 characters",
         "ALTER TABLE recordings DROP COLUMN device_id;",
         [](DatabaseManager& store) { store.updateRecording(makeRecording("rec-1")); },
         "[DatabaseManager] Prepare error: no such column: device_id | SQL: "
         "UPDATE recordings SET\n    duration = ?, status = ?, slice_count = ?, raw_text = ?, "
         "cleaned_text = ?,\n"},
        {"query prepare error carries no statement", "DROP TABLE glossary;",
         [](DatabaseManager& store) {
             EXPECT_TRUE(store.fetchAllGlossaryItems(std::nullopt, false).isEmpty());
         },
         "[DatabaseManager] Query prepare error: no such table: glossary\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        DatabaseManager store(dir.path());
        store.insertRecording(makeRecording("rec-1"));
        if (*c.planted) {
            RawDb(dir.path() + "/talvex.db").exec(c.planted);
            // A connection compiles against the schema it knows and finds the
            // change at its next step; this read lets it learn the new one.
            store.fetchRecording("rec-1");
        }
        EXPECT_EQ(printedBy([&] { c.action(store); }), c.expected);
        // A failed statement leaves the stored row as it was.
        const auto kept = store.fetchRecording("rec-1");
        ASSERT_TRUE(kept);
        EXPECT_EQ(kept->rawText, std::nullopt);
    }
}

TEST_F(DatabaseSchema, ReadThatBreaksOffIsReportedAndReturnsNothing)
{
    auto store = openStore();
    store.reset();
    {
        // Enough long rows to fill many pages; the last one is then damaged.
        RawDb raw(dbPath());
        raw.exec("BEGIN;");
        for (int i = 0; i < 60; ++i)
            raw.exec(QString("INSERT INTO recordings (id, created_at, status, raw_text, updated_at) "
                             "VALUES ('rec-%1', '2025-03-04T05:06:07.000Z', 'recorded', '%2', "
                             "'2025-03-04T05:06:07.000Z');")
                         .arg(i, 3, 10, QChar('0'))
                         .arg(QString("marker-%1 ").arg(i, 3, 10, QChar('0')).repeated(80)));
        raw.exec("COMMIT;");
    }   // the last connection to close writes everything into the main file
    QFile file(dbPath());
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const QByteArray bytes = file.readAll();
    const qsizetype offset = bytes.lastIndexOf("marker-059");
    ASSERT_GT(offset, 4096);
    file.seek(offset / 4096 * 4096);   // the page's b-tree type byte
    file.write(QByteArray(1, '\0'));
    file.close();

    printedBy([&] { store = openStore(); });   // its start-up statements meet the damage too
    QList<Recording> read;
    const QString printed = printedBy([&] { read = store->fetchDirtyRecordings("local"); });
    EXPECT_EQ(printed, "[DatabaseManager] Step error: database disk image is malformed\n");
    EXPECT_TRUE(read.isEmpty()) << read.size() << " rows of a read that broke off";
}
