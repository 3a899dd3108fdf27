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

QString newId() { return QUuid::createUuid().toString(QUuid::WithoutBraces); }

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

QStringList idsOf(const QList<QJsonObject>& rows)
{
    QStringList ids;
    for (const QJsonObject& row : rows)
        ids << row.value("id").toString();
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
         json({{"id", newId()}, {"content", "x"}}), 201},
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

TEST_F(FakeBackendTest, SelectShowsOnlyTheTokenUsersRowsUnlessRowRulesAreOff)
{
    const QString alices = accessOf(signIn(alice));
    const QString bobs = accessOf(signIn(bob));
    const QString aliceId = newId();
    const QString bobId = newId();
    ASSERT_EQ(upsert(alices, {{"id", aliceId}, {"content", "a"}}).value().statusCode, 201);
    ASSERT_EQ(upsert(bobs, {{"id", bobId}, {"content", "b"}}).value().statusCode, 201);

    const QJsonArray rows = array(select(alices));
    ASSERT_EQ(idsOf(rows), QStringList{aliceId});
    const QJsonObject row = rows[0].toObject();
    EXPECT_EQ(row.value("user_id").toString(), alice.id);
    EXPECT_EQ(row.value("created_at").toString(), "2026-03-04T05:06:07.123+00:00");
    EXPECT_EQ(idsOf(array(select(bobs))), QStringList{bobId});
    EXPECT_TRUE(array(select(alices, "recordings")).isEmpty());

    // Nobody signed in: no rows, and no writes.
    const HttpResult anonymous = select(kKey);
    EXPECT_EQ(anonymous.value().statusCode, 200);
    EXPECT_TRUE(array(anonymous).isEmpty());
    EXPECT_EQ(upsert(kKey, {{"id", newId()}}).value().statusCode, 401);

    backend.setRowRulesEnabled(false);
    EXPECT_EQ(idsOf(array(select(alices))), (QStringList{aliceId, bobId}));
    const HttpResult foreign = upsert(alices, {{"id", bobId}, {"content", "changed by alice"}});
    EXPECT_EQ(foreign.value().statusCode, 201);
    EXPECT_EQ(backend.rows("glossary")[1].value("content").toString(), "changed by alice");
    EXPECT_EQ(backend.rows("glossary")[1].value("user_id").toString(), bob.id);
}

