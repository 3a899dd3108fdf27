// History list read benchmark: the store's list of one owner's recordings
// (newest first, deleted ones left out) over a store of many recordings with
// long texts, against SQLite's own time for the same statement stepped over
// the same rows with every column read. Both run in the same process on the
// same file, so the ratio holds on any machine.
// Usage: history_store_bench [recordings] [runs]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sqlite3.h>
#include <vector>

#include "store/DatabaseManager.h"
#include "store/RecordId.h"
#include "Median.h"

namespace {

const QString kUser = QStringLiteral("local");

// About 900 characters of mixed text, different for every row.
QString longText(int row)
{
    QString text = QStringLiteral("Dictation %1: ").arg(row);
    while (text.size() < 880)
        text += QStringLiteral("the quick brown fox jumps over the lazy dog, caf\u00e9 \u4f60\u597d; ");
    return text.left(900);
}

void populate(DatabaseManager& db, int recordings)
{
    const QDateTime start = QDateTime::currentDateTimeUtc().addDays(-400);
    db.writeInTransaction([&] {
        for (int i = 0; i < recordings; ++i) {
            Recording r;
            r.id = newRecordId();
            r.userId = kUser;
            r.createdAt = r.updatedAt = start.addSecs(i * 600);
            r.duration = 30.0 + i % 90;
            r.sliceCount = 1 + i % 3;
            r.status = i % 10 == 0 ? RecordingStatus::failed : RecordingStatus::completed;
            r.rawText = longText(i);
            r.cleanedText = longText(i + 1);
            r.provider = QStringLiteral("provider");
            r.deviceId = QStringLiteral("device-1");
            if (i % 10 == 0)
                r.error = QStringLiteral("The service did not answer.");
            db.insertRecording(r);
        }
    });
}

// SQLite alone: the statement the store runs for the list, every column read.
// The connection stays open across runs, as the store's does, so that both
// read from a warm page cache.
double sqliteOwnTime(sqlite3* db, int& rows)
{
    QElapsedTimer timer;
    timer.start();
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT * FROM recordings WHERE user_id = ? AND deleted_at IS NULL "
                       "ORDER BY created_at DESC;",
                       -1, &statement, nullptr);
    const QByteArray user = kUser.toUtf8();
    sqlite3_bind_text(statement, 1, user.constData(), static_cast<int>(user.size()), SQLITE_TRANSIENT);
    rows = 0;
    size_t bytes = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        const int columns = sqlite3_column_count(statement);
        for (int i = 0; i < columns; ++i) {
            switch (sqlite3_column_type(statement, i)) {
            case SQLITE_INTEGER: bytes += static_cast<size_t>(sqlite3_column_int64(statement, i)); break;
            case SQLITE_FLOAT: bytes += static_cast<size_t>(sqlite3_column_double(statement, i)); break;
            case SQLITE_TEXT:
                sqlite3_column_text(statement, i);
                bytes += static_cast<size_t>(sqlite3_column_bytes(statement, i));
                break;
            default: break;
            }
        }
        ++rows;
    }
    sqlite3_finalize(statement);
    const double ms = timer.nsecsElapsed() / 1e6;
    if (bytes == 0)
        std::printf("(no text read)\n");
    return ms;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int recordings = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 9;

    QTemporaryDir folder;
    DatabaseManager db(folder.path());
    populate(db, recordings);
    sqlite3* raw = nullptr;
    if (sqlite3_open_v2((folder.path() + QStringLiteral("/talvex.db")).toUtf8().constData(), &raw,
                        SQLITE_OPEN_READONLY, nullptr)
        != SQLITE_OK) {
        std::printf("Cannot open the store: %s\n", sqlite3_errmsg(raw));
        return 1;
    }

    std::vector<double> store, sqlite;
    // Kept until the next read has replaced it, as a list on screen is.
    QList<Recording> shown;
    int stepped = 0;
    // Alternated, so that both see the same cache and machine load.
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        QList<Recording> read = db.fetchAllRecordings(kUser, false);
        store.push_back(timer.nsecsElapsed() / 1e6);
        shown = std::move(read);
        sqlite.push_back(sqliteOwnTime(raw, stepped));
    }

    sqlite3_close(raw);

    const double storeMs = median(store);
    const double sqliteMs = median(sqlite);
    std::printf("History list read over %d recordings (~900 characters of text each), median of %d runs:\n",
                recordings, runs);
    std::printf("  SQLite stepping the same statement (%d rows): %8.1f ms\n", stepped, sqliteMs);
    std::printf("  store fetchAllRecordings (%lld recordings):    %8.1f ms\n",
                static_cast<long long>(shown.size()), storeMs);
    std::printf("  ratio: %.2f\n", storeMs / sqliteMs);
    return shown.size() == stepped ? 0 : 1;
}
