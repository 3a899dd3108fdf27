#include "sync/BackendClient.h"

#include <QCoroSignal>
#include <QJsonDocument>
#include <QTimer>

#include "platform/Preferences.h"
#include "platform/SecretMask.h"
#include "platform/WebAuthSession.h"
#include "store/TimeText.h"
#include "sync/AuthStateStream.h"
#include "sync/PkceCodes.h"
#include "sync/SessionRefresh.h"

namespace {

using Header = std::pair<QByteArray, QByteArray>;

constexpr auto kApiVersion = "2024-01-01";
constexpr auto kRedirect = "talvex://auth-callback";
constexpr auto kCallbackScheme = "talvex";

// What a task returns when its client was destroyed while it waited.
BackendError clientGone() { return BackendError::transport(HttpError::cancelled()); }

bool isSuccess(int status) { return status >= 200 && status < 300; }

// A refusal that ends the session. A rate limit or a request time-out says
// nothing about the token, so they keep it like a server failure does.
bool isRefusal(const BackendError& error)
{
    const std::optional<int> status = error.statusCode();
    return error.kind() == BackendError::Kind::status && status && *status >= 400 && *status < 500
        && *status != 408 && *status != 429;
}

bool isUser(const BackendSession& session, const QString& userId)
{
    return session.userId().compare(userId, Qt::CaseInsensitive) == 0;
}

// The callback's query items; "+" is a space there, as in a form.
QUrlQuery callbackQuery(const QUrl& callback)
{
    QString query = callback.query(QUrl::FullyEncoded);
    query.replace(QLatin1Char('+'), QLatin1String("%20"));
    return QUrlQuery(query);
}

QString queryValue(const QUrlQuery& query, const QString& key)
{
    return query.queryItemValue(key, QUrl::FullyDecoded);
}

}  // namespace

BackendClient::BackendClient(Preferences& preferences, HttpClient& http, BackendConfig config, WallClock clock,
                             AuthTiming timing, QObject* parent)
    : QObject(parent), m_preferences(preferences), m_http(http), m_config(std::move(config))
    , m_clock(std::move(clock)), m_timing(timing), m_storage(preferences)
{
}

BackendClient::~BackendClient()
{
    // A sign-in still waiting for the browser never comes back to remove its
    // verifier: the secret must not outlive it in the settings file.
    if (m_signingIn)
        m_storage.remove(verifierKey());
}

// ---- session storage and announcements ----

std::optional<BackendSession> BackendClient::storedSession() const
{
    const std::optional<QByteArray> stored = m_storage.retrieve(m_config.storageKey());
    if (!stored)
        return std::nullopt;
    return BackendSession::fromJson(QJsonDocument::fromJson(*stored).object(), m_clock());
}

void BackendClient::start()
{
    if (m_started)
        return;
    m_started = true;
    m_ticker = new QTimer(this);
    m_ticker->setInterval(m_timing.tickInterval);
    connect(m_ticker, &QTimer::timeout, this, &BackendClient::onTick);
    if (storedSession())
        m_ticker->start();
}

void BackendClient::storeSession(const BackendSession& session)
{
    m_storage.store(m_config.storageKey(), QJsonDocument(session.toJson()).toJson(QJsonDocument::Compact));
    if (!m_ticker->isActive())
        m_ticker->start();
}

void BackendClient::removeSession()
{
    m_storage.remove(m_config.storageKey());
    m_ticker->stop();
}

void BackendClient::announce(AuthStateChange::Event event, const std::optional<BackendSession>& session)
{
    const AuthStateChange change{event, session};
    m_subscribers.removeIf([](const Subscriber& s) { return !s.stream; });
    // A copy: a receiver may subscribe or end its stream meanwhile.
    const QList<Subscriber> subscribers = m_subscribers;
    for (const Subscriber& subscriber : subscribers) {
        if (subscriber.started && subscriber.stream)
            emit subscriber.stream->changed(change);
    }
    emit authStateChanged(change);
}

