#include "transcription/PostProcessor.h"

#include <QJsonArray>

#include "platform/AuthorisedRequest.h"
#include "platform/Graphemes.h"
#include "store/Logger.h"
#include "platform/HttpClient.h"
#include "transcription/ServiceAddresses.h"

PostProcessor::PostProcessor(HttpClient& http, Readers readers, Logger& logger, HttpTiming timing)
    : m_http(http), m_readers(std::move(readers)), m_logger(logger), m_timing(timing)
{
}

QString PostProcessor::systemMessage(const QString& systemPrompt, const QString& glossary)
{
    if (glossary.isEmpty())
        return systemPrompt;
    return systemPrompt
        + QStringLiteral("\n\nBelow is the user's glossary of frequently used terms. "
                         "Make sure these terms are used correctly in the text:\n")
        + glossary;
}

QString PostProcessor::userMessage(const QString& rawText)
{
    return QStringLiteral("Process the text enclosed in triple quotes below according to the "
                          "instructions above:\n\n\"\"\"\n")
        + rawText + QStringLiteral("\n\"\"\"");
}

std::optional<QString> PostProcessor::messageContent(const QJsonDocument& answer)
{
    const QJsonValue choices = answer.object().value("choices");
    if (!choices.isArray() || choices.toArray().isEmpty())
        return std::nullopt;
    const QJsonValue content =
        choices.toArray().first().toObject().value("message").toObject().value("content");
    if (!content.isString())
        return std::nullopt;
    return content.toString();
}

PostProcessor::Endpoint PostProcessor::resolveEndpoint(const QString& model) const
{
    if (model == QLatin1String(kDeepSeekModel))
        return {ServiceAddresses::deepSeekChatCompletions(), m_readers.deepSeekApiKeyProvider()};
    return {ServiceAddresses::openAIChatCompletions(), m_readers.apiKeyProvider()};
}

QCoro::Task<PostProcessorResult> PostProcessor::process(QString rawText, CancelToken cancel)
{
    if (rawText.trimmed().isEmpty()) {
        m_logger.info(QStringLiteral("PostProcessor: empty text, nothing to polish"));
        co_return QString();
    }
    const QString model = m_readers.modelProvider();
    const QString prompt = m_readers.systemPromptProvider();
    const QString glossary = m_readers.glossaryProvider();
    const QString systemPrompt = systemMessage(prompt, glossary);
    const Endpoint endpoint = resolveEndpoint(model);

    const QJsonDocument body(QJsonObject{
        {"model", model},
        {"messages", QJsonArray{QJsonObject{{"role", "system"}, {"content", systemPrompt}},
                                QJsonObject{{"role", "user"}, {"content", userMessage(rawText)}}}},
        {"temperature", 0.3},
    });
    // An empty key is sent too: the service's answer decides.
    HttpRequest request = *AuthorisedRequest::post(endpoint.url, endpoint.key, "application/json",
                                                   m_timing.serviceRequestTimeout,
                                                   AuthorisedRequest::EmptyKey::send);
    request.body = body.toJson(QJsonDocument::Compact);

    const QString host = endpoint.url.host().isEmpty() ? QStringLiteral("?") : endpoint.url.host();
    m_logger.info(QStringLiteral("PostProcessor: sending to %1 at %2, text length: %3")
                      .arg(model, host)
                      .arg(Graphemes::count(rawText)));
    m_logger.info(QStringLiteral("PostProcessor: request body:\n")
                  + QString::fromUtf8(body.toJson(QJsonDocument::Indented)));

    // Kept apart from `this` across the wait.
    Logger& logger = m_logger;
    const HttpResult result = co_await m_http.send(std::move(request), cancel);
    if (!result.ok())
        co_return PostProcessorError(result.error());
    const HttpAnswer& answer = result.value();
    if (!answer.statusCode || *answer.statusCode != 200) {
        co_return PostProcessorError::apiError(answer.statusCode.value_or(-1),
                                               answer.bodyTextOr(QStringLiteral("Unknown error")));
    }
    const auto json = answer.bodyJson();
    if (!json.ok())
        co_return PostProcessorError(json.error());
    const std::optional<QString> content = messageContent(json.value());
    if (!content)
        co_return PostProcessorError::invalidResponse();
    const QString cleaned = content->trimmed();
    logger.info(QStringLiteral("PostProcessor: completed, cleaned text length: %1")
                    .arg(Graphemes::count(cleaned)));
    co_return cleaned;
}
