#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gmock/gmock.h>

#include "AudioRecorderFixture.h"
#include "platform/ffmpeg/FfmpegAudioFileWriter.h"
#include "support/DecodedAudio.h"

using testing::UnorderedElementsAreArray;

// The recorder on the real slice writer: m4a files in the recordings folder.
class AudioRecorderFilesTest : public AudioRecorderFixture
{
protected:
    void SetUp() override
    {
        writers = [] { return std::make_unique<FfmpegAudioFileWriter>(); };
        tone.speed = 8.0;   // seconds of audio per slice without the wait
    }

    double bufferSeconds() const { return tone.format.secondsFor(AudioCapture::kBufferFrames); }

    // Until the input holds most of a buffer that it has not delivered yet:
    // what a pause or stop flushes then is long enough to be missed.
    bool waitForALongRemainder()
    {
        const int buffers = capture().buffersDelivered();
        if (!waitUntil([&] { return capture().buffersDelivered() > buffers; }))
            return false;
        spinFor(int(0.7 * bufferSeconds() / tone.speed * 1000));
        return true;
    }
};

TEST_F(AudioRecorderFilesTest, SliceFilesDecodeBackToEverythingCaptured)
{
    // Each slice as a reader finds it the moment it is handed on.
    QList<DecodedAudio> atHandOffDecoded;
    atHandOff = [&](const Slice& slice) {
        atHandOffDecoded.append(DecodedAudio::decode(slicePath(slice)));
        // Two automatic slices; the pause and the stop end the others, however late the machine runs.
        if (slice.sliceIndex == 2)
            rec().sliceDuration = 60.0;
    };
    rec().sliceDuration = 0.4;
    ASSERT_EQ(start(), std::nullopt);
    ASSERT_TRUE(waitUntil([&] { return handed.size() == 2; }));
    ASSERT_TRUE(waitForALongRemainder());   // and a part
    rec().pause();
    ASSERT_EQ(rec().resume(), std::nullopt);
    ASSERT_TRUE(waitForALongRemainder());
    rec().stop();

    ASSERT_EQ(handed.size(), 4);
    ASSERT_EQ(atHandOffDecoded.size(), 4);
    double decodedSeconds = 0.0;
    QStringList names;
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const DecodedAudio& audio = atHandOffDecoded[i];
        ASSERT_TRUE(audio.error.isEmpty()) << audio.error.toStdString();
        EXPECT_EQ(audio.codecName, "aac");
        EXPECT_EQ(audio.sampleRate, tone.format.sampleRate);
        EXPECT_GT(audio.powerShareAt(tone.signal.frequency), 0.9);
        decodedSeconds += audio.seconds();
        names << handed[i].slice.filename;
    }
    // Closed and complete when handed on: the pause's and the stop's last
    // frames included, the audio at the automatic seals not cut. A decoded
    // slice ends on a whole AAC frame, so it can only come out longer.
    const double delivered = tone.format.secondsFor(capture().framesDelivered());
    EXPECT_GE(decodedSeconds, delivered - 0.01);
    EXPECT_LE(decodedSeconds, delivered + bufferSeconds());
    // Only the slices themselves are left in the folder.
    EXPECT_THAT(files.listAllRecordingFiles(), UnorderedElementsAreArray(names));
}

TEST_F(AudioRecorderFilesTest, TheOpenSliceFilePlaysUpToItsLastFragmentWhenCutShort)
{
    rec().sliceDuration = 10.0;
    ASSERT_EQ(start(), std::nullopt);
    ASSERT_TRUE(waitUntil([&] { return capture().framesDelivered() >= 5 * tone.format.sampleRate; }));
    const double heard = tone.format.secondsFor(capture().framesDelivered());
    ASSERT_EQ(files.listAllRecordingFiles().size(), 1);
    const QString live = files.recordingsDirectory() + "/" + files.listAllRecordingFiles()[0];

    // What a crash in the middle of a write leaves on disk.
    QTemporaryDir dir;
    const QString torn = dir.filePath("torn.m4a");
    ASSERT_TRUE(QFile::copy(live, torn));
    ASSERT_TRUE(QFile(torn).resize(QFileInfo(torn).size() - 2000));
    const DecodedAudio survived = DecodedAudio::decode(torn);
    ASSERT_TRUE(survived.error.isEmpty()) << survived.error.toStdString();
    // The torn fragment and what the encoder held back are gone.
    EXPECT_GE(survived.seconds(), heard - 2.0 - bufferSeconds());
    EXPECT_LE(survived.seconds(), heard);

    rec().stop();
    EXPECT_NEAR(DecodedAudio::decode(live).seconds(), tone.format.secondsFor(capture().framesDelivered()),
                bufferSeconds());
}

TEST_F(AudioRecorderFilesTest, ASliceThatCannotBeFinishedIsLoggedAndStillHandedOn)
{
    ASSERT_EQ(start(), std::nullopt);
    ASSERT_TRUE(waitUntil([&] { return capture().framesDelivered() >= 2 * tone.format.sampleRate; }));
    ASSERT_EQ(files.listAllRecordingFiles().size(), 1);
    const QString live = files.recordingsDirectory() + "/" + files.listAllRecordingFiles()[0];
    // Something in the way of the plain file that closing writes.
    ASSERT_TRUE(QDir().mkpath(FfmpegAudioFileWriter::remuxTempPath(live)));
    rec().stop();

    ASSERT_EQ(handed.size(), 1);
    EXPECT_TRUE(handed[0].rowStored);
    const QStringList errors = recorderLines().filter("ERROR");
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].startsWith("ERROR AudioRecorder: slice_001 was not finished: ")) << errors[0].toStdString();
    EXPECT_TRUE(errors[0].endsWith("the fragmented file was kept")) << errors[0].toStdString();
    // The fragmented file it kept still holds the slice.
    EXPECT_NEAR(DecodedAudio::decode(live).seconds(), tone.format.secondsFor(capture().framesDelivered()),
                2 * bufferSeconds());
}
