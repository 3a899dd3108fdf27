#include <QElapsedTimer>
#include <QRegularExpression>
#include <QThread>
#include <gmock/gmock.h>

#include "AudioRecorderFixture.h"
#include "platform/ffmpeg/FfmpegAudioFileWriter.h"

using testing::ElementsAre;
using testing::IsEmpty;

namespace {

QString totalText(double seconds)
{
    return QString::asprintf("%.1f", seconds);
}

} // namespace

class AudioRecorderTest : public AudioRecorderFixture
{
};

TEST_F(AudioRecorderTest, AShortRecordingIsOneSliceSealedAtTheStop)
{
    const QString account = "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9";
    useManualClock();
    rec().sliceDuration = 5.0;
    ASSERT_EQ(start(account), std::nullopt);
    ASSERT_TRUE(waitUntil([&] { return capture().buffersDelivered() >= 2; }));
    advance(0.3);
    const double total = rec().stop();

    ASSERT_EQ(handed.size(), 1);
    EXPECT_TRUE(handed[0].rowStored);
    EXPECT_TRUE(handed[0].memoryFileClosed);
    const std::optional<Slice> row = db.fetchSlice(handed[0].slice.id);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->id.size(), 36);
    EXPECT_EQ(row->id, row->id.toLower());
    EXPECT_EQ(row->userId, account);
    EXPECT_EQ(row->recordingId, recordingId);
    EXPECT_EQ(row->sliceIndex, 1);
    EXPECT_TRUE(QRegularExpression("^\\d{8}_\\d{6}_" + recordingId + "_001\\.m4a$").match(row->filename).hasMatch())
        << row->filename.toStdString();
    EXPECT_EQ(row->status, SliceStatus::pending);
    ASSERT_TRUE(row->duration);
    EXPECT_DOUBLE_EQ(*row->duration, 0.3);
    EXPECT_EQ(row->rawText, std::nullopt);
    EXPECT_EQ(row->provider, std::nullopt);
    EXPECT_EQ(row->error, std::nullopt);
    EXPECT_EQ(row->deletedAt, std::nullopt);
    EXPECT_EQ(handed[0].slice.filename, row->filename);

    EXPECT_DOUBLE_EQ(total, 0.3);
    EXPECT_EQ(rec().elapsedTime(), total);
    ASSERT_EQ(openedFiles().size(), 1);
    EXPECT_EQ(openedFiles()[0].path, files.recordingsDirectory() + "/" + row->filename);
    EXPECT_EQ(openedFiles()[0].format, tone.format);
    // The stop delivers the frames since the last full buffer: they are in the slice.
    EXPECT_LT(openedFiles()[0].bufferFrames.last(), AudioCapture::kBufferFrames);
    EXPECT_EQ(writtenAudio(), deliveredAudio());

    EXPECT_THAT(recorderLines(), ElementsAre("INFO AudioRecorder: writing slice_001 \u2192 " + row->filename,
                                             "INFO AudioRecorder: start, recording: " + recordingId,
                                             "INFO AudioRecorder: slice ready (stop), slice_001 sealed, "
                                                 + QString::asprintf("%.0f", *row->duration) + "s",
                                             "INFO AudioRecorder: stopped, total duration: " + totalText(total) + "s"));
}

TEST_F(AudioRecorderTest, SlicesAreSealedAutomaticallyAtTheSliceLength)
{
    useManualClock();
    tone.speed = 10.0;
    rec().sliceDuration = 0.3;
    QElapsedTimer wall;
    wall.start();
    ASSERT_EQ(start(), std::nullopt);
    for (int seals = 1; seals <= 3; ++seals) {
        advance(0.3);
        ASSERT_TRUE(waitUntil([&] { return handed.size() >= seals; }));
    }
    // The slice timer is a real timer: it never fires early.
    EXPECT_GE(wall.elapsed(), 900);
    rec().stop();

    ASSERT_EQ(handed.size(), 4);
    const QList<Slice> rows = db.fetchSlices(recordingId, false);
    ASSERT_EQ(rows.size(), 4);
    QStringList expectedLines;
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const Slice& slice = handed[i].slice;
        EXPECT_EQ(slice.sliceIndex, i + 1);
        EXPECT_EQ(rows[i].id, slice.id);
        EXPECT_TRUE(handed[i].rowStored);
        EXPECT_TRUE(handed[i].memoryFileClosed);
        EXPECT_DOUBLE_EQ(*slice.duration, i < 3 ? 0.3 : 0.0);
        const QString label = QString::asprintf("slice_%03d", i + 1);
        expectedLines << "INFO AudioRecorder: writing " + label + " \u2192 " + slice.filename;
        if (i == 0)
            expectedLines << "INFO AudioRecorder: start, recording: " + recordingId;
        expectedLines << "INFO AudioRecorder: slice ready (" + QString(i < 3 ? "auto" : "stop") + "), " + label
                + " sealed, " + QString::asprintf("%.0f", *slice.duration) + "s";
    }
    const QStringList lines = recorderLines();
    EXPECT_EQ(lines.mid(0, expectedLines.size()), expectedLines);
    EXPECT_EQ(lines.size(), expectedLines.size() + 1);   // and the stop's

    // Every buffer is in exactly one slice, in order.
    EXPECT_EQ(writtenAudio(), deliveredAudio());
}

