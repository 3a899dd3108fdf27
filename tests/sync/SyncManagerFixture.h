#pragma once

// Devices that sync through the real backend client against the loopback
// fake backend: each with its own settings file, SQLite store, log and
// engine, on one test clock.
#include <QJsonDocument>
#include <QSignalSpy>
#include <gtest/gtest.h>
#include <memory>

#include "platform/HttpClient.h"
#include "platform/Preferences.h"
#include "store/DatabaseManager.h"
#include "store/RecordId.h"
#include "store/TimeText.h"
#include "support/FakeBackend.h"
#include "support/QStringPrinter.h"
#include "support/RecordPrinter.h"
#include "support/RunTask.h"
#include "support/ScriptedWebAuthSession.h"
#include "support/SyncDevice.h"
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

// The HTTP client of one device, made before the device.
struct OwnHttpClient
{
    HttpClient http;
};

// One installation of the app on the test clock, with an HTTP client of its
// own, whose engine is driven for any user id.
class Device : private OwnHttpClient, public SyncDevice
{
public:
    Device(FakeBackend& backend, TestClock& clock, SyncTiming timing = shortTiming())
        : SyncDevice(http, BackendConfig(backend.url(), FakeBackend::kPublishableKey), timing, {},
                     clock.wallClock())
        , m_backend(backend)
    {
    }

    // Signs in as `user`; the engine's user id for them.
    QString signIn(const FakeBackend::User& user)
    {
        m_backend.setSignInUser(user.id);
        ScriptedWebAuthSession browser;
        QString failure;
        EXPECT_TRUE(SyncDevice::signIn(browser, &failure)) << "sign-in failed: " << failure.toStdString();
        return user.id.toUpper();
    }

    // The engine's operations for `userId`, run to their end (20 s at most).
    bool sync(const QString& userId) { return finish(engine.sync(userId), 20'000); }
    bool forceFullSync(const QString& userId) { return finish(engine.forceFullSync(userId), 20'000); }

    // The engine's own lines ("LEVEL message"), logged since the last call.
    QStringList freshLines() { return log.fresh().filter(QRegularExpression("^\\w+ SyncManager: ")); }

private:
    FakeBackend& m_backend;
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
