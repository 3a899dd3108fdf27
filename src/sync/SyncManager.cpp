#include "sync/SyncManager.h"

SyncManager::SyncManager(DatabaseManager& db, Logger& logger, Preferences& preferences, ClientProvider client,
                         SyncTiming timing, WallClock clock, QObject* parent)
    : QObject(parent), m_db(db), m_logger(logger), m_preferences(preferences), m_client(std::move(client))
    , m_timing(timing), m_clock(std::move(clock))
{
}

SyncManager::~SyncManager() = default;

void SyncManager::schedulePush(const QString&) {}
QCoro::Task<void> SyncManager::sync(QString) { co_return; }
QCoro::Task<void> SyncManager::forceFullSync(QString) { co_return; }
void SyncManager::startPeriodicSync(const QString&) {}
void SyncManager::stopPeriodicSync() {}
