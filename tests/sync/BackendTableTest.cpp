// The table reads and writes: only for the signed-in user, "since" as the
// backend reads it, the backend's refusals in its own words, and no secret
// in an error, a log line or the process's output.
#include <QUuid>

#include "BackendClientFixture.h"
#include "support/HttpFake.h"
#include "support/OutputCapture.h"

namespace {

using BackendTableTest = BackendClientFixture;
using BackendSecretsTest = BackendClientFixture;

QString newId() { return QUuid::createUuid().toString(QUuid::WithoutBraces); }

QStringList idsOf(const QJsonArray& rows)
{
    QStringList ids;
    for (const QJsonValue& row : rows)
        ids << row.toObject().value("id").toString();
    ids.sort();
    return ids;
}

}  // namespace

TEST_F(BackendTableTest, RequestsForAnotherAccountOrWithoutSessionFailUnsent)
{
    struct Case
    {
        const char* name;
        bool signedIn;   // as alice
        QString userId;
        QString error;   // empty: sent
    };
    const Case cases[] = {
        {"nobody signed in", false, upper(alice), "Not signed in"},
        {"nobody signed in, local", false, "local", "Not signed in"},
        {"alice signed in, bob's rows", true, upper(bob), "Signed in as another account"},
        {"alice signed in, local rows", true, "local", "Signed in as another account"},
        {"alice signed in, her rows", true, upper(alice), ""},
        {"alice signed in, her id in lower case", true, alice.id, ""},
    };
    backend.writeRow("glossary", bob.id, QJsonObject{{"id", newId()}, {"content", "bob's"}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        preferences->remove(kSessionKey);
        if (c.signedIn)
            signIn(alice);
        const qsizetype before = backend.requests().size();
        const QList<QJsonObject> rowsBefore = backend.rows("glossary");

        const auto selected = select(*client, c.userId);
        const auto upserted = upsert(*client, c.userId, QJsonObject{{"id", newId()}, {"content", "x"}});
        const QString expected = c.error.isEmpty() ? QStringLiteral("ok") : c.error;
        EXPECT_EQ(outcomeOf(selected), expected);
        EXPECT_EQ(outcomeOf(upserted), expected);
        if (c.error.isEmpty()) {
            EXPECT_EQ(requestsSince(before).size(), 2);
            continue;
        }
        EXPECT_EQ(requestsSince(before), QStringList{});
        EXPECT_EQ(backend.rows("glossary"), rowsBefore);
    }
}

TEST_F(BackendTableTest, SelectAsksForRowsLaterThanSinceWrittenInUtc)
{
    const QDateTime t0(QDate(2026, 3, 4), QTime(5, 6, 7, 123), Qt::UTC);
    const QString early = newId();
    const QString late = newId();
    backend.writeRow("glossary", alice.id, QJsonObject{{"id", early}, {"content", "a"}, {"updated_at", "2026-03-04T05:06:07.123Z"}});
    backend.writeRow("glossary", alice.id, QJsonObject{{"id", late}, {"content", "b"}, {"updated_at", "2026-03-04T05:06:08.000Z"}});
    backend.writeRow("glossary", bob.id, QJsonObject{{"id", newId()}, {"content", "c"}, {"updated_at", "2026-03-04T06:00:00.000Z"}});
    signIn(alice);

    struct Case
    {
        const char* name;
        std::optional<QDateTime> since;
        QByteArray query;
        QStringList ids;
    };
    const Case cases[] = {
        {"everything", std::nullopt, "select=*", QStringList{early, late}},
        {"later than the first", t0, "select=*&updated_at=gt.2026-03-04T05:06:07.123Z", {late}},
        // The same instant in another zone: an offset's "+" would reach the
        // backend as a space.
        {"given with an offset", t0.toOffsetFromUtc(8 * 3600),
         "select=*&updated_at=gt.2026-03-04T05:06:07.123Z", {late}},
        {"a millisecond before the first", t0.addMSecs(-1),
         "select=*&updated_at=gt.2026-03-04T05:06:07.122Z", QStringList{early, late}},
        {"after both", t0.addSecs(1), "select=*&updated_at=gt.2026-03-04T05:06:08.123Z", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QStringList expected = c.ids;
        expected.sort();
        const auto result = select(*client, upper(alice), c.since);
        ASSERT_TRUE(result && result->ok()) << (result ? result->error().description().toStdString() : "");
        EXPECT_EQ(idsOf(result->value()), expected);
        EXPECT_EQ(backend.requests().last().path, "/rest/v1/glossary?" + c.query);
    }
}

TEST_F(BackendTableTest, UpsertInsertsThenMergesIntoTheRowWithItsId)
{
    signIn(alice);
    const QString id = newId();
    ASSERT_FALSE(upsert(*client, upper(alice), QJsonObject{{"id", id}, {"content", "first"}})->has_value());
    ASSERT_FALSE(upsert(*client, upper(alice), QJsonObject{{"id", id.toUpper()}, {"content", "second"}})->has_value());

    const QList<QJsonObject> rows = backend.rows("glossary");
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].value("content").toString(), "second");
    EXPECT_EQ(rows[0].value("user_id").toString(), alice.id);
    const auto selected = select(*client, upper(alice));
    ASSERT_EQ(selected->value().size(), 1);
    EXPECT_EQ(selected->value()[0].toObject().value("content").toString(), "second");
}

