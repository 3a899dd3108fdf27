#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include "ServiceFixture.h"
#include "transcription/PostProcessor.h"

namespace {

QByteArray chatAnswer(const QByteArray& contentJson)
{
    return R"({"id":"c1","choices":[{"index":0,"message":{"role":"assistant","content":)"
        + contentJson + R"(},"finish_reason":"stop"}]})";
}

const QString kUserLead = "Process the text enclosed in triple quotes below according to the "
                          "instructions above:\n\n\"\"\"\n";

class PostProcessorTest : public ServiceFixture
{
protected:
    std::optional<PostProcessorResult> process(const QString& rawText, CancelToken cancel = {})
    {
        return runTask(postProcessor.process(rawText, cancel));
    }

    QString openAIKey = "sk-openai-1234567890";
    QString deepSeekKey = "sk-deep-0987654321";
    QString model = "gpt-4o-mini";
    QString prompt = "Polish this.";
    QString glossary;
    PostProcessor postProcessor{http, {.apiKeyProvider = [this] { return openAIKey; },
                                 .deepSeekApiKeyProvider = [this] { return deepSeekKey; },
                                 .modelProvider = [this] { return model; },
                                 .systemPromptProvider = [this] { return prompt; },
                                 .glossaryProvider = [this] { return glossary; }},
                                logger, timing};
};

}  // namespace

TEST_F(PostProcessorTest, RoutesByModelWithThatServicesKey)
{
    struct Case
    {
        const char* model;
        HttpFake* service;
        const char* path;
        QString key;
    };
    const Case cases[] = {
        {"deepseek-chat", &deepSeek, "/chat/completions", deepSeekKey},
        {"gpt-4o-mini", &openAI, "/v1/chat/completions", openAIKey},
        {"gpt-4o", &openAI, "/v1/chat/completions", openAIKey},
        {"DeepSeek-Chat", &openAI, "/v1/chat/completions", openAIKey},
        {"deepseek-chat ", &openAI, "/v1/chat/completions", openAIKey},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        model = c.model;
        c.service->enqueue(HttpFake::Answer::json(200, chatAnswer(R"("done")")));
        const qsizetype before = openAI.requests().size() + deepSeek.requests().size();
        ASSERT_EQ(outcomeText(process("some text")), "text: done");
        ASSERT_EQ(openAI.requests().size() + deepSeek.requests().size(), before + 1);
        const HttpFake::Request& sent = c.service->requests().last();
        EXPECT_EQ(sent.method, "POST");
        EXPECT_EQ(sent.path, c.path);
        EXPECT_EQ(sent.header("Authorization"), "Bearer " + c.key.toUtf8());
        EXPECT_EQ(sent.header("Content-Type"), "application/json");
        EXPECT_EQ(QJsonDocument::fromJson(sent.body)["model"].toString(), c.model);
    }
}