TEST_F(FakeBackendTest, UpsertRefusesDuplicatesOtherUsersRowsAndWhatTheTableCannotHold)
{
    const QString alices = accessOf(signIn(alice));
    const QString bobs = accessOf(signIn(bob));
    const QString mine = newId();
    const QString bobsRow = newId();
    ASSERT_EQ(upsert(alices, {{"id", mine}, {"content", "kept"}}).value().statusCode, 201);
    ASSERT_EQ(upsert(bobs, {{"id", bobsRow}, {"content", "bob's"}}).value().statusCode, 201);
    const QList<QJsonObject> before = backend.rows("glossary");

    const struct
    {
        const char* name;
        QJsonObject row;
        QByteArray prefer;
        QByteArray table;
        int status;
        const char* code;
    } cases[] = {
        {"existing id without merge", {{"id", mine}, {"content", "x"}}, "return=representation", "glossary", 409,
         "23505"},
        {"existing id in capitals without merge", {{"id", mine.toUpper()}, {"content", "x"}}, "return=representation",
         "glossary", 409, "23505"},
        {"another user's row", {{"id", bobsRow.toUpper()}, {"content", "x"}}, kMergePrefer, "glossary", 403, "42501"},
        {"another user as owner", {{"id", newId()}, {"user_id", bob.id}},
         kMergePrefer, "glossary", 403, "42501"},
        {"unknown column", {{"id", mine}, {"text", "x"}}, kMergePrefer, "glossary", 400, "PGRST204"},
        {"recording column on glossary", {{"id", mine}, {"status", "completed"}}, kMergePrefer, "glossary", 400,
         "PGRST204"},
        {"id that is no UUID", {{"id", "glossary-1"}, {"content", "x"}}, kMergePrefer, "glossary", 400, "22P02"},
        {"no id", {{"content", "x"}}, kMergePrefer, "glossary", 400, "23502"},
        {"unreadable time", {{"id", mine}, {"updated_at", "yesterday"}}, kMergePrefer, "glossary", 400, "22007"},
        {"fractional slice count",
         {{"id", newId()}, {"status", "completed"}, {"slice_count", 2.5}},
         kMergePrefer, "recordings", 400, "22P02"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const HttpResult answer = upsert(alices, c.row, c.table, c.prefer);
        ASSERT_TRUE(answer.ok());
        EXPECT_EQ(answer.value().statusCode, c.status);
        EXPECT_EQ(object(answer).value("code").toString(), c.code);
    }
    EXPECT_EQ(backend.rows("glossary"), before);
    EXPECT_TRUE(backend.rows("recordings").isEmpty());
}

TEST_F(FakeBackendTest, UpsertMergesByIdAsUuidAndAnswersTheStoredRow)
{
    const QString token = accessOf(signIn(alice));
    const QString id = newId();
    const QString recordingId = newId();
    const QJsonObject first{{"id", id.toUpper()},
                            {"recording_id", recordingId.toUpper()},
                            {"slice_index", 1},
                            {"filename", "20260304_050607_x_001.m4a"},
                            {"status", "pending"},
                            {"duration", 30},
                            {"updated_at", "2026-03-04T05:06:07.100Z"}};
    const HttpResult created = upsert(token, first, "slices");
    ASSERT_EQ(created.value().statusCode, 201);

    clock.advance(30min);
    const HttpResult merged = upsert(token, {{"id", id}, {"status", "completed"}, {"raw_text", "hello"},
                                             {"updated_at", "2026-03-04T06:06:07.200Z"}},
                                     "slices");
    ASSERT_EQ(merged.value().statusCode, 201);
    const QJsonArray answered = array(merged);
    ASSERT_EQ(answered.size(), 1);
    ASSERT_EQ(backend.rows("slices").size(), 1);
    const QJsonObject stored = backend.rows("slices").first();
    EXPECT_EQ(answered[0].toObject(), stored);
    const QJsonObject expected{{"id", id},
                               {"user_id", alice.id},
                               {"recording_id", recordingId},
                               {"slice_index", 1},
                               {"filename", "20260304_050607_x_001.m4a"},
                               {"status", "completed"},
                               {"raw_text", "hello"},
                               {"duration", 30},
                               {"provider", QJsonValue::Null},
                               {"error", QJsonValue::Null},
                               {"created_at", "2026-03-04T05:06:07.123+00:00"},
                               {"updated_at", "2026-03-04T06:06:07.2+00:00"},
                               {"deleted_at", QJsonValue::Null}};
    EXPECT_EQ(stored, expected);

    // A copy older than the stored one (a device that had not pulled the
    // later edit) changes nothing and comes back without a row; an equal
    // time merges.
    const QJsonObject late{{"id", id}, {"status", "failed"}, {"updated_at", "2026-03-04T06:06:07.199Z"}};
    const HttpResult refused = upsert(token, late, "slices");
    EXPECT_EQ(refused.value().statusCode, 201);
    EXPECT_TRUE(array(refused).isEmpty());
    EXPECT_EQ(backend.rows("slices").first(), expected);
    const QJsonObject same{{"id", id}, {"status", "failed"}, {"updated_at", "2026-03-04T07:06:07.2+01:00"}};
    EXPECT_EQ(array(upsert(token, same, "slices")).size(), 1);
    EXPECT_EQ(backend.rows("slices").first().value("status").toString(), "failed");

    // A creation time sent along is kept; without return=representation the answer is empty.
    const QString dated = newId();
    const HttpResult minimal = upsert(token, {{"id", dated}, {"created_at", "2026-01-01T00:00:00Z"}}, "glossary",
                                      "resolution=merge-duplicates");
    EXPECT_EQ(minimal.value().statusCode, 201);
    EXPECT_TRUE(minimal.value().body.isEmpty());
    EXPECT_EQ(backend.rows("glossary").first().value("created_at").toString(), "2026-01-01T00:00:00+00:00");
}

// Times are stored and written back as the service writes them.
TEST_F(FakeBackendTest, TimesAreWrittenInTheServicesForm)
{
    const QString token = accessOf(signIn(alice));
    const std::pair<QString, QString> cases[] = {
        {"2026-03-04T05:06:07.123Z", "2026-03-04T05:06:07.123+00:00"},
        {"2026-03-04T05:06:07.120Z", "2026-03-04T05:06:07.12+00:00"},
        {"2026-03-04T05:06:07.000Z", "2026-03-04T05:06:07+00:00"},
        {"2026-03-04T05:06:07Z", "2026-03-04T05:06:07+00:00"},
        {"2026-03-04T05:06:07.000001Z", "2026-03-04T05:06:07.000001+00:00"},
        {"2026-03-04T05:06:07.1234567Z", "2026-03-04T05:06:07.123457+00:00"},
        {"2026-03-04T07:06:07.5+02:00", "2026-03-04T05:06:07.5+00:00"},
        {"2026-03-04T00:06:07-0500", "2026-03-04T05:06:07+00:00"},
        {"2026-03-04T05:06:07.123", "2026-03-04T05:06:07.123+00:00"},
        {"2026-03-04t05:06:07.123z", "2026-03-04T05:06:07.123+00:00"},
    };
    for (const auto& [sent, stored] : cases) {
        SCOPED_TRACE(sent.toStdString());
        const QString id = newId();
        const HttpResult answer = upsert(token, {{"id", id}, {"deleted_at", sent}});
        ASSERT_EQ(answer.value().statusCode, 201);
        EXPECT_EQ(array(answer)[0].toObject().value("deleted_at").toString(), stored);
    }

    // The fake's own stamps: now, to the millisecond, in the same form.
    clock.set(QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7, 0), Qt::UTC));
    const QString id = newId();
    backend.writeRow("glossary", alice.id, {{"id", id}, {"content", "from another device"}});
    EXPECT_EQ(backend.rows("glossary").last().value("updated_at").toString(), "2026-03-04T05:06:07+00:00");
    EXPECT_EQ(backend.rows("glossary").last().value("created_at").toString(), "2026-03-04T05:06:07+00:00");
}

