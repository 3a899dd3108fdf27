// The transcription of one sealed slice: attempts, waits, the chosen service,
// the slice's file, and what its writes leave in the store.
#include <QCoroTimer>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include "OrchestratorFixture.h"

using namespace orchestratortest;

namespace {

class OrchestratorSliceTest : public OrchestratorFixture
{
};

// The value of a text part of a multipart body; none when the part is absent.
std::optional<QByteArray> partValue(const QByteArray& body, const QByteArray& name)
{
    const QByteArray head = "name=\"" + name + "\"\r\n\r\n";
    const qsizetype at = body.indexOf(head);
    if (at < 0)
        return std::nullopt;
    const qsizetype start = at + head.size();
    return body.mid(start, body.indexOf("\r\n", start) - start);
}

}  // namespace

TEST_F(OrchestratorSliceTest, CompletesASliceWithEveryUsersGlossaryAsPrompt)
{
    addGlossary("local", "Talvex", 1);
    addGlossary("account-7", "QCoro", 2);
    addGlossary("local", "gone", 3);
    db.softDeleteGlossaryItem(db.fetchAllGlossaryItems("local", false).last().id);
    const Recording recording = addRecording();
    const Slice slice = addSlice(recording, 1);

    orchestrator->onSliceReady(slice);
    // The task runs up to its request at once.
    EXPECT_EQ(db.fetchSlice(slice.id)->status, SliceStatus::processing);
    ASSERT_TRUE(sliceSettles(slice));

    const Slice done = *db.fetchSlice(slice.id);
    EXPECT_EQ(done.status, SliceStatus::completed);
    EXPECT_EQ(done.rawText, "text 1");
    EXPECT_EQ(done.provider, "openai_whisper");
    EXPECT_EQ(done.error, std::nullopt);
    EXPECT_GT(done.updatedAt, longAgo());
    ASSERT_EQ(requestsTo(openAI, kTranscriptions).size(), 1);
    const QByteArray body = requestsTo(openAI, kTranscriptions).first().body;
    EXPECT_EQ(partValue(body, "prompt"), "Talvex, QCoro");
    EXPECT_EQ(partValue(body, "language"), std::nullopt);
    EXPECT_TRUE(body.contains("m4a audio of slice 1 end"));
    EXPECT_EQ(orchestratorLines(), (QStringList{"Orchestrator: slice 1 sent to openai_whisper",
                                                "Orchestrator: slice 1 completed (attempt 1)"}));
}

TEST_F(OrchestratorSliceTest, WaitsTwoThenFourUnitsBetweenAttempts)
{
    // The waits asked for, each waited in full.
    QList<std::chrono::milliseconds> waits;
    OrchestratorTiming timing{.retryWaitUnit = 60ms, .pollInterval = 10ms};
    timing.wait = [&waits](std::chrono::milliseconds duration) {
        waits.append(duration);
        return QCoro::sleepFor(duration);
    };
    rebuild(timing);
    transcribe = [](int, int attempt) {
        return attempt < 3 ? HttpFake::Answer::text(500, "busy") : HttpFake::Answer::text(200, "late");
    };
    const Slice slice = addSlice(addRecording(), 4);

    orchestrator->onSliceReady(slice);
    ASSERT_TRUE(sliceSettles(slice));

    EXPECT_EQ(db.fetchSlice(slice.id)->rawText, "late");
    EXPECT_EQ(waits, (QList<std::chrono::milliseconds>{120ms, 240ms}));
    EXPECT_EQ(arrivals.size(), 3);
    EXPECT_EQ(orchestratorLines(),
              (QStringList{"Orchestrator: slice 4 sent to openai_whisper",
                           "Orchestrator: slice 4 attempt 1 failed: API error (500): busy",
                           "Orchestrator: slice 4 attempt 2 failed: API error (500): busy",
                           "Orchestrator: slice 4 completed (attempt 3)"}));
}

