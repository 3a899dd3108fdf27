#include <QElapsedTimer>
#include <QTcpServer>
#include <QTimer>
#include <gtest/gtest.h>

#include "support/HttpFake.h"
#include "support/RunTask.h"
#include "platform/HttpClient.h"
#include "transcription/ServiceAddresses.h"

using namespace std::chrono_literals;

namespace {

HttpRequest requestTo(const QUrl& base, std::chrono::milliseconds timeout = 5s)
{
    HttpRequest request;
    request.url = QUrl(base.toString() + "/echo?x=1");
    request.headers = {{"Content-Type", "text/plain"}, {"X-Trace", "a\tb"}};
    request.body = QByteArray("ping\0pong", 9);
    request.timeout = timeout;
    return request;
}

std::optional<HttpResult> send(const HttpRequest& request, CancelToken cancel = {})
{
    HttpClient client;
    return runTask(client.send(request, cancel));
}

}  // namespace

TEST(HttpClient, ErrorStatusesAreAnswersWithTheirBodies)
{
    HttpFake fake;
    for (int status : {200, 204, 400, 401, 404, 429, 500, 503}) {
        SCOPED_TRACE(status);
        fake.enqueue(HttpFake::Answer::text(status, status == 204 ? "" : "body " + QByteArray::number(status)));
        const auto result = send(requestTo(fake.url()));
        ASSERT_TRUE(result && result->ok());
        EXPECT_EQ(result->value().statusCode, status);
        EXPECT_EQ(result->value().body, status == 204 ? "" : "body " + QByteArray::number(status));
    }
    const HttpFake::Request& sent = fake.requests().last();
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.path, "/echo?x=1");
    EXPECT_EQ(sent.body, QByteArray("ping\0pong", 9));
    EXPECT_EQ(sent.header("X-Trace"), "a\tb");
}

// Only a request that asks for it goes on to the address a 3xx names.
TEST(HttpClient, RedirectIsTheAnswerUnlessTheRequestFollowsIt)
{
    HttpFake first;
    HttpFake second;
    second.setResponder([](const HttpFake::Request&) { return HttpFake::Answer::text(200, "landed"); });
    HttpFake::Answer moved = HttpFake::Answer::text(307, "moved");
    moved.headers = {{"Location", second.url().resolved(QUrl("/landing")).toEncoded()}};
    first.setResponder([moved](const HttpFake::Request&) { return moved; });

    HttpRequest request = requestTo(first.url());
    request.followRedirects = false;
    const auto kept = send(request);
    ASSERT_TRUE(kept && kept->ok());
    EXPECT_EQ(kept->value().statusCode, 307);
    EXPECT_EQ(kept->value().body, "moved");
    EXPECT_TRUE(second.requests().isEmpty());

    const auto followed = send(requestTo(first.url()));
    ASSERT_TRUE(followed && followed->ok());
    EXPECT_EQ(followed->value().statusCode, 200);
    EXPECT_EQ(followed->value().body, "landed");
    ASSERT_EQ(second.requests().size(), 1);
    EXPECT_EQ(second.requests().first().path, "/landing");
}

TEST(HttpClient, BodyTextIsStrictUtf8)
{
    const std::pair<QByteArray, std::optional<QString>> cases[] = {
        {"", QString("")},
        {"plain", QString("plain")},
        {"Gr\xc3\xbc\xc3\x9f" "e", QString("Grüße")},
        {"\xff\xfe", std::nullopt},
        {"cut \xe2\x82", std::nullopt},          // a sequence broken off at the end
        {"over\xc0\xaf" "long", std::nullopt},   // an over-long "/"
        {"surrogate \xed\xa0\x80", std::nullopt},
    };
    for (const auto& [bytes, text] : cases) {
        const HttpAnswer answer{200, bytes};
        EXPECT_EQ(answer.bodyText(), text) << bytes.toHex().constData();
        EXPECT_EQ(answer.bodyTextOr("Unknown error"), text.value_or("Unknown error"));
    }
}

TEST(HttpClient, TimeOutIsReportedAsTimeOut)
{
    HttpFake fake;
    HttpFake::Answer silent;
    silent.silent = true;
    fake.enqueue(silent);
    QElapsedTimer clock;
    clock.start();
    const auto result = send(requestTo(fake.url(), 200ms));
    ASSERT_TRUE(result && !result->ok());
    EXPECT_EQ(result->error().kind(), HttpError::Kind::timeout);
    EXPECT_EQ(result->error().description(), "The request timed out.");
    EXPECT_GE(clock.elapsed(), 190);
}

TEST(HttpClient, AnAnswerJustInsideTheTimeOutArrives)
{
    HttpFake fake;
    HttpFake::Answer slow = HttpFake::Answer::text(200, "late but fine");
    slow.delay = 100ms;
    fake.enqueue(slow);
    const auto result = send(requestTo(fake.url(), 1s));
    ASSERT_TRUE(result && result->ok());
    EXPECT_EQ(result->value().body, "late but fine");
}

TEST(HttpClient, CancelAbortsTheRequestInFlight)
{
    HttpFake fake;
    HttpFake::Answer silent;
    silent.silent = true;
    fake.enqueue(silent);
    CancelToken cancel;
    QObject::connect(&fake, &HttpFake::requestReceived, [cancel] { cancel.cancel(); });
    QElapsedTimer clock;
    clock.start();
    // The time-out is far away: only the abort can end this soon.
    const auto result = send(requestTo(fake.url(), 30s), cancel);
    ASSERT_TRUE(result && !result->ok());
    EXPECT_EQ(result->error().kind(), HttpError::Kind::cancelled);
    EXPECT_EQ(result->error().description(), "The request was cancelled.");
    EXPECT_LT(clock.elapsed(), 3000);
}

