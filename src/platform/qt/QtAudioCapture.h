#pragma once

#include <QAudioDevice>
#include <QAudioFormat>
#include <QThread>
#include <atomic>
#include <functional>

#include "platform/AudioCapture.h"

class QtCaptureWorker;

// AudioCapture on a Qt Multimedia QAudioSource, in the input's preferred
// format, read on a capture thread of its own (started by start(), ended by
// stop()). The input's pieces (about 80-190 ms each) are gathered into
// 4096-frame buffers there.
class QtAudioCapture final : public AudioCapture
{
public:
    // The system's default input, looked up now.
    QtAudioCapture();
    explicit QtAudioCapture(const QAudioDevice& device);
    ~QtAudioCapture() override;

    AudioFormat format() const override { return m_format; }
    bool start() override;
    void pause() override;
    void stop() override;
    bool isRunning() const override;

private:
    enum class Phase { idle, running, paused, stopped };

    bool startThread();
    void endThread();
    // Runs `work` on the capture thread and waits for it.
    void runOnCaptureThread(const std::function<void()>& work);

    const QAudioDevice m_device;
    const QAudioFormat m_qtFormat;
    const AudioFormat m_format;
    QThread m_thread;
    QtCaptureWorker* m_worker = nullptr;   // lives on m_thread, deleted when it finishes
    Phase m_phase = Phase::idle;
    // Set on the capture thread when the input fails mid-capture; the text
    // is read only after m_failed was seen true.
    QString m_failure;
    std::atomic<bool> m_failed = false;
};
