#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

// Sample encodings a microphone input can deliver (interleaved PCM).
enum class AudioSampleFormat { unknown, uint8, int16, int32, float32 };

// A PCM stream format: the microphone input's own, and what a slice file is
// opened for.
struct AudioFormat
{
    int sampleRate = 0;
    int channelCount = 0;
    AudioSampleFormat sampleFormat = AudioSampleFormat::unknown;

    bool isValid() const;
    int bytesPerSample() const;
    int bytesPerFrame() const;
    double secondsFor(qint64 frames) const;
    // "16000 Hz, 1 ch, int16"
    QString description() const;

    bool operator==(const AudioFormat&) const = default;
};

// One captured buffer: interleaved PCM frames in `format`. The data is
// implicitly shared, so handing a buffer on copies no samples.
struct AudioBuffer
{
    AudioFormat format;
    QByteArray data;

    int frameCount() const;
};

// The microphone: delivers the default input's audio, in the input's own
// format, as buffers of exactly kBufferFrames frames (the last one, delivered
// by pause() or stop(), may be shorter so that nothing captured is lost).
//
// One object serves one recording: make a new one per recording through an
// AudioCaptureFactory. Control it (start, pause, stop) from one thread, never
// from inside a handler: the handlers run on the capture thread.
class AudioCapture
{
public:
    static constexpr int kBufferFrames = 4096;

    using BufferHandler = std::function<void(const AudioBuffer&)>;
    using FailureHandler = std::function<void(const QString& message)>;

    virtual ~AudioCapture();
    AudioCapture(const AudioCapture&) = delete;
    AudioCapture& operator=(const AudioCapture&) = delete;

    // The input's own format; known before start(). Invalid when there is no
    // input device (start() then fails and says so).
    virtual AudioFormat format() const = 0;

    // Set both before start(). The buffer handler receives every buffer on
    // the capture thread; the failure handler is called there once when the
    // input fails mid-capture (capture has then ended, isRunning() is false,
    // and everything captured before the failure has been delivered).
    void setBufferHandler(BufferHandler handler) { m_onBuffer = std::move(handler); }
    void setFailureHandler(FailureHandler handler) { m_onFailure = std::move(handler); }

    // Starts capturing, or resumes after pause(). Returns false with
    // errorString() set when the input cannot be opened, has failed, or the
    // capture was stopped; nothing runs then.
    virtual bool start() = 0;
    // Delivers the frames captured so far, then captures nothing until the
    // next start(). Returns after the last delivery.
    virtual void pause() = 0;
    // Delivers the frames captured so far and ends capture for good. Returns
    // after the last delivery; no handler runs afterwards.
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;

    // Why the last start() failed.
    QString errorString() const { return m_errorString; }

protected:
    AudioCapture() = default;

    void deliver(const AudioBuffer& buffer) const;
    void reportFailure(const QString& message) const;
    void setErrorString(const QString& text) { m_errorString = text; }

private:
    BufferHandler m_onBuffer;
    FailureHandler m_onFailure;
    QString m_errorString;
};

// Makes the capture of one recording.
using AudioCaptureFactory = std::function<std::unique_ptr<AudioCapture>()>;
