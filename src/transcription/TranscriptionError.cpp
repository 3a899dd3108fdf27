#include "transcription/TranscriptionError.h"

TranscriptionError TranscriptionError::apiError(int statusCode, const QString& message)
{
    return TranscriptionError(Kind::apiError, statusCode, message, std::nullopt);
}

std::optional<TranscriptionError> TranscriptionError::fromStatus(const HttpAnswer& answer)
{
    if (!answer.statusCode)
        return invalidResponse();
    if (*answer.statusCode != 200)
        return apiError(*answer.statusCode, answer.bodyTextOr(QStringLiteral("Unknown error")));
    return std::nullopt;
}

TranscriptionError TranscriptionError::invalidResponse()
{
    return TranscriptionError(Kind::invalidResponse, 0, {}, std::nullopt);
}

TranscriptionError::TranscriptionError(const HttpError& error)
    : ServiceError(Kind::http, 0, {}, error)
{
}

QString TranscriptionError::description() const
{
    return describe(QStringLiteral("API error ("),
                    QStringLiteral("Invalid response from transcription API"));
}
