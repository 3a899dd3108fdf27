// The backend client's sign-in, the headers of each kind of request, where
// the session is kept, and what an unusable configuration does.
#include <QCoroTimer>
#include <QCryptographicHash>
#include <QTimer>
#include <QRegularExpression>
#include <QUrlQuery>
#include <QUuid>

#include "BackendClientFixture.h"
#include "sync/UserDefaultsLocalStorage.h"

namespace {

QString challengeOf(const QString& verifier)
{
    return QString::fromLatin1(QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256)
                                   .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

using BackendSignInTest = BackendClientFixture;
using BackendHeadersTest = BackendClientFixture;
using BackendStorageTest = BackendClientFixture;
using BackendConfigTest = BackendClientFixture;

}  // namespace

TEST_F(BackendSignInTest, OpensAuthorizeWithChallengeOfStoredVerifierThenStoresAndAnnouncesSession)
{
    ChangeLog announced;
    announced.follow(*client);
    QString verifierDuringSignIn;
    browser.beforeReturn = [&] { verifierDuringSignIn = preferences->value(kVerifierKey).toString(); };

    const BackendSession session = signIn(alice);

    // 64 random bytes in base64url without padding.
    EXPECT_TRUE(QRegularExpression("^[A-Za-z0-9_-]{86}$").match(verifierDuringSignIn).hasMatch())
        << verifierDuringSignIn.toStdString();
    const QUrl opened = browser.openedUrl();
    EXPECT_EQ(opened.adjusted(QUrl::RemoveQuery), QUrl(backend.url().toString() + "/auth/v1/authorize"));
    const QUrlQuery query(opened);
    EXPECT_EQ(query.queryItemValue("provider"), "google");
    EXPECT_EQ(query.queryItemValue("redirect_to", QUrl::FullyDecoded), "talvex://auth-callback");
    EXPECT_EQ(query.queryItemValue("code_challenge"), challengeOf(verifierDuringSignIn));
    EXPECT_EQ(query.queryItemValue("code_challenge_method"), "s256");

    const HttpFake::Request exchange = backend.requests().last();
    EXPECT_EQ(exchange.path, "/auth/v1/token?grant_type=pkce");
    const QJsonObject exchanged = QJsonDocument::fromJson(exchange.body).object();
    EXPECT_EQ(exchanged.keys(), (QStringList{"auth_code", "code_verifier"}));
    EXPECT_FALSE(exchanged.value("auth_code").toString().isEmpty());
    EXPECT_EQ(exchanged.value("code_verifier").toString(), verifierDuringSignIn);

    EXPECT_EQ(session.user.id, alice.id);
    EXPECT_EQ(session.userId(), upper(alice));
    EXPECT_EQ(session.user.email, "alice@example.com");
    EXPECT_EQ(session.user.provider, "google");
    EXPECT_EQ(announced.texts, QStringList{"signedIn alice@example.com"});
    ASSERT_TRUE(client->storedSession());
    EXPECT_EQ(client->storedSession()->accessToken, session.accessToken);
    EXPECT_FALSE(preferences->contains(kVerifierKey)) << "the verifier lives only during a sign-in";
}

TEST_F(BackendSignInTest, EveryWayASignInFailsLeavesNothingStored)
{
    struct Case
    {
        const char* name;
        std::function<void(BackendSignInTest&, ScriptedWebAuthSession&)> arrange;
        QString expected;
    };
    const Case cases[] = {
        {"user closes the browser", [](BackendSignInTest&, ScriptedWebAuthSession& b) { b.cancelByUser(); },
         ScriptedWebAuthSession::kCancelled},
        {"the backend's callback carries an error",
         [](BackendSignInTest& t, ScriptedWebAuthSession&) {
             t.backend.setSignInError("access_denied", "The user denied access (sorry)");
         },
         "The user denied access (sorry)"},
        {"a forged code",
         [](BackendSignInTest&, ScriptedWebAuthSession& b) {
             b.rewriteCallback = [](const QUrl& callback) {
                 QUrl forged = callback;
                 forged.setQuery("code=" + QUuid::createUuid().toString(QUuid::WithoutBraces));
                 return forged;
             };
         },
         "Invalid or used authorization code"},
        {"a forged verifier",
         [](BackendSignInTest& t, ScriptedWebAuthSession& b) {
             b.beforeReturn = [&t] { t.preferences->setValue(kVerifierKey, QByteArray(86, 'w')); };
         },
         "Code challenge does not match the code verifier"},
        {"a code that was used before",
         [](BackendSignInTest& t, ScriptedWebAuthSession& b) {
             auto first = std::make_shared<QUrl>();
             b.rewriteCallback = [first](const QUrl& callback) {
                 if (first->isEmpty())
                     *first = callback;
                 return *first;
             };
             t.backend.setSignInUser(t.alice.id);
             ASSERT_TRUE(runTask(t.client->signInWithOAuth(b))->ok());
             t.preferences->remove(kSessionKey);
         },
         "Invalid or used authorization code"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedWebAuthSession caseBrowser;
        c.arrange(*this, caseBrowser);
        ChangeLog announced;
        announced.follow(*client);
        backend.setSignInUser(alice.id);
        const auto result = runTask(client->signInWithOAuth(caseBrowser));
        ASSERT_TRUE(result);
        ASSERT_FALSE(result->ok());
        EXPECT_EQ(result->error().description(), c.expected);
        EXPECT_FALSE(preferences->contains(kSessionKey));
        EXPECT_FALSE(preferences->contains(kVerifierKey));
        EXPECT_EQ(announced.texts, QStringList{});
    }
}

TEST_F(BackendSignInTest, AClientThatEndsWhileTheBrowserWaitsLeavesNoVerifier)
{
    // A browser step that answers only when the test lets it.
    struct HeldBrowser : WebAuthSession
    {
        QTimer gate;
        HeldBrowser() { gate.start(std::chrono::hours(1)); }
        QCoro::Task<Result<QUrl, QString>> authenticate(QUrl, QString) override
        {
            co_await gate;
            co_return QStringLiteral("The browser was closed.");
        }
    } browser;
    auto outcome = std::make_shared<std::optional<Result<BackendSession, BackendError>>>();
    detail::storeResult(client->signInWithOAuth(browser), outcome);
    ASSERT_TRUE(waitUntil([&] { return preferences->contains(kVerifierKey); }));

    client.reset();   // the app quits during the sign-in
    EXPECT_FALSE(preferences->contains(kVerifierKey));

    browser.gate.start(0);
    ASSERT_TRUE(waitUntil([&] { return outcome->has_value(); }));
    EXPECT_FALSE((*outcome)->ok());
    EXPECT_FALSE(preferences->contains(kVerifierKey));
}

TEST_F(BackendHeadersTest, EachKindOfRequestCarriesItsHeaders)
{
    const QByteArray key = FakeBackend::kPublishableKey;
    const BackendSession first = signIn(alice);
    clock.advance(3600s - 20s);   // under the margin: the select refreshes first
    ASSERT_TRUE(select(*client, upper(alice))->ok());
    const BackendSession rotated = *client->storedSession();
    ASSERT_FALSE(upsert(*client, upper(alice),
                        QJsonObject{{"id", QUuid::createUuid().toString(QUuid::WithoutBraces)},
                                    {"content", "Talvex"}})
                     ->has_value());
    ASSERT_FALSE(runTask(client->signOut())->has_value());

    struct Expected
    {
        QByteArray request;
        QList<std::pair<QByteArray, QByteArray>> headers;   // in order; none else but Content-Length and Qt's
    };
    const QByteArray version = "2024-01-01";
    const QByteArray json = "application/json";
    const QList<Expected> expected = {
        {"GET " + browser.openedUrl().toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority), {}},
        {"POST /auth/v1/token?grant_type=pkce",
         {{"Apikey", key}, {"Authorization", "Bearer " + key}, {"X-Supabase-Api-Version", version},
          {"Content-Type", json}}},
        {"POST /auth/v1/token?grant_type=refresh_token",
         {{"Apikey", key}, {"Authorization", "Bearer " + key}, {"X-Supabase-Api-Version", version},
          {"Content-Type", json}}},
        {"GET /rest/v1/glossary?select=*",
         {{"Apikey", key}, {"Authorization", "Bearer " + rotated.accessToken.toUtf8()}}},
        {"POST /rest/v1/glossary",
         {{"Apikey", key}, {"Content-Type", json},
          {"Prefer", "resolution=merge-duplicates,return=representation"},
          {"Authorization", "Bearer " + rotated.accessToken.toUtf8()}}},
        {"POST /auth/v1/logout?scope=global",
         {{"Apikey", key}, {"Authorization", "Bearer " + rotated.accessToken.toUtf8()},
          {"X-Supabase-Api-Version", version}}},
    };
    const QList<HttpFake::Request>& sent = backend.requests();
    ASSERT_EQ(sent.size(), expected.size()) << requestsSince(0).join('\n').toStdString();
    const QByteArrayList credentialAndCustom = {"apikey", "authorization", "x-supabase-api-version",
                                                "content-type", "prefer"};
    for (qsizetype i = 0; i < sent.size(); ++i) {
        SCOPED_TRACE(expected[i].request.constData());
        EXPECT_EQ(sent[i].method + ' ' + sent[i].path, expected[i].request);
        QList<std::pair<QByteArray, QByteArray>> ours;
        for (const auto& [name, value] : sent[i].headers) {
            if (credentialAndCustom.contains(name.toLower()))
                ours.append({name, value});
        }
        EXPECT_EQ(ours, expected[i].headers);
    }
    EXPECT_NE(first.accessToken, rotated.accessToken);
}

TEST_F(BackendStorageTest, KeepsEachValueUnderPrefixedKey)
{
    UserDefaultsLocalStorage storage(*preferences);
    EXPECT_EQ(storage.retrieve("never-stored"), std::nullopt);
    storage.remove("never-stored");
    EXPECT_FALSE(preferences->contains("supabase_auth_never-stored"));

    storage.store("k", QByteArray("first\0with nul", 14));
    storage.store("k", "second");
    EXPECT_EQ(storage.retrieve("k"), QByteArray("second"));
    EXPECT_EQ(preferences->value("supabase_auth_k").toByteArray(), "second");
    // Read back from the file by another store.
    Preferences reread(preferences->filePath());
    EXPECT_EQ(UserDefaultsLocalStorage(reread).retrieve("k"), QByteArray("second"));

    storage.store("empty", {});
    EXPECT_EQ(storage.retrieve("empty"), QByteArray());
    storage.remove("k");
    EXPECT_EQ(storage.retrieve("k"), std::nullopt);
}

TEST_F(BackendStorageTest, SessionSurvivesARestartAsTheBackendsJson)
{
    const BackendSession session = signIn(alice);
    const QJsonObject stored = QJsonDocument::fromJson(preferences->value(kSessionKey).toByteArray()).object();
    EXPECT_EQ(stored.value("access_token").toString(), session.accessToken);
    EXPECT_EQ(stored.value("refresh_token").toString(), session.refreshToken);
    EXPECT_EQ(stored.value("expires_at").toInteger(), clock.now().toSecsSinceEpoch() + 3600);
    EXPECT_EQ(stored.value("user").toObject().value("id").toString(), alice.id);

    // The app starts again on the same settings file.
    client.reset();
    Preferences restarted(preferences->filePath());
    const auto again = newClient(restarted);
    ASSERT_TRUE(again->storedSession());
    EXPECT_EQ(again->storedSession()->toJson(), session.toJson());
}

TEST_F(BackendStorageTest, SessionJsonReadsBackOrIsNone)
{
    const QDateTime now = clock.now();
    const QJsonObject user{{"id", alice.id}, {"email", "a@x"}, {"app_metadata", QJsonObject{{"provider", "google"}}}};
    const QJsonObject whole{{"access_token", "a"}, {"token_type", "bearer"}, {"refresh_token", "r"},
                            {"expires_in", 3600}, {"expires_at", 1'900'000'000}, {"user", user}};
    struct Case
    {
        const char* name;
        QJsonObject json;
        std::optional<QDateTime> expiresAt;   // none: no session
    };
    auto without = [&](const char* key) {
        QJsonObject o = whole;
        o.remove(key);
        return o;
    };
    QJsonObject noUserId = whole;
    noUserId["user"] = QJsonObject{{"email", "a@x"}};
    const Case cases[] = {
        {"whole", whole, QDateTime::fromSecsSinceEpoch(1'900'000'000, Qt::UTC)},
        {"no expires_at: counted from now in whole seconds", without("expires_at"),
         QDateTime::fromSecsSinceEpoch(now.toSecsSinceEpoch() + 3600, Qt::UTC)},
        {"no access token", without("access_token"), std::nullopt},
        {"no refresh token", without("refresh_token"), std::nullopt},
        {"no user id", noUserId, std::nullopt},
        {"no expiry at all",
         [&] {
             QJsonObject o = without("expires_at");
             o.remove("expires_in");
             return o;
         }(),
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<BackendSession> session = BackendSession::fromJson(c.json, now);
        ASSERT_EQ(session.has_value(), c.expiresAt.has_value());
        if (!session)
            continue;
        EXPECT_EQ(session->expiresAt, *c.expiresAt);
        EXPECT_EQ(BackendSession::fromJson(session->toJson(), now.addDays(5))->toJson(), session->toJson());
    }
}

TEST_F(BackendConfigTest, NamesEachProblemAndDerivesAddressesAndStorageKey)
{
    const QString key = FakeBackend::kPublishableKey;
    struct Case
    {
        const char* url;
        QString key;
        const char* problem;   // empty: usable
    };
    const Case cases[] = {
        {"", key, "The backend address is not set (TALVEX_BACKEND_URL)."},
        {"not a url", key, "The backend address (TALVEX_BACKEND_URL) is not a valid http or https address."},
        {"https://", key, "The backend address (TALVEX_BACKEND_URL) is not a valid http or https address."},
        {"ftp://abc.example.com", key,
         "The backend address (TALVEX_BACKEND_URL) is not a valid http or https address."},
        {"https://user:pw@abc.example.com", key,
         "The backend address (TALVEX_BACKEND_URL) is not a valid http or https address."},
        {"http://abc.example.com", key,
         "The backend address (TALVEX_BACKEND_URL) must use https: plain http is allowed only to this machine."},
        {"http://10.0.0.1:54321", key,
         "The backend address (TALVEX_BACKEND_URL) must use https: plain http is allowed only to this machine."},
        {"https://abc.example.com", "", "The backend key is not set (TALVEX_BACKEND_KEY)."},
        {"https://abc.example.com", key, ""},
        {"http://127.0.0.1:54321", key, ""},
        {"http://localhost:54321", key, ""},
        {"http://[::1]:54321", key, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        const BackendConfig config(QUrl(QString::fromUtf8(c.url), QUrl::StrictMode), c.key);
        EXPECT_EQ(config.problem().value_or(""), QString::fromUtf8(c.problem));
    }

    const BackendConfig hosted(QUrl("https://abcdefgh.supabase.co/"), key);
    EXPECT_EQ(hosted.storageKey(), "sb-abcdefgh-auth-token");
    EXPECT_EQ(hosted.accountUrl("token"), QUrl("https://abcdefgh.supabase.co/auth/v1/token"));
    EXPECT_EQ(hosted.tableUrl("slices"), QUrl("https://abcdefgh.supabase.co/rest/v1/slices"));
    const BackendConfig behindPath(QUrl("http://127.0.0.1:8000/backend//"), key);
    EXPECT_EQ(behindPath.tableUrl("glossary"), QUrl("http://127.0.0.1:8000/backend/rest/v1/glossary"));
}

TEST_F(BackendConfigTest, EnvironmentNamesAddressAndKey)
{
    qputenv("TALVEX_BACKEND_URL", " https://xyz.example.org ");
    qputenv("TALVEX_BACKEND_KEY", "sb_publishable_abc");
    const BackendConfig fromEnvironment = BackendConfig::fromEnvironment();
    qunsetenv("TALVEX_BACKEND_URL");
    qunsetenv("TALVEX_BACKEND_KEY");
    EXPECT_EQ(fromEnvironment.baseUrl(), QUrl("https://xyz.example.org"));
    EXPECT_EQ(fromEnvironment.publishableKey(), "sb_publishable_abc");
    EXPECT_EQ(fromEnvironment.problem(), std::nullopt);
}

TEST_F(BackendConfigTest, UnusableConfigurationFailsEveryOperationUnsent)
{
    const BackendSession session = signIn(alice);
    const qsizetype before = backend.requests().size();
    const QString problem = "Account sync is not configured: The backend address (TALVEX_BACKEND_URL) must use "
                            "https: plain http is allowed only to this machine.";
    // The stored session of a build whose address was changed since.
    BackendClient misconfigured(*preferences, http,
                                BackendConfig(QUrl("http://127.example.com"), FakeBackend::kPublishableKey),
                                clock.wallClock(), timing);
    preferences->setValue("supabase_auth_sb-127-auth-token", QJsonDocument(session.toJson()).toJson());

    const auto signedIn = runTask(misconfigured.signInWithOAuth(browser));
    EXPECT_EQ(signedIn->error().description(), problem);
    EXPECT_EQ(signedIn->error().kind(), BackendError::Kind::notConfigured);
    const auto selected = select(misconfigured, upper(alice));
    EXPECT_EQ(selected->error().description(), problem);
    const auto upserted = upsert(misconfigured, upper(alice), QJsonObject{{"id", "x"}});
    EXPECT_EQ((*upserted)->description(), problem);
    // Signing out still forgets the session here.
    const auto signedOut = runTask(misconfigured.signOut());
    EXPECT_EQ((*signedOut)->description(), problem);
    EXPECT_FALSE(preferences->contains(kSessionKey));
    EXPECT_EQ(requestsSince(before), QStringList{});
}
