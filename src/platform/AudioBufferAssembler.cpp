#include "platform/AudioBufferAssembler.h"

#include <algorithm>

AudioBufferAssembler::AudioBufferAssembler(const AudioFormat& format, int framesPerBuffer,
                                           Deliver deliver)
    : m_format(format)
    , m_bufferBytes(qsizetype(framesPerBuffer) * format.bytesPerFrame())
    , m_deliver(std::move(deliver))
{
    m_pending.reserve(m_bufferBytes);
}

void AudioBufferAssembler::append(const char* data, qsizetype size)
{
    if (m_bufferBytes <= 0)
        return;
    while (size > 0) {
        const qsizetype take = std::min(size, m_bufferBytes - m_pending.size());
        m_pending.append(data, take);
        data += take;
        size -= take;
        if (m_pending.size() == m_bufferBytes)
            deliverPending(m_bufferBytes);
    }
}

void AudioBufferAssembler::flush()
{
    const qsizetype frameBytes = m_format.bytesPerFrame();
    const qsizetype whole = frameBytes > 0 ? m_pending.size() / frameBytes * frameBytes : 0;
    if (whole > 0)
        deliverPending(whole);
    m_pending.clear();
}

qint64 AudioBufferAssembler::pendingFrames() const
{
    const int frameBytes = m_format.bytesPerFrame();
    return frameBytes > 0 ? m_pending.size() / frameBytes : 0;
}

void AudioBufferAssembler::deliverPending(qsizetype bytes)
{
    // The delivered buffer keeps its own bytes: a receiver may hold on to it.
    AudioBuffer buffer{m_format, m_pending.left(bytes)};
    m_pending = QByteArray();
    m_pending.reserve(m_bufferBytes);
    m_deliver(buffer);
}
