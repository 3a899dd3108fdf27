#include "support/ToneCapture.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

ToneCapture::ToneCapture(Options options)
    : m_options(std::move(options))
{
}

ToneCapture::~ToneCapture()
{
    stop();
}

namespace {

// Uniform in [-1, 1], a fixed function of the frame index (splitmix64).
double noiseAt(qint64 frame)
{
    quint64 z = quint64(frame) + 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    return double(z >> 11) / double(1ull << 52) - 1.0;
}

} // namespace

AudioBuffer ToneCapture::tone(const AudioFormat& format, const Signal& signal, qint64 firstFrame,
                              int frames)
{
    AudioBuffer buffer{format, QByteArray(qsizetype(frames) * format.bytesPerFrame(), Qt::Uninitialized)};
    char* out = buffer.data.data();
    for (int i = 0; i < frames; ++i) {
        const qint64 frame = firstFrame + i;
        double v = signal.amplitude
            * std::sin(2.0 * std::numbers::pi * signal.frequency * double(frame) / format.sampleRate);
        if (signal.noise > 0.0)
            v += signal.noise * noiseAt(frame);
        for (int c = 0; c < format.channelCount; ++c) {
            switch (format.sampleFormat) {
            case AudioSampleFormat::uint8:
                *out++ = char(quint8(std::lround(128.0 + v * 127.0)));
                break;
            case AudioSampleFormat::int16: {
                const qint16 s = qint16(std::lround(v * 32767.0));
                std::memcpy(out, &s, sizeof s);
                out += sizeof s;
                break;
            }
            case AudioSampleFormat::int32: {
                const qint32 s = qint32(std::llround(v * 2147483647.0));
                std::memcpy(out, &s, sizeof s);
                out += sizeof s;
                break;
            }
            case AudioSampleFormat::float32: {
                const float s = float(v);
                std::memcpy(out, &s, sizeof s);
                out += sizeof s;
                break;
            }
            case AudioSampleFormat::unknown:
                break;
            }
        }
    }
    return buffer;
}

bool ToneCapture::start()
{
    if (!m_options.startError.isEmpty()) {
        setErrorString(m_options.startError);
        return false;
    }
    std::unique_lock lock(m_mutex);
    switch (m_phase) {
    case Phase::running:
        return true;
    case Phase::paused:
        holdClock();
        m_phase = Phase::running;
        m_changed.notify_all();
        return true;
    case Phase::idle:
        m_resumedAt = Clock::now();
        m_phase = Phase::running;
        m_thread = std::thread([this] { run(); });
        m_captureThreadId = m_thread.get_id();
        return true;
    default:
        setErrorString(QStringLiteral("ToneCapture: already stopped"));
        return false;
    }
}

void ToneCapture::pause()
{
    std::unique_lock lock(m_mutex);
    if (m_phase != Phase::running)
        return;
    m_phase = Phase::pausing;
    m_changed.notify_all();
    m_changed.wait(lock, [this] { return m_phase != Phase::pausing; });
}

void ToneCapture::stop()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_phase == Phase::paused)
            holdClock();
        // A failure under way still ends with its report.
        if (m_phase != Phase::ended && m_phase != Phase::failing)
            m_phase = m_thread.joinable() ? Phase::stopping : Phase::ended;
        m_changed.notify_all();
    }
    if (m_thread.joinable())
        m_thread.join();
}

bool ToneCapture::isRunning() const
{
    std::lock_guard lock(m_mutex);
    return m_phase == Phase::running;
}

void ToneCapture::failWith(const QString& message)
{
    std::lock_guard lock(m_mutex);
    if (m_phase != Phase::running && m_phase != Phase::paused)
        return;
    if (m_phase == Phase::paused)
        holdClock();
    m_failure = message;
    m_phase = Phase::failing;
    m_changed.notify_all();
}

qint64 ToneCapture::framesDue() const
{
    const std::chrono::duration<double> heard = Clock::now() - m_resumedAt;
    return m_framesAtResume
        + qint64(heard.count() * m_options.speed * m_options.format.sampleRate);
}

void ToneCapture::holdClock()
{
    m_framesAtResume = m_framesDelivered;
    m_resumedAt = Clock::now();
}

void ToneCapture::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        const qint64 delivered = m_framesDelivered;
        const qint64 due = framesDue();
        if (m_phase == Phase::running && due >= delivered + kBufferFrames) {
            lock.unlock();
            deliverFrames(delivered, kBufferFrames);
            lock.lock();
            continue;
        }
        if (m_phase == Phase::running) {
            const double seconds = double(delivered + kBufferFrames - due)
                / (m_options.speed * m_options.format.sampleRate);
            m_changed.wait_for(lock, std::chrono::duration<double>(seconds));
            continue;
        }
        if (m_phase == Phase::paused) {
            m_changed.wait(lock);
            continue;
        }
        // Pausing, stopping or failing: hand on what is due, as an input
        // flushes its last short buffer.
        const int remainder = int(std::clamp<qint64>(due - delivered, 0, kBufferFrames - 1));
        const Phase phase = m_phase;
        const QString failure = m_failure;
        lock.unlock();
        if (remainder > 0)
            deliverFrames(delivered, remainder);
        if (phase == Phase::failing)
            reportFailure(failure);
        lock.lock();
        if (phase != Phase::pausing)
            m_phase = Phase::ended;
        else if (m_phase == Phase::pausing)
            m_phase = Phase::paused;
        m_changed.notify_all();
        if (m_phase == Phase::ended)
            return;
    }
}

void ToneCapture::deliverFrames(qint64 firstFrame, int frames)
{
    deliver(tone(m_options.format, m_options.signal, firstFrame, frames));
    m_framesDelivered += frames;
    ++m_buffersDelivered;
}
