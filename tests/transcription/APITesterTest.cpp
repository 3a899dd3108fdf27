#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include "support/QStringPrinter.h"
#include "ServiceFixture.h"
#include "transcription/APITester.h"

namespace {

using Row = APITester::TestResult;
using Status = APITester::TestResult::Status;

QByteArray chatAnswer(const QString& content)
{
    return QJsonDocument(QJsonObject{
                             {"choices", QJsonArray{QJsonObject{
                                             {"message", QJsonObject{{"role", "assistant"},
                                                                     {"content", content}}}}}}})
        .toJson(QJsonDocument::Compact);
}

QByteArray dashScopeAnswer(const QStringList& texts)
{
    QJsonArray content;
    for (const QString& t : texts)
        content.append(QJsonObject{{"text", t}});
    return QJsonDocument(QJsonObject{
                             {"output", QJsonObject{{"choices", QJsonArray{QJsonObject{
                                                                    {"message", QJsonObject{{"content", content}}}}}}}}})
        .toJson(QJsonDocument::Compact);
}

// "success: ..." / "failure: ..." / "pending: ...".
QString shown(const Row& r)
{
    const char* status = r.status == Status::success ? "success"
        : r.status == Status::failure                ? "failure"
                                                     : "pending";
    return QString(status) + ": " + r.message;
}

QStringList shown(const QList<Row>& rows)
{
    QStringList out;
    for (const Row& r : rows)
        out << shown(r);
    return out;
}

// "e" with a combining acute accent: one character, two UTF-16 units.
const QString kAccented = QString("e") + QChar(0x0301);

QString repeated(const QString& piece, int n) { return piece.repeated(n); }

// The rows by probe: 0 and 1 OpenAI chat, 2 transcription, 3 DashScope, 4 DeepSeek.
class APITesterTest : public ServiceFixture
{
protected:
    void SetUp() override
    {
        ServiceFixture::SetUp();
        openAI.setResponder([this](const HttpFake::Request& r) {
            if (r.path == "/v1/audio/transcriptions")
                return answerFor(2);
            return answerFor(QJsonDocument::fromJson(r.body)["model"].toString() == "gpt-4o" ? 1 : 0);
        });
        dashScope.setResponder([this](const HttpFake::Request&) { return answerFor(3); });
        deepSeek.setResponder([this](const HttpFake::Request&) { return answerFor(4); });
    }

    static HttpFake::Answer defaultAnswer(int row)
    {
        switch (row) {
        case 2:
            return HttpFake::Answer::text(200, "Hello.");
        case 3:
            return HttpFake::Answer::json(200, dashScopeAnswer({"Hello."}));
        default:
            return HttpFake::Answer::json(200, chatAnswer("I am a model."));
        }
    }

    // Runs with all three keys and waits for the end of the run.
    void runToEnd(APITester& t, const QString& openAIKey = "sk-o", const QString& dashKey = "sk-d",
                  const QString& deepKey = "sk-k")
    {
        t.runAll(openAIKey, dashKey, deepKey);
        ASSERT_TRUE(waitUntil([&] { return !t.isRunning(); }));
    }

    std::function<HttpFake::Answer(int row)> answerFor = defaultAnswer;
    // Ample for an answer on loopback, also on a busy machine.
    APITester tester{http, {.serviceTestTimeout = 3s}};
};

}  // namespace

