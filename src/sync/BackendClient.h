#pragma once

#include <QCoroTask>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrlQuery>
#include <chrono>
#include <memory>
#include <optional>

#include "platform/CancelToken.h"
#include "platform/HttpClient.h"
#include "platform/Result.h"
#include "platform/WallClock.h"
#include "sync/AuthStateChange.h"
#include "sync/BackendConfig.h"
#include "sync/BackendError.h"
#include "sync/BackendSession.h"
#include "sync/UserDefaultsLocalStorage.h"

class AuthStateStream;
class Preferences;
class QTimer;
class SessionRefresh;
class WebAuthSession;

// The session's refresh rules and the account requests' time-out.
struct AuthTiming
{
    // A request is preceded by a refresh when less than this is left.
    std::chrono::milliseconds refreshMargin{30'000};
    // How often the ticker looks at the session (real time)...
    std::chrono::milliseconds tickInterval{30'000};
    // ...and refreshes it when this many whole periods (clock time) or fewer are left.
    std::chrono::milliseconds tickPeriod{30'000};
    int tickThreshold = 3;
    std::chrono::milliseconds requestTimeout{30'000};
};

// Our client of the hosted backend: the account requests (sign-in with PKCE,
// refresh, sign-out), the stored session and its stream of changes, and the
// table reads and writes of the sync engine. Main thread only.
//
// Nothing is sent or timed before the first call. With an unusable
// configuration every operation fails with BackendError::notConfigured.
class BackendClient : public QObject
{
    Q_OBJECT
public:
    BackendClient(Preferences& preferences, HttpClient& http, BackendConfig config, WallClock clock,
                  AuthTiming timing = {}, QObject* parent = nullptr);
    ~BackendClient() override;

    const BackendConfig& config() const { return m_config; }

    // The stored session as it stands (not checked, not refreshed).
    std::optional<BackendSession> storedSession() const;

    // The whole browser sign-in with Google and PKCE: the session is stored
    // and announced (signedIn) before this returns it.
    QCoro::Task<Result<BackendSession, BackendError>> signInWithOAuth(WebAuthSession& browser);

    // Removes the stored session and announces signedOut, then ends the
    // session on every device. With no stored session: nothing, no request.
    // None when it succeeded.
    QCoro::Task<std::optional<BackendError>> signOut();

    // A new subscriber. Its first element comes after this returns, once the
    // stored session has been checked (refreshed when expired); then it gets
    // signedIn, signedOut and tokenRefreshed.
    std::unique_ptr<AuthStateStream> authStateChanges();

    // The rows of `table` visible to the session's user, those with an
    // updated_at later than `since` when given. Fails unsent unless the
    // session's user is `userId`.
    QCoro::Task<Result<QJsonArray, BackendError>> select(QString table, std::optional<QDateTime> since,
                                                         QString userId,
                                                         std::chrono::milliseconds timeout,
                                                         CancelToken cancel = {});
    // Inserts `row` or merges it into the row with its id. None when it
    // succeeded. Fails unsent unless the session's user is `userId`.
    QCoro::Task<std::optional<BackendError>> upsert(QString table, QJsonObject row, QString userId,
                                                    std::chrono::milliseconds timeout,
                                                    CancelToken cancel = {});

signals:
    // Every change after the first elements: signedIn, signedOut, tokenRefreshed.
    void authStateChanged(const AuthStateChange& change);

private:
    using SessionResult = Result<BackendSession, BackendError>;
    using AnswerResult = Result<HttpAnswer, BackendError>;
    struct Subscriber
    {
        QPointer<AuthStateStream> stream;
        bool started = false;   // its first element has gone out
    };

    // First use: from here on the ticker runs while a session is stored.
    void start();
    void storeSession(const BackendSession& session);
    void removeSession();
    void announce(AuthStateChange::Event event, const std::optional<BackendSession>& session);
    void onTick();
    QCoro::Task<void> deliverInitialSession(QPointer<AuthStateStream> stream);

    // The stored session, refreshed first when less than the margin is left.
    QCoro::Task<SessionResult> usableSession(BackendSession stored, CancelToken cancel);
    // Joins the refresh under way or starts one from `from`.
    QCoro::Task<SessionResult> refreshSession(BackendSession from, CancelToken cancel);
    QCoro::Task<void> runRefresh(std::shared_ptr<SessionRefresh> refresh, BackendSession from);
    SessionResult settleRefresh(const BackendSession& from, SessionResult outcome);
    // One refresh request: nothing stored or announced.
    QCoro::Task<SessionResult> requestRefresh(QString refreshToken);
    // A session from the token path for `grant` with `body`.
    QCoro::Task<SessionResult> requestSession(QString grant, QJsonObject body, QStringList secrets);

    // A table request with the session's token, sent again once after a
    // forced refresh when the token was refused.
    QCoro::Task<AnswerResult> sendTableRequest(HttpRequest request, QString userId, CancelToken cancel);
    QCoro::Task<AnswerResult> sendAccountRequest(QString path, QUrlQuery query, QJsonObject body,
                                                 QString bearer, QStringList secrets);
    HttpRequest request(const QByteArray& method, QUrl url, const QString& bearer,
                        std::chrono::milliseconds timeout) const;
    AnswerResult classify(const HttpResult& result, const QStringList& secrets) const;
    QString withoutSecrets(QString text, const QStringList& secrets) const;
    QString verifierKey() const { return m_config.storageKey() + QStringLiteral("-code-verifier"); }

    Preferences& m_preferences;
    HttpClient& m_http;
    const BackendConfig m_config;
    const WallClock m_clock;
    const AuthTiming m_timing;
    UserDefaultsLocalStorage m_storage;

    bool m_started = false;
    bool m_signingIn = false;   // a sign-in holds the verifier entry
    QTimer* m_ticker = nullptr;
    std::shared_ptr<SessionRefresh> m_refresh;   // the refresh under way
    QList<Subscriber> m_subscribers;
};
