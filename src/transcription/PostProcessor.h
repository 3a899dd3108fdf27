#pragma once

#include <QCoroTask>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <optional>

#include "platform/CancelToken.h"
#include "transcription/HttpTiming.h"
#include "transcription/PostProcessorError.h"
#include "transcription/SettingReader.h"

class HttpClient;
class Logger;

// Polishes a joined transcript with a chat-completion model: the polishing
// prompt (plus the current user's glossary) as the system message, the raw
// text in triple quotes as the user message. "deepseek-chat" goes to DeepSeek
// with the DeepSeek key, every other model to OpenAI with the OpenAI key.
class PostProcessor
{
public:
    // Called at every process(), so changed settings apply to the next request.
    struct Readers
    {
        SettingReader apiKeyProvider;          // the OpenAI key
        SettingReader deepSeekApiKeyProvider;  // the DeepSeek key
        SettingReader modelProvider;           // the polishing model
        SettingReader systemPromptProvider;    // the polishing prompt
        SettingReader glossaryProvider;        // the current user's entries joined with ", "
    };

    static constexpr auto kDeepSeekModel = "deepseek-chat";

    PostProcessor(HttpClient& http, Readers readers, Logger& logger, HttpTiming timing = {});

    // The polished text, trimmed. A text that is empty after trimming is not
    // sent: a model asked to polish nothing answers with text of its own.
    QCoro::Task<PostProcessorResult> process(QString rawText, CancelToken cancel = {});

    const SettingReader& modelProvider() const { return m_readers.modelProvider; }

    // The system message for `glossary` ("" for none).
    static QString systemMessage(const QString& systemPrompt, const QString& glossary);
    // The user message around the raw text.
    static QString userMessage(const QString& rawText);
    // choices[0].message.content of a chat-completion answer; none when that
    // path does not lead to a text.
    static std::optional<QString> messageContent(const QJsonDocument& answer);

private:
    struct Endpoint
    {
        QUrl url;
        QString key;
    };
    Endpoint resolveEndpoint(const QString& model) const;

    HttpClient& m_http;
    Readers m_readers;
    Logger& m_logger;
    HttpTiming m_timing;
};
