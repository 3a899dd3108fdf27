#include "support/FakeBackend.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QUrlQuery>
#include <QUuid>

#include "support/TestClock.h"

namespace {

using Answer = HttpFake::Answer;
using Request = HttpFake::Request;

constexpr auto kApiVersion = "2024-01-01";
constexpr qint64 kCodeLifetimeSeconds = 5 * 60;

const QHash<QString, QStringList>& tableColumns()
{
    static const QHash<QString, QStringList> columns{
        {"glossary", {"id", "user_id", "content", "created_at", "updated_at", "deleted_at"}},
        {"recordings",
         {"id", "user_id", "created_at", "updated_at", "deleted_at", "duration", "status", "slice_count",
          "raw_text", "cleaned_text", "provider", "device_id", "error"}},
        {"slices",
         {"id", "user_id", "recording_id", "slice_index", "filename", "status", "raw_text", "duration",
          "provider", "error", "created_at", "updated_at", "deleted_at"}},
    };
    return columns;
}

enum class ColumnType { uuid, time, integer, number, text };

ColumnType columnType(const QString& column)
{
    if (column == "id" || column == "user_id" || column == "recording_id")
        return ColumnType::uuid;
    if (column.endsWith("_at"))
        return ColumnType::time;
    if (column == "slice_count" || column == "slice_index")
        return ColumnType::integer;
    if (column == "duration")
        return ColumnType::number;
    return ColumnType::text;
}

// UUID text in any letter case, as the database reads it; none otherwise.
std::optional<QString> uuidText(const QJsonValue& value)
{
    static const QRegularExpression form(
        "^[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}$");
    if (!value.isString() || !form.match(value.toString()).hasMatch())
        return std::nullopt;
    return value.toString().toLower();
}

// Microseconds since the epoch of an RFC 3339 time as the database reads
// it: "T", "t" or a space between date and time, any number of fractional
// digits (rounded to microseconds), "Z", "z", ±HH, ±HHMM or ±HH:MM, or no
// zone at all (UTC, the service's session zone).
std::optional<qint64> readTime(const QString& text)
{
    static const QRegularExpression form(
        "^(\\d{4})-(\\d{2})-(\\d{2})[Tt ](\\d{2}):(\\d{2}):(\\d{2})(?:\\.(\\d+))?"
        "(?:([Zz])|([+-])(\\d{2})(?::?(\\d{2}))?)?$");
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    const QTime time(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt());
    const int offsetHours = m.captured(10).toInt();
    const int offsetMinutes = m.captured(11).toInt();
    if (!date.isValid() || !time.isValid() || offsetHours > 23 || offsetMinutes > 59)
        return std::nullopt;
    const QString digits = m.captured(7);
    qint64 fraction = (digits + "000000").left(6).toLongLong();
    if (digits.size() > 6 && digits[6] >= '5')
        ++fraction;
    qint64 offsetSeconds = offsetHours * 3600 + offsetMinutes * 60;
    if (m.captured(9) == "-")
        offsetSeconds = -offsetSeconds;
    const qint64 seconds = QDateTime(date, time, Qt::UTC).toSecsSinceEpoch() - offsetSeconds;
    return seconds * 1'000'000 + fraction;
}

// A time as the service writes it: "+00:00", microseconds without their
// trailing zeros, no fraction at all when it is zero.
QString serviceTime(qint64 micros)
{
    const qint64 seconds = micros >= 0 ? micros / 1'000'000 : (micros - 999'999) / 1'000'000;
    const qint64 fraction = micros - seconds * 1'000'000;
    QString text = QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString("yyyy-MM-ddTHH:mm:ss");
    if (fraction != 0) {
        QString digits = QString::number(fraction).rightJustified(6, '0');
        while (digits.endsWith('0'))
            digits.chop(1);
        text += "." + digits;
    }
    return text + "+00:00";
}

QString randomToken(int bytes)
{
    QByteArray data(bytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(data.data()), bytes / 4);
    return QString::fromLatin1(data.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QByteArray challengeOf(const QString& verifier)
{
    return QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256)
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

// The query as the service reads it: form decoding, so a raw "+" is a space.
QList<std::pair<QString, QString>> queryItems(const QByteArray& query)
{
    QList<std::pair<QString, QString>> items;
    for (const QByteArray& part : query.split('&')) {
        if (part.isEmpty())
            continue;
        const qsizetype equals = part.contains('=') ? part.indexOf('=') : part.size();
        auto decode = [](QByteArray bytes) {
            return QString::fromUtf8(QByteArray::fromPercentEncoding(bytes.replace('+', ' ')));
        };
        items.append({decode(part.left(equals)), decode(part.mid(equals + 1))});
    }
    return items;
}

Answer jsonAnswer(int status, const QJsonValue& body)
{
    const QByteArray bytes = body.isArray() ? QJsonDocument(body.toArray()).toJson(QJsonDocument::Compact)
                                            : QJsonDocument(body.toObject()).toJson(QJsonDocument::Compact);
    return Answer::json(status, bytes);
}

// The account service's error: the OAuth keys and the versioned API's keys,
// so that either reader finds the text.
Answer accountError(int status, const QString& error, const QString& code, const QString& description)
{
    return jsonAnswer(status, QJsonObject{{"error", error},
                                          {"error_description", description},
                                          {"code", code},
                                          {"message", description}});
}

// The table service's error.
Answer tableError(int status, const QString& code, const QString& message)
{
    return jsonAnswer(status, QJsonObject{{"code", code}, {"details", QJsonValue::Null},
                                          {"hint", QJsonValue::Null}, {"message", message}});
}

Answer invalidApiKey()
{
    return jsonAnswer(401, QJsonObject{{"message", "Invalid API key"},
                                       {"hint", "Double check the provided API key."}});
}

// A connection closed before the whole answer arrived: the headers of a 502
// and the first byte of its body. Closing any earlier would not reach the
// client: Qt sends a request again on its own when the connection closes
// before the headers are complete (up to twice, depending on the
// connection's history), and takes a close right after them as the end of
// an empty answer. A close in the body is a network failure to the client,
// or, when Qt reads the close together with the bytes before it, an answer
// with a truncated body; the 502 makes that one a failure too.
Answer droppedConnection()
{
    Answer answer = jsonAnswer(502, QJsonObject{{"message", "connection dropped"}});
    answer.dropAfter = HttpFake::encode(answer).size() - answer.body.size() + 1;
    return answer;
}

Answer jwtExpired() { return tableError(401, "PGRST301", "JWT expired"); }

// The bearer token of an Authorization header; none for any other form.
std::optional<QString> bearerToken(const Request& request)
{
    const QByteArray value = request.header("Authorization");
    if (!value.left(7).toLower().startsWith("bearer "))
        return std::nullopt;
    return QString::fromUtf8(value.mid(7).trimmed());
}

}  // namespace

class FakeBackend::State
{
public:
    explicit State(TestClock& clock) : m_clock(clock) {}

    TestClock& m_clock;
    HttpFake m_http;
    QList<Request> m_log;

    QHash<QString, User> m_users;
    std::optional<QString> m_signInUser;
    std::optional<std::pair<QString, QString>> m_signInError;
    std::chrono::seconds m_tokenLifetime{3600};

    struct Code
    {
        QString userId;
        QByteArray challenge;
        QDateTime issuedAt;
    };
    QHash<QString, Code> m_codes;

    // One sign-in and its chain of rotated tokens.
    struct Session
    {
        QString userId;
        bool refreshRevoked = false;
        bool accessRevoked = false;
    };
    QList<Session> m_sessions;
    struct AccessToken
    {
        qsizetype session;
        qint64 expiresAt;   // epoch seconds
        bool expired = false;
    };
    QHash<QString, AccessToken> m_accessTokens;
    struct RefreshToken
    {
        qsizetype session;
        bool used = false;
    };
    QHash<QString, RefreshToken> m_refreshTokens;
    QStringList m_secrets;

    QHash<QString, QList<QJsonObject>> m_tables;
    // Per table, the position of each row by its stored id.
    QHash<QString, QHash<QString, qsizetype>> m_positions;
    bool m_rowRules = true;
    QList<Fault> m_faults;
    bool m_offline = false;

    qint64 nowMicros() const { return m_clock.now().toMSecsSinceEpoch() * 1000; }

    void noteSecret(const QString& secret)
    {
        if (!secret.isEmpty() && secret != kPublishableKey && !m_secrets.contains(secret))
            m_secrets.append(secret);
    }

    Answer handle(const Request& request);

private:
    std::optional<Fault> takeFault(const QByteArray& method, const QString& path);
    Answer route(const Request& request, const QString& path, const QList<std::pair<QString, QString>>& query);

    Answer authorize(const QUrlQuery& query);
    Answer token(const Request& request, const QUrlQuery& query);
    Answer exchangeCode(const QJsonObject& body);
    Answer refresh(const QJsonObject& body);
    Answer logout(const Request& request, const QUrlQuery& query);
    QJsonObject issueSession(qsizetype session);

    // The user whose access token this is, while it is valid.
    std::optional<QString> tokenUser(const QString& token) const;
    Answer select(const QString& table, const std::optional<QString>& user,
                  const QList<std::pair<QString, QString>>& query);
    Answer upsert(const QString& table, const Request& request, const std::optional<QString>& user,
                  const QList<std::pair<QString, QString>>& query);

public:
    QJsonObject newRow(const QString& table, const QString& id, const QString& userId) const;
    // Stored ids are in lower case (UUIDs read as the database reads them),
    // so a lower-cased id finds its row whatever case it was sent in.
    std::optional<QJsonObject> findRow(const QString& table, const QString& id) const;
    // Adds `row`, or replaces the row with its id.
    void storeRow(const QString& table, const QJsonObject& row);
};

Answer FakeBackend::State::handle(const Request& request)
{
    if (m_offline) {
        Answer closed;
        closed.dropAfter = 0;
        return closed;
    }
    m_log.append(request);
    const QByteArray target = request.path;
    const qsizetype mark = target.contains('?') ? target.indexOf('?') : target.size();
    const QString path = QString::fromUtf8(QByteArray::fromPercentEncoding(target.left(mark)));
    const QByteArray query = target.mid(mark + 1);

    const std::optional<Fault> fault = takeFault(request.method, path);
    if (fault) {
        switch (fault->kind) {
        case Fault::Kind::serverError:
            return jsonAnswer(fault->status, QJsonObject{{"message", "Service unavailable"}});
        case Fault::Kind::noAnswer: {
            Answer silent;
            silent.silent = true;
            return silent;
        }
        case Fault::Kind::dropBeforeAnswer:
            return droppedConnection();
        default:
            break;
        }
    }
    Answer answer = route(request, path, queryItems(query));
    if (fault) {
        switch (fault->kind) {
        case Fault::Kind::dropAfterApply:
            answer = droppedConnection();
            break;
        case Fault::Kind::halfAnswer:
            if (answer.body.size() < 2) {
                answer = droppedConnection();
            } else {
                // The status line and headers arrive, the body is cut in half.
                answer.dropAfter = HttpFake::encode(answer).size() - answer.body.size() / 2;
            }
            break;
        case Fault::Kind::delay:
            answer.delay = fault->delay;
            break;
        default:
            break;
        }
    }
    return answer;
}

std::optional<FakeBackend::Fault> FakeBackend::State::takeFault(const QByteArray& method, const QString& path)
{
    for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
        if ((!it->method.isEmpty() && it->method != method) || (!it->path.isEmpty() && it->path != path))
            continue;
        const Fault fault = *it;
        if (it->times > 0 && --it->times == 0)
            m_faults.erase(it);
        return fault;
    }
    return std::nullopt;
}

Answer FakeBackend::State::route(const Request& request, const QString& path,
                                 const QList<std::pair<QString, QString>>& query)
{
    QUrlQuery accountQuery;
    for (const auto& [name, value] : query)
        accountQuery.addQueryItem(name, value);

    // The browser opens the authorize page without the app's headers.
    if (path == "/auth/v1/authorize") {
        if (request.method != "GET")
            return accountError(405, "invalid_request", "method_not_allowed", "Method not allowed");
        return authorize(accountQuery);
    }

    if (request.header("Apikey") != kPublishableKey)
        return invalidApiKey();

    if (path.startsWith("/auth/v1/")) {
        if (request.header("X-Supabase-Api-Version") != kApiVersion)
            return accountError(401, "invalid_request", "bad_api_version", "Missing or unknown API version");
        if (request.method != "POST")
            return accountError(405, "invalid_request", "method_not_allowed", "Method not allowed");
        if (path == "/auth/v1/token")
            return token(request, accountQuery);
        if (path == "/auth/v1/logout")
            return logout(request, accountQuery);
        return accountError(404, "invalid_request", "not_found", "Not found");
    }

    if (path.startsWith("/rest/v1/")) {
        const QString table = path.mid(QStringLiteral("/rest/v1/").size());
        if (!tableColumns().contains(table))
            return tableError(404, "PGRST205", "Could not find the table 'public." + table + "' in the schema cache");
        const std::optional<QString> bearer = bearerToken(request);
        if (!bearer)
            return tableError(401, "PGRST301", "No suitable key or wrong key type");
        std::optional<QString> user;   // none: the publishable key, nobody signed in
        if (*bearer != kPublishableKey) {
            noteSecret(*bearer);
            user = tokenUser(*bearer);
            if (!user)
                return jwtExpired();
        }
        if (request.method == "GET")
            return select(table, user, query);
        if (request.method == "POST")
            return upsert(table, request, user, query);
        return tableError(405, "PGRST117", "Unsupported HTTP method: " + QString::fromUtf8(request.method));
    }
    return jsonAnswer(404, QJsonObject{{"message", "no Route matched with those values"}});
}

Answer FakeBackend::State::authorize(const QUrlQuery& query)
{
    if (query.queryItemValue("provider") != "google")
        return accountError(400, "invalid_request", "validation_failed", "Unsupported provider");
    if (query.queryItemValue("redirect_to", QUrl::FullyDecoded) != kRedirect)
        return accountError(400, "invalid_request", "validation_failed", "Redirect address not allowed");
    const QByteArray challenge = query.queryItemValue("code_challenge", QUrl::FullyDecoded).toLatin1();
    static const QRegularExpression base64url("^[A-Za-z0-9_-]{43}$");
    if (!base64url.match(QString::fromLatin1(challenge)).hasMatch())
        return accountError(400, "invalid_request", "validation_failed", "Invalid code challenge");
    if (query.queryItemValue("code_challenge_method").toLower() != "s256")
        return accountError(400, "invalid_request", "validation_failed", "Unsupported code challenge method");

    QUrl location(kRedirect);
    QUrlQuery callback;
    if (m_signInError || !m_signInUser || !m_users.contains(*m_signInUser)) {
        const auto [error, description] =
            m_signInError.value_or(std::pair<QString, QString>{"access_denied", "No user chose to sign in"});
        m_signInError.reset();
        callback.addQueryItem("error", QString::fromUtf8(QUrl::toPercentEncoding(error)));
        callback.addQueryItem("error_code", QString::fromUtf8(QUrl::toPercentEncoding(error)));
        callback.addQueryItem("error_description", QString::fromUtf8(QUrl::toPercentEncoding(description)));
    } else {
        const QString code = QUuid::createUuid().toString(QUuid::WithoutBraces);
        m_codes.insert(code, Code{*m_signInUser, challenge, m_clock.now()});
        noteSecret(code);
        callback.addQueryItem("code", code);
    }
    location.setQuery(callback);
    Answer answer = Answer::text(302, "");
    answer.headers.append({"Location", location.toEncoded()});
    return answer;
}

Answer FakeBackend::State::token(const Request& request, const QUrlQuery& query)
{
    if (bearerToken(request) != QString(kPublishableKey))
        return accountError(401, "invalid_request", "no_authorization", "This endpoint requires the API key as Bearer");
    QJsonParseError parseError;
    const QJsonDocument body = QJsonDocument::fromJson(request.body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !body.isObject())
        return accountError(400, "invalid_request", "bad_json", "Could not read the body as a JSON object");
    const QString grant = query.queryItemValue("grant_type");
    if (grant == "pkce")
        return exchangeCode(body.object());
    if (grant == "refresh_token")
        return refresh(body.object());
    return accountError(400, "unsupported_grant_type", "validation_failed", "Unsupported grant type");
}

Answer FakeBackend::State::exchangeCode(const QJsonObject& body)
{
    const QString code = body.value("auth_code").toString();
    const QString verifier = body.value("code_verifier").toString();
    noteSecret(code);
    noteSecret(verifier);
    if (code.isEmpty() || verifier.isEmpty())
        return accountError(400, "invalid_request", "validation_failed", "Both auth_code and code_verifier are required");
    // One attempt per code, right or wrong: a verifier cannot be guessed at.
    const std::optional<Code> issued = m_codes.contains(code) ? std::optional(m_codes.take(code)) : std::nullopt;
    if (!issued)
        return accountError(400, "invalid_grant", "flow_state_not_found", "Invalid or used authorization code");
    if (m_clock.now() > issued->issuedAt.addSecs(kCodeLifetimeSeconds))
        return accountError(400, "invalid_grant", "flow_state_expired", "The authorization code has expired");
    static const QRegularExpression verifierForm("^[A-Za-z0-9._~-]{43,128}$");
    if (!verifierForm.match(verifier).hasMatch() || challengeOf(verifier) != issued->challenge)
        return accountError(400, "invalid_grant", "bad_code_verifier",
                            "Code challenge does not match the code verifier");
    m_sessions.append(Session{issued->userId});
    return jsonAnswer(200, issueSession(m_sessions.size() - 1));
}

Answer FakeBackend::State::refresh(const QJsonObject& body)
{
    const QString presented = body.value("refresh_token").toString();
    noteSecret(presented);
    const auto found = m_refreshTokens.find(presented);
    if (found == m_refreshTokens.end())
        return accountError(400, "invalid_grant", "refresh_token_not_found", "Invalid Refresh Token: Refresh Token Not Found");
    Session& session = m_sessions[found->session];
    if (session.refreshRevoked)
        return accountError(400, "invalid_grant", "session_not_found", "Invalid Refresh Token: Session Revoked");
    if (found->used) {
        // A used token coming back means it leaked: the whole session ends.
        session.refreshRevoked = true;
        session.accessRevoked = true;
        return accountError(400, "invalid_grant", "refresh_token_already_used", "Invalid Refresh Token: Already Used");
    }
    found->used = true;
    return jsonAnswer(200, issueSession(found->session));
}

QJsonObject FakeBackend::State::issueSession(qsizetype session)
{
    const User& user = m_users.value(m_sessions[session].userId);
    const QString access = randomToken(32);
    const QString refreshToken = randomToken(16);
    const qint64 expiresAt = m_clock.now().toSecsSinceEpoch() + m_tokenLifetime.count();
    m_accessTokens.insert(access, AccessToken{session, expiresAt});
    m_refreshTokens.insert(refreshToken, RefreshToken{session});
    noteSecret(access);
    noteSecret(refreshToken);
    return QJsonObject{
        {"access_token", access},
        {"token_type", "bearer"},
        {"expires_in", qint64(m_tokenLifetime.count())},
        {"expires_at", expiresAt},
        {"refresh_token", refreshToken},
        {"user",
         QJsonObject{{"id", user.id},
                     {"aud", "authenticated"},
                     {"role", "authenticated"},
                     {"email", user.email},
                     {"app_metadata", QJsonObject{{"provider", "google"}, {"providers", QJsonArray{"google"}}}}}},
    };
}

Answer FakeBackend::State::logout(const Request& request, const QUrlQuery& query)
{
    const std::optional<QString> bearer = bearerToken(request);
    if (bearer)
        noteSecret(*bearer);
    const std::optional<QString> user = bearer ? tokenUser(*bearer) : std::nullopt;
    if (!user)
        return accountError(401, "invalid_request", "bad_jwt", "Invalid or expired access token");
    if (query.hasQueryItem("scope") && query.queryItemValue("scope") != "global")
        return accountError(400, "invalid_request", "validation_failed", "Only the global scope is served here");
    for (Session& session : m_sessions) {
        if (session.userId == *user)
            session.refreshRevoked = true;
    }
    return Answer::text(204, "");
}

std::optional<QString> FakeBackend::State::tokenUser(const QString& token) const
{
    const auto found = m_accessTokens.constFind(token);
    if (found == m_accessTokens.cend() || found->expired
        || m_clock.now().toSecsSinceEpoch() >= found->expiresAt || m_sessions[found->session].accessRevoked)
        return std::nullopt;
    return m_sessions[found->session].userId;
}

Answer FakeBackend::State::select(const QString& table, const std::optional<QString>& user,
                                  const QList<std::pair<QString, QString>>& query)
{
    std::optional<qint64> since;
    for (const auto& [name, value] : query) {
        if (name == "select" && value == "*")
            continue;
        if (name == "updated_at" && value.startsWith("gt.")) {
            since = readTime(value.mid(3));
            if (!since)
                return tableError(400, "22007",
                                  "invalid input syntax for type timestamp with time zone: \"" + value.mid(3) + "\"");
            continue;
        }
        return tableError(400, "PGRST100", "This fake serves select=* and updated_at=gt. only, not " + name);
    }
    QJsonArray rows;
    if (!user)
        return jsonAnswer(200, rows);   // nobody signed in: the row rules hide every row
    for (const QJsonObject& row : m_tables.value(table)) {
        if (m_rowRules && row.value("user_id").toString() != *user)
            continue;
        if (since) {
            const std::optional<qint64> updated = readTime(row.value("updated_at").toString());
            if (!updated || *updated <= *since)
                continue;
        }
        rows.append(row);
    }
    return jsonAnswer(200, rows);
}

Answer FakeBackend::State::upsert(const QString& table, const Request& request,
                                  const std::optional<QString>& user,
                                  const QList<std::pair<QString, QString>>& query)
{
    if (!user)
        return tableError(401, "42501", "new row violates row-level security policy for table \"" + table + "\"");
    for (const auto& [name, value] : query) {
        if ((name == "select" && value == "*") || (name == "on_conflict" && value == "id"))
            continue;
        return tableError(400, "PGRST100", "This fake takes no " + name + " on a write");
    }
    bool merge = false;
    bool representation = false;
    for (const QByteArray& preference : request.header("Prefer").split(',')) {
        merge = merge || preference.trimmed() == "resolution=merge-duplicates";
        representation = representation || preference.trimmed() == "return=representation";
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(request.body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return tableError(400, "PGRST102", "The body must be one JSON object");
    const QJsonObject body = document.object();

    const QStringList& columns = tableColumns().value(table);
    QJsonObject values;
    for (auto it = body.begin(); it != body.end(); ++it) {
        if (!columns.contains(it.key()))
            return tableError(400, "PGRST204",
                              "Could not find the '" + it.key() + "' column of '" + table + "' in the schema cache");
        const QJsonValue value = it.value();
        if (value.isNull()) {
            if (it.key() == "id" || it.key() == "user_id")
                return tableError(400, "23502", "null value in column \"" + it.key() + "\" of relation \"" + table
                                                    + "\" violates not-null constraint");
            values.insert(it.key(), value);
            continue;
        }
        QJsonValue stored = value;
        bool fits = true;
        switch (columnType(it.key())) {
        case ColumnType::uuid:
            fits = uuidText(value).has_value();
            stored = uuidText(value).value_or(QString());
            break;
        case ColumnType::time:
            if (const std::optional<qint64> time = value.isString() ? readTime(value.toString()) : std::nullopt)
                stored = serviceTime(*time);
            else
                return tableError(400, "22007", "invalid input syntax for type timestamp with time zone: "
                                                    + QString::fromUtf8(QJsonDocument(QJsonArray{value}).toJson(
                                                        QJsonDocument::Compact)));
            break;
        case ColumnType::integer:
            fits = value.isDouble() && value.toDouble() == double(value.toInteger());
            stored = value.toInteger();
            break;
        case ColumnType::number:
            fits = value.isDouble();
            break;
        case ColumnType::text:
            fits = value.isString();
            break;
        }
        if (!fits)
            return tableError(400, "22P02", "invalid input syntax for column \"" + it.key() + "\"");
        values.insert(it.key(), stored);
    }
    if (!values.contains("id"))
        return tableError(400, "23502", "null value in column \"id\" of relation \"" + table
                                            + "\" violates not-null constraint");
    if (m_rowRules && values.contains("user_id") && values.value("user_id").toString() != *user)
        return tableError(403, "42501", "new row violates row-level security policy for table \"" + table + "\"");

    const std::optional<QJsonObject> existing = findRow(table, values.value("id").toString());
    QJsonObject row;
    if (existing) {
        if (!merge)
            return tableError(409, "23505", "duplicate key value violates unique constraint \"" + table + "_pkey\"");
        if (m_rowRules && existing->value("user_id").toString() != *user)
            return tableError(403, "42501", "new row violates row-level security policy (USING expression) for table \""
                                                + table + "\"");
        row = *existing;
        // The tables' update rule: a copy older than the stored row (a
        // device pushing an edit that another device's later edit has
        // already replaced) leaves the row as it is, as an update that
        // nothing matched. Its device then pulls the newer row.
        const std::optional<qint64> stored = readTime(row.value("updated_at").toString());
        const std::optional<qint64> sent = readTime(values.value("updated_at").toString());
        if (stored && sent && *sent < *stored)
            return representation ? jsonAnswer(201, QJsonArray{}) : Answer::text(201, "");
    } else {
        row = newRow(table, values.value("id").toString(), *user);
    }
    for (auto it = values.begin(); it != values.end(); ++it)
        row.insert(it.key(), it.value());
    storeRow(table, row);
    if (!representation)
        return Answer::text(201, "");
    return jsonAnswer(201, QJsonArray{row});
}

QJsonObject FakeBackend::State::newRow(const QString& table, const QString& id, const QString& userId) const
{
    QJsonObject row;
    for (const QString& column : tableColumns().value(table))
        row.insert(column, QJsonValue::Null);
    const QString now = serviceTime(nowMicros());
    row.insert("id", id);
    row.insert("user_id", userId);
    row.insert("created_at", now);
    row.insert("updated_at", now);
    return row;
}

std::optional<QJsonObject> FakeBackend::State::findRow(const QString& table, const QString& id) const
{
    const qsizetype position = m_positions.value(table).value(id, -1);
    if (position < 0)
        return std::nullopt;
    return m_tables.value(table).at(position);
}

void FakeBackend::State::storeRow(const QString& table, const QJsonObject& row)
{
    QList<QJsonObject>& rows = m_tables[table];
    QHash<QString, qsizetype>& positions = m_positions[table];
    const QString id = row.value("id").toString();
    if (const auto position = positions.constFind(id); position != positions.cend()) {
        rows[*position] = row;
        return;
    }
    positions.insert(id, rows.size());
    rows.append(row);
}

FakeBackend::FakeBackend(TestClock& clock, QObject* parent)
    : QObject(parent)
    , m_state(std::make_unique<State>(clock))
{
    m_state->m_http.setResponder([this](const Request& request) { return m_state->handle(request); });
}

FakeBackend::~FakeBackend() = default;

QUrl FakeBackend::url() const { return m_state->m_http.url(); }

FakeBackend::User FakeBackend::addUser(const QString& email)
{
    const User user{QUuid::createUuid().toString(QUuid::WithoutBraces).toLower(), email};
    m_state->m_users.insert(user.id, user);
    return user;
}

void FakeBackend::setSignInUser(const QString& userId) { m_state->m_signInUser = userId.toLower(); }

void FakeBackend::setSignInError(const QString& error, const QString& description)
{
    m_state->m_signInError = std::pair{error, description};
}

void FakeBackend::setTokenLifetime(std::chrono::seconds lifetime) { m_state->m_tokenLifetime = lifetime; }

void FakeBackend::expireTokens()
{
    for (State::AccessToken& token : m_state->m_accessTokens)
        token.expired = true;
}

void FakeBackend::revokeSessions(const QString& userId)
{
    for (State::Session& session : m_state->m_sessions) {
        if (session.userId == userId.toLower()) {
            session.refreshRevoked = true;
            session.accessRevoked = true;
        }
    }
}

QStringList FakeBackend::secretsIssued() const { return m_state->m_secrets; }

QStringList FakeBackend::secretsIn(const QString& text) const
{
    QStringList found;
    for (const QString& secret : m_state->m_secrets) {
        if (text.contains(secret))
            found << secret;
    }
    return found;
}

QList<QJsonObject> FakeBackend::rows(const QString& table) const { return m_state->m_tables.value(table); }

void FakeBackend::writeRow(const QString& table, const QString& userId, const QJsonObject& row)
{
    if (!tableColumns().contains(table))
        qFatal("FakeBackend::writeRow: no table %s", qPrintable(table));
    // A planted id that is no UUID is stored and matched as it is.
    const QString key = uuidText(row.value("id")).value_or(row.value("id").toString());
    QJsonObject stored = m_state->findRow(table, key).value_or(m_state->newRow(table, key, userId.toLower()));
    stored.insert("user_id", userId.toLower());
    stored.insert("updated_at", serviceTime(m_state->nowMicros()));
    // Values are kept as given, so that a test can plant rows the service
    // would never hold; ids and times that read as such take the stored form.
    for (auto it = row.begin(); it != row.end(); ++it) {
        QJsonValue value = it.value();
        if (columnType(it.key()) == ColumnType::uuid && uuidText(value))
            value = *uuidText(value);
        else if (columnType(it.key()) == ColumnType::time && value.isString() && readTime(value.toString()))
            value = serviceTime(*readTime(value.toString()));
        stored.insert(it.key(), value);
    }
    m_state->storeRow(table, stored);
}

void FakeBackend::setRowRulesEnabled(bool enabled) { m_state->m_rowRules = enabled; }

void FakeBackend::addFault(const Fault& fault)
{
    if (fault.times != 0)
        m_state->m_faults.append(fault);
}

void FakeBackend::clearFaults() { m_state->m_faults.clear(); }

void FakeBackend::setOffline(bool offline) { m_state->m_offline = offline; }

const QList<HttpFake::Request>& FakeBackend::requests() const { return m_state->m_log; }
