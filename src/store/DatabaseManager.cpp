#include "store/DatabaseManager.h"

#include <QStringList>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sqlite3.h>
#include <string>
#include <vector>

#include "platform/Graphemes.h"
#include "platform/PrivateFiles.h"
#include "store/TimeText.h"

namespace {

const QString kLocalUser = QStringLiteral("local");

// Failures go to standard output, flushed at once so that nothing is lost or
// reordered when the process stops or its output is captured.
void printLine(const QString& line)
{
    const QByteArray bytes = (line + QLatin1Char('\n')).toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

QString lastError(sqlite3* db) { return QString::fromUtf8(sqlite3_errmsg(db)); }

QString columnText(sqlite3_stmt* statement, int column)
{
    return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, column)),
                             sqlite3_column_bytes(statement, column));
}

QString placeholders(qsizetype count, const QString& one = QStringLiteral("?"))
{
    return QStringList(count, one).join(QStringLiteral(", "));
}

// The listing shape shared by recordings and glossary: one owner or all,
// deleted rows left out unless asked for.
QString listingSql(const QString& table, bool forOneOwner, bool includingDeleted,
                   const QString& order)
{
    QString sql = forOneOwner ? QStringLiteral("SELECT * FROM %1 WHERE user_id = ? ").arg(table)
                              : QStringLiteral("SELECT * FROM %1 WHERE 1=1 ").arg(table);
    if (!includingDeleted)
        sql += QStringLiteral("AND deleted_at IS NULL ");
    return sql + QStringLiteral("ORDER BY ") + order + QLatin1Char(';');
}

const char* const kCreateStatements[] = {
    R"sql(CREATE TABLE IF NOT EXISTS recordings (
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
);)sql",
    "CREATE INDEX IF NOT EXISTS idx_recordings_user_created ON recordings(user_id, created_at);",
    "CREATE INDEX IF NOT EXISTS idx_recordings_status ON recordings(status);",
    R"sql(CREATE TABLE IF NOT EXISTS slices (
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
);)sql",
    "CREATE INDEX IF NOT EXISTS idx_slices_recording ON slices(recording_id);",
    R"sql(CREATE TABLE IF NOT EXISTS glossary (
    id              TEXT PRIMARY KEY,
    user_id         TEXT NOT NULL DEFAULT 'local',
    content         TEXT NOT NULL,
    deleted_at      TEXT,
    created_at      TEXT NOT NULL,
    updated_at      TEXT NOT NULL
);)sql",
    "CREATE INDEX IF NOT EXISTS idx_glossary_user ON glossary(user_id);",
};

// Attempted at every start; on a file that has the column already each fails
// to compile with a duplicate-column message, which is expected.
const char* const kColumnAdditions[] = {
    "ALTER TABLE slices ADD COLUMN updated_at TEXT;",
    "ALTER TABLE recordings ADD COLUMN last_synced_at TEXT;",
    "ALTER TABLE slices ADD COLUMN last_synced_at TEXT;",
    "ALTER TABLE glossary ADD COLUMN last_synced_at TEXT;",
    "ALTER TABLE slices ADD COLUMN provider TEXT;",
    "ALTER TABLE recordings ADD COLUMN device_id TEXT;",
};

const char* const kAlignSliceOwners =
    "UPDATE slices SET user_id = (SELECT r.user_id FROM recordings r WHERE r.id = "
    "slices.recording_id) WHERE user_id = 'local' AND recording_id IN (SELECT id FROM "
    "recordings WHERE user_id != 'local');";

const char* const kInsertRecording =
    "INSERT INTO recordings (id, user_id, created_at, duration, status, slice_count, raw_text, "
    "cleaned_text, provider, device_id, error, deleted_at, updated_at)\n"
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);";
const char* const kUpdateRecording =
    "UPDATE recordings SET\n"
    "    duration = ?, status = ?, slice_count = ?, raw_text = ?, cleaned_text = ?,\n"
    "    provider = ?, device_id = ?, error = ?, deleted_at = ?, updated_at = ?\n"
    "WHERE id = ?;";
