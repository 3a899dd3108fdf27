#pragma once

#include <QJsonArray>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

#include "platform/HttpClient.h"
#include "platform/Preferences.h"
#include "support/FakeBackend.h"
#include "support/QStringPrinter.h"
#include "support/RunTask.h"
#include "support/ScriptedWebAuthSession.h"
#include "support/TestClock.h"
#include "sync/AuthStateStream.h"
#include "sync/BackendClient.h"

using namespace std::chrono_literals;

// The settings key of the session for the fake backend (host 127.0.0.1).
inline const QString kSessionKey = "supabase_auth_sb-127-auth-token";
inline const QString kVerifierKey = kSessionKey + "-code-verifier";

// What a stream or the client's signal said, one text per change:
// "initialSession alice@example.com", "signedOut -".
class ChangeLog
{
public:
    void follow(AuthStateStream& stream)
    {
        QObject::connect(&stream, &AuthStateStream::changed, &m_context, [this](const AuthStateChange& c) { add(c); });
    }
    void follow(BackendClient& client)
    {
        QObject::connect(&client, &BackendClient::authStateChanged, &m_context,
                         [this](const AuthStateChange& c) { add(c); });
    }

    QStringList texts;
    QList<AuthStateChange> changes;

private:
    QObject m_context;   // ends the connections with the log

    void add(const AuthStateChange& change)
    {
        static const char* const names[] = {"initialSession", "signedIn", "signedOut", "tokenRefreshed"};
        texts << QString::fromLatin1(names[int(change.event)]) + ' '
                + (change.session ? change.session->user.email : QStringLiteral("-"));
        changes << change;
    }
};

// "ok", or the failure's description; "(no result in time)".
template <typename T>
QString outcomeOf(const std::optional<Result<T, BackendError>>& result)
{
    if (!result)
        return QStringLiteral("(no result in time)");
    return result->ok() ? QStringLiteral("ok") : result->error().description();
}
inline QString outcomeOf(const std::optional<std::optional<BackendError>>& result)
{
    if (!result)
        return QStringLiteral("(no result in time)");
    return result->has_value() ? (*result)->description() : QStringLiteral("ok");
}

// The fake backend with two users, one device's settings and client (more
// can be made), the scripted browser, and time that moves when told.
class BackendClientFixture : public testing::Test
{
public:
    BackendConfig config() const { return BackendConfig(backend.url(), FakeBackend::kPublishableKey); }

    // A device: its own settings file.
    std::unique_ptr<Preferences> newPreferences()
    {
        return std::make_unique<Preferences>(dir.path() + QStringLiteral("/device%1.conf").arg(++devices));
    }
    std::unique_ptr<BackendClient> newClient(Preferences& prefs, AuthTiming clientTiming)
    {
        return std::make_unique<BackendClient>(prefs, http, config(), clock.wallClock(), clientTiming);
    }
    std::unique_ptr<BackendClient> newClient(Preferences& prefs) { return newClient(prefs, timing); }

    // Signs `user` in on `on` through the fake; fails the test otherwise.
    BackendSession signIn(BackendClient& on, const FakeBackend::User& user)
    {
        backend.setSignInUser(user.id);
        const auto result = runTask(on.signInWithOAuth(browser));
        if (!result || !result->ok()) {
            ADD_FAILURE() << "sign-in failed: "
                          << (result ? result->error().description().toStdString() : "no result in time");
            return {};
        }
        return result->value();
    }
    BackendSession signIn(const FakeBackend::User& user) { return signIn(*client, user); }

    std::optional<Result<QJsonArray, BackendError>> select(BackendClient& on, const QString& userId,
                                                           std::optional<QDateTime> since = std::nullopt)
    {
        return runTask(on.select("glossary", since, userId, 2s));
    }
    std::optional<std::optional<BackendError>> upsert(BackendClient& on, const QString& userId,
                                                      const QJsonObject& row)
    {
        return runTask(on.upsert("glossary", row, userId, 2s));
    }

    // "METHOD path" of every request the fake got from `from` on.
    QStringList requestsSince(qsizetype from) const
    {
        QStringList lines;
        const QList<HttpFake::Request>& all = backend.requests();
        for (qsizetype i = from; i < all.size(); ++i)
            lines << QString::fromUtf8(all[i].method + ' ' + all[i].path);
        return lines;
    }

    static QString upper(const FakeBackend::User& user) { return user.id.toUpper(); }

    QTemporaryDir dir;
    int devices = 0;
    TestClock clock;
    FakeBackend backend{clock};
    HttpClient http;
    // The ticker stays out of the way unless a test shrinks it.
    AuthTiming timing{.tickInterval = 1h, .requestTimeout = 2s};
    FakeBackend::User alice = backend.addUser("alice@example.com");
    FakeBackend::User bob = backend.addUser("bob@example.com");
    ScriptedWebAuthSession browser;
    std::unique_ptr<Preferences> preferences = newPreferences();
    std::unique_ptr<BackendClient> client = newClient(*preferences);
};
