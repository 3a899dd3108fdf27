// A dictation while it records: pause, resume and stop as the row and the log
// show them, a resume that fails, and cancelling.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <gtest/gtest.h>

#include "platform/ffmpeg/FfmpegAudioFileWriter.h"
#include "SessionFixture.h"
#include "support/MemoryAudioFileWriter.h"

using namespace sessiontest;

namespace {

class SessionManagerRecordingTest : public SessionFixture
{
};

}  // namespace

TEST_F(SessionManagerRecordingTest, PauseResumeStopFollowTheRowAndLeaveThePauseOut)
{
    buildReady();
    freshLines();
    QElapsedTimer wall;
    wall.start();
    const QString id = start();
    EXPECT_EQ(row(id)->status, RecordingStatus::recording);
    EXPECT_EQ(row(id)->userId, "local");
    spinFor(150);

    session->pauseRecording();
    EXPECT_EQ(session->state(), SessionState::paused);
    EXPECT_EQ(row(id)->status, RecordingStatus::paused);
    EXPECT_EQ(describe(session->currentRecording()), describe(row(id)));
    EXPECT_EQ(slices(id).size(), 1) << "the pause seals the first slice";
    spinFor(400);

    session->resumeRecording();
    EXPECT_EQ(session->state(), SessionState::recording);
    EXPECT_EQ(row(id)->status, RecordingStatus::recording);
    spinFor(150);

    session->stopRecording();
    const double wallSeconds = wall.elapsed() / 1000.0;
    EXPECT_EQ(session->state(), SessionState::processing);
    EXPECT_EQ(row(id)->status, RecordingStatus::recording) << "the row is written once the event loop runs again";
    EXPECT_EQ(slices(id).size(), 1) << "and so is the last slice";
    QCoreApplication::processEvents();
    const Recording stopped = *row(id);
    EXPECT_EQ(stopped.status, RecordingStatus::recorded);
    EXPECT_EQ(stopped.sliceCount, 2);
    EXPECT_EQ(slices(id).size(), 2);
    ASSERT_TRUE(stopped.duration);
    EXPECT_DOUBLE_EQ(*stopped.duration, session->audioRecorder().elapsedTime());
    EXPECT_GE(*stopped.duration, 0.3) << "both recorded spans count";
    EXPECT_LT(*stopped.duration, wallSeconds - 0.3) << "the 0.4 s pause does not";
    EXPECT_EQ(describe(session->currentRecording()), describe(stopped));

    EXPECT_EQ(freshLines().filter("SessionManager: "),
              (QStringList{"INFO SessionManager: state idle \u2192 recording",
                           "INFO SessionManager: state recording \u2192 paused",
                           "INFO SessionManager: state paused \u2192 recording",
                           "INFO SessionManager: state \u2192 processing"}));
    // Let the two slices finish before the controller goes.
    EXPECT_TRUE(waitForState(SessionState::idle));
}

// Pause, resume and stop change the current recording: observers are told,
// and what they read then is the changed recording.
TEST_F(SessionManagerRecordingTest, PauseResumeAndStopAnnounceTheChangedRecording)
{
    buildReady();
    start();
    QStringList seen;
    QObject::connect(session.get(), &SessionManager::changed, [&] {
        seen << (session->currentRecording() ? toText(session->currentRecording()->status)
                                             : QStringLiteral("none"));
    });
    const struct {
        const char* operation;
        std::function<void()> run;
        RecordingStatus expected;
    } steps[] = {
        {"pause", [&] { session->pauseRecording(); }, RecordingStatus::paused},
        {"resume", [&] { session->resumeRecording(); }, RecordingStatus::recording},
        {"stop", [&] { session->stopRecording(); }, RecordingStatus::recorded},
    };
    for (const auto& step : steps) {
        spinFor(30);
        seen.clear();
        step.run();   // the announcement comes within the call
        EXPECT_TRUE(seen.contains(toText(step.expected)))
            << step.operation << ": announced " << seen.join(", ").toStdString();
    }
    EXPECT_TRUE(waitForState(SessionState::idle));
}

TEST_F(SessionManagerRecordingTest, StopStraightAfterStartStillSealsAndTranscribesTheSlice)
{
    buildReady();
    const QString id = start();
    session->stopRecording();

    ASSERT_TRUE(slicesSettle(id, 1));
    EXPECT_EQ(row(id)->sliceCount, 1);
    EXPECT_EQ(slices(id).first().rawText, "words 1");
    ASSERT_TRUE(waitForState(SessionState::idle));
    EXPECT_EQ(field->writes, QStringList{"Polished text."});
}