TEST_F(FakeBackendTest, UpdatedAtFilterComparesTimesNotTexts)
{
    const QString token = accessOf(signIn(alice));
    // Stored in the service's form; the filter comes in other forms, whose
    // text order differs from their time order ("07Z" sorts after "07.5+00:00").
    const std::pair<QString, QString> rows[] = {
        {"a", "2026-03-04T05:06:07Z"},
        {"b", "2026-03-04T05:06:07.5Z"},
        {"c", "2026-03-04T05:06:08Z"},
    };
    QHash<QString, QString> names;
    for (const auto& [name, time] : rows) {
        const QString id = newId();
        names.insert(id, name);
        ASSERT_EQ(upsert(token, {{"id", id}, {"updated_at", time}}).value().statusCode, 201);
    }
    const QString nullId = newId();
    backend.writeRow("glossary", alice.id, {{"id", nullId}, {"updated_at", QJsonValue::Null}});
    names.insert(nullId, "null");

    const struct
    {
        QByteArray since;
        QStringList expected;   // none: refused
        int status;
    } cases[] = {
        {"2026-03-04T05:06:06.999Z", {"a", "b", "c"}, 200},
        {"2026-03-04T05:06:07Z", {"b", "c"}, 200},
        {"2026-03-04T05:06:07.000Z", {"b", "c"}, 200},
        {"2026-03-04T05:06:07.4999Z", {"b", "c"}, 200},
        {"2026-03-04T05:06:07.500Z", {"c"}, 200},
        {"2026-03-04T05%3A06%3A07.500Z", {"c"}, 200},
        {"2026-03-04T07:06:07.5%2B02:00", {"c"}, 200},
        {"2026-03-04T07%3A06%3A07.5%2B02%3A00", {"c"}, 200},
        {"2026-03-04T00:06:07.5-05:00", {"c"}, 200},
        {"2026-03-04T05:06:08Z", {}, 200},
        // A raw "+" is read as a space, as the service's query reader does.
        {"2026-03-04T07:06:07.5+02:00", {}, 400},
        {"last-week", {}, 400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.since.toStdString());
        const HttpResult answer = select(token, "glossary", "&updated_at=gt." + c.since);
        ASSERT_TRUE(answer.ok());
        ASSERT_EQ(answer.value().statusCode, c.status);
        if (c.status != 200)
            continue;
        QStringList got;
        for (const QString& id : idsOf(array(answer)))
            got << names.value(id);
        EXPECT_EQ(got, c.expected);
    }
    // Without a filter every row comes, the one with no update time too.
    EXPECT_EQ(array(select(token)).size(), 4);
}

