#pragma once

#include <optional>

#include "platform/HttpAnswer.h"
#include "platform/Result.h"
#include "transcription/ServiceError.h"

// The failure of a recognition request.
class TranscriptionError : public ServiceError
{
public:
    // "API error (" + status + "): " + message.
    static TranscriptionError apiError(int statusCode, const QString& message);
    // "Invalid response from transcription API".
    static TranscriptionError invalidResponse();
    // A transport or parse failure, described as it is.
    TranscriptionError(const HttpError& error);
    // The failure an answer stands for before its body is read: no HTTP
    // answer is an invalid response, a status other than 200 an API error
    // with the body's text ("Unknown error" when it is not text).
    static std::optional<TranscriptionError> fromStatus(const HttpAnswer& answer);

    QString description() const;

private:
    using ServiceError::ServiceError;
};

// The recognised text (trimmed; empty when nothing was recognised) or the failure.
using TranscriptionResult = Result<QString, TranscriptionError>;
