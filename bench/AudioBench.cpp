// Slice audio benchmark: how fast the slice writer encodes speech, and how long
// the capture thread can be kept waiting by the swap of one slice writer for
// the next, in a stand-in and in the recorder itself.
// Usage: audio_bench [seconds-per-slice] [slices] [speed]
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ffmpeg/FfmpegAudioFileWriter.h"
#include "session/AudioRecorder.h"
#include "store/DatabaseManager.h"
#include "store/Logger.h"
#include "store/RecordId.h"
#include "store/RecordingFileManager.h"
#include "support/DecodedAudio.h"
#include "support/SharedCapture.h"
#include "support/TempHome.h"
#include "support/ToneCapture.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using Clock = std::chrono::steady_clock;

// For the hand-off only, where the capture's pace matters, not what it hears.
const ToneCapture::Signal kSignal{220.0, 0.4, 0.05};

struct NamedFormat
{
    const char* name;
    AudioFormat format;
};

const NamedFormat kFormats[] = {
    {"16 kHz mono int16", {16000, 1, AudioSampleFormat::int16}},
    {"48 kHz stereo float", {48000, 2, AudioSampleFormat::float32}},
};

double threadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// `seconds` of the recorded speech, looped, in `format`: resampled from its
// own rate by linear interpolation, the same in every channel.
std::vector<AudioBuffer> speechBuffers(const DecodedAudio& speech, const AudioFormat& format,
                                       double seconds)
{
    std::vector<AudioBuffer> buffers;
    const qint64 frames = qint64(seconds * format.sampleRate);
    const double step = double(speech.sampleRate) / format.sampleRate;
    const qsizetype length = qsizetype(speech.samples.size());
    const auto sampleAt = [&](qint64 frame) {
        const double at = std::fmod(double(frame) * step, double(length));
        const qsizetype before = qsizetype(at);
        const double weight = at - double(before);
        return float((1.0 - weight) * speech.samples[before] + weight * speech.samples[(before + 1) % length]);
    };
    for (qint64 first = 0; first < frames; first += AudioCapture::kBufferFrames) {
        const int count = int(std::min<qint64>(AudioCapture::kBufferFrames, frames - first));
        AudioBuffer buffer{format, QByteArray(count * format.bytesPerFrame(), Qt::Uninitialized)};
        for (int i = 0; i < count; ++i) {
            const float value = sampleAt(first + i);
            for (int channel = 0; channel < format.channelCount; ++channel) {
                const int at = i * format.channelCount + channel;
                if (format.sampleFormat == AudioSampleFormat::float32)
                    reinterpret_cast<float*>(buffer.data.data())[at] = value;
                else
                    reinterpret_cast<qint16*>(buffer.data.data())[at] =
                        qint16(std::clamp(value, -1.0f, 1.0f) * 32767.0f);
            }
        }
        buffers.push_back(std::move(buffer));
    }
    return buffers;
}

// Seconds of audio encoded per second of CPU on the appending thread, the
// costliest single append, and the wall time of close() (flush and remux).
void benchEncoding(const NamedFormat& named, const DecodedAudio& speech, const QString& folder)
{
    const double seconds = 120.0;
    const std::vector<AudioBuffer> buffers = speechBuffers(speech, named.format, seconds);
    FfmpegAudioFileWriter writer;
    if (!writer.open(QDir(folder).filePath("encode.m4a"), named.format)) {
        std::printf("  %-20s open failed: %s\n", named.name, qPrintable(writer.errorString()));
        return;
    }
    double longestAppendMs = 0.0;
    const double cpuStart = threadCpuSeconds();
    for (const AudioBuffer& buffer : buffers) {
        const Clock::time_point start = Clock::now();
        writer.append(buffer);
        longestAppendMs = std::max(longestAppendMs, millisecondsSince(start));
    }
    const double cpu = threadCpuSeconds() - cpuStart;
    const Clock::time_point closing = Clock::now();
    const bool closed = writer.close();
    const double closeMs = millisecondsSince(closing);
    const double audio = named.format.secondsFor(qint64(buffers.size()) * AudioCapture::kBufferFrames);
    std::printf("  %-20s %6.1f s audio per CPU s   longest append %5.2f ms   close (%.0f s slice) %6.1f ms%s\n",
                named.name, audio / cpu, longestAppendMs, audio, closeMs, closed ? "" : "  CLOSE FAILED");
}

