#pragma once

#include <QUrl>

// Where the cloud services are reached. Each base address is a built-in
// constant unless its environment variable names another one
// (TALVEX_OPENAI_BASE_URL, TALVEX_DASHSCOPE_BASE_URL, TALVEX_DEEPSEEK_BASE_URL);
// the variables are read at every call, so every request follows them.
namespace ServiceAddresses {
inline constexpr auto kOpenAIBase = "https://api.openai.com";
inline constexpr auto kDashScopeBase = "https://dashscope.aliyuncs.com";
inline constexpr auto kDeepSeekBase = "https://api.deepseek.com";

QUrl openAITranscriptions();    // + "/v1/audio/transcriptions"
QUrl openAIChatCompletions();   // + "/v1/chat/completions"
QUrl dashScopeGeneration();     // + "/api/v1/services/aigc/multimodal-generation/generation"
QUrl deepSeekChatCompletions(); // + "/chat/completions"
}
