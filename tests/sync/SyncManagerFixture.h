#pragma once

// Devices that sync through the real backend client against the loopback
// fake backend: each with its own settings file, SQLite store, log and
// engine, on one test clock.
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

#include "platform/HttpClient.h"
#include "platform/Preferences.h"
#include "store/DatabaseManager.h"
#include "store/RecordId.h"
#include "store/TimeText.h"
#include "support/FakeBackend.h"
#include "support/LogCapture.h"
#include "support/QStringPrinter.h"
#include "support/RecordPrinter.h"
#include "support/RunTask.h"
#include "support/ScriptedWebAuthSession.h"
#include "support/TestClock.h"
#include "sync/BackendClient.h"
#include "sync/SyncManager.h"

using namespace std::chrono_literals;

namespace synctest {

// The engine's waits, shrunk.
inline SyncTiming shortTiming()
{
    SyncTiming timing;
    timing.pushDebounce = 40ms;
    timing.periodicInterval = 60ms;
    timing.retryUnit = 5ms;
    timing.requestTimeout = 3s;
    return timing;
}

// Runs the event loop until `task` has ended; false when it did not within
// 20 s.
inline bool finish(QCoro::Task<void> task)
{
    const auto ended = [](QCoro::Task<void> t) -> QCoro::Task<bool> {
        co_await std::move(t);
        co_return true;
    };
    return runTask(ended(std::move(task)), 20'000).has_value();
}

// One installation of the app.
class Device
{
    QTemporaryDir m_dir;

public:
    Device(FakeBackend& backend, TestClock& clock, SyncTiming timing = shortTiming())
        : m_backend(backend), m_clock(clock)
        , engine(db, log.logger, prefs, [this]() -> BackendClient& { return client(); }, timing,
                 clock.wallClock())
    {
    }

    Preferences prefs{m_dir.path() + "/Talvex.conf"};
    DatabaseManager db{m_dir.path()};
    LogCapture log;
    HttpClient http;

private:
    FakeBackend& m_backend;
    TestClock& m_clock;
    std::unique_ptr<BackendClient> m_client;

public:
    SyncManager engine;

    // The backend client, made on first use like the app's.
    BackendClient& client()
    {
        if (!m_client)
            m_client = std::make_unique<BackendClient>(
                prefs, http, BackendConfig(m_backend.url(), FakeBackend::kPublishableKey), m_clock.wallClock());
        return *m_client;
    }
    bool hasClient() const { return m_client != nullptr; }

    // Signs in as `user`; the engine's user id for them.
    QString signIn(const FakeBackend::User& user)
    {
        m_backend.setSignInUser(user.id);
        ScriptedWebAuthSession browser;
        const auto session = runTask(client().signInWithOAuth(browser), 10'000);
        EXPECT_TRUE(session && session->ok()) << "sign-in failed";
        return user.id.toUpper();
    }

    bool sync(const QString& userId) { return finish(engine.sync(userId)); }
    bool forceFullSync(const QString& userId) { return finish(engine.forceFullSync(userId)); }

    // The engine's own lines ("LEVEL message"), logged since the last call.
    QStringList freshLines() { return log.fresh().filter(QRegularExpression("^\\w+ SyncManager: ")); }
};

inline GlossaryItem glossaryItem(const QString& userId, const QString& content, const QDateTime& time)
{
    GlossaryItem item;
    item.id = newRecordId();
    item.userId = userId;
    item.content = content;
    item.createdAt = time;
    item.updatedAt = time;
    return item;
}

inline Recording recording(const QString& userId, const QDateTime& time)
{
    Recording r;
    r.id = newRecordId();
    r.userId = userId;
    r.createdAt = time;
    r.updatedAt = time;
    r.status = RecordingStatus::completed;
    r.sliceCount = 1;
    return r;
}

inline Slice slice(const Recording& recording, const QDateTime& time)
{
    Slice s;
    s.id = newRecordId();
    s.userId = recording.userId;
    s.recordingId = recording.id;
    s.sliceIndex = 1;
    s.filename = recording.id + "_001.m4a";
    s.status = SliceStatus::completed;
    s.updatedAt = time;
    return s;
}

inline QJsonObject bodyOf(const HttpFake::Request& request)
{
    return QJsonDocument::fromJson(request.body).object();
}

// "GET glossary", "POST slices": the table requests so far, from `from` on.
inline QStringList tableRequests(const FakeBackend& backend, qsizetype from = 0)
{
    QStringList result;
    const QList<HttpFake::Request>& requests = backend.requests();
    for (qsizetype i = from; i < requests.size(); ++i) {
        const QByteArray path = requests[i].path;
        if (!path.startsWith("/rest/v1/"))
            continue;
        const QByteArray table = path.mid(9).split('?').first();
        result << QString::fromLatin1(requests[i].method + ' ' + table);
    }
    return result;
}

// The backend's row of that id, or an empty object.
inline QJsonObject backendRow(const FakeBackend& backend, const QString& table, const QString& id)
{
    for (const QJsonObject& row : backend.rows(table)) {
        if (row.value("id").toString() == id)
            return row;
    }
    return {};
}

class SyncTest : public testing::Test
{
public:
    TestClock clock;

    // Real time, one millisecond after whatever the store marked so far, set
    // as the test clock's time: the store marks rows synced at the real
    // time, so a local edit after a sync must be stamped later than that,
    // and a backend stamp no later than the mark that follows its pull.
    QDateTime tick()
    {
        const QString start = TimeText::now();
        while (TimeText::now() == start) {
        }
        clock.set(QDateTime::currentDateTimeUtc());
        return clock.now();
    }

    FakeBackend backend{clock};
    FakeBackend::User alice = backend.addUser("alice@example.com");
    FakeBackend::User bob = backend.addUser("bob@example.com");
};

}  // namespace synctest
