#pragma once

#include <QString>
#include <optional>

#include "platform/HttpError.h"

// The failure of a request to a cloud service: the service's own error answer,
// an answer the client cannot read, or an HttpError passed through unchanged.
// TranscriptionError and PostProcessorError give it their texts.
class ServiceError
{
public:
    enum class Kind { apiError, invalidResponse, http };

    Kind kind() const { return m_kind; }
    // apiError only.
    int statusCode() const { return m_statusCode; }
    const QString& message() const { return m_message; }
    // http only.
    const std::optional<HttpError>& httpError() const { return m_http; }
    bool isCancelled() const;

protected:
    ServiceError(Kind kind, int statusCode, QString message, std::optional<HttpError> http);
    // `apiErrorPrefix` + status + "): " + message, `invalidResponseText`, or
    // the HttpError's own description.
    QString describe(const QString& apiErrorPrefix, const QString& invalidResponseText) const;

private:
    Kind m_kind;
    int m_statusCode = 0;
    QString m_message;
    std::optional<HttpError> m_http;
};
