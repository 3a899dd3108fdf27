#pragma once

#include <QCoroTask>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <chrono>
#include <functional>
#include <optional>

#include "platform/CancelToken.h"
#include "platform/WallClock.h"

class BackendClient;
class DatabaseManager;
class Logger;
class Preferences;

// The waits and limits of the sync engine, which tests shrink.
struct SyncTiming
{
    std::chrono::milliseconds pushDebounce{3'000};
    std::chrono::milliseconds periodicInterval{300'000};
    // A sync pulls in full when the last full sync is older than this.
    std::chrono::milliseconds fullSyncAge{86'400'000};
    int pushAttempts = 4;
    // The waits before the retries of a push are 2, 4, 8 of these.
    std::chrono::milliseconds retryUnit{1'000};
    std::chrono::milliseconds requestTimeout{30'000};
    // An incremental pull asks for rows this much older than its checkpoint:
    // other devices push rows stamped earlier than the push.
    std::chrono::milliseconds pullOverlap{600'000};
};

// Keeps the local rows of a signed-in account in step with the backend: a
// debounced push after each local change, a periodic sync, a sync on demand
// and a forced full sync. Main thread only. For "local" its sync operations
// do nothing.
class SyncManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isSyncing READ isSyncing NOTIFY stateChanged)
public:
    // The client is made on first use, so "local" never creates it.
    using ClientProvider = std::function<BackendClient&()>;

    SyncManager(DatabaseManager& db, Logger& logger, Preferences& preferences, ClientProvider client,
                SyncTiming timing = {}, WallClock clock = systemWallClock, QObject* parent = nullptr);
    ~SyncManager() override;

    void schedulePush(const QString& userId);
    QCoro::Task<void> sync(QString userId);
    QCoro::Task<void> forceFullSync(QString userId);
    void startPeriodicSync(const QString& userId);
    void stopPeriodicSync();

    bool isSyncing() const { return m_isSyncing; }
    std::optional<QDateTime> lastSyncTime() const { return m_lastSyncTime; }
    std::optional<QString> lastError() const { return m_lastError; }

signals:
    void stateChanged();

private:
    DatabaseManager& m_db;
    Logger& m_logger;
    Preferences& m_preferences;
    ClientProvider m_client;
    const SyncTiming m_timing;
    const WallClock m_clock;

    bool m_isSyncing = false;
    std::optional<QDateTime> m_lastSyncTime;
    std::optional<QString> m_lastError;
};