const char* const kInsertSlice =
    "INSERT INTO slices (id, user_id, recording_id, slice_index, filename, status, raw_text, "
    "duration, provider, error, deleted_at, updated_at)\n"
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);";
const char* const kUpdateSlice =
    "UPDATE slices SET status = ?, raw_text = ?, duration = ?, provider = ?, error = ?, "
    "deleted_at = ?, updated_at = ?\n"
    "WHERE id = ?;";
const char* const kGlossaryColumns =
    " INTO glossary (id, user_id, content, deleted_at, created_at, updated_at)\n"
    "VALUES (?, ?, ?, ?, ?, ?);";

} // namespace

// ---- bindings ---------------------------------------------------------------

DatabaseManager::SQLiteBinding::SQLiteBinding(const QString& text) : value(text) {}
DatabaseManager::SQLiteBinding::SQLiteBinding(const std::optional<QString>& text)
{
    if (text)
        value = *text;
}
DatabaseManager::SQLiteBinding::SQLiteBinding(const QDateTime& time)
    : value(TimeText::format(time)) {}
DatabaseManager::SQLiteBinding::SQLiteBinding(const std::optional<QDateTime>& time)
{
    if (time)
        value = TimeText::format(*time);
}
DatabaseManager::SQLiteBinding::SQLiteBinding(qint64 integer) : value(integer) {}
DatabaseManager::SQLiteBinding::SQLiteBinding(std::optional<double> real)
{
    if (real)
        value = *real;
}
DatabaseManager::SQLiteBinding::SQLiteBinding(RecordingStatus status) : value(toText(status)) {}
DatabaseManager::SQLiteBinding::SQLiteBinding(SliceStatus status) : value(toText(status)) {}

DatabaseManager::SyncedRow DatabaseManager::SyncedRow::of(const Recording& recording)
{
    return {recording.id, TimeText::format(recording.updatedAt)};
}
DatabaseManager::SyncedRow DatabaseManager::SyncedRow::of(const Slice& slice)
{
    return {slice.id, TimeText::format(slice.updatedAt)};
}
DatabaseManager::SyncedRow DatabaseManager::SyncedRow::of(const GlossaryItem& item)
{
    return {item.id, TimeText::format(item.updatedAt)};
}

// ---- connection, schema, migrations -----------------------------------------

DatabaseManager::DatabaseManager(const QString& directory)
    : m_dbPath(directory + QStringLiteral("/talvex.db"))
{
    openDatabase();
    createTables();
}

DatabaseManager::~DatabaseManager()
{
    m_statements.reset();
    sqlite3_close_v2(m_db);
}

