#pragma once

#include <QCoroTask>
#include <QString>
#include <QTemporaryDir>
#include <memory>

#include "platform/Preferences.h"
#include "platform/WallClock.h"
#include "store/DatabaseManager.h"
#include "support/LogCapture.h"
#include "sync/BackendClient.h"
#include "sync/SyncManager.h"

class HttpClient;
class WebAuthSession;

// One installation of the app as the sync sees it: its own folder with a
// store and a settings file, its own log, backend client and sync engine.
// Several live in one test process as several devices of one or more
// accounts. The clock is the real one, as the store's, unless one is given.
class SyncDevice
{
    QTemporaryDir m_dir;   // before everything that keeps files in it

public:
    SyncDevice(HttpClient& http, BackendConfig config, const SyncTiming& timing,
               const AuthTiming& authTiming = {}, WallClock clock = systemWallClock);
    SyncDevice(const SyncDevice&) = delete;
    SyncDevice& operator=(const SyncDevice&) = delete;

    // The backend client, made on first use like the app's.
    BackendClient& client();
    bool hasClient() const { return m_client != nullptr; }

    // Signs in through `browser`; false (with the reason in `failure`) when
    // the sign-in failed or did not end within `timeoutMs`.
    bool signIn(WebAuthSession& browser, QString* failure = nullptr, int timeoutMs = 10'000);
    // The signed-in account as the app names it (upper-case UUID text);
    // empty before signIn().
    const QString& userId() const { return m_userId; }

    // The engine's sync and forced full sync of the signed-in account, the
    // event loop running until it has ended; false when it had not within
    // `timeoutMs` (it has hung).
    bool sync(int timeoutMs) { return finish(engine.sync(m_userId), timeoutMs); }
    bool forceFullSync(int timeoutMs) { return finish(engine.forceFullSync(m_userId), timeoutMs); }

    // Runs the event loop until `task` has ended; false when it had not
    // within `timeoutMs`.
    static bool finish(QCoro::Task<void> task, int timeoutMs);

    Preferences preferences;
    LogCapture log;
    DatabaseManager db;

private:
    HttpClient& m_http;
    const BackendConfig m_config;
    const AuthTiming m_authTiming;
    const WallClock m_clock;
    std::unique_ptr<BackendClient> m_client;
    QString m_userId;

public:
    // After the client it asks for: it goes first, ending its tasks.
    SyncManager engine;
};