TEST_F(PostProcessorTest, SendsPromptGlossaryAndFencedText)
{
    struct Case
    {
        const char* name;
        QString glossary;
        QString expectedSystem;
    };
    const Case cases[] = {
        {"no glossary", "", "Polish this."},
        {"glossary appended", "Talvex, Qt6",
         "Polish this.\n\nBelow is the user's glossary of frequently used terms. Make sure these "
         "terms are used correctly in the text:\nTalvex, Qt6"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        glossary = c.glossary;
        openAI.enqueue(HttpFake::Answer::json(200, chatAnswer(R"("ok")")));
        ASSERT_TRUE(process("um so \"quoted\" line\nnext")->ok());
        const QByteArray body = openAI.requests().last().body;
        const QJsonObject expected{
            {"model", "gpt-4o-mini"},
            {"messages",
             QJsonArray{QJsonObject{{"role", "system"}, {"content", c.expectedSystem}},
                        QJsonObject{{"role", "user"},
                                    {"content", kUserLead + "um so \"quoted\" line\nnext\n\"\"\""}}}},
            {"temperature", 0.3},
        };
        EXPECT_EQ(QJsonDocument::fromJson(body).object(), expected) << body.constData();
        EXPECT_TRUE(body.contains("\"temperature\":0.3")) << body.constData();
        EXPECT_FALSE(body.contains('\n')) << "compact JSON";
    }
}

TEST_F(PostProcessorTest, TurnsEachAnswerIntoTextOrError)
{
    QList<AnswerCase> cases = {
        {"content trimmed", HttpFake::Answer::json(200, chatAnswer(R"("  Clean text.\n")")),
         "text: Clean text."},
        {"empty content is a success", HttpFake::Answer::json(200, chatAnswer(R"("")")), "text: "},
        {"empty choices", HttpFake::Answer::json(200, R"({"choices":[]})"),
         "error: Invalid response from post-processing API"},
        {"no choices", HttpFake::Answer::json(200, R"({"object":"chat.completion"})"),
         "error: Invalid response from post-processing API"},
        {"content not text", HttpFake::Answer::json(200, chatAnswer("null")),
         "error: Invalid response from post-processing API"},
        {"401 with its body", HttpFake::Answer::json(401, R"({"error":{"code":"invalid_api_key"}})"),
         R"(error: Post-processing API error (401): {"error":{"code":"invalid_api_key"}})"},
        {"500 that is not text", HttpFake::Answer::text(500, kNotUtf8),
         "error: Post-processing API error (500): Unknown error"},
    };
    cases += transportCases();
    for (const AnswerCase& c : cases) {
        EXPECT_EQ(playCase(openAI, c, [&](CancelToken cancel) {
                      return postProcessor.process("raw words", cancel);
                  }),
                  c.expected)
            << c.name;
    }
}

TEST_F(PostProcessorTest, RedirectIsAnErrorAndSendsNothingElsewhere)
{
    elsewhere.setResponder([](const HttpFake::Request&) {
        return HttpFake::Answer::json(200, chatAnswer(R"("Text from elsewhere.")"));
    });
    for (HttpFake* service : {&openAI, &deepSeek}) {
        model = service == &openAI ? "gpt-4o-mini" : "deepseek-chat";
        for (const AnswerCase& c : redirectCases(elsewhere.url().resolved(QUrl("/landing")),
                                                 "error: Post-processing API error (%1): moved")) {
            EXPECT_EQ(playCase(*service, c, [&](CancelToken cancel) {
                          return postProcessor.process("raw words", cancel);
                      }),
                      c.expected)
                << model.toStdString() << ": " << c.name;
        }
    }
    EXPECT_TRUE(elsewhere.requests().isEmpty());
}

TEST_F(PostProcessorTest, MalformedJsonFailsWithTheParseError)
{
    openAI.enqueue(HttpFake::Answer::json(200, "<html>gateway</html>"));
    const auto result = process("raw words");
    ASSERT_TRUE(result && !result->ok());
    EXPECT_EQ(result->error().kind(), ServiceError::Kind::http);
    EXPECT_TRUE(result->error().description().startsWith("The answer is not valid JSON: "));
}

TEST_F(PostProcessorTest, EmptyKeyIsSentAndTheServiceDecides)
{
    openAIKey.clear();
    openAI.enqueue(HttpFake::Answer::json(401, "missing key"));
    EXPECT_EQ(outcomeText(process("raw words")),
              "error: Post-processing API error (401): missing key");
    ASSERT_EQ(openAI.requests().size(), 1);
    EXPECT_EQ(openAI.requests().last().header("Authorization").trimmed(), "Bearer");
}

TEST_F(PostProcessorTest, NothingToPolishSendsNothing)
{
    for (const QString& empty : {QString(), QString(" \n\t ")}) {
        EXPECT_EQ(outcomeText(process(empty)), "text: ");
    }
    EXPECT_TRUE(openAI.requests().isEmpty());
    EXPECT_TRUE(deepSeek.requests().isEmpty());
}

TEST_F(PostProcessorTest, LogsTheRequestAndTheResult)
{
    glossary = "Talvex";
    openAI.enqueue(HttpFake::Answer::json(200, chatAnswer(R"(" Café 🇩🇪 ok ")")));
    ASSERT_TRUE(process("cafe\u0301 🇩🇪")->ok());
    const QStringList messages = logMessages();
    ASSERT_EQ(messages.size(), 3);
    // Characters as a reader counts them: "é" from e + accent is one, a flag is one.
    EXPECT_EQ(messages[0], "PostProcessor: sending to gpt-4o-mini at 127.0.0.1, text length: 6");
    const QString bodyLead = "PostProcessor: request body:\n";
    ASSERT_TRUE(messages[1].startsWith(bodyLead));
    const QJsonDocument logged = QJsonDocument::fromJson(messages[1].mid(bodyLead.size()).toUtf8());
    EXPECT_EQ(logged.object(), QJsonDocument::fromJson(openAI.requests().last().body).object());
    EXPECT_TRUE(messages[1].contains("\n    ")) << "pretty-printed";
    EXPECT_FALSE(messages[1].contains(openAIKey));
    EXPECT_EQ(messages[2], "PostProcessor: completed, cleaned text length: 9");
}