std::unique_ptr<AuthStateStream> BackendClient::authStateChanges()
{
    start();
    auto stream = std::make_unique<AuthStateStream>();
    const QPointer<AuthStateStream> subscriber(stream.get());
    m_subscribers.append({subscriber, false});
    QTimer::singleShot(0, this, [this, subscriber] { deliverInitialSession(subscriber); });
    return stream;
}

QCoro::Task<void> BackendClient::deliverInitialSession(QPointer<AuthStateStream> stream)
{
    const QPointer<BackendClient> self(this);
    std::optional<BackendSession> session = storedSession();
    if (session && m_clock().msecsTo(session->expiresAt) < m_timing.refreshMargin.count()) {
        co_await refreshSession(*session, {});
        if (!self)
            co_return;
        // Refreshed, removed when refused, or kept when it could not be
        // checked (no network): signing out must still find it.
        session = storedSession();
    }
    if (!stream)
        co_return;
    for (Subscriber& subscriber : m_subscribers) {
        if (subscriber.stream == stream)
            subscriber.started = true;
    }
    emit stream->changed(AuthStateChange{AuthStateChange::Event::initialSession, session});
}

// ---- refresh ----

void BackendClient::onTick()
{
    const std::optional<BackendSession> session = storedSession();
    if (!session) {
        m_ticker->stop();
        return;
    }
    const qint64 periodsLeft = m_clock().msecsTo(session->expiresAt) / m_timing.tickPeriod.count();
    if (periodsLeft <= m_timing.tickThreshold)
        refreshSession(*session, {});
}

QCoro::Task<BackendClient::SessionResult> BackendClient::usableSession(BackendSession stored, CancelToken cancel)
{
    if (m_clock().msecsTo(stored.expiresAt) >= m_timing.refreshMargin.count())
        co_return stored;
    co_return co_await refreshSession(std::move(stored), std::move(cancel));
}

QCoro::Task<BackendClient::SessionResult> BackendClient::refreshSession(BackendSession from, CancelToken cancel)
{
    std::shared_ptr<SessionRefresh> refresh = m_refresh;
    if (!refresh) {
        refresh = std::make_shared<SessionRefresh>();
        m_refresh = refresh;
        runRefresh(refresh, std::move(from));
    }
    // The refresh itself is not cancelled with one waiter: others need it.
    // Queued, so that cancel() returns before this task resumes.
    const QMetaObject::Connection onCancel = connect(cancel.notifier(), &CancelNotifier::cancelled, refresh.get(),
                                                     &SessionRefresh::wake, Qt::QueuedConnection);
    while (!refresh->outcome() && !cancel.isCancelled())
        co_await qCoro(refresh.get(), &SessionRefresh::wake);
    disconnect(onCancel);
    if (!refresh->outcome())
        co_return BackendError::transport(HttpError::cancelled());
    co_return *refresh->outcome();
}

QCoro::Task<void> BackendClient::runRefresh(std::shared_ptr<SessionRefresh> refresh, BackendSession from)
{
    const QPointer<BackendClient> self(this);
    SessionResult outcome = co_await requestRefresh(from.refreshToken);
    if (self) {
        outcome = settleRefresh(from, std::move(outcome));
        if (m_refresh == refresh)
            m_refresh.reset();
    } else {
        outcome = clientGone();
    }
    refresh->finish(std::move(outcome));
}

BackendClient::SessionResult BackendClient::settleRefresh(const BackendSession& from, SessionResult outcome)
{
    // A sign-out or another sign-in while the refresh was under way wins.
    const std::optional<BackendSession> stored = storedSession();
    if (!stored || stored->refreshToken != from.refreshToken) {
        if (!stored)
            return BackendError::notSignedIn();
        return *stored;
    }
    if (outcome.ok()) {
        // Stored before anyone uses or hears of it.
        storeSession(outcome.value());
        announce(AuthStateChange::Event::tokenRefreshed, outcome.value());
    } else if (isRefusal(outcome.error())) {
        removeSession();
        announce(AuthStateChange::Event::signedOut, std::nullopt);
    }
    return outcome;
}

QCoro::Task<BackendClient::SessionResult> BackendClient::requestRefresh(QString refreshToken)
{
    const QString grant = QStringLiteral("refresh_token");
    const QJsonObject body{{grant, refreshToken}};
    const QStringList secrets{refreshToken};
    co_return co_await requestSession(grant, body, secrets);
}