// Handing a sealed slice on takes time (its file is finished, its
// transcription starts) while the next slice already records: that time
// belongs to the next slice, so the stored durations add up to the whole.
TEST_F(AudioRecorderTest, TheNextSliceStartsAtTheSwapNotAfterTheHandOff)
{
    auto now = std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
    timing.clock = [now] { return *now; };
    atHandOff = [now](const Slice& slice) {
        if (slice.sliceIndex == 1)
            *now += std::chrono::seconds(5);
    };
    rec().sliceDuration = 0.05;
    ASSERT_EQ(start(), std::nullopt);
    ASSERT_TRUE(waitUntil([&] { return handed.size() >= 2; }));
    const double total = rec().stop();

    ASSERT_EQ(handed.size(), 3);
    EXPECT_EQ(*handed[0].slice.duration, 0.0);
    EXPECT_EQ(*handed[1].slice.duration, 5.0);
    EXPECT_EQ(*handed[2].slice.duration, 0.0);
    EXPECT_EQ(total, 5.0);
}

TEST_F(AudioRecorderTest, NoAudioIsLostWhileTheNextSliceFileOpens)
{
    // A slow disk: every slice file takes 60 ms to open, while the capture
    // delivers a buffer every 26 ms.
    writers = [inner = writers] {
        QThread::msleep(60);
        return inner();
    };
    tone.speed = 10.0;
    rec().sliceDuration = 0.2;
    ASSERT_EQ(start(), std::nullopt);
    ASSERT_TRUE(waitUntil([&] { return handed.size() >= 3; }));
    rec().stop();

    EXPECT_EQ(openedFiles().size(), 4);
    EXPECT_EQ(writtenAudio(), deliveredAudio());
}

TEST_F(AudioRecorderTest, PausesEndSlicesAndAreLeftOutOfTheElapsedTime)
{
    useManualClock();
    rec().sliceDuration = 5.0;
    QSignalSpy published(&rec(), &AudioRecorder::elapsedTimeChanged);
    ASSERT_EQ(start(), std::nullopt);
    ASSERT_TRUE(waitUntil([&] { return capture().buffersDelivered() >= 1; }));
    advance(0.4);
    ASSERT_TRUE(waitUntil([&] { return published.size() == 1; }));   // the next tick
    rec().pause();
    const double atPause = rec().elapsedTime();
    EXPECT_DOUBLE_EQ(atPause, 0.4);
    ASSERT_EQ(handed.size(), 1);

    advance(0.3);   // time passes while paused
    spinFor(300);
    EXPECT_EQ(rec().elapsedTime(), atPause);
    EXPECT_EQ(published.size(), 1);

    ASSERT_EQ(rec().resume(), std::nullopt);
    const int buffersAtResume = capture().buffersDelivered();
    ASSERT_TRUE(waitUntil([&] { return capture().buffersDelivered() > buffersAtResume; }));
    advance(0.5);
    ASSERT_TRUE(waitUntil([&] { return published.size() == 2; }));
    const double total = rec().stop();
    EXPECT_DOUBLE_EQ(total, 0.9);
    EXPECT_EQ(rec().elapsedTime(), total);
    // Each tick while recording publishes the clock's time, once per change.
    ASSERT_EQ(published.size(), 2);
    EXPECT_DOUBLE_EQ(published[0][0].toDouble(), 0.4);
    EXPECT_DOUBLE_EQ(published[1][0].toDouble(), 0.9);

    ASSERT_EQ(handed.size(), 2);
    const double recorded[] = {0.4, 0.5};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(handed[i].slice.sliceIndex, i + 1);
        EXPECT_DOUBLE_EQ(*handed[i].slice.duration, recorded[i]);
        EXPECT_TRUE(handed[i].rowStored);
        EXPECT_TRUE(handed[i].memoryFileClosed);
    }
    EXPECT_EQ(db.fetchSlices(recordingId, false).size(), 2);

    // What the pause and the stop flushed from the input ended up in the slice
    // they closed: nothing is lost.
    ASSERT_EQ(openedFiles().size(), 2);
    for (const MemoryAudioFileWriter::File& file : openedFiles())
        EXPECT_LT(file.bufferFrames.last(), AudioCapture::kBufferFrames);
    EXPECT_EQ(writtenAudio(), deliveredAudio());

    // The line rounds the slice's length to whole seconds.
    const auto sealedSeconds = [&](int i) { return QString::asprintf("%.0f", *handed[i].slice.duration); };
    EXPECT_THAT(recorderLines(),
                ElementsAre("INFO AudioRecorder: writing slice_001 \u2192 " + handed[0].slice.filename,
                            "INFO AudioRecorder: start, recording: " + recordingId,
                            "INFO AudioRecorder: slice ready (pause), slice_001 sealed, "
                                + sealedSeconds(0) + "s",
                            "INFO AudioRecorder: paused",
                            "INFO AudioRecorder: writing slice_002 \u2192 " + handed[1].slice.filename,
                            "INFO AudioRecorder: resume, writing slice_002",
                            "INFO AudioRecorder: slice ready (stop), slice_002 sealed, "
                                + sealedSeconds(1) + "s",
                            "INFO AudioRecorder: stopped, total duration: " + totalText(total) + "s"));
}