TEST_F(SessionManagerRecordingTest, FailedResumeStaysPausedWithTheError)
{
    // The second slice's file cannot be opened.
    auto opened = std::make_shared<int>(0);
    writers = [opened]() -> std::unique_ptr<AudioFileWriter> {
        if ((*opened)++ == 0)
            return std::make_unique<FfmpegAudioFileWriter>();
        return std::make_unique<MemoryAudioFileWriter>(
            std::make_shared<MemoryAudioFileWriter::Log>(),
            MemoryAudioFileWriter::Failures{.openError = "Disk full"});
    };
    buildReady();
    const QString id = start();
    session->pauseRecording();
    freshLines();

    session->resumeRecording();

    EXPECT_EQ(session->state(), SessionState::paused);
    EXPECT_EQ(session->errorMessage(), "Failed to resume recording");
    EXPECT_EQ(freshLines().filter("SessionManager: "),
              QStringList{"ERROR SessionManager: failed to resume: Disk full"});
    EXPECT_EQ(row(id)->status, RecordingStatus::recording) << "written before the recorder resumed";

    // The toggle still stops from there.
    session->toggleRecording();
    EXPECT_EQ(session->state(), SessionState::processing);
    QCoreApplication::processEvents();
    EXPECT_EQ(row(id)->status, RecordingStatus::recorded);
    EXPECT_EQ(row(id)->sliceCount, 1);
    EXPECT_TRUE(waitForState(SessionState::idle));
}

namespace {

class SessionManagerCancelRecording : public SessionFixture,
                                      public testing::WithParamInterface<bool>
{
};

}  // namespace

TEST_P(SessionManagerCancelRecording, FailsTheRowButKeepsAndTranscribesTheLastSlice)
{
    const bool paused = GetParam();
    buildReady();
    const QString id = start();
    spinFor(60);
    if (paused)
        session->pauseRecording();
    freshLines();

    session->cancelRecording();

    EXPECT_EQ(session->state(), SessionState::idle);
    EXPECT_FALSE(session->currentRecording());
    EXPECT_FALSE(session->errorMessage());
    EXPECT_EQ(freshLines().filter("SessionManager: "),
              (QStringList{"INFO SessionManager: state \u2192 idle",
                           "INFO SessionManager: recording cancelled by user"}));
    std::optional<Recording> cancelled = row(id);
    ASSERT_TRUE(cancelled);
    EXPECT_EQ(cancelled->status, RecordingStatus::failed);
    EXPECT_EQ(cancelled->error, "Cancelled by user");

    ASSERT_TRUE(slicesSettle(id, 1));
    EXPECT_EQ(slices(id).first().status, SliceStatus::completed);
    EXPECT_EQ(slices(id).first().rawText, "words 1");
    spinFor(50);
    EXPECT_EQ(describe(row(id)), describe(cancelled)) << "the transcription leaves the row alone";
    EXPECT_TRUE(requestsTo(kChat).isEmpty());
    EXPECT_TRUE(field->writes.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Cancel, SessionManagerCancelRecording, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "WhilePaused" : "WhileRecording");
                         });

namespace {

// What the controller does to its recording after the history screen has
// deleted it.
struct AfterDeletionCase
{
    const char* name;
    std::function<void(SessionManager&)> act;
};

void PrintTo(const AfterDeletionCase& c, std::ostream* out) { *out << c.name; }

class SessionManagerDeletedRecording : public SessionFixture,
                                       public testing::WithParamInterface<AfterDeletionCase>
{
};

}  // namespace

TEST_P(SessionManagerDeletedRecording, StaysDeleted)
{
    transcribe = [](int) { return delayed(HttpFake::Answer::text(200, "words"), 100ms); };
    buildReady();
    const QString id = start();
    spinFor(30);
    session->database().softDeleteRecording(id);
    const std::optional<Recording> deleted = session->database().fetchRecordingIncludingDeleted(id);
    ASSERT_TRUE(deleted && deleted->deletedAt);

    GetParam().act(*session);
    if (session->state() == SessionState::processing) {
        EXPECT_TRUE(waitForState(SessionState::idle));
    }

    EXPECT_FALSE(row(id)) << "the deletion is not undone";
    EXPECT_EQ(describe(session->database().fetchRecordingIncludingDeleted(id)), describe(deleted));
}

INSTANTIATE_TEST_SUITE_P(
    History, SessionManagerDeletedRecording,
    testing::Values(
        AfterDeletionCase{"Pause", [](SessionManager& s) { s.pauseRecording(); }},
        AfterDeletionCase{"PauseResume", [](SessionManager& s) { s.pauseRecording(); s.resumeRecording(); }},
        AfterDeletionCase{"Stop", [](SessionManager& s) { s.stopRecording(); }},
        AfterDeletionCase{"CancelRecording", [](SessionManager& s) { s.cancelRecording(); }},
        AfterDeletionCase{"CancelProcessing", [](SessionManager& s) {
            s.stopRecording();
            s.cancelProcessing();
        }}),
    [](const testing::TestParamInfo<AfterDeletionCase>& info) { return std::string(info.param.name); });

// The application quits while a dictation records, is paused, or has just
// been stopped (its last slice not yet stored): the last slice is still
// sealed and stored, so the recording can be processed later.
enum class QuitDuring { recording, pause, stopStillFinishing };

