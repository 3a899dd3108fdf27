#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "support/Mp4Boxes.h"
#include "platform/ffmpeg/FfmpegAudioFileWriter.h"
#include "support/DecodedAudio.h"
#include "support/ScopedUmask.h"
#include "support/ToneCapture.h"

namespace {

// A tone over a faint hiss: the hiss makes the encoder spend its bit rate
// as it does on speech.
const ToneCapture::Signal kSignal{440.0, 0.5, 0.05};

// Appends `frames` frames of the tone in capture-sized buffers (the last one
// shorter), as a capture would; returns how many appends failed.
int appendTone(AudioFileWriter& writer, const AudioFormat& format, qint64 frames, qint64 firstFrame = 0)
{
    int failed = 0;
    for (qint64 at = firstFrame; at < firstFrame + frames; at += AudioCapture::kBufferFrames) {
        const int size = int(std::min<qint64>(AudioCapture::kBufferFrames, firstFrame + frames - at));
        if (!writer.append(ToneCapture::tone(format, kSignal, at, size)))
            ++failed;
    }
    return failed;
}

qint64 framesFor(const AudioFormat& format, double seconds)
{
    return qint64(seconds * format.sampleRate);
}

double bufferSeconds(const AudioFormat& format)
{
    return format.secondsFor(AudioCapture::kBufferFrames);
}

void expectPlainM4a(const QString& path)
{
    const QStringList boxes = topLevelMp4Boxes(path);
    EXPECT_EQ(boxes.value(0), "ftyp") << boxes.join(' ').toStdString();
    EXPECT_GE(boxes.indexOf("moov"), 0) << boxes.join(' ').toStdString();
    EXPECT_LT(boxes.indexOf("moov"), boxes.indexOf("mdat")) << boxes.join(' ').toStdString();
    EXPECT_FALSE(boxes.contains("moof")) << boxes.join(' ').toStdString();
}

struct FormatCase
{
    const char* name;
    AudioFormat format;
    int encodedRate;   // what the AAC stream runs at
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const FormatCase& c, std::ostream* out)
{
    *out << c.name;
}

class FfmpegAudioFileWriterFormats : public testing::TestWithParam<FormatCase>
{
};

} // namespace

TEST_P(FfmpegAudioFileWriterFormats, ClosedSliceIsAPlainAacM4aOfTheAppendedAudio)
{
    const FormatCase& c = GetParam();
    QTemporaryDir dir;
    const QString path = dir.filePath("slice.m4a");
    const double seconds = 10.3;

    FfmpegAudioFileWriter writer;
    ASSERT_TRUE(writer.open(path, c.format)) << writer.errorString().toStdString();
    EXPECT_EQ(appendTone(writer, c.format, framesFor(c.format, seconds)), 0);
    ASSERT_TRUE(writer.close()) << writer.errorString().toStdString();
    EXPECT_EQ(writer.failedAppends(), 0);
    EXPECT_TRUE(writer.errorString().isEmpty());
    EXPECT_FALSE(QFile::exists(FfmpegAudioFileWriter::remuxTempPath(path)));

    expectPlainM4a(path);
    const DecodedAudio decoded = DecodedAudio::decode(path);
    ASSERT_TRUE(decoded.error.isEmpty()) << decoded.error.toStdString();
    EXPECT_TRUE(decoded.containerNames.contains("m4a"));
    EXPECT_EQ(decoded.codecName, "aac");
    EXPECT_EQ(decoded.channelCount, 1);
    EXPECT_EQ(decoded.sampleRate, c.encodedRate);
    EXPECT_NEAR(decoded.seconds(), seconds, bufferSeconds(c.format));
    // The samples were read in their own format (and stereo downmixed), not
    // as noise: the tone comes back at its pitch and about its level.
    EXPECT_GT(decoded.powerShareAt(kSignal.frequency), 0.9);
    EXPECT_NEAR(decoded.rms(), kSignal.amplitude / std::sqrt(2.0), 0.03);

    const double kilobytesPerSecond = QFileInfo(path).size() / 1000.0 / seconds;
    EXPECT_GE(kilobytesPerSecond, 7.8);
    EXPECT_LE(kilobytesPerSecond, 9.3);
}

// A process killed while recording loses only what the writer still holds:
// every append must reach the disk at once, bar the frames the AAC encoder
// keeps back to look ahead (two of its 1024-sample frames).
TEST_P(FfmpegAudioFileWriterFormats, EveryAppendIsOnDiskAtOnceButTheEncodersLookAhead)
{
    const FormatCase& c = GetParam();
    QTemporaryDir dir;
    const QString path = dir.filePath("slice.m4a");
    const QString killed = dir.filePath("killed.m4a");
    FfmpegAudioFileWriter writer;
    ASSERT_TRUE(writer.open(path, c.format)) << writer.errorString().toStdString();

    const double lookAhead = 2 * 1024.0 / c.encodedRate;
    const qint64 appends = framesFor(c.format, 3.0) / AudioCapture::kBufferFrames;
    for (qint64 i = 0; i < appends; ++i) {
        ASSERT_TRUE(writer.append(
            ToneCapture::tone(c.format, kSignal, i * AudioCapture::kBufferFrames, AudioCapture::kBufferFrames)));
        QFile::remove(killed);
        ASSERT_TRUE(QFile::copy(path, killed));
        // The fragmented file also plays the encoder's priming frame first.
        const double onDisk = DecodedAudio::decode(killed).seconds();
        const double appended = (i + 1) * bufferSeconds(c.format);
        EXPECT_GE(onDisk, appended - lookAhead - 0.005) << "after append " << i + 1;
        EXPECT_LE(onDisk, appended + 1024.0 / c.encodedRate) << "after append " << i + 1;
    }
}

