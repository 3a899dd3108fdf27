#include "store/StatementCache.h"

#include <QByteArray>
#include <sqlite3.h>
#include <utility>

StatementCache::StatementCache(sqlite3* db) : m_db(db) {}

StatementCache::~StatementCache()
{
    for (const auto& [sql, entry] : m_entries)
        sqlite3_finalize(entry.statement);
}

StatementCache::Use::Use(Use&& other) noexcept
    : m_statement(std::exchange(other.m_statement, nullptr)), m_inUse(other.m_inUse)
{
}

StatementCache::Use::~Use()
{
    if (!m_statement)
        return;
    if (!m_inUse) {
        sqlite3_finalize(m_statement);
        return;
    }
    sqlite3_reset(m_statement);
    sqlite3_clear_bindings(m_statement);
    *m_inUse = false;
}

StatementCache::Use StatementCache::use(const QString& sql)
{
    const auto found = m_entries.find(sql);
    if (found != m_entries.end() && !found->second.inUse) {
        found->second.inUse = true;
        return Use(found->second.statement, &found->second.inUse);
    }
    if (found != m_entries.end())
        return Use(prepare(sql, false), nullptr);
    makeRoom();
    sqlite3_stmt* statement = prepare(sql, true);
    if (!statement)
        return Use(nullptr, nullptr);
    Entry& entry = m_entries[sql];
    entry = {statement, true};
    return Use(statement, &entry.inUse);
}

sqlite3_stmt* StatementCache::prepare(const QString& sql, bool kept) const
{
    const QByteArray utf8 = sql.toUtf8();
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(m_db, utf8.constData(), int(utf8.size()), kept ? SQLITE_PREPARE_PERSISTENT : 0,
                           &statement, nullptr)
        != SQLITE_OK) {
        sqlite3_finalize(statement);
        return nullptr;
    }
    return statement;
}

// Texts built for a number of rows come in many lengths: once the cache is
// full, a statement not in use makes way for the new one.
void StatementCache::makeRoom()
{
    if (m_entries.size() < kCapacity)
        return;
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (!it->second.inUse) {
            sqlite3_finalize(it->second.statement);
            m_entries.erase(it);
            return;
        }
    }
}