TEST_F(APITesterTest, WithoutKeysOnlyTheOpenAIProbesAreSent)
{
    answerFor = [](int) {
        return HttpFake::Answer::json(401, R"({"error":{"message":"Incorrect API key provided"}})");
    };
    QSignalSpy running(&tester, &APITester::isRunningChanged);

    tester.runAll("", "", "");

    EXPECT_TRUE(tester.isRunning());
    ASSERT_EQ(tester.results().size(), 5);
    EXPECT_EQ(shown(tester.results()),
              (QStringList{"pending: Testing...", "pending: Testing...", "pending: Testing...",
                           "failure: No API key configured", "failure: No API key configured"}));
    QStringList models;
    for (const Row& r : tester.results()) {
        models << r.model;
        EXPECT_EQ(r.latency, std::nullopt);
    }
    EXPECT_EQ(models, (QStringList{"gpt-4o-mini", "gpt-4o", "gpt-4o-mini-transcribe",
                                   "qwen3-asr-flash", "deepseek-chat"}));

    ASSERT_TRUE(waitUntil([&] { return !tester.isRunning(); }));
    const QString unauthorized = R"(failure: HTTP 401: {"error":{"message":"Incorrect API key provided"}})";
    EXPECT_EQ(shown(tester.results()),
              (QStringList{unauthorized, unauthorized, unauthorized,
                           "failure: No API key configured", "failure: No API key configured"}));
    for (int row = 0; row < 3; ++row)
        EXPECT_GT(tester.results()[row].latency.value_or(-1), 0) << row;
    EXPECT_EQ(running.size(), 2);
    ASSERT_EQ(openAI.requests().size(), 3);
    for (const HttpFake::Request& r : openAI.requests())
        EXPECT_EQ(r.header("Authorization"), "Bearer");   // "Bearer " and nothing else
    EXPECT_TRUE(dashScope.requests().isEmpty());
    EXPECT_TRUE(deepSeek.requests().isEmpty());
}