struct GuardResult
{
    double longestWaitMs = 0.0;     // capture thread, waiting for the guard
    double longestAppendMs = 0.0;   // capture thread, holding it for one buffer
    double longestSwapMs = 0.0;     // swapping thread, holding it
    int buffers = 0;
    int failedAppends = 0;
    int swaps = 0;
};

// A capture thread appends every buffer under the guard while this thread
// swaps in the next slice's writer every `sliceSeconds`, as the recorder
// does; with `closeUnderGuard` the old writer is closed while still holding
// the guard, else right after releasing it.
GuardResult benchGuard(const AudioFormat& format, double sliceSeconds, int slices, double speed,
                       bool closeUnderGuard, const QString& folder)
{
    std::mutex guard;
    std::unique_ptr<AudioFileWriter> current;
    GuardResult result;
    int sliceNumber = 0;
    const auto openNext = [&] {
        auto writer = std::make_unique<FfmpegAudioFileWriter>();
        writer->open(QDir(folder).filePath(QString("slice_%1.m4a").arg(++sliceNumber, 3, 10, QChar('0'))),
                     format);
        return writer;
    };
    current = openNext();

    ToneCapture::Options options;
    options.format = format;
    options.signal = kSignal;
    options.speed = speed;
    ToneCapture capture(options);
    capture.setBufferHandler([&](const AudioBuffer& buffer) {
        const Clock::time_point asked = Clock::now();
        std::lock_guard lock(guard);
        const Clock::time_point got = Clock::now();
        if (current && !current->append(buffer))
            ++result.failedAppends;
        result.longestWaitMs = std::max(result.longestWaitMs,
                                        std::chrono::duration<double, std::milli>(got - asked).count());
        result.longestAppendMs = std::max(result.longestAppendMs, millisecondsSince(got));
        ++result.buffers;
    });
    capture.start();

    const auto sliceWall = std::chrono::duration<double>(sliceSeconds / speed);
    for (int i = 1; i < slices; ++i) {
        std::this_thread::sleep_for(sliceWall);
        std::unique_ptr<AudioFileWriter> next = openNext();   // opened before taking the guard
        const Clock::time_point start = Clock::now();
        std::unique_ptr<AudioFileWriter> old;
        {
            std::lock_guard lock(guard);
            old = std::exchange(current, std::move(next));
            if (closeUnderGuard)
                old->close();
        }
        result.longestSwapMs = std::max(result.longestSwapMs, millisecondsSince(start));
        old->close();
        ++result.swaps;
    }
    std::this_thread::sleep_for(sliceWall);
    capture.stop();
    std::lock_guard lock(guard);
    current->close();
    return result;
}

// The slice writer, timing each append on the capture thread.
class TimedWriter final : public AudioFileWriter
{
public:
    // How long the capture thread's latest append took; read and reset
    // there after each buffer.
    static thread_local double lastAppendMs;

    bool open(const QString& path, const AudioFormat& format) override { return m_writer.open(path, format); }
    bool append(const AudioBuffer& buffer) override
    {
        const Clock::time_point start = Clock::now();
        const bool appended = m_writer.append(buffer);
        lastAppendMs = millisecondsSince(start);
        return appended;
    }
    bool close() override { return m_writer.close(); }
    QString errorString() const override { return m_writer.errorString(); }
    int failedAppends() const override { return m_writer.failedAppends(); }

private:
    FfmpegAudioFileWriter m_writer;
};

thread_local double TimedWriter::lastAppendMs = 0.0;

struct RecorderResult
{
    double longestWaitMs = 0.0;     // capture thread, in the recorder's handler but not appending
    double longestAppendMs = 0.0;
    int buffers = 0;
    int slices = 0;
};