class SessionManagerQuitTest : public SessionFixture, public testing::WithParamInterface<QuitDuring>
{
};

TEST_P(SessionManagerQuitTest, KeepsTheLastSlice)
{
    buildReady();
    const QString id = start();
    spinFor(50);
    if (GetParam() == QuitDuring::pause)
        session->pauseRecording();
    if (GetParam() == QuitDuring::stopStillFinishing) {
        session->stopRecording();
        ASSERT_TRUE(slices(id).isEmpty());
    }
    session.reset();

    RecordingFileManager files;
    DatabaseManager db(files.baseDirectory());
    const std::optional<Recording> recording = db.fetchRecording(id);
    ASSERT_TRUE(recording);
    EXPECT_EQ(recording->status, RecordingStatus::recorded);
    const QList<Slice> stored = db.fetchSlices(id, false);
    ASSERT_EQ(stored.size(), 1);
    EXPECT_EQ(recording->sliceCount, 1);
    // Its audio is on disk, finished, for the next start's recovery and a retry.
    const std::optional<QString> path = files.sliceFilePath(stored.first().filename);
    ASSERT_TRUE(path);
    EXPECT_TRUE(QFile::exists(*path));
    EXPECT_FALSE(QFile::exists(FfmpegAudioFileWriter::remuxTempPath(*path)));
    if (GetParam() != QuitDuring::pause) {   // sealed by the quit, so never sent
        EXPECT_EQ(stored.first().status, SliceStatus::pending);
    }
}

INSTANTIATE_TEST_SUITE_P(WhileRecordingPausedOrStopping, SessionManagerQuitTest,
                         testing::Values(QuitDuring::recording, QuitDuring::pause, QuitDuring::stopStillFinishing));

TEST_F(SessionManagerRecordingTest, AMicrophoneThatFailsStopsTheRecordingAndKeepsWhatCame)
{
    ToneCapture* live = nullptr;
    SessionPlatform platform = scriptedPlatform();
    platform.audioCapture = [&] {
        auto capture = std::make_unique<ToneCapture>(tone);
        live = capture.get();
        return capture;
    };
    build(std::move(platform));
    ASSERT_TRUE(waitUntil([&] { return !permissions.trustChecks().isEmpty(); }));
    const QString id = start();
    spinFor(100);
    ASSERT_NE(live, nullptr);
    live->failWith("the sound server went away");

    ASSERT_TRUE(waitUntil([&] { return session->state() != SessionState::recording; }));
    EXPECT_TRUE(logLines().contains(
        "WARN SessionManager: audio input failed, stopping the recording: the sound server went away"));
    EXPECT_EQ(row(id)->sliceCount, 1);
    ASSERT_TRUE(slicesSettle(id, 1));
    ASSERT_TRUE(waitForState(SessionState::idle));
}

// Reading the target's field asks another program, which may be slow (a
// frozen target costs a deadline): the microphone must already be running.
TEST_F(SessionManagerRecordingTest, TheTargetsFieldIsReadOnlyOnceTheMicrophoneRuns)
{
    field->value = "Dear Sir";
    buildReady();
    freshLines();
    start();

    const QStringList lines = freshLines();
    const auto at = [&](const QString& start) {
        return std::find_if(lines.begin(), lines.end(), [&](const QString& l) { return l.startsWith(start); })
            - lines.begin();
    };
    EXPECT_LT(at("INFO TextInjector: captured target app: Editor"), at("INFO AudioRecorder: start, recording: "));
    EXPECT_LT(at("INFO SessionManager: state idle \u2192 recording"),
              at("DEBUG TextInjector context: value(8 chars)=Dear Sir"));
    EXPECT_LT(at("DEBUG TextInjector context: value(8 chars)=Dear Sir"), lines.size());
    session->cancelRecording();
}

// The stop's row write comes after the finalising step has started. Stopped
// while paused with every slice transcribed, that step has already stored the
// joined text by then: the write adds the duration and slice count and keeps
// the step's status and text.
TEST_F(SessionManagerRecordingTest, TheStopsRowWriteKeepsWhatTheFinalisingStepStored)
{
    buildReady();
    const QString id = start();
    spinFor(100);
    session->pauseRecording();
    ASSERT_TRUE(slicesSettle(id, 1));

    session->stopRecording();
    EXPECT_EQ(row(id)->status, RecordingStatus::transcribed) << "the step went on without waiting";
    QCoreApplication::processEvents();

    const Recording stored = *row(id);
    EXPECT_EQ(stored.status, RecordingStatus::transcribed);
    EXPECT_EQ(stored.rawText, "words 1");
    EXPECT_EQ(stored.sliceCount, 1);
    ASSERT_TRUE(stored.duration);
    EXPECT_DOUBLE_EQ(*stored.duration, session->audioRecorder().elapsedTime());
    ASSERT_TRUE(waitForState(SessionState::idle));
    EXPECT_EQ(row(id)->status, RecordingStatus::completed);
    EXPECT_EQ(row(id)->sliceCount, 1);
}
