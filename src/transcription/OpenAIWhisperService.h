#pragma once

#include "platform/HttpRequest.h"
#include "transcription/HttpTiming.h"
#include "transcription/SettingReader.h"
#include "transcription/TranscriptionProvider.h"

class HttpClient;
class Logger;

// Recognition by the OpenAI transcription API: the slice goes up as
// multipart/form-data and the answer is the bare transcript.
class OpenAIWhisperService : public TranscriptionProvider
{
public:
    static constexpr auto kName = "openai_whisper";
    static constexpr auto kModel = "gpt-4o-mini-transcribe";

    // `logger` may be null: nothing is logged then.
    OpenAIWhisperService(HttpClient& http, SettingReader apiKeyProvider, Logger* logger,
                         HttpTiming timing = {});

    QString name() const override;
    QCoro::Task<TranscriptionResult> transcribe(QByteArray audioData,
                                                std::optional<QString> language,
                                                std::optional<QString> prompt,
                                                CancelToken cancel) override;

    // The parts "model", "file", "language" (when given, even empty), "prompt"
    // (when given and not empty), "response_format", in this order.
    static QByteArray multipartBody(const QString& boundary, const QByteArray& audioData,
                                    const std::optional<QString>& language,
                                    const std::optional<QString>& prompt);

private:
    void logRequest(const HttpRequest& request, qsizetype audioSize) const;

    HttpClient& m_http;
    SettingReader m_apiKeyProvider;
    Logger* m_logger;
    HttpTiming m_timing;
};