TEST_F(AudioRecorderTest, StopWhilePausedSealsNothingMoreAndReturnsTheTimeAtThePause)
{
    ASSERT_EQ(start(), std::nullopt);
    ASSERT_TRUE(waitForElapsed(0.2));
    rec().pause();
    const double atPause = rec().elapsedTime();
    spinFor(150);
    recorderLines();

    EXPECT_EQ(rec().stop(), atPause);
    EXPECT_EQ(handed.size(), 1);
    EXPECT_EQ(db.fetchSlices(recordingId, false).size(), 1);
    EXPECT_THAT(recorderLines(), ElementsAre("INFO AudioRecorder: stopped, total duration: " + totalText(atPause) + "s"));
}

TEST_F(AudioRecorderTest, ASecondRecordingStartsAgainAtSliceOneAndNoTime)
{
    ASSERT_EQ(start(), std::nullopt);
    ASSERT_TRUE(waitForElapsed(0.2));
    rec().pause();
    ASSERT_EQ(rec().resume(), std::nullopt);
    rec().stop();
    const QString first = recordingId;

    recordingId = newRecordId();
    ASSERT_EQ(start("local"), std::nullopt);
    EXPECT_EQ(rec().elapsedTime(), 0.0);
    ASSERT_TRUE(waitForElapsed(0.1));
    rec().stop();

    EXPECT_EQ(captures.size(), 2);   // a new capture per recording
    ASSERT_EQ(handed.size(), 3);
    EXPECT_EQ(handed[1].slice.recordingId, first);
    EXPECT_EQ(handed[1].slice.sliceIndex, 2);
    EXPECT_EQ(handed[2].slice.recordingId, recordingId);
    EXPECT_EQ(handed[2].slice.sliceIndex, 1);
    EXPECT_EQ(db.fetchSlices(recordingId, false).size(), 1);
}

TEST_F(AudioRecorderTest, AFailedOpenOfTheNextSliceIsLoggedAndTriedAgainAtTheNextTick)
{
    int made = 0;
    writers = [&] {
        MemoryAudioFileWriter::Failures failures;
        if (++made == 2)
            failures.openError = "No space left on device";
        return std::make_unique<MemoryAudioFileWriter>(written, failures);
    };
    useManualClock();
    tone.speed = 10.0;
    rec().sliceDuration = 0.25;
    ASSERT_EQ(start(), std::nullopt);
    advance(0.25);
    ASSERT_TRUE(waitUntil([&] { return !log.lines().filter("cannot open slice_002").isEmpty(); }));
    // Slice 1 takes the audio until the next tick can open a file.
    advance(0.25);
    ASSERT_TRUE(waitUntil([&] { return handed.size() >= 1; }));
    advance(0.25);
    ASSERT_TRUE(waitUntil([&] { return handed.size() >= 2; }));
    rec().stop();

    ASSERT_EQ(handed.size(), 3);
    EXPECT_EQ(handed[0].slice.sliceIndex, 1);
    EXPECT_DOUBLE_EQ(*handed[0].slice.duration, 0.5);
    EXPECT_EQ(handed[1].slice.sliceIndex, 2);
    EXPECT_DOUBLE_EQ(*handed[1].slice.duration, 0.25);
    EXPECT_EQ(handed[2].slice.sliceIndex, 3);
    EXPECT_EQ(writtenAudio(), deliveredAudio());
    EXPECT_EQ(recorderLines().filter("ERROR"),
              QStringList{"ERROR AudioRecorder: cannot open slice_002, slice_001 goes on: No space left on device"});
}