QCoro::Task<BackendClient::SessionResult> BackendClient::requestSession(QString grant, QJsonObject body,
                                                                         QStringList secrets)
{
    const QPointer<BackendClient> self(this);
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("grant_type"), grant);
    const QString path = QStringLiteral("token");
    const AnswerResult answer =
        co_await sendAccountRequest(path, query, body, m_config.publishableKey(), secrets);
    if (!self)
        co_return clientGone();
    if (!answer.ok())
        co_return answer.error();
    const std::optional<BackendSession> session =
        BackendSession::fromJson(QJsonDocument::fromJson(answer.value().body).object(), m_clock());
    if (!session)
        co_return BackendError::transport(HttpError::malformedJson(QStringLiteral("no session in the answer")));
    co_return *session;
}

// ---- account requests ----

QCoro::Task<Result<BackendSession, BackendError>> BackendClient::signInWithOAuth(WebAuthSession& browser)
{
    const QPointer<BackendClient> self(this);
    start();
    if (const std::optional<QString> problem = m_config.problem())
        co_return BackendError::notConfigured(*problem);

    // A second sign-in would replace the verifier the first one's callback needs.
    if (m_signingIn)
        co_return BackendError::signIn(QStringLiteral("Another sign-in is already under way."));
    m_signingIn = true;
    const QString verifier = PkceCodes::newVerifier();
    m_storage.store(verifierKey(), verifier.toUtf8());
    QUrl authorize = m_config.accountUrl(QStringLiteral("authorize"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("provider"), QStringLiteral("google"));
    query.addQueryItem(QStringLiteral("redirect_to"), QString::fromLatin1(kRedirect));
    query.addQueryItem(QStringLiteral("code_challenge"), PkceCodes::challenge(verifier));
    query.addQueryItem(QStringLiteral("code_challenge_method"), QStringLiteral("s256"));
    authorize.setQuery(query);

    const QString scheme = QString::fromLatin1(kCallbackScheme);
    const Result<QUrl, QString> callback = co_await browser.authenticate(authorize, scheme);
    if (!self)
        co_return clientGone();
    m_signingIn = false;
    // The verifier is read back as the sign-in stored it, then forgotten.
    const std::optional<QByteArray> storedVerifier = m_storage.retrieve(verifierKey());
    m_storage.remove(verifierKey());
    if (!callback.ok())
        co_return BackendError::signIn(callback.error());
    const QUrlQuery answer = callbackQuery(callback.value());
    const QString error = queryValue(answer, QStringLiteral("error"));
    const QString errorDescription = queryValue(answer, QStringLiteral("error_description"));
    if (!error.isEmpty() || !errorDescription.isEmpty())
        co_return BackendError::signIn(errorDescription.isEmpty() ? error : errorDescription);
    const QString code = queryValue(answer, QStringLiteral("code"));
    if (code.isEmpty())
        co_return BackendError::signIn(QStringLiteral("The sign-in came back without a code."));
    if (!storedVerifier)
        co_return BackendError::signIn(QStringLiteral("The sign-in was ended on this device before it came back."));

    const QString sentVerifier = QString::fromUtf8(*storedVerifier);
    const QJsonObject body{{QStringLiteral("auth_code"), code}, {QStringLiteral("code_verifier"), sentVerifier}};
    const QStringList secrets{code, sentVerifier, verifier};
    const QString grant = QStringLiteral("pkce");
    const SessionResult session = co_await requestSession(grant, body, secrets);
    if (!self)
        co_return clientGone();
    if (!session.ok())
        co_return session.error();
    storeSession(session.value());
    announce(AuthStateChange::Event::signedIn, session.value());
    co_return session.value();
}

QCoro::Task<std::optional<BackendError>> BackendClient::signOut()
{
    const QPointer<BackendClient> self(this);
    start();
    // A refresh under way would store its rotated session after the removal.
    if (const std::shared_ptr<SessionRefresh> refresh = m_refresh) {
        while (!refresh->outcome())
            co_await qCoro(refresh.get(), &SessionRefresh::wake);
        if (!self)
            co_return clientGone();
    }
    const std::optional<BackendSession> stored = storedSession();
    if (!stored)
        co_return std::nullopt;
    removeSession();
    announce(AuthStateChange::Event::signedOut, std::nullopt);
    if (const std::optional<QString> problem = m_config.problem())
        co_return BackendError::notConfigured(*problem);

    // An expired token would be refused and leave the other devices signed
    // in: refresh it first (held here only; nothing is stored any more).
    BackendSession session = *stored;
    if (m_clock().msecsTo(session.expiresAt) < m_timing.refreshMargin.count()) {
        const SessionResult refreshed = co_await requestRefresh(session.refreshToken);
        if (!self)
            co_return clientGone();
        if (!refreshed.ok())
            // A refused refresh token means the session has ended already.
            co_return isRefusal(refreshed.error()) ? std::nullopt
                                                   : std::optional<BackendError>(refreshed.error());
        session = refreshed.value();
    }

    QUrlQuery scope;
    scope.addQueryItem(QStringLiteral("scope"), QStringLiteral("global"));
    const QString path = QStringLiteral("logout");
    const QStringList secrets{session.accessToken, session.refreshToken};
    const AnswerResult answer =
        co_await sendAccountRequest(path, scope, QJsonObject(), session.accessToken, secrets);
    if (!self)
        co_return clientGone();
    if (answer.ok())
        co_return std::nullopt;
    // The session is unknown or already ended there: signed out all the same.
    const std::optional<int> status = answer.error().statusCode();
    if (status && (*status == 401 || *status == 403 || *status == 404))
        co_return std::nullopt;
    co_return answer.error();
}

QCoro::Task<BackendClient::AnswerResult> BackendClient::sendAccountRequest(QString path, QUrlQuery query,
                                                                            QJsonObject body, QString bearer,
                                                                            QStringList secrets)
{
    if (const std::optional<QString> problem = m_config.problem())
        co_return BackendError::notConfigured(*problem);
    QUrl url = m_config.accountUrl(path);
    url.setQuery(query);
    HttpRequest sent = request("POST", url, bearer, m_timing.requestTimeout);
    sent.headers.append(Header("X-Supabase-Api-Version", kApiVersion));
    if (!body.isEmpty()) {
        sent.headers.append(Header("Content-Type", "application/json"));
        sent.body = QJsonDocument(body).toJson(QJsonDocument::Compact);
    }
    const QPointer<BackendClient> self(this);
    const HttpResult result = co_await m_http.send(std::move(sent));
    if (!self)
        co_return clientGone();
    co_return classify(result, secrets);
}

// ---- table requests ----

QCoro::Task<Result<QJsonArray, BackendError>> BackendClient::select(QString table, std::optional<QDateTime> since,
                                                                    QString userId,
                                                                    std::chrono::milliseconds timeout,
                                                                    CancelToken cancel)
{
    QUrl url = m_config.tableUrl(table);
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("select"), QStringLiteral("*"));
    // Always "Z": a "+" of an offset would reach the backend as a space.
    if (since)
        query.addQueryItem(QStringLiteral("updated_at"), QStringLiteral("gt.") + TimeText::format(*since));
    url.setQuery(query);
    HttpRequest sent = request("GET", url, {}, timeout);
    const AnswerResult answer = co_await sendTableRequest(std::move(sent), std::move(userId), std::move(cancel));
    if (!answer.ok())
        co_return answer.error();
    QJsonParseError parseError;
    const QJsonDocument rows = QJsonDocument::fromJson(answer.value().body, &parseError);
    if (!rows.isArray())
        co_return BackendError::transport(HttpError::malformedJson(
            parseError.error != QJsonParseError::NoError ? parseError.errorString()
                                                         : QStringLiteral("not a list of rows")));
    co_return rows.array();
}

