#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QString>
#include <optional>

#include "platform/CancelToken.h"
#include "transcription/TranscriptionError.h"

// A cloud speech-recognition service. Each transcribe() sends exactly one
// request; attempts and waits belong to the caller. The provider must outlive
// the task that transcribe() returns.
class TranscriptionProvider
{
public:
    virtual ~TranscriptionProvider() = default;

    // Stored as the provider of every slice the service transcribed.
    virtual QString name() const = 0;

    // `audioData`: the bytes of one ".m4a" slice file, sent unchanged.
    // The recognised text comes back trimmed; an empty text means nothing was
    // recognised and is a success. Cancelling `cancel` aborts the request.
    virtual QCoro::Task<TranscriptionResult> transcribe(QByteArray audioData,
                                                        std::optional<QString> language,
                                                        std::optional<QString> prompt,
                                                        CancelToken cancel) = 0;
};
