#include "transcription/ProviderFactory.h"

#include "platform/Preferences.h"
#include "transcription/DashScopeASRService.h"
#include "transcription/OpenAIWhisperService.h"

namespace {
constexpr auto kDashScopeAsrModel = "qwen3-asr";
}

ProviderFactory makeProviderFactory(HttpClient& http, const Preferences& preferences, Logger* logger,
                                    HttpTiming timing)
{
    const Preferences* prefs = &preferences;
    return [&http, prefs, logger, timing]() -> std::unique_ptr<TranscriptionProvider> {
        if (prefs->asrModel() == QLatin1String(kDashScopeAsrModel)) {
            return std::make_unique<DashScopeASRService>(
                http, [prefs] { return prefs->dashScopeApiKey(); }, logger, timing);
        }
        return std::make_unique<OpenAIWhisperService>(http, [prefs] { return prefs->apiKey(); }, logger,
                                                      timing);
    };
}