QCoro::Task<std::optional<BackendError>> BackendClient::upsert(QString table, QJsonObject row, QString userId,
                                                               std::chrono::milliseconds timeout,
                                                               CancelToken cancel)
{
    HttpRequest sent = request("POST", m_config.tableUrl(table), {}, timeout);
    sent.headers.append(Header("Content-Type", "application/json"));
    sent.headers.append(Header("Prefer", "resolution=merge-duplicates,return=representation"));
    sent.body = QJsonDocument(row).toJson(QJsonDocument::Compact);
    const AnswerResult answer = co_await sendTableRequest(std::move(sent), std::move(userId), std::move(cancel));
    if (!answer.ok())
        co_return answer.error();
    co_return std::nullopt;
}

QCoro::Task<BackendClient::AnswerResult> BackendClient::sendTableRequest(HttpRequest unsent, QString userId,
                                                                          CancelToken cancel)
{
    const QPointer<BackendClient> self(this);
    start();
    if (const std::optional<QString> problem = m_config.problem())
        co_return BackendError::notConfigured(*problem);
    // Another account's rows must never be read or written as this one's.
    const std::optional<BackendSession> stored = storedSession();
    if (!stored)
        co_return BackendError::notSignedIn();
    if (!isUser(*stored, userId))
        co_return BackendError::otherAccount();

    SessionResult session = co_await usableSession(*stored, cancel);
    for (int attempt = 0;; ++attempt) {
        if (!self)
            co_return clientGone();
        if (!session.ok())
            co_return session.error();
        // The session may have changed hands while it was refreshed.
        if (!isUser(session.value(), userId))
            co_return BackendError::otherAccount();

        HttpRequest sent = unsent;
        const QByteArray token = session.value().accessToken.toUtf8();
        sent.headers.append(Header("Authorization", "Bearer " + token));
        const HttpResult result = co_await m_http.send(std::move(sent), cancel);
        if (!self)
            co_return clientGone();
        const AnswerResult answer = classify(result, {session.value().accessToken});
        if (answer.ok() || attempt > 0 || answer.error().statusCode() != 401)
            co_return answer;

        // Refused token: one forced refresh, unless another request has
        // rotated it meanwhile.
        const std::optional<BackendSession> current = storedSession();
        if (!current)
            co_return BackendError::notSignedIn();
        if (current->accessToken != session.value().accessToken)
            session = *current;
        else
            session = co_await refreshSession(*current, cancel);
    }
}