TEST_F(BackendTableTest, RefusalsAndBrokenAnswersComeBackAsClearErrors)
{
    signIn(alice);
    const QString bobsRow = newId();
    backend.writeRow("glossary", bob.id, QJsonObject{{"id", bobsRow}, {"content", "bob's"}});
    struct Case
    {
        const char* name;
        std::optional<FakeBackend::Fault> fault;
        QJsonObject row;   // empty: a select
        QString error;
        BackendError::Kind kind;
    };
    using Kind = FakeBackend::Fault::Kind;
    const Case cases[] = {
        {"a column the table does not have", std::nullopt, QJsonObject{{"id", newId()}, {"colour", "red"}},
         "Could not find the 'colour' column of 'glossary' in the schema cache", BackendError::Kind::status},
        {"another user's row", std::nullopt, QJsonObject{{"id", bobsRow}, {"content", "mine now"}},
         "new row violates row-level security policy (USING expression) for table \"glossary\"", BackendError::Kind::status},
        {"server failure on a write", FakeBackend::Fault{.method = "POST", .path = "/rest/v1/glossary", .status = 503},
         QJsonObject{{"id", newId()}, {"content", "x"}}, "Service unavailable", BackendError::Kind::status},
        {"server failure on a read", FakeBackend::Fault{.method = "GET", .path = "/rest/v1/glossary", .status = 500},
         {}, "Service unavailable", BackendError::Kind::status},
        {"half an answer",
         FakeBackend::Fault{.method = "GET", .path = "/rest/v1/glossary", .kind = Kind::halfAnswer, .times = -1},
         {}, "", BackendError::Kind::transport},
        {"no answer in time",
         FakeBackend::Fault{.method = "GET", .path = "/rest/v1/glossary", .kind = Kind::noAnswer}, {},
         "The request timed out.", BackendError::Kind::transport},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        backend.clearFaults();
        if (c.fault)
            backend.addFault(*c.fault);
        std::optional<BackendError> error;
        if (c.row.isEmpty()) {
            const auto result = runTask(client->select("glossary", std::nullopt, upper(alice), 300ms));
            ASSERT_TRUE(result);
            if (!result->ok())
                error = result->error();
        } else {
            const auto result = runTask(client->upsert("glossary", c.row, upper(alice), 300ms));
            ASSERT_TRUE(result);
            error = *result;
        }
        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind(), c.kind);
        if (!c.error.isEmpty()) {
            EXPECT_EQ(error->description(), c.error);
        }
        EXPECT_FALSE(error->description().isEmpty());
    }
    EXPECT_EQ(backend.rows("glossary").size(), 1) << "bob's row only";
    EXPECT_EQ(backend.rows("glossary")[0].value("content").toString(), "bob's");
}

