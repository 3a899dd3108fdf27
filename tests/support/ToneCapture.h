#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/AudioCapture.h"

// A microphone that plays a sine tone (optionally over a noise floor, as a
// real microphone hisses): 4096-frame buffers in a chosen format,
// delivered on a thread of its own at real time or a multiple of it. pause()
// and stop() deliver the frames due since the last full buffer, as a real
// input would. Start failures and mid-capture failures can be staged.
class ToneCapture final : public AudioCapture
{
public:
    struct Signal
    {
        double frequency = 440.0;
        double amplitude = 0.5;      // of full scale
        double noise = 0.0;          // peak of a white noise floor, of full scale
    };

    struct Options
    {
        AudioFormat format{16000, 1, AudioSampleFormat::int16};
        Signal signal;
        double speed = 1.0;          // multiple of real time
        QString startError;          // when set, start() fails with this text
    };

    explicit ToneCapture(Options options);
    ToneCapture() : ToneCapture(Options{}) {}
    ~ToneCapture() override;

    // Frames [firstFrame, firstFrame + frames) of the signal, the same in
    // every channel: exactly what a ToneCapture with these settings delivers
    // there, however the frames are cut into buffers.
    static AudioBuffer tone(const AudioFormat& format, const Signal& signal, qint64 firstFrame,
                            int frames);

    AudioFormat format() const override { return m_options.format; }
    bool start() override;
    void pause() override;
    void stop() override;
    bool isRunning() const override;

    // Ends capture the way a failing input does: the capture thread delivers
    // the frames due, then reports `message` through the failure handler.
    void failWith(const QString& message);

    qint64 framesDelivered() const { return m_framesDelivered; }
    int buffersDelivered() const { return m_buffersDelivered; }
    // The thread that delivered (kept after stop()).
    std::thread::id captureThreadId() const { return m_captureThreadId; }

private:
    enum class Phase { idle, running, pausing, paused, stopping, failing, ended };
    using Clock = std::chrono::steady_clock;

    void run();
    // Frames the input has "heard" by now; call with m_mutex held.
    qint64 framesDue() const;
    // Restarts the count of heard frames from those delivered (time spent
    // paused is not heard); call with m_mutex held.
    void holdClock();
    void deliverFrames(qint64 firstFrame, int frames);

    const Options m_options;
    std::thread m_thread;
    std::thread::id m_captureThreadId;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    Phase m_phase = Phase::idle;
    QString m_failure;
    Clock::time_point m_resumedAt;
    qint64 m_framesAtResume = 0;
    std::atomic<qint64> m_framesDelivered = 0;
    std::atomic<int> m_buffersDelivered = 0;
};