TEST_F(OrchestratorSliceTest, FailsForGoodAfterThreeFailedAttempts)
{
    transcribe = [](int, int) { return HttpFake::Answer::text(503, "down"); };
    const Slice slice = addSlice(addRecording(), 2);

    orchestrator->onSliceReady(slice);
    ASSERT_TRUE(sliceSettles(slice));

    const Slice failed = *db.fetchSlice(slice.id);
    EXPECT_EQ(failed.status, SliceStatus::failed);
    EXPECT_EQ(failed.error, "Transcription failed after 3 attempts");
    EXPECT_EQ(failed.rawText, std::nullopt);
    EXPECT_EQ(failed.provider, std::nullopt);
    EXPECT_EQ(requestsTo(openAI, kTranscriptions).size(), 3);
    EXPECT_EQ(orchestratorLines(),
              (QStringList{"Orchestrator: slice 2 sent to openai_whisper",
                           "Orchestrator: slice 2 attempt 1 failed: API error (503): down",
                           "Orchestrator: slice 2 attempt 2 failed: API error (503): down",
                           "Orchestrator: slice 2 attempt 3 failed: API error (503): down",
                           "Orchestrator: slice 2 failed permanently"}));
}

// A stored file name is only ever a name inside the recordings folder: one
// that leads elsewhere is no file at all, even when something is there.
TEST_F(OrchestratorSliceTest, ReadsOnlyItsOwnFileInTheRecordingsFolder)
{
    const QString outside = files.baseDirectory() + "/outside.m4a";
    writeFile(outside, 9);
    struct Case
    {
        const char* name;
        QString filename;
        const char* reason;
    };
    const Case cases[] = {
        {"no file", "", "No such file or directory"},
        {"parent folder", "../outside.m4a", "not a file name inside the recordings folder"},
        {"absolute path", outside, "not a file name inside the recordings folder"},
    };
    const Recording recording = addRecording();
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ++index;
        const Slice slice =
            addSlice(recording, index, SliceStatus::pending, std::nullopt, false,
                     c.filename.isEmpty() ? std::nullopt : std::optional<QString>(c.filename));
        orchestrator->onSliceReady(slice);
        ASSERT_TRUE(sliceSettles(slice));
        EXPECT_EQ(db.fetchSlice(slice.id)->error, "Transcription failed after 3 attempts");
        EXPECT_TRUE(requestsTo(openAI, kTranscriptions).isEmpty()) << "nothing may be sent";
        EXPECT_TRUE(orchestratorLines().contains(
            QString("Orchestrator: slice %1 attempt 3 failed: Cannot read slice file \"%2\": %3")
                .arg(index)
                .arg(slice.filename, c.reason)))
            << orchestratorLines().join("\n").toStdString();
    }
}

TEST_F(OrchestratorSliceTest, ChoosesTheServiceWhenEachSliceStarts)
{
    rebuild({.retryWaitUnit = 50ms, .pollInterval = 10ms});
    transcribe = [](int, int attempt) {
        return attempt == 1 ? HttpFake::Answer::text(500, "busy") : HttpFake::Answer::text(200, "w");
    };
    dashScope.setResponder([](const HttpFake::Request&) {
        return HttpFake::Answer::json(
            200, R"({"output":{"choices":[{"message":{"content":[{"text":"d"}]}}]}})");
    });
    const Recording recording = addRecording();
    const Slice first = addSlice(recording, 1);
    const Slice second = addSlice(recording, 2);

    orchestrator->onSliceReady(first);
    ASSERT_TRUE(waitUntil([&] { return orchestratorLines().size() == 2; }));   // attempt 1 failed
    // Changed while the first slice waits for its second attempt.
    prefs.setValue(PrefKey::asrModel, "qwen3-asr");
    orchestrator->onSliceReady(second);
    ASSERT_TRUE(sliceSettles(first));
    ASSERT_TRUE(sliceSettles(second));

    EXPECT_EQ(db.fetchSlice(first.id)->provider, "openai_whisper");
    EXPECT_EQ(db.fetchSlice(first.id)->rawText, "w");
    EXPECT_EQ(requestsTo(openAI, kTranscriptions).size(), 2);
    EXPECT_EQ(db.fetchSlice(second.id)->provider, "dashscope_qwen3_asr");
    EXPECT_EQ(db.fetchSlice(second.id)->rawText, "d");
    EXPECT_EQ(dashScope.requests().size(), 1);
}