// The recorder itself, on the real writer and a store in a temporary home,
// sealing a slice every `sliceSeconds` of audio.
RecorderResult benchRecorder(const AudioFormat& format, double sliceSeconds, int slices, double speed)
{
    TempHome home;
    RecordingFileManager files;
    DatabaseManager db(files.baseDirectory());
    Logger logger(files.logsDirectory());
    RecorderResult result;

    ToneCapture::Options options;
    options.format = format;
    options.signal = kSignal;
    options.speed = speed;
    const auto makeCapture = [&] {
        return std::make_unique<SharedCapture>(std::make_shared<ToneCapture>(options),
                                               [&](std::chrono::nanoseconds handler) {
            const double handlerMs = std::chrono::duration<double, std::milli>(handler).count();
            result.longestWaitMs = std::max(result.longestWaitMs, handlerMs - TimedWriter::lastAppendMs);
            result.longestAppendMs = std::max(result.longestAppendMs, TimedWriter::lastAppendMs);
            TimedWriter::lastAppendMs = 0.0;
            ++result.buffers;
        });
    };
    AudioRecorder recorder(files, db, logger, makeCapture, [] { return std::make_unique<TimedWriter>(); });
    recorder.sliceDuration = sliceSeconds / speed;
    recorder.onSliceReady = [&](const Slice&) { ++result.slices; };
    if (const auto failure = recorder.start(newRecordId(), QStringLiteral("local"))) {
        std::printf("  recorder failed to start: %s\n", qPrintable(*failure));
        return result;
    }
    QEventLoop loop;
    QTimer::singleShot(std::chrono::milliseconds(qint64(slices * recorder.sliceDuration * 1000.0)), [&] {
        recorder.stop();
        loop.quit();
    });
    loop.exec();
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const double sliceSeconds = argc > 1 ? std::atof(argv[1]) : 30.0;
    const int slices = argc > 2 ? std::atoi(argv[2]) : 4;
    const double speed = argc > 3 ? std::atof(argv[3]) : 20.0;
    av_log_set_level(AV_LOG_ERROR);   // keep FFmpeg's per-file notes out of the table
    QTemporaryDir folder;
    if (!folder.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }

    const DecodedAudio speech = DecodedAudio::decode(QStringLiteral(TALVEX_TEST_AUDIO));
    if (!speech.error.isEmpty() || speech.samples.empty()) {
        std::fprintf(stderr, "cannot decode the speech sample: %s\n", qPrintable(speech.error));
        return 1;
    }
    std::printf("Slice writer encoding speed (AAC mono %d kb/s, one thread, 120 s of speech:"
                " a %.1f s recording looped):\n",
                FfmpegAudioFileWriter::kBitRate / 1000, speech.seconds());
    for (const NamedFormat& named : kFormats)
        benchEncoding(named, speech, folder.path());

    std::printf("\nWriter guard: %d slices of %.0f s, capture at %.0fx real time, a swap per slice\n",
                slices, sliceSeconds, speed);
    for (const NamedFormat& named : kFormats) {
        for (const bool closeUnderGuard : {true, false}) {
            const GuardResult r = benchGuard(named.format, sliceSeconds, slices, speed,
                                             closeUnderGuard, folder.path());
            std::printf("  %-20s close %-14s longest capture wait %6.2f ms   longest swap hold %6.2f ms"
                        "   longest append %5.2f ms   (%d buffers, %d swaps, %d failed)\n",
                        named.name, closeUnderGuard ? "under guard" : "after release",
                        r.longestWaitMs, r.longestSwapMs, r.longestAppendMs, r.buffers, r.swaps,
                        r.failedAppends);
        }
    }

    std::printf("\nRecorder hand-off: the same slices through AudioRecorder and its writer guard\n");
    for (const NamedFormat& named : kFormats) {
        const RecorderResult r = benchRecorder(named.format, sliceSeconds, slices, speed);
        std::printf("  %-20s longest capture wait %6.2f ms   longest append %5.2f ms   (%d buffers, %d slices)\n",
                    named.name, r.longestWaitMs, r.longestAppendMs, r.buffers, r.slices);
    }
    return 0;
}