TEST(HttpClient, CancelledBeforehandSendsNothing)
{
    HttpFake fake;
    CancelToken cancel;
    cancel.cancel();
    const auto result = send(requestTo(fake.url()), cancel);
    ASSERT_TRUE(result && !result->ok());
    EXPECT_EQ(result->error().kind(), HttpError::Kind::cancelled);
    spinFor(50);
    EXPECT_TRUE(fake.requests().isEmpty());
}

TEST(HttpClient, CancelAfterTheAnswerStillCountsAsCancelled)
{
    // A cancel that fires while the answer is on its way wins over the answer.
    HttpFake fake;
    HttpFake::Answer slow = HttpFake::Answer::text(200, "too late");
    slow.delay = 100ms;
    fake.enqueue(slow);
    CancelToken cancel;
    QObject::connect(&fake, &HttpFake::requestReceived, [cancel] {
        QTimer::singleShot(90, [cancel] { cancel.cancel(); });
    });
    const auto result = send(requestTo(fake.url()), cancel);
    ASSERT_TRUE(result && !result->ok());
    EXPECT_EQ(result->error().kind(), HttpError::Kind::cancelled);
}

TEST(HttpClient, BrokenConnectionsAreNetworkErrorsNotAnswers)
{
    HttpFake fake;
    // Status line and headers arrive, then the body breaks off.
    HttpFake::Answer truncated = HttpFake::Answer::text(200, "the whole transcript");
    truncated.dropAfter = HttpFake::encode(truncated).size() - 8;
    HttpFake::Answer dropped;
    dropped.dropAfter = 0;

    QTcpServer closedPort;
    ASSERT_TRUE(closedPort.listen(QHostAddress::LocalHost, 0));
    const QUrl refused(QString("http://127.0.0.1:%1").arg(closedPort.serverPort()));
    closedPort.close();

    const std::tuple<const char*, std::optional<HttpFake::Answer>, QUrl, QString> cases[] = {
        {"dropped before answering", dropped, fake.url(), "Connection closed"},
        {"body cut short", truncated, fake.url(), ""},
        {"connection refused", std::nullopt, refused, "Connection refused"},
    };
    for (const auto& [name, answer, base, description] : cases) {
        SCOPED_TRACE(name);
        if (answer)
            fake.setResponder([a = *answer](const HttpFake::Request&) { return a; });
        const auto result = send(requestTo(base));
        ASSERT_TRUE(result);
        ASSERT_FALSE(result->ok()) << "got status " << result->value().statusCode.value_or(-1);
        EXPECT_EQ(result->error().kind(), HttpError::Kind::network);
        if (!description.isEmpty()) {
            EXPECT_EQ(result->error().description(), description);
        }
    }
}

TEST(HttpClient, RefusesHeadersWithControlCharacters)
{
    HttpFake fake;
    const std::pair<QByteArray, QByteArray> bad[] = {
        {"Authorization", "Bearer sk-a\r\nX-Evil: 1"},
        {"Authorization", "Bearer sk-a\n"},
        {"Authorization", QByteArray("Bearer sk-\0a", 12)},
        {"Apikey", "key\x1b"},
        {"X-Note", "del\x7f"},
        {"X-Bad\r\nName", "v"},
    };
    for (const auto& [name, value] : bad) {
        HttpRequest request = requestTo(fake.url());
        request.headers.append(std::pair(name, value));
        const auto result = send(request);
        ASSERT_TRUE(result && !result->ok()) << value.toHex().constData();
        EXPECT_EQ(result->error().kind(), HttpError::Kind::invalidHeader);
    }
    HttpRequest keyed = requestTo(fake.url());
    keyed.headers.append(std::pair<QByteArray, QByteArray>("Authorization", "Bearer sk-a\r\n"));
    EXPECT_EQ(send(keyed)->error().description(),
              "The API key contains a line break or another control character; the request was not sent.");
    HttpRequest other = requestTo(fake.url());
    other.headers.append(std::pair<QByteArray, QByteArray>("X-Note", "a\nb"));
    EXPECT_EQ(send(other)->error().description(),
              "Header \"X-Note\" contains a line break or another control character; the request was not sent.");
    spinFor(50);
    EXPECT_TRUE(fake.requests().isEmpty());
}

TEST(HttpClient, BaseAddressesFollowTheEnvironmentAtEveryCall)
{
    qunsetenv("TALVEX_OPENAI_BASE_URL");
    qunsetenv("TALVEX_DEEPSEEK_BASE_URL");
    EXPECT_EQ(ServiceAddresses::openAITranscriptions().toString(),
              "https://api.openai.com/v1/audio/transcriptions");
    EXPECT_EQ(ServiceAddresses::deepSeekChatCompletions().toString(),
              "https://api.deepseek.com/chat/completions");
    qputenv("TALVEX_OPENAI_BASE_URL", "http://127.0.0.1:9/");
    qputenv("TALVEX_DASHSCOPE_BASE_URL", "http://127.0.0.1:8");
    EXPECT_EQ(ServiceAddresses::openAIChatCompletions().toString(),
              "http://127.0.0.1:9/v1/chat/completions");
    EXPECT_EQ(ServiceAddresses::dashScopeGeneration().toString(),
              "http://127.0.0.1:8/api/v1/services/aigc/multimodal-generation/generation");
    qunsetenv("TALVEX_OPENAI_BASE_URL");
    qunsetenv("TALVEX_DASHSCOPE_BASE_URL");
}
