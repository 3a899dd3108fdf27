#pragma once

// Shared pieces of the store tests: a fresh folder per test, a second raw
// SQLite connection for planting rows the store's API cannot write, captured
// standard output, and record builders.
#include <QDateTime>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <functional>
#include <memory>
#include <optional>
#include <sqlite3.h>
#include <string>

#include "store/DatabaseManager.h"
#include "store/TimeText.h"
#include "support/RecordPrinter.h"

inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QDateTime& time, std::ostream* os)
{
    *os << TimeText::format(time).toStdString();
}

namespace dbtest {

// 2025-03-04T05:06:<second>.<ms>Z
inline QDateTime at(int second, int ms = 0)
{
    return QDateTime(QDate(2025, 3, 4), QTime(5, 6, second, ms), Qt::UTC);
}

inline QString text(const std::optional<QString>& value) { return value ? "'" + *value + "'" : "none"; }
inline QString text(const std::optional<QDateTime>& value)
{
    return value ? TimeText::format(*value) : "none";
}
inline QString text(const std::optional<double>& value)
{
    return value ? QString::number(*value, 'g', 17) : "none";
}

// Stored times have millisecond resolution, and a row stamped in the same
// millisecond as its mark counts as synced: tests that change a row right
// after marking it let the clock move on first.
inline void passOneMillisecond()
{
    const QString start = TimeText::now();
    while (TimeText::now() == start) {
    }
}

template <typename Record>
QStringList idsOf(const QList<Record>& records)
{
    QStringList ids;
    for (const Record& record : records)
        ids.append(record.id);
    return ids;
}

inline Recording makeRecording(const QString& id, const QString& userId = "local",
                               const QDateTime& createdAt = at(0))
{
    Recording r;
    r.id = id;
    r.userId = userId;
    r.createdAt = createdAt;
    r.status = RecordingStatus::recorded;
    r.updatedAt = createdAt;
    return r;
}

inline Slice makeSlice(const QString& id, const QString& recordingId, int index = 1,
                       const QString& userId = "local")
{
    Slice s;
    s.id = id;
    s.userId = userId;
    s.recordingId = recordingId;
    s.sliceIndex = index;
    s.filename = recordingId + QString("_slice_%1.m4a").arg(index);
    s.status = SliceStatus::pending;
    s.updatedAt = at(0);
    return s;
}

inline GlossaryItem makeGlossaryItem(const QString& id, const QString& content,
                                     const QString& userId = "local",
                                     const QDateTime& createdAt = at(0))
{
    GlossaryItem g;
    g.id = id;
    g.userId = userId;
    g.content = content;
    g.createdAt = createdAt;
    g.updatedAt = createdAt;
    return g;
}

// A second connection to the store's file, for planting and inspecting rows.
class RawDb
{
public:
    explicit RawDb(const QString& path)
    {
        if (sqlite3_open_v2(path.toUtf8().constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK)
            ADD_FAILURE() << "cannot open " << path.toStdString();
        sqlite3_busy_timeout(m_db, 5000);
    }
    ~RawDb() { sqlite3_close_v2(m_db); }
    RawDb(const RawDb&) = delete;
    RawDb& operator=(const RawDb&) = delete;

    void exec(const QString& sql)
    {
        char* error = nullptr;
        if (sqlite3_exec(m_db, sql.toUtf8().constData(), nullptr, nullptr, &error) != SQLITE_OK) {
            ADD_FAILURE() << "raw SQL failed: " << (error ? error : "?") << "\n" << sql.toStdString();
            sqlite3_free(error);
        }
    }

    // Every row, columns joined by "|", NULL written as NULL.
    QStringList rows(const QString& sql)
    {
        QStringList result;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.toUtf8().constData(), -1, &statement, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << "raw query failed: " << sqlite3_errmsg(m_db) << "\n" << sql.toStdString();
            return result;
        }
        while (sqlite3_step(statement) == SQLITE_ROW) {
            QStringList columns;
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                const auto* value = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
                columns.append(value ? QString::fromUtf8(value) : QString("NULL"));
            }
            result.append(columns.join('|'));
        }
        sqlite3_finalize(statement);
        return result;
    }

    QString value(const QString& sql)
    {
        const QStringList all = rows(sql);
        return all.isEmpty() ? QString("no row") : all.first();
    }

    // The most "?" one statement may hold (the same library as the store's).
    int parameterLimit() { return sqlite3_limit(m_db, SQLITE_LIMIT_VARIABLE_NUMBER, -1); }

    // Everything the file holds: schema and every row of the three tables.
    QStringList snapshot()
    {
        QStringList all = rows("SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name;");
        for (const char* table : {"recordings", "slices", "glossary"})
            all += rows(QString("SELECT * FROM %1 ORDER BY id;").arg(table));
        return all;
    }

private:
    sqlite3* m_db = nullptr;
};

// Standard output written while `action` runs.
template <typename Action>
QString printedBy(Action&& action)
{
    testing::internal::CaptureStdout();
    action();
    return QString::fromStdString(testing::internal::GetCapturedStdout());
}

// What every start on an existing file prints: each column addition fails
// to compile because the column is there already.
inline QString secondStartLines()
{
    const std::pair<const char*, const char*> additions[] = {
        {"updated_at", "ALTER TABLE slices ADD COLUMN updated_at TEXT;"},
        {"last_synced_at", "ALTER TABLE recordings ADD COLUMN last_synced_at TEXT;"},
        {"last_synced_at", "ALTER TABLE slices ADD COLUMN last_synced_at TEXT;"},
        {"last_synced_at", "ALTER TABLE glossary ADD COLUMN last_synced_at TEXT;"},
        {"provider", "ALTER TABLE slices ADD COLUMN provider TEXT;"},
        {"device_id", "ALTER TABLE recordings ADD COLUMN device_id TEXT;"},
    };
    QString lines;
    for (const auto& [column, statement] : additions)
        lines += QString("[DatabaseManager] Prepare error: duplicate column name: %1 | SQL: %2\n")
                     .arg(column, statement);
    return lines;
}

// A fresh folder per test, with the store's file in it.
class StoreTest : public testing::Test
{
protected:
    QString folder() const { return m_dir.path(); }
    QString dbPath() const { return m_dir.path() + "/talvex.db"; }
    std::unique_ptr<DatabaseManager> openStore() const
    {
        return std::make_unique<DatabaseManager>(m_dir.path());
    }
    // Closes the store, lets `plant` change the file, opens a new store (its
    // start-up migrations see the planted rows) and returns what it printed
    // besides the column-addition lines of every later start.
    QString restartWith(std::unique_ptr<DatabaseManager>& store,
                        const std::function<void(RawDb&)>& plant = {})
    {
        store.reset();
        if (plant) {
            RawDb raw(dbPath());
            plant(raw);
        }
        const QString printed = printedBy([&] { store = openStore(); });
        return printed.startsWith(secondStartLines()) ? printed.mid(secondStartLines().size())
                                                      : printed;
    }

private:
    QTemporaryDir m_dir;
};

} // namespace dbtest