TEST_F(FakeBackendTest, WriteRowMergesAsAnotherDeviceAndKeepsPlantedValues)
{
    const QString id = newId();
    backend.writeRow("recordings", alice.id.toUpper(),
                     {{"id", id.toUpper()}, {"status", "completed"}, {"cleaned_text", "first"},
                      {"updated_at", "2026-03-04T05:06:07.123Z"}});
    clock.advance(2s);
    backend.writeRow("recordings", alice.id, {{"id", id}, {"cleaned_text", "second"}});
    backend.writeRow("recordings", alice.id, {{"id", "not-a-uuid"}, {"status", "Completed"},
                                              {"updated_at", "2026-03-04 05:06"}});

    const QList<QJsonObject> rows = backend.rows("recordings");
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0].value("id").toString(), id);
    EXPECT_EQ(rows[0].value("user_id").toString(), alice.id);
    EXPECT_EQ(rows[0].value("status").toString(), "completed");
    EXPECT_EQ(rows[0].value("cleaned_text").toString(), "second");
    EXPECT_EQ(rows[0].value("created_at").toString(), "2026-03-04T05:06:07.123+00:00");
    EXPECT_EQ(rows[0].value("updated_at").toString(), "2026-03-04T05:06:09.123+00:00");
    EXPECT_EQ(rows[1].value("id").toString(), "not-a-uuid");
    EXPECT_EQ(rows[1].value("updated_at").toString(), "2026-03-04 05:06");

    // What the client pulls is what was written.
    EXPECT_EQ(array(select(accessOf(signIn(alice)), "recordings")).size(), 2);
}

// What the client can see of each fault. Qt reads a close inside a body as
// a network failure, or, when it reads the close together with the bytes
// before it, as an answer with a truncated body.
bool droppedSeen(const HttpResult& r)
{
    return r.ok() ? r.value().statusCode == 502 : r.error().kind() == HttpError::Kind::network;
}
bool halfSeen(const HttpResult& r)
{
    if (!r.ok())
        return r.error().kind() == HttpError::Kind::network;
    return r.value().statusCode == 201 && !r.value().bodyJson().ok();
}
bool timeoutSeen(const HttpResult& r) { return !r.ok() && r.error().kind() == HttpError::Kind::timeout; }
bool serverErrorSeen(const HttpResult& r) { return r.ok() && r.value().statusCode == 502; }

