#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <variant>

#include "store/GlossaryItem.h"
#include "store/Recording.h"
#include "store/Slice.h"
#include "store/StatementCache.h"

struct sqlite3;
struct sqlite3_stmt;

// The one SQLite store ("talvex.db" in the data folder): one connection in WAL
// mode, the schema and its start-up migrations, and every query on recordings,
// slices and glossary entries. Main thread only. Nothing here raises: a failed
// statement prints one "[DatabaseManager] ..." line to standard output, a
// failed read gives an empty list or no value, and a failed write (a full
// disk) is told to the write-failure handler; the dictation's writes also
// return whether they were stored.
class DatabaseManager
{
public:
    // Told the store's own error text each time a write fails.
    using WriteFailureHandler = std::function<void(const QString& error)>;
    // The counts shown on the accounts screen.
    struct UserStats
    {
        qint64 recordingCount = 0;
        qint64 totalSlices = 0;
        qint64 glossaryCount = 0;
        qint64 completedSlices = 0;
        qint64 failedSlices = 0;
        double totalDuration = 0;   // seconds

        bool operator==(const UserStats&) const = default;
    };

    // What the start-up recovery reads of a slice: enough to judge its status
    // and to find its file, without the cost of reading every column.
    struct SliceState
    {
        QString id;
        QString recordingId;
        QString filename;
        SliceStatus status = SliceStatus::pending;
        bool hasRawText = false;
        bool deleted = false;
        // The device that made the slice's recording; none when not named.
        std::optional<QString> recordingDeviceId;
    };

    // A row as a push sent it: its id and the updated_at text it carried. A
    // mark only stamps a row that still holds that text, so a change made while
    // the push was on the network stays dirty.
    struct SyncedRow
    {
        QString id;
        QString updatedAt;

        static SyncedRow of(const Recording& recording);
        static SyncedRow of(const Slice& slice);
        static SyncedRow of(const GlossaryItem& item);
    };

    // Opens (or creates) "talvex.db" in `directory`, switches it to WAL,
    // creates and migrates the schema and normalises identifiers. The store is
    // returned also when opening failed; its statements then fail one by one.
    explicit DatabaseManager(const QString& directory);
    ~DatabaseManager();
    DatabaseManager(const DatabaseManager&) = delete;
    DatabaseManager& operator=(const DatabaseManager&) = delete;

    void setWriteFailureHandler(WriteFailureHandler handler) { m_onWriteFailure = std::move(handler); }

    // Recordings. Writes and deletions match the id exactly; the look-ups by id
    // ignore letter case (stored ids are lower case, so they use the key).
    // True when the row was stored.
    bool insertRecording(const Recording& recording);
    // Writes every mutable column, updatedAt exactly as given. True when stored.
    bool updateRecording(const Recording& recording);
    std::optional<Recording> fetchRecording(const QString& id) const;   // not soft-deleted
    std::optional<Recording> fetchRecordingIncludingDeleted(const QString& id) const;
    // Rows in the database's order; every owner when `userId` is empty.
    QList<Recording> fetchRecordingsWithStatus(const QList<RecordingStatus>& statuses,
                                               const std::optional<QString>& userId) const;
    // Newest first; every owner when `userId` is empty.
    QList<Recording> fetchAllRecordings(const std::optional<QString>& userId,
                                        bool includingDeleted) const;
    // Stamps the recording and every slice of it as deleted now.
    void softDeleteRecording(const QString& id);

    // Slices.
    // True when the row was stored.
    bool insertSlice(const Slice& slice);
    // Writes status, texts, duration, provider, error, deletedAt and updatedAt.
    // True when stored.
    bool updateSlice(const Slice& slice);
    // In slice order; the recording id matches exactly.
    QList<Slice> fetchSlices(const QString& recordingId, bool includingDeleted) const;
    // The state of every slice of every recording that is not deleted, of
    // every owner, deleted slices included, in one statement and in no
    // particular order: what the start-up recovery judges them by.
    QList<SliceState> fetchSliceStatesOfLiveRecordings() const;
    // Writes a slice's status alone; its updatedAt stays as it was.
    void updateSliceStatus(const QString& id, SliceStatus status);
    std::optional<Slice> fetchSlice(const QString& id) const;   // soft-deleted included

