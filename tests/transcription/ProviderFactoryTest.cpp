#include <QJsonDocument>
#include <gtest/gtest.h>

#include "ServiceFixture.h"
#include "platform/Preferences.h"
#include "transcription/ProviderFactory.h"

namespace {

class ProviderFactoryTest : public ServiceFixture
{
protected:
    void SetUp() override
    {
        ServiceFixture::SetUp();
        prefs.setValue(PrefKey::apiKey, "sk-openai-aaaaaaaa");
        prefs.setValue(PrefKey::dashScopeApiKey, "sk-dash-bbbbbbbb");
        openAI.setResponder([](const HttpFake::Request&) { return HttpFake::Answer::text(200, "w"); });
        dashScope.setResponder([](const HttpFake::Request&) {
            return HttpFake::Answer::json(
                200, R"({"output":{"choices":[{"message":{"content":[{"text":"d"}]}}]}})");
        });
    }

    QTemporaryDir configDir;
    Preferences prefs{configDir.path() + "/Talvex.conf"};
    ProviderFactory factory = makeProviderFactory(http, prefs, &logger, timing);
};

}  // namespace

TEST_F(ProviderFactoryTest, ChoosesTheServiceByAsrModelAtEveryCall)
{
    struct Case
    {
        std::optional<QString> asrModel;
        const char* name;
        HttpFake* service;
        const char* text;
    };
    const Case cases[] = {
        {std::nullopt, "openai_whisper", &openAI, "w"},
        {QString("gpt-4o-mini-transcribe"), "openai_whisper", &openAI, "w"},
        {QString("qwen3-asr"), "dashscope_qwen3_asr", &dashScope, "d"},
        {QString("Qwen3-ASR"), "openai_whisper", &openAI, "w"},
        {QString("qwen3-asr "), "openai_whisper", &openAI, "w"},
        {QString(""), "openai_whisper", &openAI, "w"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.asrModel.value_or("(absent)").toStdString());
        if (c.asrModel)
            prefs.setValue(PrefKey::asrModel, *c.asrModel);
        else
            prefs.remove(PrefKey::asrModel);
        const std::unique_ptr<TranscriptionProvider> provider = factory();
        EXPECT_EQ(provider->name(), c.name);
        EXPECT_EQ(outcomeText(runTask(provider->transcribe("audio", std::nullopt, std::nullopt, {}))),
                  QString("text: ") + c.text);
        const HttpFake::Request& sent = c.service->requests().last();
        // The setting picks the service only; each names its own model.
        if (c.service == &openAI)
            EXPECT_TRUE(sent.body.contains("\r\n\r\ngpt-4o-mini-transcribe\r\n"));
        else
            EXPECT_EQ(QJsonDocument::fromJson(sent.body)["model"].toString(), "qwen3-asr-flash");
    }
    EXPECT_EQ(openAI.requests().size() + dashScope.requests().size(), 6);
}

TEST_F(ProviderFactoryTest, ReadsTheKeyWhenTheRequestIsMade)
{
    prefs.setValue(PrefKey::asrModel, "qwen3-asr");
    const std::unique_ptr<TranscriptionProvider> dash = factory();
    prefs.setValue(PrefKey::asrModel, "gpt-4o-mini-transcribe");
    const std::unique_ptr<TranscriptionProvider> whisper = factory();
    prefs.setValue(PrefKey::apiKey, "sk-openai-changed");
    prefs.setValue(PrefKey::dashScopeApiKey, "sk-dash-changed");

    runTask(dash->transcribe("audio", std::nullopt, std::nullopt, {}));
    runTask(whisper->transcribe("audio", std::nullopt, std::nullopt, {}));
    EXPECT_EQ(dashScope.requests().last().header("Authorization"), "Bearer sk-dash-changed");
    EXPECT_EQ(openAI.requests().last().header("Authorization"), "Bearer sk-openai-changed");
}