TEST_F(APITesterTest, TurnsEachAnswerIntoARow)
{
    const QByteArray longBody = QByteArray(150, 'x');
    struct Case
    {
        const char* name;
        int row;
        HttpFake::Answer answer;
        QString expected;
    };
    const QList<Case> cases = {
        {"chat, 80 characters whole", 0, HttpFake::Answer::json(200, chatAnswer(QString(80, 'a'))),
         "success: " + QString(80, 'a')},
        {"chat, 81 characters cut", 0, HttpFake::Answer::json(200, chatAnswer(QString(81, 'a'))),
         "success: " + QString(80, 'a') + "..."},
        {"chat, 80 accented whole", 1,
         HttpFake::Answer::json(200, chatAnswer(repeated(kAccented, 80))),
         "success: " + repeated(kAccented, 80)},
        {"chat, 81 accented cut by character", 4,
         HttpFake::Answer::json(200, chatAnswer(repeated(kAccented, 81))),
         "success: " + repeated(kAccented, 80) + "..."},
        {"chat, not trimmed", 0, HttpFake::Answer::json(200, chatAnswer(" I am.\n")),
         "success:  I am.\n"},
        {"chat without choices", 0, HttpFake::Answer::json(200, R"({"id":"x"})"), "success: (empty)"},
        {"chat, content not text", 4,
         HttpFake::Answer::json(200, R"({"choices":[{"message":{"content":null}}]})"),
         "success: (empty)"},
        {"error body cut at 100", 0, HttpFake::Answer::text(500, longBody),
         "failure: HTTP 500: " + QString(100, 'x')},
        {"error body not UTF-8", 1, HttpFake::Answer::text(502, kNotUtf8), "failure: HTTP 502: "},
        {"transcription trimmed", 2, HttpFake::Answer::text(200, "  Hello there.\n"),
         "success: Hello there."},
        {"transcription cut", 2, HttpFake::Answer::text(200, QByteArray(81, 'w')),
         "success: " + QString(80, 'w') + "..."},
        {"transcription not UTF-8", 2, HttpFake::Answer::text(200, kNotUtf8), "success: (empty)"},
        {"transcription empty", 2, HttpFake::Answer::text(200, ""), "success: "},
        {"DashScope texts joined, not trimmed", 3,
         HttpFake::Answer::json(200, dashScopeAnswer({" Hello", "there"})), "success:  Hello there"},
        {"DashScope all texts empty", 3, HttpFake::Answer::json(200, dashScopeAnswer({"", ""})),
         "failure: Empty transcription result"},
        {"DashScope without output", 3, HttpFake::Answer::json(200, R"({"request_id":"r"})"),
         "failure: Unexpected response format"},
        {"DashScope empty choices", 3, HttpFake::Answer::json(200, R"({"output":{"choices":[]}})"),
         "failure: Unexpected response format"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        answerFor = [&c](int row) { return row == c.row ? c.answer : defaultAnswer(row); };
        runToEnd(tester);
        EXPECT_EQ(shown(tester.results()[c.row]), c.expected);
        EXPECT_TRUE(tester.results()[c.row].latency.has_value());
    }
}

TEST_F(APITesterTest, RedirectFailsTheRowAndSendsNothingElsewhere)
{
    elsewhere.setResponder([](const HttpFake::Request& r) {
        return r.path.endsWith("transcriptions") ? HttpFake::Answer::text(200, "Hello.")
                                                 : HttpFake::Answer::json(200, chatAnswer("Elsewhere."));
    });
    for (const AnswerCase& c : redirectCases(elsewhere.url().resolved(QUrl("/landing")),
                                             "failure: HTTP %1: moved")) {
        SCOPED_TRACE(c.name);
        answerFor = [&c](int) { return c.answer; };
        runToEnd(tester);
        EXPECT_EQ(shown(tester.results()), QStringList(5, c.expected));
    }
    EXPECT_TRUE(elsewhere.requests().isEmpty());
}

TEST_F(APITesterTest, BodyThatIsNotJsonFailsWithTheParseError)
{
    for (const int row : {0, 3}) {
        SCOPED_TRACE(row);
        answerFor = [row](int r) {
            return r == row ? HttpFake::Answer::json(200, "<html>" + QByteArray(200, 'h'))
                            : defaultAnswer(r);
        };
        runToEnd(tester);
        const Row& result = tester.results()[row];
        EXPECT_EQ(result.status, Status::failure);
        EXPECT_TRUE(result.message.startsWith("The answer is not valid JSON")) << result.message.toStdString();
        EXPECT_LE(result.message.size(), 100);
    }
}

TEST_F(APITesterTest, RowsChangeInTheOrderTheProbesFinish)
{
    APITester slowTester{http, {.serviceRequestTimeout = 5s, .serviceTestTimeout = 5s}};
    answerFor = [&](int row) {
        HttpFake::Answer a = defaultAnswer(row);
        a.heldAs = QString::number(row);
        return a;
    };
    HttpFake* const services[] = {&openAI, &openAI, &openAI, &dashScope, &deepSeek};
    QList<Row> previous;
    QList<int> changedRows;
    QStringList whenTranscriptionEnded;
    QObject::connect(&slowTester, &APITester::resultsChanged, [&] {
        const QList<Row>& now = slowTester.results();
        if (previous.size() == now.size()) {
            QList<int> changed;
            for (int i = 0; i < now.size(); ++i) {
                if (now[i].id != previous[i].id)
                    changed << i;
            }
            EXPECT_EQ(changed.size(), 1) << "one row per change";
            changedRows << changed;
            if (changed == QList<int>{2})
                whenTranscriptionEnded = shown(now);
        }
        previous = now;
    });

    slowTester.runAll("sk-o", "sk-d", "sk-k");
    ASSERT_TRUE(waitUntil([&] { return openAI.requests().size() == 3 && dashScope.requests().size() == 1
                                       && deepSeek.requests().size() == 1; }));
    // The answers come one at a time, each once the row before it has changed.
    for (int row : {3, 1, 4, 2, 0}) {
        const qsizetype changes = changedRows.size();
        if (row == 0)
            spinFor(500);   // the slow row's answer takes half a second at least
        ASSERT_TRUE(services[row]->release(QString::number(row))) << row;
        ASSERT_TRUE(waitUntil([&] { return changedRows.size() > changes; })) << row;
    }
    ASSERT_TRUE(waitUntil([&] { return !slowTester.isRunning(); }));

    EXPECT_EQ(changedRows, (QList<int>{3, 1, 4, 2, 0}));
    EXPECT_EQ(whenTranscriptionEnded.first(), "pending: Testing...") << "the slow row still waits";
    EXPECT_EQ(shown(slowTester.results()),
              (QStringList{"success: I am a model.", "success: I am a model.", "success: Hello.",
                           "success: Hello.", "success: I am a model."}));
    EXPECT_GE(*slowTester.results()[0].latency, 0.5);
    EXPECT_LT(*slowTester.results()[3].latency, *slowTester.results()[0].latency);
}

TEST_F(APITesterTest, ProbeThatGetsNoAnswerTimesOut)
{
    answerFor = [](int row) {
        HttpFake::Answer a = defaultAnswer(row);
        a.silent = row < 3;
        return a;
    };
    // Long enough for the answered probes on a loaded machine.
    APITester quick{http, {.serviceRequestTimeout = 1s, .serviceTestTimeout = 1s}};
    runToEnd(quick);

    for (int row = 0; row < 3; ++row) {
        SCOPED_TRACE(row);
        EXPECT_EQ(shown(quick.results()[row]), "failure: The request timed out.");
        // Qt's coarse timers may fire up to 5 % early, and the latency is
        // read off a clock of its own: a margin below that.
        EXPECT_GE(quick.results()[row].latency.value_or(0), 0.9);
    }
    EXPECT_EQ(quick.results()[3].status, Status::success);
}

TEST_F(APITesterTest, WithoutTheTestRecordingTheAudioProbesFailUnsent)
{
    APITester withoutAudio{http, {.serviceTestTimeout = 3s}, ":/no_such_audio.m4a"};
    struct Case
    {
        const char* name;
        QString dashScopeKey;
        QString row3;
    };
    const Case cases[] = {
        {"with a DashScope key", "sk-d", "failure: Test audio file not found in bundle"},
        {"without one", "", "failure: No API key configured"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        runToEnd(withoutAudio, "sk-o", c.dashScopeKey, "sk-k");
        EXPECT_EQ(shown(withoutAudio.results()[2]), "failure: Test audio file not found in bundle");
        EXPECT_EQ(shown(withoutAudio.results()[3]), c.row3);
        EXPECT_EQ(withoutAudio.results()[2].latency, std::nullopt);
        EXPECT_EQ(withoutAudio.results()[3].latency, std::nullopt);
        EXPECT_EQ(withoutAudio.results()[0].status, Status::success);
    }
    EXPECT_EQ(openAI.requests().size(), 4) << "chat probes only";
    for (const HttpFake::Request& r : openAI.requests())
        EXPECT_EQ(r.path, "/v1/chat/completions");
    EXPECT_TRUE(dashScope.requests().isEmpty());
}

TEST_F(APITesterTest, EndpointThatIsNoAddressFailsUnsent)
{
    qputenv("TALVEX_DEEPSEEK_BASE_URL", "not an address");
    runToEnd(tester);

    EXPECT_EQ(shown(tester.results()[4]), "failure: Invalid endpoint");
    EXPECT_EQ(tester.results()[4].latency, std::nullopt);
    EXPECT_TRUE(deepSeek.requests().isEmpty());
}

TEST_F(APITesterTest, SendsTheProbeRequests)
{
    QFile resource(APITester::kTestAudioPath);
    ASSERT_TRUE(resource.open(QIODevice::ReadOnly)) << "the test recording is built in";
    const QByteArray audio = resource.readAll();
    ASSERT_GT(audio.size(), 1000);

    runToEnd(tester, "sk-openai-key", "sk-dash-key", "sk-deep-key");

    const QJsonObject chatBody{
        {"messages", QJsonArray{QJsonObject{{"role", "user"},
                                            {"content", "Who are you? Answer in one sentence."}}}},
        {"max_tokens", 50},
    };
    QList<HttpFake::Request> openAIChats;
    std::optional<HttpFake::Request> transcription;
    for (const HttpFake::Request& r : openAI.requests()) {
        if (r.path == "/v1/audio/transcriptions")
            transcription = r;
        else
            openAIChats << r;
    }
    ASSERT_EQ(openAIChats.size(), 2);
    ASSERT_EQ(deepSeek.requests().size(), 1);
    struct Chat
    {
        HttpFake::Request sent;
        const char* path;
        const char* key;
    };
    const Chat chats[] = {
        {openAIChats[0], "/v1/chat/completions", "sk-openai-key"},
        {openAIChats[1], "/v1/chat/completions", "sk-openai-key"},
        {deepSeek.requests().first(), "/chat/completions", "sk-deep-key"},
    };
    QStringList chatModels;
    for (const Chat& c : chats) {
        const HttpFake::Request& sent = c.sent;
        EXPECT_EQ(sent.method, "POST");
        EXPECT_EQ(sent.path, c.path);
        EXPECT_EQ(sent.header("Authorization"), QByteArray("Bearer ") + c.key);
        EXPECT_EQ(sent.header("Content-Type"), "application/json");
        QJsonObject body = QJsonDocument::fromJson(sent.body).object();
        chatModels << body.take("model").toString();
        EXPECT_EQ(body, chatBody) << sent.body.constData();
        EXPECT_TRUE(sent.body.contains("\"max_tokens\":50")) << "a whole number";
    }
    chatModels.sort();
    EXPECT_EQ(chatModels, (QStringList{"deepseek-chat", "gpt-4o", "gpt-4o-mini"}));

    ASSERT_TRUE(transcription);
    EXPECT_EQ(transcription->method, "POST");
    EXPECT_EQ(transcription->header("Authorization"), "Bearer sk-openai-key");
    const QByteArray type = transcription->header("Content-Type");
    const QRegularExpression uuid("^multipart/form-data; boundary=([0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-"
                                  "[0-9A-F]{4}-[0-9A-F]{12})$");
    const auto match = uuid.match(QString::fromLatin1(type));
    ASSERT_TRUE(match.hasMatch()) << type.constData();
    const QByteArray b = match.captured(1).toLatin1();
    const QByteArray expectedBody =
        "--" + b + "\r\nContent-Disposition: form-data; name=\"model\"\r\n\r\n"
        "gpt-4o-mini-transcribe\r\n"
        "--" + b + "\r\nContent-Disposition: form-data; name=\"response_format\"\r\n\r\n"
        "text\r\n"
        "--" + b + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"test.m4a\"\r\n"
        "Content-Type: audio/m4a\r\n\r\n"
        + audio + "\r\n--" + b + "--\r\n";
    EXPECT_TRUE(transcription->body == expectedBody) << "the multipart body differs";

    ASSERT_EQ(dashScope.requests().size(), 1);
    const HttpFake::Request& recognition = dashScope.requests().first();
    EXPECT_EQ(recognition.path, "/api/v1/services/aigc/multimodal-generation/generation");
    EXPECT_EQ(recognition.header("Authorization"), "Bearer sk-dash-key");
    EXPECT_EQ(recognition.header("Content-Type"), "application/json");
    const QJsonObject recognitionBody{
        {"model", "qwen3-asr-flash"},
        {"input",
         QJsonObject{{"messages",
                      QJsonArray{QJsonObject{
                          {"role", "user"},
                          {"content", QJsonArray{QJsonObject{
                                          {"audio", "data:audio/m4a;base64,"
                                                        + QString::fromLatin1(audio.toBase64())}}}}}}}}},
        {"parameters",
         QJsonObject{{"result_format", "message"},
                     {"asr_options", QJsonObject{{"enable_lid", true}, {"enable_itn", true}}}}},
    };
    EXPECT_TRUE(QJsonDocument::fromJson(recognition.body).object() == recognitionBody);
}

// A run started while another is under way owns the rows from then on.
TEST_F(APITesterTest, ANewRunDropsTheRowsOfTheOneBefore)
{
    answerFor = [](int row) {
        HttpFake::Answer a = defaultAnswer(row);
        a.delay = 80ms;
        return a;
    };
    tester.runAll("sk-first", "sk-d", "sk-k");
    const QList<Row> firstRows = tester.results();
    ASSERT_TRUE(waitUntil([&] { return openAI.requests().size() == 3; }));
    tester.runAll("sk-second", "", "");

    ASSERT_TRUE(waitUntil([&] { return !tester.isRunning(); }));
    spinFor(150);   // past the answers to the first run
    EXPECT_EQ(shown(tester.results()),
              (QStringList{"success: I am a model.", "success: I am a model.", "success: Hello.",
                           "failure: No API key configured", "failure: No API key configured"}));
    for (int row = 0; row < 5; ++row)
        EXPECT_NE(tester.results()[row].id, firstRows[row].id);
    EXPECT_FALSE(tester.isRunning());
}