    // Glossary.
    void insertGlossaryItem(const GlossaryItem& item);
    // Oldest first; every owner when `userId` is empty.
    QList<GlossaryItem> fetchAllGlossaryItems(const std::optional<QString>& userId,
                                              bool includingDeleted) const;
    // The entries' contents joined with ", "; no value when there is none.
    std::optional<QString> fetchGlossaryPrompt(const std::optional<QString>& userId) const;
    // Writes content and updatedAt only.
    void updateGlossaryItem(const GlossaryItem& item);
    void softDeleteGlossaryItem(const QString& id);
    std::optional<GlossaryItem> fetchGlossaryItem(const QString& id) const;   // soft-deleted included
    // Replaces a row with the same id as a whole, which makes it dirty.
    void upsertGlossaryItem(const GlossaryItem& item);

    // Sync bookkeeping: dirty rows are never synced or changed since the last
    // mark; soft-deleted rows included. A slice belongs to its recording's owner.
    QList<Recording> fetchDirtyRecordings(const QString& userId) const;
    QList<Slice> fetchDirtySlices(const QString& userId) const;
    QList<GlossaryItem> fetchDirtyGlossaryItems(const QString& userId) const;
    // Sets last_synced_at to now on each listed row that still carries the
    // pushed updated_at (or has none); an empty list runs no statement.
    void markRecordingsSynced(const QList<SyncedRow>& rows);
    void markSlicesSynced(const QList<SyncedRow>& rows);
    void markGlossaryItemsSynced(const QList<SyncedRow>& rows);
    enum class SyncedTable { recordings, slices, glossary };
    // Whether the row with this id (letter case ignored) has changes no push
    // has sent; false when there is no such row.
    bool isDirty(SyncedTable table, const QString& id) const;

    // Runs `writes` (any of the write operations above) in one transaction,
    // so that many rows cost one commit instead of one each. Returns whether
    // it was committed; a failed commit is rolled back (and printed). Without
    // a transaction (one is open already, or it cannot begin) the writes
    // still run, each on its own.
    bool writeInTransaction(const std::function<void()>& writes);

    // Removes every row of an account for good; does nothing for "local".
    void deleteUserData(const QString& userId);
    // Soft-deletes the owner's recordings and slices (chosen by their own user_id).
    void softDeleteAllRecordings(const QString& userId);
    UserStats fetchUserStats(const QString& userId) const;

private:
    // One positional statement parameter, converted from a record field in the
    // one way every operation uses: empty optionals bind NULL, times their time
    // text, statuses their text value.
    struct SQLiteBinding
    {
        SQLiteBinding(const QString& text);
        SQLiteBinding(const std::optional<QString>& text);
        SQLiteBinding(const QDateTime& time);
        SQLiteBinding(const std::optional<QDateTime>& time);
        SQLiteBinding(qint64 integer);
        SQLiteBinding(std::optional<double> real);
        SQLiteBinding(RecordingStatus status);
        SQLiteBinding(SliceStatus status);

        std::variant<std::monostate, QString, qint64, double> value;
    };
    // The current row of a statement being stepped, read in place: each
    // column by its name, as qint64, double or QString; NULL columns are absent.
    class Row;

    void openDatabase();
    void createTables();
    void migrateForSync();
    void deduplicateIds();
    void markSynced(const QString& table, const QList<SyncedRow>& rows);

    // True when the statement ran to its end.
    bool execute(const QString& sql, const QList<SQLiteBinding>& bindings = {}) const;
    // As forEachRow, with each row readable by column name.
    bool forEachParsableRow(const QString& sql, const QList<SQLiteBinding>& bindings,
                            const std::function<void(const Row&)>& onRow) const;
    // Runs a query, handing each result row to `onRow` as it is stepped;
    // false (printed) when it failed, also part-way.
    bool forEachRow(const QString& sql, const QList<SQLiteBinding>& bindings,
                    const std::function<void(sqlite3_stmt*)>& onRow) const;
    static void bind(sqlite3_stmt* statement, const QList<SQLiteBinding>& bindings);

    static std::optional<Recording> parseRecording(const Row& row);
    static std::optional<Slice> parseSlice(const Row& row);
    static std::optional<GlossaryItem> parseGlossaryItem(const Row& row);

    // The rows of a query that `parse` can read, in order; the others are
    // left out.
    template <typename T>
    QList<T> parsedRows(const QString& sql, const QList<SQLiteBinding>& bindings,
                        std::optional<T> (*parse)(const Row&)) const;
    // The first row of a query as `parse` reads it; no value when there is
    // none, it cannot be read or the query failed.
    template <typename T>
    std::optional<T> parsedFirstRow(const QString& sql, const QList<SQLiteBinding>& bindings,
                                    std::optional<T> (*parse)(const Row&)) const;

    sqlite3* m_db = nullptr;
    std::unique_ptr<StatementCache> m_statements;   // closed before the connection
    QString m_dbPath;
    WriteFailureHandler m_onWriteFailure;
};