TEST_F(FakeBackendTest, EachFaultFailsTheRequestAndAppliesTheWriteOnlyWhenItSaysSo)
{
    using Kind = FakeBackend::Fault::Kind;
    const QString token = accessOf(signIn(alice));
    const struct
    {
        const char* name;
        Kind kind;
        bool (*seen)(const HttpResult&);
        bool applied;
    } cases[] = {
        // The drops first, on fresh connections: a close that Qt answers by
        // sending the request again would hide the fault.
        {"drop before answer", Kind::dropBeforeAnswer, droppedSeen, false},
        {"drop after apply", Kind::dropAfterApply, droppedSeen, true},
        {"half answer", Kind::halfAnswer, halfSeen, true},
        {"server error", Kind::serverError, serverErrorSeen, false},
        {"no answer", Kind::noAnswer, timeoutSeen, false},
        {"delay past the time-out", Kind::delay, timeoutSeen, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        backend.addFault({"POST", "/rest/v1/glossary", c.kind, 1, 502, 60s});
        const QString id = newId();
        const QJsonObject row{{"id", id}, {"content", c.name}};
        const qsizetype sent = backend.requests().size();
        const HttpResult answer = send("POST", "/rest/v1/glossary", tableHeaders(token), json(row), 500ms);
        EXPECT_TRUE(c.seen(answer));
        EXPECT_EQ(backend.requests().size(), sent + 1);
        EXPECT_EQ(idsOf(backend.rows("glossary")).contains(id), c.applied);
        // Used up: the same request now goes through, and merges.
        const HttpResult again = send("POST", "/rest/v1/glossary", tableHeaders(token), json(row));
        ASSERT_TRUE(again.ok());
        EXPECT_EQ(again.value().statusCode, 201);
        EXPECT_EQ(idsOf(backend.rows("glossary")).count(id), 1);
    }
    EXPECT_EQ(backend.rows("glossary").size(), std::size(cases));
}

TEST_F(FakeBackendTest, FaultsHitTheirMethodAndPathAsOftenAsAsked)
{
    const QJsonObject session = signIn(alice);
    const QString token = accessOf(session);
    using Kind = FakeBackend::Fault::Kind;
    backend.addFault({"POST", "/rest/v1/recordings", Kind::serverError, 2, 503});
    backend.addFault({"", "/auth/v1/token", Kind::serverError, -1, 500});

    auto post = [&](const QByteArray& table, const QJsonObject& row) {
        return upsert(token, row, table).value().statusCode;
    };
    const QJsonObject recording{{"id", newId()},
                                {"status", "completed"}};
    EXPECT_EQ(select(token, "recordings").value().statusCode, 200);
    EXPECT_EQ(post("glossary", {{"id", newId()}}), 201);
    EXPECT_EQ(post("recordings", recording), 503);
    EXPECT_EQ(post("recordings", recording), 503);
    EXPECT_EQ(post("recordings", recording), 201);

    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(refresh(refreshOf(session)).value().statusCode, 500);
    backend.clearFaults();
    // The refused refreshes did not use the token up.
    const HttpResult rotated = refresh(refreshOf(session));
    ASSERT_EQ(rotated.value().statusCode, 200);

    // A logout whose answer is lost has still ended the sessions.
    backend.addFault({"POST", "/auth/v1/logout", Kind::dropAfterApply});
    Headers logout = accountHeaders();
    logout[2].second = "Bearer " + token.toUtf8();
    const HttpResult lost = send("POST", "/auth/v1/logout?scope=global", logout);
    EXPECT_TRUE(droppedSeen(lost));
    EXPECT_EQ(refresh(refreshOf(object(rotated))).value().statusCode, 400);
    EXPECT_EQ(refresh(refreshOf(signIn(bob))).value().statusCode, 200);

    backend.addFault({"", "", Kind::serverError, 1, 504});
    EXPECT_EQ(select(token, "slices").value().statusCode, 504);
    EXPECT_EQ(select(token, "slices").value().statusCode, 200);
}

TEST_F(FakeBackendTest, OfflineClosesEveryConnectionUnansweredAndUnlogged)
{
    const QString token = accessOf(signIn(alice));
    const qsizetype logged = backend.requests().size();
    backend.setOffline(true);
    const HttpResult pulled = select(token);
    ASSERT_FALSE(pulled.ok());
    EXPECT_EQ(pulled.error().kind(), HttpError::Kind::network);
    const HttpResult pushed = upsert(token, {{"id", newId()}});
    ASSERT_FALSE(pushed.ok());
    EXPECT_TRUE(backend.rows("glossary").isEmpty());
    EXPECT_EQ(backend.requests().size(), logged);

    backend.setOffline(false);
    EXPECT_EQ(select(token).value().statusCode, 200);
    EXPECT_EQ(backend.requests().size(), logged + 1);
}

TEST_F(FakeBackendTest, RequestLogKeepsEveryRequestWithItsHeaders)
{
    const QString token = accessOf(signIn(alice));
    upsert(token, {{"id", newId()}});
    const QList<HttpFake::Request>& log = backend.requests();
    ASSERT_EQ(log.size(), 3);
    EXPECT_EQ(log[0].method, "GET");
    EXPECT_TRUE(log[0].path.startsWith("/auth/v1/authorize?provider=google"));
    EXPECT_EQ(log[1].path, "/auth/v1/token?grant_type=pkce");
    EXPECT_EQ(log[1].header("x-supabase-api-version"), "2024-01-01");
    EXPECT_EQ(log[2].path, "/rest/v1/glossary");
    EXPECT_EQ(log[2].header("Prefer"), kMergePrefer);
    EXPECT_EQ(log[2].header("Authorization"), "Bearer " + token.toUtf8());
}