INSTANTIATE_TEST_SUITE_P(
    CaptureFormats, FfmpegAudioFileWriterFormats,
    testing::Values(FormatCase{"Mono16kInt16", {16000, 1, AudioSampleFormat::int16}, 16000},
                    FormatCase{"Stereo48kFloat", {48000, 2, AudioSampleFormat::float32}, 48000},
                    FormatCase{"Stereo44kInt32", {44100, 2, AudioSampleFormat::int32}, 44100},
                    FormatCase{"Mono192kUInt8ResampledTo48k", {192000, 1, AudioSampleFormat::uint8}, 48000}),
    [](const testing::TestParamInfo<FormatCase>& info) { return std::string(info.param.name); });

TEST(FfmpegAudioFileWriter, SliceCutShortStillDecodesUpToItsLastFragment)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("slice.m4a");
    const AudioFormat format{16000, 1, AudioSampleFormat::int16};
    const double appended = 5.5;
    FfmpegAudioFileWriter writer;
    ASSERT_TRUE(writer.open(path, format)) << writer.errorString().toStdString();
    ASSERT_EQ(appendTone(writer, format, framesFor(format, appended)), 0);

    // What a crash at this moment leaves on disk.
    const QString crashed = dir.filePath("crashed.m4a");
    ASSERT_TRUE(QFile::copy(path, crashed));
    EXPECT_TRUE(topLevelMp4Boxes(crashed).contains("moof"));
    const DecodedAudio survived = DecodedAudio::decode(crashed);
    ASSERT_TRUE(survived.error.isEmpty()) << survived.error.toStdString();
    EXPECT_EQ(survived.codecName, "aac");
    // Every append's fragment is on disk.
    EXPECT_GE(survived.seconds(), appended - 1.0 - bufferSeconds(format));
    EXPECT_LE(survived.seconds(), appended);
    EXPECT_GT(survived.powerShareAt(kSignal.frequency), 0.9);

    // A crash in the middle of writing a fragment: the earlier ones still play.
    const QString torn = dir.filePath("torn.m4a");
    ASSERT_TRUE(QFile::copy(crashed, torn));
    ASSERT_TRUE(QFile(torn).resize(QFileInfo(torn).size() - 2000));
    const DecodedAudio partial = DecodedAudio::decode(torn);
    ASSERT_TRUE(partial.error.isEmpty()) << partial.error.toStdString();
    EXPECT_GE(partial.seconds(), survived.seconds() - 1.0 - bufferSeconds(format));
    EXPECT_LT(partial.seconds(), survived.seconds());

    ASSERT_TRUE(writer.close()) << writer.errorString().toStdString();
    EXPECT_NEAR(DecodedAudio::decode(path).seconds(), appended, bufferSeconds(format));
}

TEST(FfmpegAudioFileWriter, ReleasingAnOpenWriterLeavesAFinishedFile)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("slice.m4a");
    const AudioFormat format{48000, 2, AudioSampleFormat::float32};
    {
        std::unique_ptr<AudioFileWriter> writer = std::make_unique<FfmpegAudioFileWriter>();
        ASSERT_TRUE(writer->open(path, format)) << writer->errorString().toStdString();
        appendTone(*writer, format, framesFor(format, 2.0));
    }
    expectPlainM4a(path);
    EXPECT_NEAR(DecodedAudio::decode(path).seconds(), 2.0, bufferSeconds(format));
}

// A slice is what the user said: no other user may read it, while it is
// written nor after the rewrite at its close.
TEST(FfmpegAudioFileWriter, SliceFileIsTheUsersAloneFromItsFirstByte)
{
    const ScopedUmask usual(022);
    QTemporaryDir dir;
    const QString path = dir.filePath("slice.m4a");
    const AudioFormat format{16000, 1, AudioSampleFormat::int16};
    FfmpegAudioFileWriter writer;
    ASSERT_TRUE(writer.open(path, format)) << writer.errorString().toStdString();
    EXPECT_EQ(permissionBits(path), 0600) << "while recording";
    appendTone(writer, format, framesFor(format, 1.0));
    ASSERT_TRUE(writer.close()) << writer.errorString().toStdString();
    expectPlainM4a(path);
    EXPECT_EQ(permissionBits(path), 0600) << "after the rewrite";
}

