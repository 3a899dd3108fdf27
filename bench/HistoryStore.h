#pragma once

// A store of many recordings with long texts, and SQLite's own time for
// stepping the history's statement over it: what the history benchmarks
// measure against, in the same process on the same file.
#include <QDateTime>
#include <QElapsedTimer>
#include <QString>
#include <cstdio>
#include <sqlite3.h>

#include "store/DatabaseManager.h"
#include "store/RecordId.h"

namespace historybench {

inline const QString kUser = QStringLiteral("local");

// About 900 characters of mixed text, different for every row.
inline QString longText(int row)
{
    QString text = QStringLiteral("Dictation %1: ").arg(row);
    while (text.size() < 880)
        text += QStringLiteral("the quick brown fox jumps over the lazy dog, caf\u00e9 \u4f60\u597d; ");
    return text.left(900);
}

inline void populate(DatabaseManager& db, int recordings, const QString& deviceId = QStringLiteral("device-1"))
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
            r.deviceId = deviceId;
            if (i % 10 == 0)
                r.error = QStringLiteral("The service did not answer.");
            db.insertRecording(r);
        }
    });
}

// SQLite alone: the statement the store runs for the list, every column read.
// The connection stays open across runs, as the store's does, so that both
// read from a warm page cache.
inline double sqliteOwnTime(sqlite3* db, int& rows)
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

// The store's file in `folder`, opened read-only beside the store.
inline sqlite3* openReadOnly(const QString& folder)
{
    sqlite3* raw = nullptr;
    if (sqlite3_open_v2((folder + QStringLiteral("/talvex.db")).toUtf8().constData(), &raw, SQLITE_OPEN_READONLY,
                        nullptr)
        != SQLITE_OK) {
        std::printf("Cannot open the store: %s\n", sqlite3_errmsg(raw));
        sqlite3_close(raw);
        return nullptr;
    }
    return raw;
}

}  // namespace historybench
