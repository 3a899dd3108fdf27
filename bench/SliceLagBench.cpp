// How far a slice file lags the microphone: the audio that a process killed
// at that moment would lose. Two stages hold what was said and is not yet on
// disk: the capture (sound server and Qt's reads, then the recorder's
// 4096-frame buffers) and the slice writer (the AAC encoder's delay and what
// the file format keeps back until it writes it out). Each is measured on its
// own: the capture on a private sound server fed a rising tone in real time,
// the writer by decoding the file on disk after every append.
// Usage: slice_lag_bench [capture-seconds]
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ffmpeg/FfmpegAudioFileWriter.h"
#include "platform/qt/QtAudioCapture.h"
#include "support/DecodedAudio.h"
#include "support/PulseTestServer.h"
#include "support/RisingTone.h"
#include "support/TempHome.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

const AudioFormat kMicrophone{RisingTone::kRate, 1, AudioSampleFormat::int16};

double ms(qint64 frames) { return 1000.0 * double(frames) / RisingTone::kRate; }

// The feed frame that `pcm` starts at: the captured bytes are the fed ones,
// so the first match of its opening is where capture began.
std::optional<qint64> feedOffsetOf(const QByteArray& pcm, qint64 fedFrames)
{
    const int probe = 256;
    if (pcm.size() < probe * 2)
        return std::nullopt;
    const QByteArray fed = RisingTone::pcm(0, int(fedFrames) + probe);
    const qsizetype at = fed.indexOf(pcm.left(probe * 2));
    return at >= 0 && at % 2 == 0 ? std::optional<qint64>(at / 2) : std::nullopt;
}

// The capture stage: at each buffer's delivery, how far its last frame
// trails the feed, and so (one buffer more) the most that was captured but
// not yet handed to the writer.
void benchCapture(double seconds)
{
    TempHome home;
    PulseTestServer sound(home.path() + "/runtime");
    if (const QString error = sound.start(); !error.isEmpty()) {
        std::printf("  no sound server: %s\n", qPrintable(error));
        return;
    }
    sound.startFeeding(RisingTone::pcm);

    std::mutex mutex;
    QByteArray captured;
    std::vector<std::pair<qint64, qint64>> deliveries;   // (fed frames, captured frames) at each
    QtAudioCapture capture;
    capture.setBufferHandler([&](const AudioBuffer& buffer) {
        const qint64 fed = sound.framesFed();
        std::lock_guard lock(mutex);
        captured += buffer.data;
        deliveries.emplace_back(fed, captured.size() / 2);
    });
    if (!capture.start()) {
        std::printf("  capture failed: %s\n", qPrintable(capture.errorString()));
        return;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    capture.stop();
    sound.stopFeeding();

    std::lock_guard lock(mutex);
    const std::optional<qint64> start = feedOffsetOf(captured, sound.framesFed());
    if (!start || deliveries.size() < 2) {
        std::printf("  the captured audio is not the fed tone\n");
        return;
    }
    // The first delivery includes what queued up while the input opened.
    double sum = 0.0, longest = 0.0;
    for (size_t i = 1; i + 1 < deliveries.size(); ++i) {
        const double trail = ms(deliveries[i].first - (*start + deliveries[i].second));
        sum += trail;
        longest = std::max(longest, trail);
    }
    const double count = double(deliveries.size() - 2);
    std::printf("  sound server and Qt: a buffer's last frame trails the feed by %.0f ms on average, "
                "%.0f ms at most\n", sum / count, longest);
    std::printf("  + the recorder's %d-frame buffer: %.0f ms\n", AudioCapture::kBufferFrames,
                ms(AudioCapture::kBufferFrames));
    std::printf("  captured but not yet written: up to %.0f ms\n", longest + ms(AudioCapture::kBufferFrames));
}

// The writer stage: after each append, what of the appended audio a reader
// of the file on disk does not get yet.
void benchWriter(const QString& folder)
{
    const QString path = QDir(folder).filePath("slice.m4a");
    const QString copy = QDir(folder).filePath("as-killed.m4a");
    FfmpegAudioFileWriter writer;
    if (!writer.open(path, kMicrophone)) {
        std::printf("  open failed: %s\n", qPrintable(writer.errorString()));
        return;
    }
    double longest = 0.0, shortest = 1e9, sum = 0.0;
    int appends = 0;
    for (qint64 at = 0; at < 10 * RisingTone::kRate; at += AudioCapture::kBufferFrames) {
        writer.append(AudioBuffer{kMicrophone, RisingTone::pcm(at, AudioCapture::kBufferFrames)});
        const qint64 appended = at + AudioCapture::kBufferFrames;
        QFile::remove(copy);
        QFile::copy(path, copy);
        // The fragmented file starts with the encoder's priming samples.
        const DecodedAudio onDisk = DecodedAudio::decode(copy);
        const qint64 readable = std::max<qint64>(0, qint64(onDisk.samples.size()) - 1024);
        const double behind = ms(appended - readable);
        longest = std::max(longest, behind);
        shortest = std::min(shortest, behind);
        sum += behind;
        ++appends;
    }
    writer.close();
    std::printf("  appended but not readable on disk after an append: %.0f ms on average, %.0f to %.0f ms\n",
                sum / appends, shortest, longest);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    av_log_set_level(AV_LOG_QUIET);   // a torn last fragment is expected here
    QTemporaryDir folder;
    if (!folder.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }
    std::printf("Capture (16 kHz mono test microphone, %.0f s):\n", seconds);
    benchCapture(seconds);
    std::printf("\nSlice writer (16 kHz mono, 4096-frame appends, 10 s):\n");
    benchWriter(folder.path());
    return 0;
}
