#include "transcription/DashScopeASRService.h"

#include <QJsonArray>

#include "platform/AuthorisedRequest.h"
#include "platform/Graphemes.h"
#include "store/Logger.h"
#include "platform/HttpClient.h"
#include "transcription/ServiceAddresses.h"

namespace {

// How much of an unreadable answer goes into the log.
constexpr int kLoggedBodyLength = 200;

QJsonArray contentWith(const QString& member, const QString& value)
{
    return QJsonArray{QJsonObject{{member, value}}};
}

}  // namespace

DashScopeASRService::DashScopeASRService(HttpClient& http, SettingReader apiKeyProvider, Logger* logger,
                                         HttpTiming timing)
    : m_http(http), m_apiKeyProvider(std::move(apiKeyProvider)), m_logger(logger), m_timing(timing)
{
}

QString DashScopeASRService::name() const { return QString::fromLatin1(kName); }

QJsonObject DashScopeASRService::requestBody(const QByteArray& audioData,
                                             const std::optional<QString>& prompt)
{
    const QString audioAddress =
        QStringLiteral("data:audio/m4a;base64,") + QString::fromLatin1(audioData.toBase64());
    QJsonArray messages;
    if (prompt && !prompt->isEmpty()) {
        messages.append(QJsonObject{{"role", "system"},
                                    {"content", contentWith(QStringLiteral("text"), *prompt)}});
    }
    messages.append(QJsonObject{{"role", "user"},
                                {"content", contentWith(QStringLiteral("audio"), audioAddress)}});
    return QJsonObject{
        {"model", QString::fromLatin1(kModel)},
        {"input", QJsonObject{{"messages", messages}}},
        {"parameters",
         QJsonObject{{"result_format", "message"},
                     {"asr_options", QJsonObject{{"enable_lid", true}, {"enable_itn", true}}}}},
    };
}

std::optional<QStringList> DashScopeASRService::recognizedTexts(const QJsonDocument& answer)
{
    const QJsonValue choices = answer.object().value("output").toObject().value("choices");
    if (!choices.isArray() || choices.toArray().isEmpty())
        return std::nullopt;
    const QJsonValue message = choices.toArray().first().toObject().value("message");
    const QJsonValue content = message.toObject().value("content");
    if (!message.isObject() || !content.isArray())
        return std::nullopt;
    QStringList texts;
    for (const QJsonValue element : content.toArray()) {
        // A bare value where an object belongs is a broken answer, not silence.
        if (!element.isObject())
            return std::nullopt;
        const QJsonValue text = element.toObject().value("text");
        if (text.isString())
            texts << text.toString();
    }
    return texts;
}

QCoro::Task<TranscriptionResult> DashScopeASRService::transcribe(QByteArray audioData,
                                                                 std::optional<QString> /*language*/,
                                                                 std::optional<QString> prompt,
                                                                 CancelToken cancel)
{
    std::optional<HttpRequest> request = AuthorisedRequest::post(
        ServiceAddresses::dashScopeGeneration(), m_apiKeyProvider(), "application/json",
        m_timing.serviceRequestTimeout, AuthorisedRequest::EmptyKey::refuse);
    if (!request)
        co_return TranscriptionError::apiError(
            401, QStringLiteral("DashScope API key is empty. Please set it in Settings."));
    request->body = QJsonDocument(requestBody(audioData, prompt)).toJson(QJsonDocument::Compact);

    // Kept apart from `this`: the logger outlives every request.
    Logger* const logger = m_logger;
    if (logger) {
        logger->debug(QStringLiteral("DashScopeASR: sending %1 bytes audio to %2")
                          .arg(audioData.size())
                          .arg(QString::fromLatin1(kModel)));
    }

    const HttpResult result = co_await m_http.send(std::move(*request), cancel);
    if (!result.ok())
        co_return TranscriptionError(result.error());
    const HttpAnswer& answer = result.value();
    if (auto failure = TranscriptionError::fromStatus(answer))
        co_return *failure;
    const auto json = answer.bodyJson();
    if (!json.ok())
        co_return TranscriptionError(json.error());

    // A 200 answer without the expected shape is a fault of the service, not
    // silence: it fails, so that the caller tries again.
    const std::optional<QStringList> texts = recognizedTexts(json.value());
    if (!texts) {
        if (logger) {
            logger->warning(QStringLiteral("DashScopeASR: unexpected response format. Raw: ")
                            + Graphemes::left(answer.bodyTextOr(QStringLiteral("(empty)")),
                                              kLoggedBodyLength));
        }
        co_return TranscriptionError::invalidResponse();
    }
    const QString joined = texts->join(QLatin1Char(' '));
    if (joined.isEmpty()) {
        if (logger)
            logger->info(QStringLiteral("DashScopeASR: no speech detected, returning empty string"));
        co_return QString();
    }
    if (logger) {
        logger->info(QStringLiteral("DashScopeASR: transcription completed, text length: %1")
                         .arg(Graphemes::count(joined)));
    }
    co_return joined.trimmed();
}
