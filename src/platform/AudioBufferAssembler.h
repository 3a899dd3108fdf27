#pragma once

#include <QByteArray>
#include <functional>

#include "platform/AudioCapture.h"

// Gathers the pieces an input hands over (any size, even split frames) into
// buffers of exactly `framesPerBuffer` frames, delivered as soon as each is
// full; flush() delivers the shorter remainder.
class AudioBufferAssembler
{
public:
    using Deliver = std::function<void(const AudioBuffer&)>;

    AudioBufferAssembler(const AudioFormat& format, int framesPerBuffer, Deliver deliver);

    void append(const char* data, qsizetype size);
    // Delivers the whole frames gathered so far, if any; a trailing partial
    // frame cannot be played and is dropped.
    void flush();

    qint64 pendingFrames() const;

private:
    void deliverPending(qsizetype bytes);

    const AudioFormat m_format;
    const qsizetype m_bufferBytes;
    const Deliver m_deliver;
    QByteArray m_pending;
};
