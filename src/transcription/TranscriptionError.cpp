#include "transcription/TranscriptionError.h"

TranscriptionError TranscriptionError::apiError(int statusCode, const QString& message)
{
    return TranscriptionError(Kind::apiError, statusCode, message, std::nullopt);
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