TEST_F(BackendSecretsTest, NoTokenCodeOrVerifierReachesAnErrorOrTheOutput)
{
    QStringList descriptions;
    QByteArray output;
    {
        OutputCapture capture;
        const auto otherPrefs = newPreferences();
        const auto otherDevice = newClient(*otherPrefs);
        signIn(*otherDevice, alice);
        const BackendSession session = signIn(alice);
        clock.set(session.expiresAt.addSecs(-5));
        ASSERT_TRUE(select(*client, upper(alice))->ok());
        ASSERT_FALSE(upsert(*client, upper(alice), QJsonObject{{"id", newId()}, {"content", "x"}})->has_value());
        // A code used twice, a refused refresh, a refused token, a failed sign-out.
        ScriptedWebAuthSession replaying;
        auto first = std::make_shared<QUrl>();
        replaying.rewriteCallback = [first](const QUrl& callback) {
            if (first->isEmpty())
                *first = callback;
            return *first;
        };
        runTask(otherDevice->signInWithOAuth(replaying));
        descriptions << runTask(otherDevice->signInWithOAuth(replaying))->error().description();
        backend.revokeSessions(alice.id);
        clock.advance(3600s);
        descriptions << select(*otherDevice, upper(alice))->error().description();
        signIn(alice);
        backend.expireTokens();
        backend.addFault({.method = "POST", .path = "/auth/v1/token", .status = 503});
        descriptions << select(*client, upper(alice))->error().description();
        backend.addFault({.method = "POST", .path = "/auth/v1/logout", .status = 500});
        descriptions << (*runTask(client->signOut()))->description();
        output = capture.text();
    }
    EXPECT_EQ(descriptions, (QStringList{"Invalid or used authorization code", "Invalid Refresh Token: Session Revoked",
                                         "Service unavailable", "Service unavailable"}));
    const QStringList secrets = backend.secretsIssued();
    ASSERT_GE(secrets.size(), 10);
    const QString everything = descriptions.join('\n') + QString::fromUtf8(output);
    EXPECT_EQ(backend.secretsIn(everything), QStringList());
    EXPECT_FALSE(everything.contains(FakeBackend::kPublishableKey));
}

TEST_F(BackendSecretsTest, BackendTextThatEchoesASecretIsMasked)
{
    // A backend that repeats what it was sent in its errors.
    HttpFake echoing;
    HttpFake elsewhere;
    BackendClient direct(*preferences, http, BackendConfig(echoing.url(), FakeBackend::kPublishableKey),
                         clock.wallClock(), timing);
    const QString access = "access-token-0123456789abcdef";
    const QString refresh = "refresh-token-0123456789abcdef";
    BackendSession session;
    session.accessToken = access;
    session.refreshToken = refresh;
    session.tokenType = "bearer";
    session.expiresAt = clock.now().addSecs(3600);
    session.user.id = alice.id;
    const QString key = FakeBackend::kPublishableKey;

    struct Case
    {
        const char* name;
        std::chrono::seconds left;   // of the stored session
        HttpFake::Answer answer;
        QString error;
    };
    HttpFake::Answer moved = HttpFake::Answer::text(302, "");
    moved.headers = {{"Location", elsewhere.url().toEncoded() + "/rest/v1/glossary"}};
    const Case cases[] = {
        {"refused refresh naming its token", 10s,
         HttpFake::Answer::json(400, R"({"error_description":"Invalid Refresh Token: )" + refresh.toUtf8() + "\"}"),
         "Invalid Refresh Token: ref…"},
        {"refused select naming the token and the key", 3600s,
         HttpFake::Answer::json(400, R"({"message":"bad )" + access.toUtf8() + " with " + key.toUtf8() + "\"}"),
         "bad acc… with sb_…"},
        {"redirected elsewhere: not followed", 3600s, moved, "The backend answered with status 302."},
        {"an answer that is not a list of rows", 3600s, HttpFake::Answer::json(200, R"({"rows":[]})"),
         "The answer is not valid JSON: not a list of rows."},
        {"an answer that is not JSON", 3600s, HttpFake::Answer::text(200, "<html>"),
         "The answer is not valid JSON: illegal value."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        session.expiresAt = clock.now().addSecs(c.left.count());
        preferences->setValue(kSessionKey, QJsonDocument(session.toJson()).toJson());
        echoing.setResponder([&](const HttpFake::Request&) { return c.answer; });
        const auto result = select(direct, upper(alice));
        ASSERT_TRUE(result);
        ASSERT_FALSE(result->ok());
        EXPECT_EQ(result->error().description(), c.error);
    }
    EXPECT_EQ(elsewhere.requests().size(), 0);
}
