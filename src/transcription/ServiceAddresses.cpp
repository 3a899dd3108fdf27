#include "transcription/ServiceAddresses.h"

#include <QString>

namespace {

QUrl endpoint(const char* variable, const char* builtIn, const char* path)
{
    QString base = qEnvironmentVariable(variable, QString::fromLatin1(builtIn));
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    return QUrl(base + QLatin1String(path));
}

}  // namespace

QUrl ServiceAddresses::openAITranscriptions()
{
    return endpoint("TALVEX_OPENAI_BASE_URL", kOpenAIBase, "/v1/audio/transcriptions");
}

QUrl ServiceAddresses::openAIChatCompletions()
{
    return endpoint("TALVEX_OPENAI_BASE_URL", kOpenAIBase, "/v1/chat/completions");
}

QUrl ServiceAddresses::dashScopeGeneration()
{
    return endpoint("TALVEX_DASHSCOPE_BASE_URL", kDashScopeBase,
                    "/api/v1/services/aigc/multimodal-generation/generation");
}

QUrl ServiceAddresses::deepSeekChatCompletions()
{
    return endpoint("TALVEX_DEEPSEEK_BASE_URL", kDeepSeekBase, "/chat/completions");
}
