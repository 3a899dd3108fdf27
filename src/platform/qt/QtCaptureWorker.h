#pragma once

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSource>
#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>

#include "platform/AudioBufferAssembler.h"

// The part of QtAudioCapture that lives on the capture thread: owns the
// QAudioSource (whose timer and reads run on that thread) and turns its reads
// into whole buffers. Every member runs on the capture thread.
class QtCaptureWorker : public QObject
{
    Q_OBJECT
public:
    using FailureHandler = std::function<void(const QString& message)>;

    QtCaptureWorker(const QAudioDevice& device, const QAudioFormat& format,
                    AudioBufferAssembler::Deliver deliver, FailureHandler failed);
    ~QtCaptureWorker() override;

    // Opens the input, or resumes it after pause(). Returns an empty text on
    // success, else why it failed.
    QString start();
    void pause();
    void stop();

private:
    void readAvailable();
    void onStateChanged(QAudio::State state);

    const QAudioDevice m_device;
    const QAudioFormat m_format;
    AudioBufferAssembler m_assembler;
    const FailureHandler m_failed;
    std::unique_ptr<QAudioSource> m_source;
    // Push-mode device of m_source; QAudioSource deletes it when it fails.
    QPointer<QIODevice> m_input;
    bool m_stopping = false;
};
