#pragma once

#include "platform/Result.h"
#include "transcription/ServiceError.h"

// The failure of a polishing request.
class PostProcessorError : public ServiceError
{
public:
    // "Post-processing API error (" + status + "): " + message; status -1 for
    // an answer that was not HTTP.
    static PostProcessorError apiError(int statusCode, const QString& message);
    // "Invalid response from post-processing API".
    static PostProcessorError invalidResponse();
    // A transport or parse failure, described as it is.
    PostProcessorError(const HttpError& error);

    QString description() const;

private:
    using ServiceError::ServiceError;
};

// The polished text (trimmed) or the failure.
using PostProcessorResult = Result<QString, PostProcessorError>;
