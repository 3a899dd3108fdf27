#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <optional>

class DatabaseManager;
class Logger;

// The sync engine as the dictation engine and the screens use it. Until
// account sync is built, every operation does what it does for "local":
// nothing, and its state stays idle.
class SyncManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isSyncing READ isSyncing NOTIFY stateChanged)
public:
    SyncManager(DatabaseManager& db, Logger& logger, QObject* parent = nullptr);

    void schedulePush(const QString& userId);
    void sync(const QString& userId);
    void forceFullSync(const QString& userId);
    void startPeriodicSync(const QString& userId);
    void stopPeriodicSync();

    bool isSyncing() const { return m_isSyncing; }
    std::optional<QDateTime> lastSyncTime() const { return m_lastSyncTime; }
    std::optional<QString> lastError() const { return m_lastError; }

signals:
    void stateChanged();

private:
    bool m_isSyncing = false;
    std::optional<QDateTime> m_lastSyncTime;
    std::optional<QString> m_lastError;
};
