#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include "ServiceFixture.h"
#include "transcription/DashScopeASRService.h"

namespace {

const QByteArray kAudio("\x00\x01m4a\xff\r\n audio", 14);

QByteArray answerWithContent(const QByteArray& contentJson)
{
    return R"({"output":{"choices":[{"finish_reason":"stop","message":{"role":"assistant","content":)"
        + contentJson + "}}]},\"request_id\":\"r1\"}";
}

class DashScopeASRServiceTest : public ServiceFixture
{
protected:
    std::optional<TranscriptionResult> transcribe(std::optional<QString> prompt = std::nullopt,
                                                  std::optional<QString> language = std::nullopt)
    {
        return runTask(service.transcribe(kAudio, language, prompt, {}));
    }

    QJsonObject sentBody() const
    {
        return QJsonDocument::fromJson(dashScope.requests().last().body).object();
    }

    QString key = "sk-dash-0123456789";
    DashScopeASRService service{http, [this] { return key; }, &logger, timing};
};

QJsonObject message(const char* role, const char* member, const QString& value)
{
    return QJsonObject{{"role", role}, {"content", QJsonArray{QJsonObject{{member, value}}}}};
}

}  // namespace

TEST_F(DashScopeASRServiceTest, SendsTheAudioInlineWithTheGlossaryAsSystemMessage)
{
    const QString audioAddress = "data:audio/m4a;base64," + QString::fromLatin1(kAudio.toBase64());
    struct Case
    {
        const char* name;
        std::optional<QString> prompt;
        std::optional<QString> language;
        QJsonArray messages;
    };
    const Case cases[] = {
        {"no prompt", std::nullopt, std::nullopt, {message("user", "audio", audioAddress)}},
        {"empty prompt", QString(""), std::nullopt, {message("user", "audio", audioAddress)}},
        {"glossary prompt first", QString("Talvex, 北京"), std::nullopt,
         {message("system", "text", "Talvex, 北京"), message("user", "audio", audioAddress)}},
        {"language is not sent", std::nullopt, QString("en"), {message("user", "audio", audioAddress)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dashScope.setResponder([](const HttpFake::Request&) {
            return HttpFake::Answer::json(200, answerWithContent(R"([{"text":"ok"}])"));
        });
        ASSERT_EQ(outcomeText(transcribe(c.prompt, c.language)), "text: ok");
        const HttpFake::Request& sent = dashScope.requests().last();
        EXPECT_EQ(sent.method, "POST");
        EXPECT_EQ(sent.path, "/api/v1/services/aigc/multimodal-generation/generation");
        EXPECT_EQ(sent.header("Authorization"), "Bearer sk-dash-0123456789");
        EXPECT_EQ(sent.header("Content-Type"), "application/json");
        const QJsonObject expected{
            {"model", "qwen3-asr-flash"},
            {"input", QJsonObject{{"messages", c.messages}}},
            {"parameters", QJsonObject{{"result_format", "message"},
                                       {"asr_options", QJsonObject{{"enable_lid", true},
                                                                   {"enable_itn", true}}}}},
        };
        EXPECT_EQ(sentBody(), expected) << sent.body.constData();
    }
    // The base64 holds the audio unchanged, without line breaks.
    EXPECT_FALSE(dashScope.requests().last().body.contains("\\n"));
}

TEST_F(DashScopeASRServiceTest, TurnsEachAnswerIntoTextOrError)
{
    QList<AnswerCase> cases = {
        {"texts joined, element without text skipped",
         HttpFake::Answer::json(200, answerWithContent(R"([{"text":"Hello"},{"lang":"en"},{"text":"world"}])")),
         "text: Hello world"},
        {"joined text is trimmed",
         HttpFake::Answer::json(200, answerWithContent(R"([{"text":"  Hi there\n"}])")),
         "text: Hi there"},
        {"empty content list is no speech", HttpFake::Answer::json(200, answerWithContent("[]")),
         "text: "},
        {"all texts empty is no speech",
         HttpFake::Answer::json(200, answerWithContent(R"([{"text":""},{"text":""}])")), "text: "},
        // Answers without the path are faults of the service, not silence.
        {"no output", HttpFake::Answer::json(200, R"({"request_id":"r1"})"),
         "error: Invalid response from transcription API"},
        {"empty choices", HttpFake::Answer::json(200, R"({"output":{"choices":[]}})"),
         "error: Invalid response from transcription API"},
        {"message without content",
         HttpFake::Answer::json(200, R"({"output":{"choices":[{"message":{"role":"assistant"}}]}})"),
         "error: Invalid response from transcription API"},
        {"content is text, not a list", HttpFake::Answer::json(200, answerWithContent(R"("hello")")),
         "error: Invalid response from transcription API"},
        {"content element is bare text", HttpFake::Answer::json(200, answerWithContent(R"(["hello"])")),
         "error: Invalid response from transcription API"},
        {"content mixes objects and numbers",
         HttpFake::Answer::json(200, answerWithContent(R"([{"text":"Hello"},42])")),
         "error: Invalid response from transcription API"},
        {"top level is a list", HttpFake::Answer::json(200, "[1,2]"),
         "error: Invalid response from transcription API"},
        {"400 with a JSON body", HttpFake::Answer::json(400, R"({"code":"InvalidParameter"})"),
         R"(error: API error (400): {"code":"InvalidParameter"})"},
        {"401 with a text body", HttpFake::Answer::text(401, "Invalid API-key provided."),
         "error: API error (401): Invalid API-key provided."},
        {"500 that is not text", HttpFake::Answer::json(500, kNotUtf8),
         "error: API error (500): Unknown error"},
    };
    cases += transportCases();
    for (const AnswerCase& c : cases) {
        EXPECT_EQ(playCase(dashScope, c, [&](CancelToken cancel) {
                      return service.transcribe(kAudio, std::nullopt, std::nullopt, cancel);
                  }),
                  c.expected)
            << c.name;
    }
}

TEST_F(DashScopeASRServiceTest, RedirectIsAnErrorAndSendsNothingElsewhere)
{
    elsewhere.setResponder([](const HttpFake::Request&) {
        return HttpFake::Answer::json(200, answerWithContent(R"([{"text":"not what was said"}])"));
    });
    for (const AnswerCase& c : redirectCases(elsewhere.url().resolved(QUrl("/landing")),
                                             "error: API error (%1): moved")) {
        EXPECT_EQ(playCase(dashScope, c, [&](CancelToken cancel) {
                      return service.transcribe(kAudio, std::nullopt, std::nullopt, cancel);
                  }),
                  c.expected)
            << c.name;
    }
    EXPECT_TRUE(elsewhere.requests().isEmpty());
}

TEST_F(DashScopeASRServiceTest, MalformedJsonFailsWithTheParseError)
{
    dashScope.enqueue(HttpFake::Answer::json(200, R"({"output": {)"));
    const auto result = transcribe();
    ASSERT_TRUE(result && !result->ok());
    EXPECT_EQ(result->error().kind(), ServiceError::Kind::http);
    EXPECT_TRUE(result->error().description().startsWith("The answer is not valid JSON: "))
        << result->error().description().toStdString();
}

TEST_F(DashScopeASRServiceTest, EmptyKeyFailsWithoutSending)
{
    key.clear();
    EXPECT_EQ(outcomeText(transcribe()),
              "error: API error (401): DashScope API key is empty. Please set it in Settings.");
    EXPECT_TRUE(dashScope.requests().isEmpty());
    EXPECT_TRUE(logMessages().isEmpty());
}

TEST_F(DashScopeASRServiceTest, LogsWhatItSentAndWhatCameBack)
{
    dashScope.enqueue(HttpFake::Answer::json(200, answerWithContent(R"([{"text":"Grüße 👋🏽"}])")));
    dashScope.enqueue(HttpFake::Answer::json(200, answerWithContent(R"([{"text":""}])")));
    const QByteArray unexpected = R"({"output":{"text":")" + QByteArray(300, 'x') + R"("}})";
    dashScope.enqueue(HttpFake::Answer::json(200, unexpected));
    transcribe();
    transcribe();
    transcribe();
    const QString sending = QString("DashScopeASR: sending %1 bytes audio to qwen3-asr-flash")
                                .arg(kAudio.size());
    // The logger adds its entries from the event loop.
    ASSERT_TRUE(waitUntil([&] { return logger.entries().size() >= 6; }));
    EXPECT_EQ(logMessages(),
              QStringList({
                  sending,
                  // Characters as a reader counts them: the waving hand with its tone is one.
                  "DashScopeASR: transcription completed, text length: 7",
                  sending,
                  "DashScopeASR: no speech detected, returning empty string",
                  sending,
                  "DashScopeASR: unexpected response format. Raw: "
                      + QString::fromLatin1(unexpected.left(200)),
              }));
    const QList<Logger::LogEntry>& entries = logger.entries();
    ASSERT_EQ(entries.size(), 6);
    EXPECT_EQ(entries[0].level, LogLevel::debug);
    EXPECT_EQ(entries[1].level, LogLevel::info);
    EXPECT_EQ(entries[5].level, LogLevel::warning);
}
