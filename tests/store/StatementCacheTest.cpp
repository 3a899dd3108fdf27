#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <sqlite3.h>

#include "store/StatementCache.h"

namespace {

// A database file with three rows, on a connection of its own.
class StatementCacheTest : public testing::Test
{
protected:
    StatementCacheTest()
    {
        path = (dir.path() + "/cache.db").toUtf8();
        sqlite3_open(path.constData(), &db);
        sqlite3_exec(db, "CREATE TABLE t (n INTEGER); INSERT INTO t VALUES (1), (2), (3);", nullptr,
                     nullptr, nullptr);
        cache = std::make_unique<StatementCache>(db);
    }
    ~StatementCacheTest() override
    {
        cache.reset();
        sqlite3_close(db);
    }

    QTemporaryDir dir;
    QByteArray path;
    sqlite3* db = nullptr;
    std::unique_ptr<StatementCache> cache;
};

const QString kAll = QStringLiteral("SELECT n FROM t ORDER BY n;");

}

// A text used again while its statement is stepping gets one of its own:
// handing out the same statement would restart the outer loop.
TEST_F(StatementCacheTest, ANestedUseOfTheSameTextStepsOnItsOwn)
{
    sqlite3_stmt* kept = nullptr;
    {
        const StatementCache::Use outer = cache->use(kAll);
        kept = outer.get();
        ASSERT_EQ(sqlite3_step(outer.get()), SQLITE_ROW);
        {
            const StatementCache::Use inner = cache->use(kAll);
            ASSERT_NE(inner.get(), outer.get());
            ASSERT_EQ(sqlite3_step(inner.get()), SQLITE_ROW);
            EXPECT_EQ(sqlite3_column_int(inner.get(), 0), 1);
        }
        ASSERT_EQ(sqlite3_step(outer.get()), SQLITE_ROW);
        EXPECT_EQ(sqlite3_column_int(outer.get(), 0), 2);
    }
    // Compiled once: the next use gets the kept statement, at its start.
    const StatementCache::Use again = cache->use(kAll);
    EXPECT_EQ(again.get(), kept);
    ASSERT_EQ(sqlite3_step(again.get()), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(again.get(), 0), 1);
}

// A use that ends part-way leaves no read open: another connection can then
// take the database for itself.
TEST_F(StatementCacheTest, AnEndedUseHoldsNoLock)
{
    {
        const StatementCache::Use use = cache->use(kAll);
        ASSERT_EQ(sqlite3_step(use.get()), SQLITE_ROW);
    }
    sqlite3* other = nullptr;
    sqlite3_open(path.constData(), &other);
    EXPECT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE; COMMIT;", nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(other);
    sqlite3_close(other);
}

// Many texts: the cache makes room, never with a statement in use; a text
// that does not compile gets no statement.
TEST_F(StatementCacheTest, MakingRoomSparesTheStatementsInUse)
{
    const StatementCache::Use held = cache->use(kAll);
    for (int i = 0; i < 200; ++i)
        ASSERT_NE(cache->use(QStringLiteral("SELECT %1;").arg(i)).get(), nullptr);
    ASSERT_EQ(sqlite3_step(held.get()), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(held.get(), 0), 1);
    EXPECT_EQ(cache->use(QStringLiteral("SELECT FROM;")).get(), nullptr);
}
