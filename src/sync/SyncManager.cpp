#include "sync/SyncManager.h"

SyncManager::SyncManager(DatabaseManager&, Logger&, QObject* parent) : QObject(parent) {}

void SyncManager::schedulePush(const QString&) {}
void SyncManager::sync(const QString&) {}
void SyncManager::forceFullSync(const QString&) {}
void SyncManager::startPeriodicSync(const QString&) {}
void SyncManager::stopPeriodicSync() {}
