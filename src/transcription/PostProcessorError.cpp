#include "transcription/PostProcessorError.h"

PostProcessorError PostProcessorError::apiError(int statusCode, const QString& message)
{
    return PostProcessorError(Kind::apiError, statusCode, message, std::nullopt);
}

PostProcessorError PostProcessorError::invalidResponse()
{
    return PostProcessorError(Kind::invalidResponse, 0, {}, std::nullopt);
}

PostProcessorError::PostProcessorError(const HttpError& error)
    : ServiceError(Kind::http, 0, {}, error)
{
}

QString PostProcessorError::description() const
{
    return describe(QStringLiteral("Post-processing API error ("),
                    QStringLiteral("Invalid response from post-processing API"));
}
