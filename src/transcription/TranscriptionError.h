#pragma once

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

    QString description() const;

private:
    using ServiceError::ServiceError;
};

// The recognised text (trimmed; empty when nothing was recognised) or the failure.
using TranscriptionResult = Result<QString, TranscriptionError>;