void DatabaseManager::openDatabase()
{
    // SQLite gives the -wal and -shm files the database file's mode.
    PrivateFiles::createFile(m_dbPath);
    if (sqlite3_open_v2(m_dbPath.toUtf8().constData(), &m_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
        printLine(QStringLiteral("[DatabaseManager] Failed to open database at ") + m_dbPath);
    m_statements = std::make_unique<StatementCache>(m_db);
    execute(QStringLiteral("PRAGMA journal_mode=WAL;"));
}

void DatabaseManager::createTables()
{
    for (const char* sql : kCreateStatements)
        execute(QString::fromUtf8(sql));
    migrateForSync();
}

void DatabaseManager::migrateForSync()
{
    for (const char* sql : kColumnAdditions)
        execute(QString::fromUtf8(sql));
    deduplicateIds();
    execute(QString::fromUtf8(kAlignSliceOwners));
}

void DatabaseManager::deduplicateIds()
{
    for (const QString& table : {QStringLiteral("recordings"), QStringLiteral("slices"),
                                QStringLiteral("glossary")}) {
        // Twins that differ only in case with no lower-case row among them
        // would make the lower-casing below fail on the primary key (and the
        // slices would then name a recording that no longer exists). Keep the
        // one changed last; a missing updated_at counts as oldest; on equal
        // times the smallest id (binary order) stays.
        execute(QStringLiteral(
                    "DELETE FROM %1\n"
                    "WHERE id != LOWER(id)\n"
                    "  AND LOWER(id) NOT IN (SELECT id FROM %1 WHERE id = LOWER(id))\n"
                    "  AND EXISTS (SELECT 1 FROM %1 AS twin\n"
                    "    WHERE LOWER(twin.id) = LOWER(%1.id)\n"
                    "      AND (COALESCE(twin.updated_at, '') > COALESCE(%1.updated_at, '')\n"
                    "        OR (COALESCE(twin.updated_at, '') = COALESCE(%1.updated_at, '')\n"
                    "            AND twin.id < %1.id)));")
                    .arg(table));
        execute(QStringLiteral("DELETE FROM %1\n"
                               "WHERE id != LOWER(id)\n"
                               "  AND LOWER(id) IN (SELECT id FROM %1 WHERE id = LOWER(id));")
                    .arg(table));
        execute(QStringLiteral("UPDATE %1 SET id = LOWER(id) WHERE id != LOWER(id);").arg(table));
    }
    execute(QStringLiteral("UPDATE slices SET recording_id = LOWER(recording_id) WHERE "
                           "recording_id != LOWER(recording_id);"));
}

// ---- statement runner and row reader -----------------------------------------

void DatabaseManager::bind(sqlite3_stmt* statement, const QList<SQLiteBinding>& bindings)
{
    int position = 1;
    for (const SQLiteBinding& binding : bindings) {
        if (const auto* text = std::get_if<QString>(&binding.value)) {
            const QByteArray utf8 = text->toUtf8();
            sqlite3_bind_text(statement, position, utf8.constData(), static_cast<int>(utf8.size()),
                              SQLITE_TRANSIENT);
        } else if (const auto* integer = std::get_if<qint64>(&binding.value)) {
            sqlite3_bind_int64(statement, position, *integer);
        } else if (const auto* real = std::get_if<double>(&binding.value)) {
            sqlite3_bind_double(statement, position, *real);
        } else {
            sqlite3_bind_null(statement, position);
        }
        ++position;
    }
}

bool DatabaseManager::execute(const QString& sql, const QList<SQLiteBinding>& bindings) const
{
    const StatementCache::Use statement = m_statements->use(sql);
    sqlite3_stmt* raw = statement.get();
    if (!raw) {
        const QString error = lastError(m_db);
        printLine(QStringLiteral("[DatabaseManager] Prepare error: ") + error
                  + QStringLiteral(" | SQL: ") + Graphemes::left(sql, 100));
        if (m_onWriteFailure)
            m_onWriteFailure(error);
        return false;
    }
    bind(raw, bindings);
    const int result = sqlite3_step(raw);
    if (result == SQLITE_DONE || result == SQLITE_ROW)
        return true;
    const QString error = lastError(m_db);
    printLine(QStringLiteral("[DatabaseManager] Step error: ") + error);
    if (m_onWriteFailure)
        m_onWriteFailure(error);
    return false;
}

// Reads the columns straight from the statement: a table of every column per
// row would cost several times what SQLite itself spends on a long list.
class DatabaseManager::Row
{
public:
    // The column names are taken once the statement has stepped, as a first
    // step may prepare it again.
    explicit Row(sqlite3_stmt* statement) : m_statement(statement)
    {
        const int count = sqlite3_column_count(statement);
        m_names.reserve(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i)
            m_names.emplace_back(sqlite3_column_name(statement, i));
    }

    // A value of another kind than asked for counts as missing.
    std::optional<QString> text(const char* name) const
    {
        const int column = find(name, SQLITE_TEXT);
        return column < 0 ? std::nullopt : std::optional(columnText(m_statement, column));
    }
    std::optional<qint64> integer(const char* name) const
    {
        const int column = find(name, SQLITE_INTEGER);
        return column < 0 ? std::nullopt : std::optional<qint64>(sqlite3_column_int64(m_statement, column));
    }
    std::optional<double> real(const char* name) const
    {
        const int column = find(name, SQLITE_FLOAT);
        return column < 0 ? std::nullopt : std::optional(sqlite3_column_double(m_statement, column));
    }
    std::optional<QDateTime> time(const char* name) const
    {
        const auto value = text(name);
        return value ? TimeText::parse(*value) : std::nullopt;
    }

private:
    // Of columns sharing a name the last one counts; -1 when there is none or
    // it holds another kind of value.
    int find(const char* name, int type) const
    {
        for (int i = static_cast<int>(m_names.size()) - 1; i >= 0; --i) {
            if (m_names[static_cast<size_t>(i)] == name)
                return sqlite3_column_type(m_statement, i) == type ? i : -1;
        }
        return -1;
    }

    sqlite3_stmt* m_statement;
    std::vector<std::string> m_names;
};

bool DatabaseManager::forEachParsableRow(const QString& sql, const QList<SQLiteBinding>& bindings,
                                         const std::function<void(const Row&)>& onRow) const
{
    std::optional<Row> row;
    return forEachRow(sql, bindings, [&](sqlite3_stmt* statement) {
        if (!row)
            row.emplace(statement);
        onRow(*row);
    });
}

bool DatabaseManager::forEachRow(const QString& sql, const QList<SQLiteBinding>& bindings,
                                 const std::function<void(sqlite3_stmt*)>& onRow) const
{
    const StatementCache::Use statement = m_statements->use(sql);
    sqlite3_stmt* raw = statement.get();
    if (!raw) {
        printLine(QStringLiteral("[DatabaseManager] Query prepare error: ") + lastError(m_db));
        return false;
    }
    bind(raw, bindings);
    int result;
    while ((result = sqlite3_step(raw)) == SQLITE_ROW)
        onRow(raw);
    if (result != SQLITE_DONE) {
        printLine(QStringLiteral("[DatabaseManager] Step error: ") + lastError(m_db));
        return false;
    }
    return true;
}

// ---- parsers -------------------------------------------------------------------

std::optional<Recording> DatabaseManager::parseRecording(const Row& row)
{
    const auto id = row.text("id");
    const auto statusText = row.text("status");
    const auto status = statusText ? recordingStatusFromText(*statusText) : std::nullopt;
    const auto createdAt = row.time("created_at");
    const auto updatedAt = row.time("updated_at");
    if (!id || !status || !createdAt || !updatedAt)
        return std::nullopt;
    Recording recording;
    recording.id = *id;
    recording.userId = row.text("user_id").value_or(kLocalUser);
    recording.createdAt = *createdAt;
    recording.duration = row.real("duration");
    recording.status = *status;
    recording.sliceCount = static_cast<int>(row.integer("slice_count").value_or(0));
    recording.rawText = row.text("raw_text");
    recording.cleanedText = row.text("cleaned_text");
    recording.provider = row.text("provider");
    recording.deviceId = row.text("device_id");
    recording.error = row.text("error");
    recording.deletedAt = row.time("deleted_at");
    recording.updatedAt = *updatedAt;
    return recording;
}

std::optional<Slice> DatabaseManager::parseSlice(const Row& row)
{
    const auto id = row.text("id");
    const auto recordingId = row.text("recording_id");
    const auto filename = row.text("filename");
    const auto sliceIndex = row.integer("slice_index");
    const auto statusText = row.text("status");
    const auto status = statusText ? sliceStatusFromText(*statusText) : std::nullopt;
    if (!id || !recordingId || !filename || !sliceIndex || !status)
        return std::nullopt;
    Slice slice;
    slice.id = *id;
    slice.userId = row.text("user_id").value_or(kLocalUser);
    slice.recordingId = *recordingId;
    slice.sliceIndex = static_cast<int>(*sliceIndex);
    slice.filename = *filename;
    slice.status = *status;
    slice.rawText = row.text("raw_text");
    slice.duration = row.real("duration");
    slice.provider = row.text("provider");
    slice.error = row.text("error");
    slice.deletedAt = row.time("deleted_at");
    // Rows written before slices had an update time read as changed now.
    slice.updatedAt = row.time("updated_at").value_or(QDateTime::currentDateTimeUtc());
    return slice;
}

std::optional<GlossaryItem> DatabaseManager::parseGlossaryItem(const Row& row)
{
    const auto id = row.text("id");
    const auto content = row.text("content");
    const auto createdAt = row.time("created_at");
    const auto updatedAt = row.time("updated_at");
    if (!id || !content || !createdAt || !updatedAt)
        return std::nullopt;
    GlossaryItem item;
    item.id = *id;
    item.userId = row.text("user_id").value_or(kLocalUser);
    item.content = *content;
    item.deletedAt = row.time("deleted_at");
    item.createdAt = *createdAt;
    item.updatedAt = *updatedAt;
    return item;
}

template <typename T>
QList<T> DatabaseManager::parsedRows(const QString& sql, const QList<SQLiteBinding>& bindings,
                                    std::optional<T> (*parse)(const Row&)) const
{
    QList<T> result;
    const bool complete = forEachParsableRow(sql, bindings, [&](const Row& row) {
        if (auto item = parse(row))
            result.append(std::move(*item));
    });
    // A read that broke off is a failed read, not a shorter result.
    return complete ? result : QList<T>();
}

template <typename T>
std::optional<T> DatabaseManager::parsedFirstRow(const QString& sql, const QList<SQLiteBinding>& bindings,
                                                 std::optional<T> (*parse)(const Row&)) const
{
    std::optional<T> first;
    bool seen = false;
    const bool complete = forEachParsableRow(sql, bindings, [&](const Row& row) {
        if (!seen)
            first = parse(row);
        seen = true;
    });
    return complete ? first : std::nullopt;
}

// ---- recordings ------------------------------------------------------------------

bool DatabaseManager::insertRecording(const Recording& r)
{
    return execute(QString::fromUtf8(kInsertRecording),
                   {r.id, r.userId, r.createdAt, r.duration, r.status, qint64(r.sliceCount), r.rawText,
                    r.cleanedText, r.provider, r.deviceId, r.error, r.deletedAt, r.updatedAt});
}

bool DatabaseManager::updateRecording(const Recording& r)
{
    return execute(QString::fromUtf8(kUpdateRecording),
                   {r.duration, r.status, qint64(r.sliceCount), r.rawText, r.cleanedText, r.provider,
                    r.deviceId, r.error, r.deletedAt, r.updatedAt, r.id});
}

std::optional<Recording> DatabaseManager::fetchRecording(const QString& id) const
{
    return parsedFirstRow(
        QStringLiteral("SELECT * FROM recordings WHERE id = LOWER(?) AND deleted_at IS NULL;"),
        {id}, parseRecording);
}

std::optional<Recording> DatabaseManager::fetchRecordingIncludingDeleted(const QString& id) const
{
    return parsedFirstRow(QStringLiteral("SELECT * FROM recordings WHERE id = LOWER(?);"),
                            {id}, parseRecording);
}

QList<Recording> DatabaseManager::fetchRecordingsWithStatus(
    const QList<RecordingStatus>& statuses, const std::optional<QString>& userId) const
{
    if (statuses.isEmpty())
        return {};
    QList<SQLiteBinding> bindings;
    for (RecordingStatus status : statuses)
        bindings.append(status);
    QString sql = QStringLiteral("SELECT * FROM recordings WHERE status IN (")
        + placeholders(statuses.size());
    if (userId) {
        sql += QStringLiteral(") AND user_id = ? AND deleted_at IS NULL;");
        bindings.append(*userId);
    } else {
        sql += QStringLiteral(") AND deleted_at IS NULL;");
    }
    return parsedRows(sql, bindings, parseRecording);
}

QList<Recording> DatabaseManager::fetchAllRecordings(const std::optional<QString>& userId,
                                                     bool includingDeleted) const
{
    return parsedRows(listingSql(QStringLiteral("recordings"), userId.has_value(),
                                 includingDeleted, QStringLiteral("created_at DESC")),
                      userId ? QList<SQLiteBinding>{*userId} : QList<SQLiteBinding>{}, parseRecording);
}

void DatabaseManager::softDeleteRecording(const QString& id)
{
    const QString now = TimeText::now();
    execute(QStringLiteral("UPDATE recordings SET deleted_at = ?, updated_at = ? WHERE id = ?;"),
            {now, now, id});
    execute(QStringLiteral("UPDATE slices SET deleted_at = ?, updated_at = ? WHERE recording_id = ?;"),
            {now, now, id});
}

// ---- slices ------------------------------------------------------------------------

bool DatabaseManager::insertSlice(const Slice& s)
{
    return execute(QString::fromUtf8(kInsertSlice),
                   {s.id, s.userId, s.recordingId, qint64(s.sliceIndex), s.filename, s.status, s.rawText,
                    s.duration, s.provider, s.error, s.deletedAt, s.updatedAt});
}

bool DatabaseManager::updateSlice(const Slice& s)
{
    return execute(QString::fromUtf8(kUpdateSlice),
                   {s.status, s.rawText, s.duration, s.provider, s.error, s.deletedAt, s.updatedAt, s.id});
}

QList<Slice> DatabaseManager::fetchSlices(const QString& recordingId, bool includingDeleted) const
{
    QString sql = QStringLiteral("SELECT * FROM slices WHERE recording_id = ? ");
    if (!includingDeleted)
        sql += QStringLiteral("AND deleted_at IS NULL ");
    sql += QStringLiteral("ORDER BY slice_index;");
    return parsedRows(sql, {recordingId}, parseSlice);
}

QList<DatabaseManager::SliceState> DatabaseManager::fetchSliceStatesOfLiveRecordings() const
{
    // Only the columns it needs, read straight from the statement: at tens
    // of thousands of slices the generic row reader would cost most of the time.
    QList<SliceState> states;
    const bool complete = forEachRow(
        QStringLiteral("SELECT s.id, s.recording_id, s.filename, s.status,\n"
                       "       typeof(s.raw_text) = 'text', s.deleted_at IS NOT NULL, r.device_id\n"
                       "FROM slices s\n"
                       "JOIN recordings r ON s.recording_id = r.id\n"
                       "WHERE r.deleted_at IS NULL;"),
        {}, [&states](sqlite3_stmt* statement) {
            const auto status = sliceStatusFromText(columnText(statement, 3));
            // A row without a readable status or file name is left out, as
            // the other readers leave it out.
            if (!status || sqlite3_column_type(statement, 0) != SQLITE_TEXT
                || sqlite3_column_type(statement, 2) != SQLITE_TEXT)
                return;
            states.append(SliceState{columnText(statement, 0), columnText(statement, 1),
                                     columnText(statement, 2), *status,
                                     sqlite3_column_int(statement, 4) != 0,
                                     sqlite3_column_int(statement, 5) != 0,
                                     sqlite3_column_type(statement, 6) == SQLITE_TEXT
                                         ? std::optional<QString>(columnText(statement, 6))
                                         : std::nullopt});
        });
    return complete ? states : QList<SliceState>();
}

void DatabaseManager::updateSliceStatus(const QString& id, SliceStatus status)
{
    execute(QStringLiteral("UPDATE slices SET status = ? WHERE id = ?;"), {status, id});
}

std::optional<Slice> DatabaseManager::fetchSlice(const QString& id) const
{
    return parsedFirstRow(QStringLiteral("SELECT * FROM slices WHERE id = LOWER(?);"), {id}, parseSlice);
}

// ---- glossary ------------------------------------------------------------------------

void DatabaseManager::insertGlossaryItem(const GlossaryItem& g)
{
    execute(QStringLiteral("INSERT") + QString::fromUtf8(kGlossaryColumns),
            {g.id, g.userId, g.content, g.deletedAt, g.createdAt, g.updatedAt});
}

QList<GlossaryItem> DatabaseManager::fetchAllGlossaryItems(const std::optional<QString>& userId,
                                                           bool includingDeleted) const
{
    return parsedRows(listingSql(QStringLiteral("glossary"), userId.has_value(),
                                 includingDeleted, QStringLiteral("created_at")),
                      userId ? QList<SQLiteBinding>{*userId} : QList<SQLiteBinding>{},
                      parseGlossaryItem);
}

std::optional<QString> DatabaseManager::fetchGlossaryPrompt(const std::optional<QString>& userId) const
{
    QStringList contents;
    for (const GlossaryItem& item : fetchAllGlossaryItems(userId, false))
        contents.append(item.content);
    if (contents.isEmpty())
        return std::nullopt;
    return contents.join(QStringLiteral(", "));
}

void DatabaseManager::updateGlossaryItem(const GlossaryItem& g)
{
    execute(QStringLiteral("UPDATE glossary SET content = ?, updated_at = ? WHERE id = ?;"),
            {g.content, g.updatedAt, g.id});
}

void DatabaseManager::softDeleteGlossaryItem(const QString& id)
{
    const QString now = TimeText::now();
    execute(QStringLiteral("UPDATE glossary SET deleted_at = ?, updated_at = ? WHERE id = ?;"),
            {now, now, id});
}

std::optional<GlossaryItem> DatabaseManager::fetchGlossaryItem(const QString& id) const
{
    return parsedFirstRow(QStringLiteral("SELECT * FROM glossary WHERE id = LOWER(?);"),
                            {id}, parseGlossaryItem);
}

void DatabaseManager::upsertGlossaryItem(const GlossaryItem& g)
{
    execute(QStringLiteral("INSERT OR REPLACE") + QString::fromUtf8(kGlossaryColumns),
            {g.id, g.userId, g.content, g.deletedAt, g.createdAt, g.updatedAt});
}

// ---- sync bookkeeping ------------------------------------------------------------------

QList<Recording> DatabaseManager::fetchDirtyRecordings(const QString& userId) const
{
    return parsedRows(QStringLiteral("SELECT * FROM recordings\n"
                                     "WHERE user_id = ?\n"
                                     "  AND (last_synced_at IS NULL OR updated_at > last_synced_at);"),
                      {userId}, parseRecording);
}

QList<Slice> DatabaseManager::fetchDirtySlices(const QString& userId) const
{
    return parsedRows(
        QStringLiteral("SELECT s.* FROM slices s\n"
                       "JOIN recordings r ON s.recording_id = r.id\n"
                       "WHERE r.user_id = ?\n"
                       "  AND (s.last_synced_at IS NULL OR s.updated_at > s.last_synced_at);"),
        {userId}, parseSlice);
}

QList<GlossaryItem> DatabaseManager::fetchDirtyGlossaryItems(const QString& userId) const
{
    return parsedRows(
        QStringLiteral("SELECT * FROM glossary\n"
                       "WHERE user_id = ?\n"
                       "  AND (last_synced_at IS NULL OR updated_at > last_synced_at);"),
        {userId}, parseGlossaryItem);
}

void DatabaseManager::markRecordingsSynced(const QList<SyncedRow>& rows)
{
    markSynced(QStringLiteral("recordings"), rows);
}

void DatabaseManager::markSlicesSynced(const QList<SyncedRow>& rows)
{
    markSynced(QStringLiteral("slices"), rows);
}

void DatabaseManager::markGlossaryItemsSynced(const QList<SyncedRow>& rows)
{
    markSynced(QStringLiteral("glossary"), rows);
}

void DatabaseManager::markSynced(const QString& table, const QList<SyncedRow>& rows)
{
    if (rows.isEmpty())
        return;
    const QString now = TimeText::now();
    // Each row takes two parameters besides the shared now; a list beyond the
    // connection's parameter limit is marked in several statements.
    const int limit = m_db ? sqlite3_limit(m_db, SQLITE_LIMIT_VARIABLE_NUMBER, -1) : 0;
    const qsizetype perStatement = std::max<qsizetype>(1, (limit - 1) / 2);
    for (qsizetype start = 0; start < rows.size(); start += perStatement) {
        const QList<SyncedRow> part = rows.mid(start, perStatement);
        QList<SQLiteBinding> bindings{now};
        for (const SyncedRow& row : part) {
            bindings.append(row.id);
            bindings.append(row.updatedAt);
        }
        // A row without updated_at can only be one the push read so (every
        // write stamps a time), so it is marked whatever time the push sent.
        execute(QStringLiteral("UPDATE %1 SET last_synced_at = ?\n"
                               "FROM (VALUES %2) AS pushed\n"
                               "WHERE %1.id = pushed.column1\n"
                               "  AND (%1.updated_at = pushed.column2 OR %1.updated_at IS NULL);")
                    .arg(table, placeholders(part.size(), QStringLiteral("(?, ?)"))),
                bindings);
    }
}

bool DatabaseManager::isDirty(SyncedTable table, const QString& id) const
{
    static constexpr const char* names[] = {"recordings", "slices", "glossary"};
    return parsedFirstRow<bool>(
               QStringLiteral("SELECT 1 AS dirty FROM %1\n"
                              "WHERE id = LOWER(?)\n"
                              "  AND (last_synced_at IS NULL OR updated_at > last_synced_at);")
                   .arg(QLatin1String(names[static_cast<int>(table)])),
               {id}, [](const Row&) { return std::optional(true); })
        .value_or(false);
}

// ---- transactions ------------------------------------------------------------------------

bool DatabaseManager::writeInTransaction(const std::function<void()>& writes)
{
    if (!execute(QStringLiteral("BEGIN IMMEDIATE;"))) {
        writes();
        return false;
    }
    writes();
    if (execute(QStringLiteral("COMMIT;")))
        return true;
    execute(QStringLiteral("ROLLBACK;"));
    return false;
}

// ---- clearing and statistics -----------------------------------------------------------

void DatabaseManager::deleteUserData(const QString& userId)
{
    if (userId == kLocalUser)
        return;
    execute(QStringLiteral("DELETE FROM slices WHERE user_id = ?;"), {userId});
    execute(QStringLiteral("DELETE FROM recordings WHERE user_id = ?;"), {userId});
    execute(QStringLiteral("DELETE FROM glossary WHERE user_id = ?;"), {userId});
}

void DatabaseManager::softDeleteAllRecordings(const QString& userId)
{
    const QString now = TimeText::now();
    execute(QStringLiteral("UPDATE slices SET deleted_at = ?, updated_at = ? WHERE user_id = ? AND "
                           "deleted_at IS NULL;"),
            {now, now, userId});
    execute(QStringLiteral("UPDATE recordings SET deleted_at = ?, updated_at = ? WHERE user_id = ? "
                           "AND deleted_at IS NULL;"),
            {now, now, userId});
}

DatabaseManager::UserStats DatabaseManager::fetchUserStats(const QString& userId) const
{
    UserStats stats;
    const auto recordings = parsedFirstRow<UserStats>(
        QStringLiteral("SELECT COUNT(*) as cnt, COALESCE(SUM(duration),0) as dur FROM recordings "
                       "WHERE user_id = ? AND deleted_at IS NULL;"),
        {userId}, [](const Row& row) {
            UserStats part;
            part.recordingCount = row.integer("cnt").value_or(0);
            // The sum is the integer 0 when no recording has a duration.
            part.totalDuration = row.real("dur").value_or(0);
            return std::optional(part);
        });
    if (recordings) {
        stats.recordingCount = recordings->recordingCount;
        stats.totalDuration = recordings->totalDuration;
    }
    // One row per status.
    const auto sliceCounts = parsedRows<UserStats>(
        QStringLiteral("SELECT status, COUNT(*) as cnt FROM slices WHERE user_id = ? AND "
                       "deleted_at IS NULL GROUP BY status;"),
        {userId}, [](const Row& row) {
            UserStats part;
            part.totalSlices = row.integer("cnt").value_or(0);
            const auto status = row.text("status");
            if (status == toText(SliceStatus::completed))
                part.completedSlices = part.totalSlices;
            else if (status == toText(SliceStatus::failed))
                part.failedSlices = part.totalSlices;
            return std::optional(part);
        });
    for (const UserStats& part : sliceCounts) {
        stats.totalSlices += part.totalSlices;
        stats.completedSlices += part.completedSlices;
        stats.failedSlices += part.failedSlices;
    }
    stats.glossaryCount = parsedFirstRow<qint64>(
        QStringLiteral(
            "SELECT COUNT(*) as cnt FROM glossary WHERE user_id = ? AND deleted_at IS NULL;"),
        {userId}, [](const Row& row) { return std::optional(row.integer("cnt").value_or(0)); })
        .value_or(0);
    return stats;
}
