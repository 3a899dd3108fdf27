#include <QRegularExpression>
#include <gtest/gtest.h>

#include "ServiceFixture.h"
#include "transcription/OpenAIWhisperService.h"

namespace {

constexpr auto kKey = "sk-proj-QmF0dGVyeUhvcnNlU3RhcGxlQ29ycmVjdA";

// Every byte value, with CR LF and a fake boundary inside, to show the audio
// travels unchanged.
QByteArray sampleAudio()
{
    QByteArray audio("\r\n--not-a-boundary\r\n");
    for (int b = 0; b < 256; ++b)
        audio += char(b);
    return audio;
}

class OpenAIWhisperServiceTest : public ServiceFixture
{
protected:
    std::optional<TranscriptionResult> transcribe(std::optional<QString> language = std::nullopt,
                                                  std::optional<QString> prompt = std::nullopt)
    {
        return runTask(service.transcribe(sampleAudio(), language, prompt, {}));
    }

    QString key = kKey;
    OpenAIWhisperService service{http, [this] { return key; }, &logger, timing};
};

QByteArray textPart(const QByteArray& boundary, const QByteArray& name, const QByteArray& value)
{
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n"
        + value + "\r\n";
}

}  // namespace

TEST_F(OpenAIWhisperServiceTest, SendsTheMultipartBodyByteForByte)
{
    struct Case
    {
        const char* name;
        std::optional<QString> language;
        std::optional<QString> prompt;
        QList<QByteArray> optionalParts;   // between "file" and "response_format"
    };
    const Case cases[] = {
        {"no language, no prompt", std::nullopt, std::nullopt, {}},
        {"empty prompt is left out", std::nullopt, QString(""), {}},
        {"glossary prompt", std::nullopt, QString("Talvex, Qt6, 北京"), {"prompt"}},
        {"language then prompt", QString("de"), QString("Talvex"), {"language", "prompt"}},
        {"empty language still sent", QString(""), std::nullopt, {"language"}},
    };
    const QRegularExpression uuid("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        openAI.setResponder([](const HttpFake::Request&) { return HttpFake::Answer::text(200, "ok"); });
        ASSERT_EQ(outcomeText(transcribe(c.language, c.prompt)), "text: ok");
        const HttpFake::Request& sent = openAI.requests().last();

        EXPECT_EQ(sent.method, "POST");
        EXPECT_EQ(sent.path, "/v1/audio/transcriptions");
        EXPECT_EQ(sent.header("Authorization"), QByteArray("Bearer ") + kKey);
        const QByteArray contentType = sent.header("Content-Type");
        ASSERT_TRUE(contentType.startsWith("multipart/form-data; boundary="));
        const QByteArray boundary = contentType.mid(contentType.indexOf('=') + 1);
        EXPECT_TRUE(uuid.match(QString::fromLatin1(boundary)).hasMatch()) << boundary.constData();

        QByteArray expected = textPart(boundary, "model", "gpt-4o-mini-transcribe");
        expected += "--" + boundary
            + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"audio.m4a\"\r\n"
              "Content-Type: audio/m4a\r\n\r\n"
            + sampleAudio() + "\r\n";
        for (const QByteArray& part : c.optionalParts) {
            const QString value = part == "language" ? *c.language : *c.prompt;
            expected += textPart(boundary, part, value.toUtf8());
        }
        expected += textPart(boundary, "response_format", "text");
        expected += "--" + boundary + "--\r\n";
        EXPECT_EQ(sent.body, expected);
    }
    // A new boundary for every request.
    const auto& all = openAI.requests();
    EXPECT_NE(all[0].header("Content-Type"), all[1].header("Content-Type"));
}

