#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QUrl>
#include <chrono>
#include <optional>

#include "support/HttpFake.h"

class TestClock;

// The hosted backend as the client sees it, on loopback, in memory: accounts
// (PKCE sign-in, refresh with rotation, logout) and the three tables with
// their row rules. Time is the test's clock. Its controls (users, faults,
// revoked tokens, rows written by another device, the request log) are for
// the test only.
class FakeBackend : public QObject
{
    Q_OBJECT
public:
    // 46 characters, as the real publishable keys.
    static constexpr auto kPublishableKey = "sb_publishable_fakefakefakefakefakefakefakefak";
    static constexpr auto kRedirect = "talvex://auth-callback";

    explicit FakeBackend(TestClock& clock, QObject* parent = nullptr);
    ~FakeBackend() override;

    // The backend's base address ("http://127.0.0.1:<port>").
    QUrl url() const;

    // Accounts.
    struct User
    {
        QString id;   // lower-case UUID text
        QString email;
    };
    User addUser(const QString& email);
    // The user every authorize signs in from now on; without one it answers
    // with an error.
    void setSignInUser(const QString& userId);
    // The next authorize (only that one) comes back with this error in place
    // of a code.
    void setSignInError(const QString& error, const QString& description);
    // Access tokens issued from now on live this long (3600 s unless set).
    void setTokenLifetime(std::chrono::seconds lifetime);
    // Every access token issued so far is expired from now on.
    void expireTokens();
    // Every session of the user ends: refresh tokens refused, access tokens 401.
    void revokeSessions(const QString& userId);
    // Tokens, codes and verifiers the fake has seen or issued, for checking
    // that none reaches a log.
    QStringList secretsIssued() const;
    // Those of them that `text` holds: none, unless something leaked.
    QStringList secretsIn(const QString& text) const;

    // Tables. Rows as stored: every column (null when unset), with "user_id"
    // and "created_at", ids in lower case, times as the real service writes
    // them. An upsert whose updated_at is older than the stored row's
    // changes nothing (201 with no row), as the deployed tables' update rule.
    QList<QJsonObject> rows(const QString& table) const;
    // Writes a row as another device of `userId` would push it (merged into
    // an existing id), owned by `userId` and stamped updated_at = now unless
    // the row carries either key. Ids and times that read as such take the
    // stored form; other values are kept as given, so that a test can plant
    // rows the service would refuse (an id that is no UUID, a null or
    // unreadable updated_at).
    void writeRow(const QString& table, const QString& userId, const QJsonObject& row);
    // Row rules off: every select sees every user's rows and a write may
    // change another user's row.
    void setRowRulesEnabled(bool enabled);

    // Faults, matched by method and path (the path without the query, e.g.
    // "/rest/v1/recordings"; an empty method or path matches any), the
    // first added first.
    struct Fault
    {
        enum class Kind {
            serverError,        // answers `status` (5xx) without doing anything
            noAnswer,           // never answers; the connection stays open
            // The two drops close the connection within a 502's body (see
            // droppedConnection() for why there): the client sees a network
            // failure, or at times a 502 with a truncated body.
            dropBeforeAnswer,   // closes the connection without doing anything
            dropAfterApply,     // does the work, then closes without answering
            // Does the work, sends the answer's headers and half its body,
            // closes: a network failure to the client, or at times the
            // answer's status with the truncated body (so meant for answers
            // the client reads: pulls, sessions).
            halfAnswer,
            delay,              // answers after `delay`
        };
        QByteArray method;
        QString path;
        Kind kind = Kind::serverError;
        int times = 1;          // how many requests it hits; -1: every one
        int status = 503;
        std::chrono::milliseconds delay{0};
    };
    void addFault(const Fault& fault);
    void clearFaults();
    // Every connection is closed unanswered while offline; such requests
    // never reach the backend, so they are not in requests().
    void setOffline(bool offline);

    // Every request as it arrived, in order.
    const QList<HttpFake::Request>& requests() const;

private:
    class State;
    std::unique_ptr<State> m_state;
};
