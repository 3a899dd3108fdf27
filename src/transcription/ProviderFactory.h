#pragma once

#include <functional>
#include <memory>

#include "transcription/HttpTiming.h"
#include "transcription/TranscriptionProvider.h"

class HttpClient;
class Logger;
class Preferences;

// Builds a new recognition service at every call.
using ProviderFactory = std::function<std::unique_ptr<TranscriptionProvider>()>;

// "asrModel" exactly "qwen3-asr" gives DashScopeASRService with the
// "dashScopeApiKey" reader; any other value (or none) OpenAIWhisperService with
// the "apiKey" reader. The setting is read at every call, the keys at every
// request. `http`, `preferences` and `logger` must outlive the factory.
ProviderFactory makeProviderFactory(HttpClient& http, const Preferences& preferences, Logger* logger,
                                    HttpTiming timing = {});