TEST_F(AudioRecorderTest, BuffersThatCannotBeWrittenAreCountedAndLoggedAtTheSeal)
{
    MemoryAudioFileWriter::Failures failures;
    failures.appendsBeforeFailure = 2;
    writers = MemoryAudioFileWriter::factory(written, failures);
    tone.speed = 10.0;
    ASSERT_EQ(start(), std::nullopt);
    ASSERT_TRUE(waitUntil([&] { return capture().buffersDelivered() >= 6; }));
    rec().stop();

    ASSERT_EQ(openedFiles().size(), 1);
    const int failed = openedFiles()[0].failedAppends;
    EXPECT_GE(failed, 4);
    ASSERT_EQ(handed.size(), 1);
    EXPECT_TRUE(handed[0].rowStored);
    const QStringList lines = recorderLines();
    const qsizetype sealed = lines.indexOf("INFO AudioRecorder: slice ready (stop), slice_001 sealed, "
                                           + QString::asprintf("%.0f", *handed[0].slice.duration) + "s");
    ASSERT_GE(sealed, 0) << lines.join('\n').toStdString();
    EXPECT_EQ(lines.value(sealed + 1), "ERROR AudioRecorder: slice_001: " + QString::number(failed)
                                           + " buffer(s) could not be written: MemoryAudioFileWriter: append failed as told");
}

