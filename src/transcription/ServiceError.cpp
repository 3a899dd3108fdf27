#include "transcription/ServiceError.h"

#include <utility>

ServiceError::ServiceError(Kind kind, int statusCode, QString message,
                           std::optional<HttpError> http)
    : m_kind(kind), m_statusCode(statusCode), m_message(std::move(message)), m_http(std::move(http))
{
}

bool ServiceError::isCancelled() const
{
    return m_http && m_http->kind() == HttpError::Kind::cancelled;
}

QString ServiceError::describe(const QString& apiErrorPrefix,
                               const QString& invalidResponseText) const
{
    switch (m_kind) {
    case Kind::apiError:
        return apiErrorPrefix + QString::number(m_statusCode) + QStringLiteral("): ") + m_message;
    case Kind::invalidResponse:
        return invalidResponseText;
    case Kind::http:
        return m_http->description();
    }
    return {};
}
