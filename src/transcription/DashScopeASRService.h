#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include "transcription/HttpTiming.h"
#include "transcription/SettingReader.h"
#include "transcription/TranscriptionProvider.h"

class HttpClient;
class Logger;

// Recognition by DashScope: the slice travels inline in a JSON request as a
// base64 data address, and the text comes back in a chat-style answer.
class DashScopeASRService : public TranscriptionProvider
{
public:
    static constexpr auto kName = "dashscope_qwen3_asr";
    static constexpr auto kModel = "qwen3-asr-flash";

    // `logger` may be null: nothing is logged then.
    DashScopeASRService(HttpClient& http, SettingReader apiKeyProvider, Logger* logger,
                        HttpTiming timing = {});

    QString name() const override;
    // `language` is not sent.
    QCoro::Task<TranscriptionResult> transcribe(QByteArray audioData,
                                                std::optional<QString> language,
                                                std::optional<QString> prompt,
                                                CancelToken cancel) override;

    // The request body: a system message with `prompt` when it is given and
    // not empty, then the user message with the audio.
    static QJsonObject requestBody(const QByteArray& audioData, const std::optional<QString>& prompt);
    // The "text" members of output.choices[0].message.content, in order; none
    // when the answer does not have that shape.
    static std::optional<QStringList> recognizedTexts(const QJsonDocument& answer);

private:
    HttpClient& m_http;
    SettingReader m_apiKeyProvider;
    Logger* m_logger;
    HttpTiming m_timing;
};