TEST_F(AudioRecorderTest, AFailedStartLeavesNoFileNoRowAndNoRunningClock)
{
    MemoryAudioFileWriter::Failures unwritable;
    unwritable.openError = "Permission denied";
    const AudioFileWriterFactory ffmpeg = [] { return std::make_unique<FfmpegAudioFileWriter>(); };
    const struct
    {
        const char* name;
        AudioFormat format;
        QString startError;
        AudioFileWriterFactory writers;
        QString expected;
    } cases[] = {
        {"no input device", AudioFormat{}, {}, ffmpeg, "No audio input device"},
        // The slice file is already open when the input refuses to start.
        {"input cannot start", tone.format, "Device or resource busy", ffmpeg,
         "Device or resource busy"},
        {"slice file cannot be opened", tone.format, {}, MemoryAudioFileWriter::factory(written, unwritable),
         "Permission denied"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        recordingId = newRecordId();
        tone.format = c.format;
        tone.startError = c.startError;
        writers = c.writers;
        dropRecorder();
        QSignalSpy published(&rec(), &AudioRecorder::elapsedTimeChanged);
        recorderLines();

        EXPECT_EQ(start(), c.expected);
        spinFor(250);
        EXPECT_EQ(capture().buffersDelivered(), 0);
        EXPECT_THAT(files.listAllRecordingFiles(), IsEmpty());
        EXPECT_THAT(db.fetchSlices(recordingId, true), IsEmpty());
        EXPECT_EQ(published.size(), 0);
        EXPECT_EQ(rec().elapsedTime(), 0.0);
        EXPECT_THAT(recorderLines(), IsEmpty());
        EXPECT_THAT(handed, IsEmpty());
    }

    // The next start begins afresh with slice 1.
    tone = ToneCapture::Options{};
    writers = MemoryAudioFileWriter::factory(written);
    dropRecorder();
    ASSERT_EQ(start(), std::nullopt);
    rec().stop();
    ASSERT_EQ(handed.size(), 1);
    EXPECT_EQ(handed[0].slice.sliceIndex, 1);
}

TEST_F(AudioRecorderTest, AFailedResumeKeepsTheRecordingPausedAndLeavesNoFile)
{
    writers = [] { return std::make_unique<FfmpegAudioFileWriter>(); };
    ASSERT_EQ(start(), std::nullopt);
    ASSERT_TRUE(waitForElapsed(0.2));
    rec().pause();
    const double atPause = rec().elapsedTime();
    capture().failWith("input unplugged");
    ASSERT_TRUE(waitUntil([&] {
        return log.lines().contains("ERROR AudioRecorder: audio input failed: input unplugged");
    }));
    recorderLines();

    EXPECT_EQ(rec().resume(), "ToneCapture: already stopped");
    spinFor(250);
    EXPECT_EQ(rec().elapsedTime(), atPause);
    EXPECT_THAT(recorderLines(), IsEmpty());
    ASSERT_EQ(handed.size(), 1);
    EXPECT_EQ(files.listAllRecordingFiles(), QStringList{handed[0].slice.filename});

    EXPECT_EQ(rec().stop(), atPause);
    EXPECT_EQ(handed.size(), 1);
    EXPECT_EQ(db.fetchSlices(recordingId, false).size(), 1);
}

// stopLater() leaves the capture's end and the last slice's row and file for
// later, but never loses them: whatever comes first finishes them, and the
// slice is stored, closed and handed over exactly once.
enum class DeferredStopEnd { eventLoop, stopRightAfter, nextRecordingsStart, resume, recordersEnd };

class AudioRecorderStopLater : public AudioRecorderFixture, public testing::WithParamInterface<DeferredStopEnd>
{
protected:
    // Finishes the stop as the parameter says; false when the recorder is gone afterwards.
    bool finish()
    {
        switch (GetParam()) {
        case DeferredStopEnd::eventLoop:
            return waitUntil([&] { return !handed.isEmpty(); });
        case DeferredStopEnd::stopRightAfter:
            rec().stop();
            return true;
        case DeferredStopEnd::nextRecordingsStart: {
            // The next recording's first slice must not get the last one's audio or row.
            const QString first = std::exchange(recordingId, newRecordId());
            EXPECT_EQ(start(), std::nullopt);
            EXPECT_EQ(handed.size(), 1);
            EXPECT_EQ(rec().sealedSliceCount(), 0);
            rec().stop();
            EXPECT_EQ(db.fetchSlices(recordingId, false).size(), 1);
            recordingId = first;
            return false;
        }
        case DeferredStopEnd::resume:
            EXPECT_EQ(rec().resume(), "No recording to resume");
            return true;
        case DeferredStopEnd::recordersEnd:
            dropRecorder();
            return false;
        }
        return false;
    }
};

TEST_P(AudioRecorderStopLater, StoresAndClosesTheLastSliceOnce)
{
    useManualClock();
    rec().sliceDuration = 5.0;
    QList<std::pair<QString, int>> finishing;
    rec().onSliceFinishing = [&](const QString& id, int index) { finishing.append({id, index}); };
    ASSERT_EQ(start(), std::nullopt);
    ASSERT_TRUE(waitUntil([&] { return capture().buffersDelivered() >= 2; }));
    advance(0.3);

    EXPECT_DOUBLE_EQ(rec().stopLater(), 0.3);
    EXPECT_EQ(rec().elapsedTime(), 0.3);
    EXPECT_EQ(rec().sealedSliceCount(), 1) << "the slice still to be stored counts";
    EXPECT_EQ(finishing, (QList<std::pair<QString, int>>{{recordingId, 1}}));
    EXPECT_THAT(handed, IsEmpty());
    EXPECT_THAT(db.fetchSlices(recordingId, false), IsEmpty());

    const bool recorderKept = finish();

    const QList<Slice> rows = db.fetchSlices(recordingId, false);
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].sliceIndex, 1);
    EXPECT_EQ(rows[0].status, SliceStatus::pending);
    EXPECT_DOUBLE_EQ(rows[0].duration.value_or(0), 0.3);
    ASSERT_FALSE(openedFiles().isEmpty());
    EXPECT_TRUE(openedFiles()[0].closed);
    EXPECT_EQ(openedFiles()[0].path, slicePath(rows[0]));
    if (!recorderKept)
        return;
    ASSERT_EQ(handed.size(), 1);
    EXPECT_EQ(handed[0].slice.id, rows[0].id);
    EXPECT_TRUE(handed[0].rowStored);
    EXPECT_TRUE(handed[0].memoryFileClosed);
    EXPECT_EQ(rec().sealedSliceCount(), 1);
    spinFor(50);   // the queued finish, if still posted, must do nothing more
    EXPECT_EQ(db.fetchSlices(recordingId, false).size(), 1);
    EXPECT_EQ(handed.size(), 1);
    EXPECT_EQ(finishing.size(), 1);
}

std::string deferredStopEndName(const testing::TestParamInfo<DeferredStopEnd>& info)
{
    constexpr const char* names[] = {"ByTheEventLoop", "ByAStopRightAfter", "ByTheNextRecordingsStart", "ByAResume",
                                     "ByTheRecordersEnd"};
    return names[int(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Finished, AudioRecorderStopLater,
                         testing::Values(DeferredStopEnd::eventLoop, DeferredStopEnd::stopRightAfter,
                                         DeferredStopEnd::nextRecordingsStart, DeferredStopEnd::resume,
                                         DeferredStopEnd::recordersEnd),
                         deferredStopEndName);
