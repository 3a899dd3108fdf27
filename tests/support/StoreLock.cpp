#include "support/StoreLock.h"

#include <sqlite3.h>

StoreLock::StoreLock(const QString& databasePath)
{
    if (sqlite3_open_v2(databasePath.toUtf8().constData(), &m_db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        return;
    m_held = sqlite3_exec(m_db, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr) == SQLITE_OK;
}

StoreLock::~StoreLock()
{
    release();
    sqlite3_close_v2(m_db);
}

void StoreLock::release()
{
    if (m_held)
        sqlite3_exec(m_db, "ROLLBACK;", nullptr, nullptr, nullptr);
    m_held = false;
}
