#include "transcription/OpenAIWhisperService.h"

#include <QStringList>

#include "platform/AuthorisedRequest.h"
#include "platform/Graphemes.h"
#include "store/Logger.h"
#include "platform/HttpClient.h"
#include "transcription/MultipartFormData.h"
#include "platform/SecretMask.h"
#include "transcription/ServiceAddresses.h"

namespace {
// The header log line shows at most this much of a value.
constexpr int kLoggedHeaderLength = 40;
}

OpenAIWhisperService::OpenAIWhisperService(HttpClient& http, SettingReader apiKeyProvider, Logger* logger,
                                           HttpTiming timing)
    : m_http(http), m_apiKeyProvider(std::move(apiKeyProvider)), m_logger(logger), m_timing(timing)
{
}

QString OpenAIWhisperService::name() const { return QString::fromLatin1(kName); }

QByteArray OpenAIWhisperService::multipartBody(const QString& boundary, const QByteArray& audioData,
                                               const std::optional<QString>& language,
                                               const std::optional<QString>& prompt)
{
    MultipartFormData form(boundary);
    form.appendMultipart(QStringLiteral("model"), QString::fromLatin1(kModel));
    form.appendFile(QStringLiteral("file"), QStringLiteral("audio.m4a"), QStringLiteral("audio/m4a"),
                    audioData);
    if (language)
        form.appendMultipart(QStringLiteral("language"), *language);
    if (prompt && !prompt->isEmpty())
        form.appendMultipart(QStringLiteral("prompt"), *prompt);
    form.appendMultipart(QStringLiteral("response_format"), QStringLiteral("text"));
    return form.finished();
}

QCoro::Task<TranscriptionResult> OpenAIWhisperService::transcribe(QByteArray audioData,
                                                                  std::optional<QString> language,
                                                                  std::optional<QString> prompt,
                                                                  CancelToken cancel)
{
    const MultipartFormData form(MultipartFormData::newBoundary());
    std::optional<HttpRequest> request = AuthorisedRequest::post(
        ServiceAddresses::openAITranscriptions(), m_apiKeyProvider(), form.contentType(),
        m_timing.serviceRequestTimeout, AuthorisedRequest::EmptyKey::refuse);
    if (!request)
        co_return TranscriptionError::apiError(
            401, QStringLiteral("API key is empty. Please set your OpenAI API key in Settings."));
    request->body = multipartBody(form.boundary(), audioData, language, prompt);
    logRequest(*request, audioData.size());

    const HttpResult result = co_await m_http.send(std::move(*request), cancel);
    if (!result.ok())
        co_return TranscriptionError(result.error());
    const HttpAnswer& answer = result.value();
    if (auto failure = TranscriptionError::fromStatus(answer))
        co_return *failure;
    const std::optional<QString> text = answer.bodyText();
    if (!text)
        co_return TranscriptionError::invalidResponse();
    co_return text->trimmed();
}

void OpenAIWhisperService::logRequest(const HttpRequest& request, qsizetype audioSize) const
{
    if (!m_logger)
        return;
    const QString address = request.url.isEmpty() ? QStringLiteral("?") : request.url.toString();
    m_logger->debug(QStringLiteral("WhisperAPI request: ") + QString::fromLatin1(request.method)
                    + QLatin1Char(' ') + address);
    QStringList headers;
    for (const auto& [name, value] : request.headers) {
        headers << QString::fromLatin1(name) + QStringLiteral(": ")
                + Graphemes::left(SecretMask::headerValue(name, value), kLoggedHeaderLength)
                + QStringLiteral("...");
    }
    m_logger->debug(QStringLiteral("WhisperAPI headers: ") + headers.join(QStringLiteral(" | ")));
    m_logger->debug(QStringLiteral("WhisperAPI body size: %1 bytes, audioData size: %2 bytes")
                        .arg(request.body.size())
                        .arg(audioSize));
}
