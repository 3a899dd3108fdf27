#pragma once

#include <QString>

struct sqlite3;

// A second connection to a store that holds its write lock while it lives:
// the store's own writes fail at once ("database is locked") while its reads
// go on, as when the disk is full. Reads of the store are not blocked (WAL).
class StoreLock
{
public:
    explicit StoreLock(const QString& databasePath);
    ~StoreLock();
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

    // False when the lock could not be taken; the test should fail then.
    bool held() const { return m_held; }
    void release();

private:
    sqlite3* m_db = nullptr;
    bool m_held = false;
};
