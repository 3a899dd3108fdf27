#include "platform/qt/QtAudioFormat.h"

AudioFormat toAudioFormat(const QAudioFormat& format)
{
    AudioSampleFormat sample = AudioSampleFormat::unknown;
    switch (format.sampleFormat()) {
    case QAudioFormat::UInt8: sample = AudioSampleFormat::uint8; break;
    case QAudioFormat::Int16: sample = AudioSampleFormat::int16; break;
    case QAudioFormat::Int32: sample = AudioSampleFormat::int32; break;
    case QAudioFormat::Float: sample = AudioSampleFormat::float32; break;
    default: break;
    }
    return {format.sampleRate(), format.channelCount(), sample};
}
