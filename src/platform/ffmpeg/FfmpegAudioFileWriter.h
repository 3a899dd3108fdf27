#pragma once

#include <memory>

#include "platform/AudioFileWriter.h"

// Writes a slice as AAC (mono, 64 kb/s; stereo and wider input is downmixed)
// in an .m4a file.
//
// While open, the file is fragmented MP4 and every append ends a fragment
// that goes to disk at once, so a slice cut short by a crash still holds all
// the audio appended but the encoder's delay (one to two AAC frames, 64-128
// ms at 16 kHz). close() then rewrites it as a plain m4a with the index first (the
// form cloud services are sure to accept): into a temporary file beside it,
// which replaces the slice in one rename. When that rewrite fails, the
// fragmented file stays in place: still complete and readable.
//
// Each buffer is encoded on the thread that appends it (the capture thread):
// AAC at these rates runs 30-50 times faster than real time, so a 4096-frame
// buffer costs a few milliseconds, well inside the input's own buffering, and
// a write error is reported by the very append that met it. An encoder thread
// would add a queue and a second place for errors without making capture safer.
class FfmpegAudioFileWriter final : public AudioFileWriter
{
public:
    static constexpr int kBitRate = 64000;

    // Where close() writes the plain file before it replaces the slice.
    static QString remuxTempPath(const QString& path);
    // The samples of priming the encoder puts before the audio at this input
    // rate: what a fragmented file does not record.
    static int encoderDelay(int sampleRate);

    FfmpegAudioFileWriter();
    ~FfmpegAudioFileWriter() override;

    bool open(const QString& path, const AudioFormat& format) override;
    bool append(const AudioBuffer& buffer) override;
    bool close() override;
    QString errorString() const override { return m_error; }
    int failedAppends() const override { return m_failedAppends; }

private:
    enum class State { unopened, open, failed, closed };
    struct Encoder;

    bool finishFragmentedFile();
    bool replaceWithPlainFile();
    bool fail(const QString& what, int code);

    State m_state = State::unopened;
    QString m_path;
    AudioFormat m_format;
    std::unique_ptr<Encoder> m_encoder;
    QString m_error;
    int m_failedAppends = 0;
    int m_primingSamples = 0;
    bool m_closedComplete = false;
};