TEST(FfmpegAudioFileWriter, SlicesShorterThanOneAacFrameStillCloseIntoReadableFiles)
{
    // A stop straight after a start seals a slice of a few frames, or none.
    QTemporaryDir dir;
    const AudioFormat format{16000, 1, AudioSampleFormat::int16};
    for (const int frames : {0, 1, 500}) {
        SCOPED_TRACE(frames);
        const QString path = dir.filePath(QString("slice-%1.m4a").arg(frames));
        FfmpegAudioFileWriter writer;
        ASSERT_TRUE(writer.open(path, format)) << writer.errorString().toStdString();
        appendTone(writer, format, frames);
        ASSERT_TRUE(writer.close()) << writer.errorString().toStdString();
        expectPlainM4a(path);
        const DecodedAudio decoded = DecodedAudio::decode(path);
        EXPECT_TRUE(decoded.error.isEmpty()) << decoded.error.toStdString();
        EXPECT_EQ(decoded.codecName, "aac");
        EXPECT_LE(decoded.seconds(), bufferSeconds(format));
    }
}

TEST(FfmpegAudioFileWriter, OpenFailsWithAClearErrorAndTheWriterRefusesAudio)
{
    QTemporaryDir dir;
    const AudioFormat good{16000, 1, AudioSampleFormat::int16};
    const struct
    {
        const char* name;
        QString path;
        AudioFormat format;
        const char* mentions;
    } cases[] = {
        {"missing folder", dir.filePath("no/such/folder/slice.m4a"), good, "No such file or directory"},
        {"path is a folder", dir.path(), good, "Is a directory"},
        {"no input format", dir.filePath("slice.m4a"), AudioFormat{}, "unusable audio format (0 Hz, 0 ch, unknown)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FfmpegAudioFileWriter writer;
        EXPECT_FALSE(writer.open(c.path, c.format));
        EXPECT_TRUE(writer.errorString().contains(c.path)) << writer.errorString().toStdString();
        EXPECT_TRUE(writer.errorString().contains(c.mentions)) << writer.errorString().toStdString();
        EXPECT_FALSE(writer.append(ToneCapture::tone(good, kSignal, 0, 4096)));
        EXPECT_EQ(writer.failedAppends(), 1);
        EXPECT_FALSE(writer.close());
    }
    EXPECT_FALSE(QFile::exists(dir.filePath("slice.m4a")));
}

TEST(FfmpegAudioFileWriter, AWriteErrorMidSliceIsReportedByEveryLaterAppend)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("slice.m4a");
    const AudioFormat format{16000, 1, AudioSampleFormat::int16};
    // The disk "fills up" at 20 kB: about two seconds fit.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = 20000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);

    FfmpegAudioFileWriter writer;
    const bool opened = writer.open(path, format);
    std::vector<bool> results;
    for (qint64 at = 0; opened && at < framesFor(format, 6.0); at += AudioCapture::kBufferFrames)
        results.push_back(writer.append(ToneCapture::tone(format, kSignal, at, AudioCapture::kBufferFrames)));
    const bool closed = writer.close();
    setrlimit(RLIMIT_FSIZE, &saved);

    ASSERT_TRUE(opened) << writer.errorString().toStdString();
    const auto firstFailure = std::find(results.begin(), results.end(), false);
    ASSERT_NE(firstFailure, results.end()) << "the write error was not reported";
    EXPECT_GT(firstFailure - results.begin(), 4) << "the first fragments fit";
    EXPECT_TRUE(std::all_of(firstFailure, results.end(), [](bool ok) { return !ok; }));
    EXPECT_EQ(writer.failedAppends(), results.end() - firstFailure);
    EXPECT_TRUE(writer.errorString().contains(path)) << writer.errorString().toStdString();
    EXPECT_TRUE(writer.errorString().contains("File too large")) << writer.errorString().toStdString();
    EXPECT_FALSE(closed);
    // What reached the disk before the error is still a readable slice.
    const DecodedAudio kept = DecodedAudio::decode(path);
    EXPECT_TRUE(kept.error.isEmpty()) << kept.error.toStdString();
    EXPECT_GE(kept.seconds(), 1.0);
}

TEST(FfmpegAudioFileWriter, AFailedRemuxKeepsTheCompleteFragmentedFile)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("slice.m4a");
    const AudioFormat format{16000, 1, AudioSampleFormat::int16};
    // Something in the way of the temporary file makes the remux fail.
    ASSERT_TRUE(QDir().mkpath(FfmpegAudioFileWriter::remuxTempPath(path)));

    FfmpegAudioFileWriter writer;
    ASSERT_TRUE(writer.open(path, format)) << writer.errorString().toStdString();
    ASSERT_EQ(appendTone(writer, format, framesFor(format, 3.2)), 0);
    EXPECT_FALSE(writer.close());
    EXPECT_TRUE(writer.errorString().contains("the fragmented file was kept"))
        << writer.errorString().toStdString();

    EXPECT_TRUE(topLevelMp4Boxes(path).contains("moof"));
    const DecodedAudio decoded = DecodedAudio::decode(path);
    ASSERT_TRUE(decoded.error.isEmpty()) << decoded.error.toStdString();
    // All of it, the last fragment and the encoder's priming included.
    EXPECT_NEAR(decoded.seconds(), 3.2, 2 * bufferSeconds(format));
}
