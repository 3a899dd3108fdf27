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
#include "sync/BackendError.h"
#include "sync/TaskLock.h"

class BackendClient;
class DatabaseManager;
class QJsonArray;
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
    // Drops the account's pull and full-sync checkpoints: its next sync
    // pulls in full.
    void forgetCheckpoints(const QString& userId);

    bool isSyncing() const { return m_isSyncing; }
    std::optional<QDateTime> lastSyncTime() const { return m_lastSyncTime; }
    std::optional<QString> lastError() const { return m_lastError; }

signals:
    void stateChanged();

private:
    // The three tables, in the order they are pulled and pushed.
    enum class Table { glossary, recordings, slices };
    using Failure = std::optional<BackendError>;

    // sync and forceFullSync, run with `cancel` (the periodic loop's or the
    // engine's lifetime).
    QCoro::Task<void> runSync(QString userId, bool forced, CancelToken cancel);
    QCoro::Task<void> debouncedPush(QString userId, CancelToken cancel);
    QCoro::Task<void> periodicLoop(QString userId, CancelToken cancel);

    // True when every table was pulled.
    QCoro::Task<bool> pull(QString userId, bool full, CancelToken cancel);
    QCoro::Task<void> push(QString userId, CancelToken cancel);
    QCoro::Task<Failure> pullTable(Table table, QString userId, std::optional<QDateTime> since,
                                   CancelToken cancel);
    QCoro::Task<Failure> pushTable(Table table, QString userId, CancelToken cancel);
    // Applies one answer in one transaction, without waiting.
    void applyGlossaryItems(const QJsonArray& rows, const QString& userId);
    void applyRecordings(const QJsonArray& rows, const QString& userId);
    void applySlices(const QJsonArray& rows, const QString& userId);
    // The table's dirty rows as push objects, with what marks them.
    struct DirtyRows;
    DirtyRows dirtyRows(Table table, const QString& userId) const;
    void markSynced(Table table, const DirtyRows& rows);

    bool isFullSyncNeeded(const QString& userId) const;
    std::optional<QDateTime> checkpoint(const QString& key) const;

    void setSyncing(bool syncing);
    void setLastError(std::optional<QString> error);
    void skipRow(Table table, const QString& id, const QString& reason);


    DatabaseManager& m_db;
    Logger& m_logger;
    Preferences& m_preferences;
    ClientProvider m_client;
    const SyncTiming m_timing;
    const WallClock m_clock;

    // Pulls and pushes take turns: a push that read a row must not send it
    // after a pull wrote the row's newer copy.
    TaskLock m_turns;
    std::optional<CancelToken> m_pushTask;
    std::optional<CancelToken> m_periodicTask;
    // Cancelled when the engine goes: ends its waits and requests.
    CancelToken m_lifetime;

    bool m_isSyncing = false;
    std::optional<QDateTime> m_lastSyncTime;
    std::optional<QString> m_lastError;
};
