#pragma once

#include <QString>
#include <QTemporaryDir>

#include "platform/Preferences.h"
#include "store/DatabaseManager.h"
#include "support/LogCapture.h"
#include "sync/BackendClient.h"
#include "sync/SyncManager.h"

class HttpClient;
class WebAuthSession;

// One installation of the app as the sync sees it: its own folder with a
// store and a settings file, its own log, backend client and sync engine.
// Several live in one test process, sharing one HttpClient, as several
// devices of one or more accounts. The clock is the real one, as the store's.
class SyncDevice
{
    QTemporaryDir m_dir;   // before everything that keeps files in it

public:
    SyncDevice(HttpClient& http, const BackendConfig& config, const SyncTiming& timing,
               const AuthTiming& authTiming = {});
    SyncDevice(const SyncDevice&) = delete;
    SyncDevice& operator=(const SyncDevice&) = delete;

    // Signs in through `browser`; false (with the reason in `failure`) when
    // the sign-in failed or did not end within `timeoutMs`.
    bool signIn(WebAuthSession& browser, QString* failure = nullptr, int timeoutMs = 10'000);
    // The signed-in account as the app names it (upper-case UUID text);
    // empty before signIn().
    const QString& userId() const { return m_userId; }

    // The engine's sync and forced full sync of the signed-in account, the
    // event loop running until it has ended; false when it had not within
    // `timeoutMs` (it has hung).
    bool sync(int timeoutMs);
    bool forceFullSync(int timeoutMs);

    Preferences preferences;
    LogCapture log;
    DatabaseManager db;
    BackendClient client;
    SyncManager engine;

private:
    static bool finish(QCoro::Task<void> task, int timeoutMs);

    QString m_userId;
};
