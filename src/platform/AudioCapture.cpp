#include "platform/AudioCapture.h"

bool AudioFormat::isValid() const
{
    return sampleRate > 0 && channelCount > 0 && sampleFormat != AudioSampleFormat::unknown;
}

int AudioFormat::bytesPerSample() const
{
    switch (sampleFormat) {
    case AudioSampleFormat::uint8: return 1;
    case AudioSampleFormat::int16: return 2;
    case AudioSampleFormat::int32:
    case AudioSampleFormat::float32: return 4;
    case AudioSampleFormat::unknown: break;
    }
    return 0;
}

int AudioFormat::bytesPerFrame() const
{
    return bytesPerSample() * channelCount;
}

double AudioFormat::secondsFor(qint64 frames) const
{
    return sampleRate > 0 ? double(frames) / sampleRate : 0.0;
}

QString AudioFormat::description() const
{
    const char* sample = "unknown";
    switch (sampleFormat) {
    case AudioSampleFormat::uint8: sample = "uint8"; break;
    case AudioSampleFormat::int16: sample = "int16"; break;
    case AudioSampleFormat::int32: sample = "int32"; break;
    case AudioSampleFormat::float32: sample = "float32"; break;
    case AudioSampleFormat::unknown: break;
    }
    return QStringLiteral("%1 Hz, %2 ch, %3").arg(sampleRate).arg(channelCount).arg(sample);
}

int AudioBuffer::frameCount() const
{
    const int frameBytes = format.bytesPerFrame();
    return frameBytes > 0 ? int(data.size() / frameBytes) : 0;
}

AudioCapture::~AudioCapture() = default;

void AudioCapture::deliver(const AudioBuffer& buffer) const
{
    if (m_onBuffer)
        m_onBuffer(buffer);
}

void AudioCapture::reportFailure(const QString& message) const
{
    if (m_onFailure)
        m_onFailure(message);
}