// ---- requests and answers ----

HttpRequest BackendClient::request(const QByteArray& method, QUrl url, const QString& bearer,
                                   std::chrono::milliseconds timeout) const
{
    HttpRequest sent;
    sent.method = method;
    sent.url = std::move(url);
    sent.timeout = timeout;
    // Every request carries a credential: none may follow a redirect.
    sent.followRedirects = false;
    sent.headers.append(Header("Apikey", m_config.publishableKey().toUtf8()));
    if (!bearer.isEmpty())
        sent.headers.append(Header("Authorization", "Bearer " + bearer.toUtf8()));
    return sent;
}

BackendClient::AnswerResult BackendClient::classify(const HttpResult& result, const QStringList& secrets) const
{
    if (!result.ok()) {
        if (result.error().kind() == HttpError::Kind::network)
            return BackendError::transport(HttpError::network(withoutSecrets(result.error().description(), secrets)));
        return BackendError::transport(result.error());
    }
    const HttpAnswer& answer = result.value();
    const int status = answer.statusCode.value_or(-1);
    if (isSuccess(status))
        return answer;
    // The backend's own words: "message" from the tables, "msg" or
    // "error_description" from the accounts.
    const QJsonObject body = QJsonDocument::fromJson(answer.body).object();
    QString message;
    for (const char* field : {"message", "msg", "error_description", "error"}) {
        message = body.value(QLatin1String(field)).toString().trimmed();
        if (!message.isEmpty())
            break;
    }
    return BackendError::status(status, withoutSecrets(message, secrets));
}

QString BackendClient::withoutSecrets(QString text, const QStringList& secrets) const
{
    QStringList all = secrets;
    all.append(m_config.publishableKey());
    for (const QString& secret : std::as_const(all)) {
        if (!secret.isEmpty())
            text.replace(secret, SecretMask::secretPrefix(secret) + QStringLiteral("…"));
    }
    return text;
}
