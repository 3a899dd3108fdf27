#include "transcription/ProviderFactory.h"

#include "platform/Preferences.h"
#include "transcription/DashScopeASRService.h"
#include "transcription/OpenAIWhisperService.h"

namespace {
constexpr auto kDashScopeAsrModel = "qwen3-asr";
}

ProviderFactory makeProviderFactory(const Preferences& preferences, Logger* logger,
                                    HttpTiming timing)
{
    const Preferences* prefs = &preferences;
    return [prefs, logger, timing]() -> std::unique_ptr<TranscriptionProvider> {
        if (prefs->asrModel() == QLatin1String(kDashScopeAsrModel)) {
            return std::make_unique<DashScopeASRService>(
                [prefs] { return prefs->dashScopeApiKey(); }, logger, timing);
        }
        return std::make_unique<OpenAIWhisperService>([prefs] { return prefs->apiKey(); }, logger,
                                                      timing);
    };
}