TEST_F(OpenAIWhisperServiceTest, TurnsEachAnswerIntoTextOrError)
{
    QList<AnswerCase> cases = {
        {"transcript is trimmed", HttpFake::Answer::text(200, "  Hello, world.\n\n"),
         "text: Hello, world."},
        {"white space only is no speech", HttpFake::Answer::text(200, " \n\t "), "text: "},
        {"200 that is not text", HttpFake::Answer::text(200, kNotUtf8),
         "error: Invalid response from transcription API"},
        {"401 with its body", HttpFake::Answer::json(401, R"({"error":"Incorrect API key"})"),
         R"(error: API error (401): {"error":"Incorrect API key"})"},
        {"500 with a text body", HttpFake::Answer::text(500, "upstream failed"),
         "error: API error (500): upstream failed"},
        {"500 that is not text", HttpFake::Answer::text(500, kNotUtf8),
         "error: API error (500): Unknown error"},
    };
    cases += transportCases();
    for (const AnswerCase& c : cases) {
        EXPECT_EQ(playCase(openAI, c, [&](CancelToken cancel) {
                      return service.transcribe(sampleAudio(), std::nullopt, std::nullopt, cancel);
                  }),
                  c.expected)
            << c.name;
    }
}

TEST_F(OpenAIWhisperServiceTest, EmptyKeyFailsWithoutSendingOrLogging)
{
    key.clear();
    const auto result = transcribe();
    EXPECT_EQ(outcomeText(result),
              "error: API error (401): API key is empty. Please set your OpenAI API key in Settings.");
    EXPECT_EQ(result->error().statusCode(), 401);
    EXPECT_TRUE(openAI.requests().isEmpty());
    EXPECT_TRUE(logMessages().isEmpty());
}

TEST_F(OpenAIWhisperServiceTest, RedirectIsAnErrorAndSendsNothingElsewhere)
{
    elsewhere.setResponder([](const HttpFake::Request&) {
        return HttpFake::Answer::text(200, "a page that is no transcript");
    });
    for (const AnswerCase& c : redirectCases(elsewhere.url().resolved(QUrl("/landing")),
                                             "error: API error (%1): moved")) {
        EXPECT_EQ(playCase(openAI, c, [&](CancelToken cancel) {
                      return service.transcribe(sampleAudio(), std::nullopt, std::nullopt, cancel);
                  }),
                  c.expected)
            << c.name;
    }
    EXPECT_TRUE(elsewhere.requests().isEmpty());
}

TEST_F(OpenAIWhisperServiceTest, LogsTheRequestWithoutTheKey)
{
    openAI.enqueue(HttpFake::Answer::text(200, "hi"));
    ASSERT_TRUE(transcribe(std::nullopt, QString("Talvex"))->ok());
    const HttpFake::Request& sent = openAI.requests().last();
    const QString boundary = QString::fromLatin1(sent.header("Content-Type").mid(30));

    EXPECT_EQ(logMessages(),
              QStringList({
                  "WhisperAPI request: POST " + openAI.url().toString() + "/v1/audio/transcriptions",
                  // The key shows no more than its "sk-" prefix; other values are cut at 40.
                  "WhisperAPI headers: Authorization: Bearer sk-... | Content-Type: "
                  "multipart/form-data; boundary=" + boundary.left(10) + "...",
                  QString("WhisperAPI body size: %1 bytes, audioData size: %2 bytes")
                      .arg(sent.body.size())
                      .arg(sampleAudio().size()),
              }));
    const QByteArray dayLog = logFile();
    EXPECT_TRUE(dayLog.contains("WhisperAPI headers: Authorization: Bearer sk-..."));
    EXPECT_FALSE(dayLog.contains("sk-proj")) << dayLog.constData();
}

TEST_F(OpenAIWhisperServiceTest, RefusesAKeyWithControlCharacters)
{
    for (const QString& bad : {QString("sk-abc\r\nX-Injected: 1"), QString("sk-abc\n"),
                               QString::fromLatin1("sk-a\0bc", 7), QString("sk-\x7f")}) {
        key = bad;
        EXPECT_EQ(outcomeText(transcribe()),
                  "error: The API key contains a line break or another control character; "
                  "the request was not sent.");
    }
    EXPECT_TRUE(openAI.requests().isEmpty());
}
