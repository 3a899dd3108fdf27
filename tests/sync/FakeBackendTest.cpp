// The loopback backend that the client, sync and end-to-end tests rely on:
// each rule they lean on is checked here through a real HttpClient.
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QUrlQuery>
#include <QUuid>
#include <functional>
#include <gtest/gtest.h>

#include "platform/HttpClient.h"
#include "support/FakeBackend.h"
#include "support/QStringPrinter.h"
#include "support/RunTask.h"
#include "support/TestClock.h"

using namespace std::chrono_literals;

namespace {

using Headers = QList<std::pair<QByteArray, QByteArray>>;

const QByteArray kKey = FakeBackend::kPublishableKey;
// 86 characters, as 64 random bytes in base64url.
const QString kVerifier = QString(86, 'v');
const QString kOtherVerifier = QString(86, 'w');
const QByteArray kMergePrefer = "resolution=merge-duplicates,return=representation";

QByteArray challengeOf(const QString& verifier)
{
    return QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256)
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

QByteArray json(const QJsonObject& object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

QJsonObject object(const HttpResult& result) { return QJsonDocument::fromJson(result.value().body).object(); }

QJsonArray array(const HttpResult& result) { return QJsonDocument::fromJson(result.value().body).array(); }

Headers accountHeaders()
{
    return {{"Apikey", kKey}, {"X-Supabase-Api-Version", "2024-01-01"}, {"Authorization", "Bearer " + kKey},
            {"Content-Type", "application/json"}};
}

Headers tableHeaders(const QString& token)
{
    return {{"Apikey", kKey}, {"Authorization", "Bearer " + token.toUtf8()},
            {"Content-Type", "application/json"}, {"Prefer", kMergePrefer}};
}

QStringList idsOf(const QJsonArray& rows)
{
    QStringList ids;
    for (const QJsonValue& row : rows)
        ids << row.toObject().value("id").toString();
    return ids;
}

class FakeBackendTest : public testing::Test
{
public:
    TestClock clock;
    FakeBackend backend{clock};
    HttpClient http;
    FakeBackend::User alice = backend.addUser("alice@example.com");
    FakeBackend::User bob = backend.addUser("bob@example.com");

    HttpResult send(const QByteArray& method, const QByteArray& target, const Headers& headers,
                    const QByteArray& body = {}, std::chrono::milliseconds timeout = 5s)
    {
        HttpRequest request;
        request.method = method;
        request.url = QUrl::fromEncoded(backend.url().toEncoded() + target);
        request.headers = headers;
        request.body = body;
        request.timeout = timeout;
        request.followRedirects = false;
        const std::optional<HttpResult> result = runTask(http.send(request), 10'000);
        if (!result)
            ADD_FAILURE() << "no answer within 10 s to " << target.constData();
        return result.value_or(HttpResult(HttpError::timeout()));
    }

    QByteArray authorizeTarget(const QByteArray& challenge, const QByteArray& method = "s256",
                               const QByteArray& provider = "google",
                               const QByteArray& redirect = FakeBackend::kRedirect)
    {
        return "/auth/v1/authorize?provider=" + provider + "&redirect_to=" + QUrl::toPercentEncoding(redirect)
             + "&code_challenge=" + challenge + "&code_challenge_method=" + method;
    }

    // What a browser opening the authorize page sees: the status and the
    // address it is sent on to.
    std::pair<int, QUrl> browse(const QByteArray& target)
    {
        QNetworkAccessManager browser;
        QNetworkRequest request(QUrl::fromEncoded(backend.url().toEncoded() + target));
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        std::unique_ptr<QNetworkReply> reply(browser.get(request));
        EXPECT_TRUE(waitUntil([&] { return reply->isFinished(); }));
        return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                QUrl::fromEncoded(reply->rawHeader("Location"))};
    }

    // The one-time code of a sign-in of `user` with `verifier`.
    QString codeFor(const FakeBackend::User& user, const QString& verifier = kVerifier)
    {
        backend.setSignInUser(user.id);
        const auto [status, location] = browse(authorizeTarget(challengeOf(verifier)));
        EXPECT_EQ(status, 302);
        return QUrlQuery(location).queryItemValue("code");
    }

    // A new session of `user`, as the token endpoint gave it.
    QJsonObject signIn(const FakeBackend::User& user)
    {
        const HttpResult answer = exchange(codeFor(user), kVerifier);
        EXPECT_TRUE(answer.ok() && answer.value().statusCode == 200);
        return answer.ok() ? object(answer) : QJsonObject();
    }

    static QString accessOf(const QJsonObject& session) { return session.value("access_token").toString(); }
    static QString refreshOf(const QJsonObject& session) { return session.value("refresh_token").toString(); }

    HttpResult exchange(const QString& code, const QString& verifier)
    {
        return send("POST", "/auth/v1/token?grant_type=pkce", accountHeaders(),
                    json({{"auth_code", code}, {"code_verifier", verifier}}));
    }

    HttpResult refresh(const QString& refreshToken)
    {
        return send("POST", "/auth/v1/token?grant_type=refresh_token", accountHeaders(),
                    json({{"refresh_token", refreshToken}}));
    }

    HttpResult select(const QString& token, const QByteArray& table = "glossary", const QByteArray& filter = {})
    {
        return send("GET", "/rest/v1/" + table + "?select=*" + filter, tableHeaders(token));
    }

    HttpResult upsert(const QString& token, const QJsonObject& row, const QByteArray& table = "glossary",
                      const QByteArray& prefer = kMergePrefer)
    {
        Headers headers = tableHeaders(token);
        headers.last().second = prefer;
        return send("POST", "/rest/v1/" + table, headers, json(row));
    }
};

}  // namespace

TEST_F(FakeBackendTest, SignInGivesAOneTimeCodeForTheChosenUserAndASessionForIt)
{
    backend.setSignInUser(alice.id);
    const auto [status, location] = browse(authorizeTarget(challengeOf(kVerifier)));
    ASSERT_EQ(status, 302);
    EXPECT_EQ(location.scheme() + "://" + location.host(), QString(FakeBackend::kRedirect));
    const QString code = QUrlQuery(location).queryItemValue("code");
    ASSERT_FALSE(code.isEmpty());

    const HttpResult answer = exchange(code, kVerifier);
    ASSERT_TRUE(answer.ok());
    ASSERT_EQ(answer.value().statusCode, 200);
    const QJsonObject session = object(answer);
    EXPECT_EQ(session.value("token_type").toString(), "bearer");
    EXPECT_EQ(session.value("expires_in").toInteger(), 3600);
    EXPECT_EQ(session.value("expires_at").toInteger(), clock.now().toSecsSinceEpoch() + 3600);
    const QJsonObject user = session.value("user").toObject();
    EXPECT_EQ(user.value("id").toString(), alice.id);
    EXPECT_EQ(alice.id, alice.id.toLower());
    EXPECT_FALSE(QUuid::fromString(alice.id).isNull());
    EXPECT_EQ(user.value("email").toString(), "alice@example.com");
    EXPECT_EQ(user.value("app_metadata").toObject().value("provider").toString(), "google");
    EXPECT_NE(accessOf(session), refreshOf(session));
    const std::pair<const char*, QString> secrets[] = {
        {"code", code}, {"verifier", kVerifier}, {"access", accessOf(session)}, {"refresh", refreshOf(session)}};
    for (const auto& [name, secret] : secrets)
        EXPECT_TRUE(backend.secretsIssued().contains(secret)) << name;

    // The code is used up, and the session works on the tables.
    EXPECT_EQ(exchange(code, kVerifier).value().statusCode, 400);
    const HttpResult rows = select(accessOf(session));
    EXPECT_EQ(rows.value().statusCode, 200);
}

TEST_F(FakeBackendTest, AuthorizeRefusesWhatThePkceSignInDoesNotSend)
{
    backend.setSignInUser(alice.id);
    const QByteArray challenge = challengeOf(kVerifier);
    const struct
    {
        const char* name;
        QByteArray target;
        int status;
    } cases[] = {
        {"as sent", authorizeTarget(challenge), 302},
        {"method in capitals", authorizeTarget(challenge, "S256"), 302},
        {"plain method", authorizeTarget(kVerifier.toLatin1(), "plain"), 400},
        {"no method", "/auth/v1/authorize?provider=google&redirect_to=talvex%3A%2F%2Fauth-callback&code_challenge="
                          + challenge, 400},
        {"other provider", authorizeTarget(challenge, "s256", "github"), 400},
        {"other redirect", authorizeTarget(challenge, "s256", "google", "https://example.com/cb"), 400},
        {"padded challenge", authorizeTarget(challenge + "="), 400},
        {"standard base64 challenge", authorizeTarget(QByteArray(challenge).replace('_', '/').replace('-', '+')
                                                     .left(42) + "/"), 400},
        {"no challenge", authorizeTarget(""), 400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(browse(c.target).first, c.status);
    }
}

TEST_F(FakeBackendTest, AuthorizeCarriesTheChosenErrorOnceAndAnErrorWithoutAUser)
{
    const QByteArray target = authorizeTarget(challengeOf(kVerifier));
    const auto [noUserStatus, noUser] = browse(target);
    EXPECT_EQ(noUserStatus, 302);
    EXPECT_EQ(QUrlQuery(noUser).queryItemValue("error"), "access_denied");
    EXPECT_FALSE(QUrlQuery(noUser).hasQueryItem("code"));

    backend.setSignInUser(alice.id);
    backend.setSignInError("server_error", "Unable to exchange external code: 4/0AY & more");
    const QUrlQuery refused(browse(target).second);
    EXPECT_EQ(refused.queryItemValue("error"), "server_error");
    EXPECT_EQ(refused.queryItemValue("error_description", QUrl::FullyDecoded),
              "Unable to exchange external code: 4/0AY & more");
    EXPECT_FALSE(refused.hasQueryItem("code"));

    EXPECT_TRUE(QUrlQuery(browse(target).second).hasQueryItem("code"));
}

TEST_F(FakeBackendTest, CodeExchangeNeedsTheVerifierOfTheChallengeWithinFiveMinutes)
{
    const struct
    {
        const char* name;
        std::function<QString(FakeBackendTest&)> code;   // makes the code, may move the clock
        QString verifier;
        int status;
    } cases[] = {
        {"fresh", [](FakeBackendTest& t) { return t.codeFor(t.alice); }, kVerifier, 200},
        {"other verifier", [](FakeBackendTest& t) { return t.codeFor(t.alice); }, kOtherVerifier, 400},
        {"verifier too short", [](FakeBackendTest& t) { return t.codeFor(t.alice, "abc"); }, "abc", 400},
        {"forged code", [](FakeBackendTest& t) { t.codeFor(t.alice); return QString("forged"); }, kVerifier, 400},
        {"five minutes old",
         [](FakeBackendTest& t) {
             const QString code = t.codeFor(t.alice);
             t.clock.advance(5min);
             return code;
         },
         kVerifier, 200},
        {"a moment later",
         [](FakeBackendTest& t) {
             const QString code = t.codeFor(t.alice);
             t.clock.advance(5min + 1ms);
             return code;
         },
         kVerifier, 400},
        {"used once already",
         [](FakeBackendTest& t) {
             const QString code = t.codeFor(t.alice);
             EXPECT_EQ(t.exchange(code, kVerifier).value().statusCode, 200);
             return code;
         },
         kVerifier, 400},
        {"tried with a wrong verifier",
         [](FakeBackendTest& t) {
             const QString code = t.codeFor(t.alice);
             EXPECT_EQ(t.exchange(code, kOtherVerifier).value().statusCode, 400);
             return code;
         },
         kVerifier, 400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString code = c.code(*this);
        const HttpResult answer = exchange(code, c.verifier);
        ASSERT_TRUE(answer.ok());
        EXPECT_EQ(answer.value().statusCode, c.status);
        if (c.status == 400) {
            EXPECT_EQ(object(answer).value("error").toString(), "invalid_grant");
        }
    }
}

TEST_F(FakeBackendTest, RefreshRotatesAndAReusedTokenEndsItsSession)
{
    const QJsonObject first = signIn(alice);
    const QJsonObject other = signIn(alice);   // another device of the same user
    clock.advance(10min);

    const HttpResult rotated = refresh(refreshOf(first));
    ASSERT_EQ(rotated.value().statusCode, 200);
    const QJsonObject second = object(rotated);
    EXPECT_NE(accessOf(second), accessOf(first));
    EXPECT_NE(refreshOf(second), refreshOf(first));
    EXPECT_EQ(second.value("expires_at").toInteger(), clock.now().toSecsSinceEpoch() + 3600);
    EXPECT_EQ(second.value("user").toObject().value("id").toString(), alice.id);
    EXPECT_EQ(select(accessOf(second)).value().statusCode, 200);
    EXPECT_EQ(select(accessOf(first)).value().statusCode, 200);   // lives until it expires

    const HttpResult reused = refresh(refreshOf(first));
    EXPECT_EQ(reused.value().statusCode, 400);
    EXPECT_EQ(object(reused).value("error").toString(), "invalid_grant");
    // The whole session is gone, its newest tokens too; the other device's stays.
    EXPECT_EQ(refresh(refreshOf(second)).value().statusCode, 400);
    EXPECT_EQ(select(accessOf(second)).value().statusCode, 401);
    EXPECT_EQ(select(accessOf(first)).value().statusCode, 401);
    EXPECT_EQ(select(accessOf(other)).value().statusCode, 200);
    EXPECT_EQ(refresh(refreshOf(other)).value().statusCode, 200);

    EXPECT_EQ(refresh("never-issued").value().statusCode, 400);
}

TEST_F(FakeBackendTest, LogoutRevokesEveryRefreshTokenOfTheUserAndAccessTokensLiveOn)
{
    const QJsonObject phone = signIn(alice);
    const QJsonObject laptop = signIn(alice);
    const QJsonObject bobs = signIn(bob);

    Headers headers = accountHeaders();
    headers[2].second = "Bearer " + accessOf(phone).toUtf8();
    const HttpResult answer = send("POST", "/auth/v1/logout?scope=global", headers);
    ASSERT_TRUE(answer.ok());
    EXPECT_EQ(answer.value().statusCode, 204);

    EXPECT_EQ(refresh(refreshOf(phone)).value().statusCode, 400);
    EXPECT_EQ(refresh(refreshOf(laptop)).value().statusCode, 400);
    EXPECT_EQ(select(accessOf(phone)).value().statusCode, 200);
    EXPECT_EQ(select(accessOf(laptop)).value().statusCode, 200);
    EXPECT_EQ(refresh(refreshOf(bobs)).value().statusCode, 200);

    clock.advance(3600s);
    const HttpResult expired = select(accessOf(laptop));
    EXPECT_EQ(expired.value().statusCode, 401);
    EXPECT_EQ(object(expired).value("message").toString(), "JWT expired");
    // Logging out takes a live access token.
    EXPECT_EQ(send("POST", "/auth/v1/logout?scope=global", headers).value().statusCode, 401);
}

TEST_F(FakeBackendTest, AccessTokensEndAtExpiryOnExpireTokensAndOnRevocation)
{
    backend.setTokenLifetime(120s);
    const struct
    {
        const char* name;
        std::function<void(FakeBackendTest&)> act;
        int select;
        int refresh;
    } cases[] = {
        {"a second before expiry", [](FakeBackendTest& t) { t.clock.advance(119s); }, 200, 200},
        {"at expiry", [](FakeBackendTest& t) { t.clock.advance(120s); }, 401, 200},
        {"expireTokens", [](FakeBackendTest& t) { t.backend.expireTokens(); }, 401, 200},
        {"revokeSessions", [](FakeBackendTest& t) { t.backend.revokeSessions(t.alice.id.toUpper()); }, 401, 400},
        {"another user revoked", [](FakeBackendTest& t) { t.backend.revokeSessions(t.bob.id); }, 200, 200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clock.set(clock.now().addSecs(3600 * 24));   // every earlier token long gone
        const QJsonObject session = signIn(alice);
        EXPECT_EQ(session.value("expires_in").toInteger(), 120);
        c.act(*this);
        const HttpResult rows = select(accessOf(session));
        EXPECT_EQ(rows.value().statusCode, c.select);
        if (c.select == 401) {
            EXPECT_EQ(object(rows).value("code").toString(), "PGRST301");
        }
        EXPECT_EQ(refresh(refreshOf(session)).value().statusCode, c.refresh);
    }
}

TEST_F(FakeBackendTest, WrongKeyVersionOrAuthorizationIsRefusedOnEveryRequestKind)
{
    const QString access = accessOf(signIn(alice));
    const QByteArray bearerAccess = "Bearer " + access.toUtf8();
    const QString refreshToken = refreshOf(signIn(alice));
    struct Kind
    {
        const char* name;
        QByteArray method;
        QByteArray target;
        Headers headers;
        QByteArray body;
        int status;
    };
    Headers logout = accountHeaders();
    logout[2].second = bearerAccess;
    const Kind kinds[] = {
        {"refresh", "POST", "/auth/v1/token?grant_type=refresh_token", accountHeaders(),
         json({{"refresh_token", refreshToken}}), 200},
        {"logout", "POST", "/auth/v1/logout?scope=global", logout, {}, 204},
        {"select", "GET", "/rest/v1/glossary?select=*", tableHeaders(access), {}, 200},
        {"upsert", "POST", "/rest/v1/glossary", tableHeaders(access),
         json({{"id", QUuid::createUuid().toString(QUuid::WithoutBraces)}, {"content", "x"}}), 201},
    };
    const struct
    {
        const char* name;
        QByteArray header;
        std::optional<QByteArray> value;   // none: left out
        bool accountOnly;
    } changes[] = {
        {"no key", "Apikey", std::nullopt, false},
        {"other key", "Apikey", "sb_publishable_otherotherotherotherotherother", false},
        {"no version", "X-Supabase-Api-Version", std::nullopt, true},
        {"old version", "X-Supabase-Api-Version", "2023-01-01", true},
        {"no authorization", "Authorization", std::nullopt, false},
        {"basic authorization", "Authorization", "Basic " + kKey, false},
        {"unknown token", "Authorization", "Bearer not-a-token", false},
    };
    for (const Kind& kind : kinds) {
        const bool account = kind.target.startsWith("/auth/");
        for (const auto& change : changes) {
            if (change.accountOnly && !account)
                continue;
            SCOPED_TRACE(std::string(kind.name) + ", " + change.name);
            Headers headers;
            for (const auto& header : kind.headers) {
                if (header.first != change.header)
                    headers.append(header);
                else if (change.value)
                    headers.append({header.first, *change.value});
            }
            const HttpResult answer = send(kind.method, kind.target, headers, kind.body);
            ASSERT_TRUE(answer.ok());
            EXPECT_EQ(answer.value().statusCode, 401);
            EXPECT_FALSE(object(answer).isEmpty());
        }
    }
    // The same requests as sent pass (the refresh token was not used up by
    // the refused ones), and nothing refused was applied.
    EXPECT_TRUE(backend.rows("glossary").isEmpty());
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        EXPECT_EQ(send(kind.method, kind.target, kind.headers, kind.body).value().statusCode, kind.status);
    }
    // Account requests take the publishable key, not the user's token.
    Headers withToken = accountHeaders();
    withToken[2].second = bearerAccess;
    EXPECT_EQ(send("POST", "/auth/v1/token?grant_type=refresh_token", withToken, json({{"refresh_token", "x"}}))
                  .value()
                  .statusCode,
              401);
}