// A slice pushed while it was pending carries that push's updated time; the
// text written later must make it dirty again, or it never reaches the backend.
TEST_F(OrchestratorSliceTest, StampsItsWritesSoThatAPushedSliceIsPushedAgain)
{
    const Slice slice = addSlice(addRecording(), 1);
    db.markSlicesSynced({DatabaseManager::SyncedRow::of(slice)});
    ASSERT_TRUE(db.fetchDirtySlices("local").isEmpty());

    orchestrator->onSliceReady(slice);
    ASSERT_TRUE(sliceSettles(slice));

    const QList<Slice> dirty = db.fetchDirtySlices("local");
    ASSERT_EQ(dirty.size(), 1);
    EXPECT_EQ(dirty.first().rawText, "text 1");
    EXPECT_GT(dirty.first().updatedAt, longAgo());
}

// What happens to the row while its request is on the network stays.
TEST_F(OrchestratorSliceTest, KeepsChangesMadeToTheRowDuringTheRequest)
{
    transcribe = [](int, int) {
        HttpFake::Answer a = HttpFake::Answer::text(200, "late text");
        a.delay = 100ms;
        return a;
    };
    struct Case
    {
        const char* name;
        bool completes;   // else nothing shows when the answer has come
        std::function<void(const Slice&)> meanwhile;
        std::function<void(const Slice&)> check;
    };
    const Case cases[] = {
        {"recording deleted", false,
         [&](const Slice& s) { db.softDeleteRecording(s.recordingId); },
         [&](const Slice& s) {
             const Slice after = *db.fetchSlice(s.id);
             EXPECT_TRUE(after.deletedAt.has_value()) << "the deletion must survive";
             EXPECT_EQ(after.status, SliceStatus::processing);
             EXPECT_EQ(after.rawText, std::nullopt);
             EXPECT_FALSE(orchestratorLines().join("\n").contains("completed"));
         }},
        {"duration corrected", true,
         [&](const Slice& s) {
             Slice changed = *db.fetchSlice(s.id);
             changed.duration = 12.5;
             db.updateSlice(changed);
         },
         [&](const Slice& s) {
             const Slice after = *db.fetchSlice(s.id);
             EXPECT_EQ(after.duration, 12.5);
             EXPECT_EQ(after.rawText, "late text");
             EXPECT_EQ(after.status, SliceStatus::completed);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Slice slice = addSlice(addRecording(), 1);
        const qsizetype sent = openAI.requests().size();
        orchestrator->onSliceReady(slice);
        ASSERT_TRUE(waitUntil([&] { return openAI.requests().size() > sent; }));
        c.meanwhile(slice);
        // The answer arrives 100 ms later; the task then writes, or not.
        if (c.completes)
            ASSERT_TRUE(sliceSettles(slice));
        else
            spinFor(300);
        c.check(slice);
    }
}

// The slice tasks are not kept, so they may outlive their orchestrator.
TEST_F(OrchestratorSliceTest, TasksOfADestroyedOrchestratorStopQuietly)
{
    struct Case
    {
        const char* name;
        HttpFake::Answer answer;
    };
    HttpFake::Answer silent;
    silent.silent = true;
    const Case cases[] = {
        {"during the wait between attempts", HttpFake::Answer::text(500, "busy")},
        {"during the request", silent},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rebuild({.retryWaitUnit = 30ms, .pollInterval = 10ms});
        transcribe = [answer = c.answer](int, int) { return answer; };
        const Slice slice = addSlice(addRecording(), 1);
        const qsizetype sent = openAI.requests().size();
        orchestrator->onSliceReady(slice);
        ASSERT_TRUE(waitUntil([&] { return openAI.requests().size() == sent + 1; }));
        spinFor(20);
        orchestrator.reset();
        const QString before = QString::fromStdString(describe(db.fetchSlice(slice.id)));

        spinFor(400);   // past the waits between attempts
        EXPECT_EQ(openAI.requests().size(), sent + 1) << "no further attempt";
        EXPECT_EQ(describe(db.fetchSlice(slice.id)), before.toStdString()) << "no further write";
        EXPECT_EQ(db.fetchSlice(slice.id)->status, SliceStatus::processing);
    }
}
