// The finalising step: the wait for the slices, the joined and polished text,
// the failures, and cancellation by the controller.
#include <QCoroTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include "OrchestratorFixture.h"
#include "support/StoreLock.h"

using namespace orchestratortest;

namespace {

class OrchestratorFinalizeTest : public OrchestratorFixture
{
protected:
    // The user message of a chat request.
    static QString userMessage(const HttpFake::Request& request)
    {
        return QJsonDocument::fromJson(request.body)["messages"].toArray()[1].toObject()["content"]
            .toString();
    }

    static HttpFake::Answer delayed(HttpFake::Answer answer, std::chrono::milliseconds delay)
    {
        answer.delay = delay;
        return answer;
    }
};

}  // namespace

TEST_F(OrchestratorFinalizeTest, JoinsTheTextsInSliceOrderAndPolishesThem)
{
    const Recording recording = addRecording();
    // Stored out of order; an empty text still takes its place.
    addSlice(recording, 3, SliceStatus::completed, QString("three"));
    addSlice(recording, 1, SliceStatus::completed, QString("one"));
    addSlice(recording, 2, SliceStatus::completed, QString(""));

    const std::optional<Recording> result = finalize(recording);

    ASSERT_TRUE(result);
    const Recording stored = *db.fetchRecording(recording.id);
    EXPECT_EQ(describe(result), describe(stored));
    EXPECT_EQ(stored.status, RecordingStatus::completed);
    EXPECT_EQ(stored.rawText, "one  three");
    EXPECT_EQ(stored.cleanedText, "Polished.");
    EXPECT_EQ(stored.provider, "gpt-4o-mini");
    EXPECT_EQ(stored.duration, 61.5) << "fields of other steps stay";
    EXPECT_GT(stored.updatedAt, longAgo());
    ASSERT_EQ(requestsTo(openAI, kChat).size(), 1);
    EXPECT_TRUE(userMessage(requestsTo(openAI, kChat).first()).contains("\n\"\"\"\none  three\n"));
    EXPECT_EQ(orchestratorLines(),
              (QStringList{"Orchestrator: recording " + recording.id
                               + " transcribed, raw_text length: 10",
                           "Orchestrator: recording " + recording.id
                               + " post-processing completed via gpt-4o-mini"}));
    EXPECT_EQ(orchestrator->progress(), (TranscriptionOrchestrator::Progress{recording.id, 3, 3}));
}

TEST_F(OrchestratorFinalizeTest, WaitsForTheSlicesAndReportsProgress)
{
    transcribe = [](int slice, int) {
        return delayed(HttpFake::Answer::text(200, "t" + QByteArray::number(slice)),
                       slice == 2 ? 60ms : 160ms);
    };
    const Recording recording = addRecording();
    addSlice(recording, 1, SliceStatus::completed, QString("t1"));
    const Slice second = addSlice(recording, 2);
    const Slice third = addSlice(recording, 3);
    orchestrator->onSliceReady(second);
    orchestrator->onSliceReady(third);
    QList<TranscriptionOrchestrator::Progress> seen;
    QObject::connect(orchestrator.get(), &TranscriptionOrchestrator::progressChanged,
                     [&] { seen << orchestrator->progress(); });

    const std::optional<Recording> result = finalize(recording);

    ASSERT_TRUE(result);
    EXPECT_EQ(result->rawText, "t1 t2 t3");
    EXPECT_EQ(result->status, RecordingStatus::completed);
    // Every poll assigns; the values step up one slice at a time, the total stays.
    ASSERT_GE(seen.size(), 3);
    seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
    EXPECT_EQ(seen, (QList<TranscriptionOrchestrator::Progress>{{recording.id, 1, 3}, {recording.id, 2, 3}, {recording.id, 3, 3}}));
    EXPECT_EQ(requestsTo(openAI, kTranscriptions).size(), 2) << "slices under way are not sent twice";
}

// A failed or lost slice, or slices the recorder sealed but the store
// refused (a full disk): joining the rest would pass part of the dictation
// off as all of it.
TEST_F(OrchestratorFinalizeTest, FailsWithoutPolishingWhenASliceFailedOrIsMissing)
{
    struct Case
    {
        const char* name;
        std::function<void(Recording&)> stage;
        QString error;
        QString line;   // after "Orchestrator: recording <id>"
    };
    const Case cases[] = {
        {"failed and lost slices",
         [this](Recording& r) {
             addSlice(r, 2, SliceStatus::failed);
             addSlice(r, 3, SliceStatus::lost, std::nullopt, false);
         },
         "2 slice(s) failed", " has 2 failed slice(s)"},
        {"sealed slices missing from the store", [](Recording& r) { r.sliceCount = 3; },
         "2 of 3 slice(s) were not saved", " lacks 2 of its 3 slice(s) in the database"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recording recording = addRecording();
        addSlice(recording, 1, SliceStatus::completed, QString("one"));
        c.stage(recording);
        const qsizetype linesBefore = orchestratorLines().size();

        const std::optional<Recording> result = finalize(recording);

        ASSERT_TRUE(result);
        const Recording stored = *db.fetchRecording(recording.id);
        EXPECT_EQ(describe(result), describe(stored));
        EXPECT_EQ(stored.status, RecordingStatus::failed);
        EXPECT_EQ(stored.error, c.error);
        EXPECT_EQ(stored.rawText, std::nullopt);
        EXPECT_TRUE(openAI.requests().isEmpty());
        EXPECT_EQ(orchestratorLines().mid(linesBefore),
                  (QStringList{"Orchestrator: recording " + recording.id + c.line}));
    }
}

// A transcription whose result the store refuses leaves its slice in
// processing; the wait must end with a failure, not send it again for ever.
TEST_F(OrchestratorFinalizeTest, ASliceWhoseTextTheStoreRefusesFailsTheRecording)
{
    std::unique_ptr<StoreLock> lock;
    transcribe = [&](int slice, int) {
        lock = std::make_unique<StoreLock>(files.baseDirectory() + "/talvex.db");
        return HttpFake::Answer::text(200, "text " + QByteArray::number(slice));
    };
    Recording recording = addRecording();
    addSlice(recording, 1, SliceStatus::completed, QString("one"));
    const Slice second = addSlice(recording, 2);
    orchestrator->onSliceReady(second);

    const std::optional<Recording> result = finalize(recording);

    ASSERT_TRUE(result) << "the finalising step did not end";
    ASSERT_TRUE(lock && lock->held());
    EXPECT_EQ(result->status, RecordingStatus::failed);
    EXPECT_EQ(result->error, "1 slice(s) could not be saved");
    EXPECT_EQ(requestsTo(openAI, kTranscriptions).size(), 1);
    EXPECT_TRUE(requestsTo(openAI, kChat).isEmpty());
    lock.reset();
    EXPECT_EQ(db.fetchSlice(second.id)->status, SliceStatus::processing) << "refused, so not written";
}

TEST_F(OrchestratorFinalizeTest, PolishingFailureKeepsTheRawText)
{
    polish = [](const HttpFake::Request&) { return HttpFake::Answer::text(401, "bad key"); };
    const Recording recording = addRecording();
    addSlice(recording, 1, SliceStatus::completed, QString("one"));

    const std::optional<Recording> result = finalize(recording);

    ASSERT_TRUE(result);
    const Recording stored = *db.fetchRecording(recording.id);
    EXPECT_EQ(describe(result), describe(stored));
    EXPECT_EQ(stored.status, RecordingStatus::failed);
    EXPECT_EQ(stored.error, "Post-processing failed: Post-processing API error (401): bad key");
    EXPECT_EQ(stored.rawText, "one");
    EXPECT_EQ(stored.cleanedText, std::nullopt);
    EXPECT_EQ(orchestratorLines().last(),
              "Orchestrator: post-processing failed: Post-processing API error (401): bad key");
}

// A model asked to polish nothing answers with text of its own; that reply
// must never become what is typed into the user's window.
TEST_F(OrchestratorFinalizeTest, SilentRecordingCompletesEmptyWithoutPolishing)
{
    polish = [](const HttpFake::Request&) {
        return HttpFake::Answer::json(200, chatAnswer("Please provide the text to polish."));
    };
    struct Case
    {
        const char* name;
        int emptySlices;
    };
    for (const Case& c : {Case{"no slices", 0}, Case{"two silent slices", 2}}) {
        SCOPED_TRACE(c.name);
        Recording recording = addRecording();
        recording.provider = "gpt-4o";   // from an earlier polish
        db.updateRecording(recording);
        for (int i = 1; i <= c.emptySlices; ++i)
            addSlice(recording, i, SliceStatus::completed, QString(""));

        const std::optional<Recording> result = finalize(recording);

        ASSERT_TRUE(result);
        const Recording stored = *db.fetchRecording(recording.id);
        EXPECT_EQ(describe(result), describe(stored));
        EXPECT_EQ(stored.status, RecordingStatus::completed);
        EXPECT_EQ(stored.rawText, QString(c.emptySlices == 2 ? " " : ""));
        EXPECT_EQ(stored.cleanedText, QString(""));
        EXPECT_EQ(stored.provider, std::nullopt);
        EXPECT_TRUE(requestsTo(openAI, kChat).isEmpty());
        EXPECT_EQ(orchestratorLines().last(),
                  "Orchestrator: recording " + recording.id + " has no speech, nothing to polish");
    }
}

// After a crash a slice can be left processing with nothing working on it;
// the wait would never end.
TEST_F(OrchestratorFinalizeTest, TranscribesASliceThatNothingIsWorkingOn)
{
    const Recording recording = addRecording();
    addSlice(recording, 1, SliceStatus::completed, QString("one"));
    addSlice(recording, 2, SliceStatus::processing);

    const std::optional<Recording> result = finalize(recording, {}, 3000);

    ASSERT_TRUE(result) << "the wait did not end";
    EXPECT_EQ(result->status, RecordingStatus::completed);
    EXPECT_EQ(result->rawText, "one text 2");
    EXPECT_EQ(requestsTo(openAI, kTranscriptions).size(), 1);
    EXPECT_EQ(orchestratorLines().first(),
              "Orchestrator: slice 2 has no transcription under way, transcribing it");
}

TEST_F(OrchestratorFinalizeTest, CancelledWhileWaitingStopsWithoutAnyChange)
{
    transcribe = [](int, int) { return delayed(HttpFake::Answer::text(200, "late"), 150ms); };
    const Recording recording = addRecording();
    const Slice slice = addSlice(recording, 1);
    orchestrator->onSliceReady(slice);
    const std::string before = describe(db.fetchRecording(recording.id));

    CancelToken cancel;
    int polls = 0;
    QObject::connect(orchestrator.get(), &TranscriptionOrchestrator::progressChanged,
                     [&] { ++polls; });
    auto result = std::make_shared<std::optional<Recording>>();
    detail::storeResult(orchestrator->finalizeRecording(recording, cancel), result);
    ASSERT_TRUE(waitUntil([&] { return polls >= 2; }));
    cancel.cancel();
    ASSERT_TRUE(waitUntil([&] { return result->has_value(); }, 1000));
    EXPECT_EQ(db.fetchSlice(slice.id)->status, SliceStatus::processing) << "ended before the slice";
    EXPECT_EQ(describe(**result), describe(recording));

    ASSERT_TRUE(sliceSettles(slice));   // the slice goes on to its end
    spinFor(50);
    EXPECT_EQ(db.fetchSlice(slice.id)->rawText, "late");
    EXPECT_EQ(describe(db.fetchRecording(recording.id)), before);
    EXPECT_EQ(orchestratorLines().filter("recording").size(), 0);
    EXPECT_TRUE(requestsTo(openAI, kChat).isEmpty());
}

TEST_F(OrchestratorFinalizeTest, CancelledWhilePolishingAbortsTheRequestAndWritesNothing)
{
    polish = [](const HttpFake::Request&) {
        HttpFake::Answer never;
        never.silent = true;
        return never;
    };
    const Recording recording = addRecording();
    addSlice(recording, 1, SliceStatus::completed, QString("one"));
    CancelToken cancel;
    QObject::connect(&openAI, &HttpFake::requestReceived, [&] { cancel.cancel(); });

    QElapsedTimer elapsed;
    elapsed.start();
    const std::optional<Recording> result = finalize(recording, cancel, 3000);

    // The answer never comes and the time-out is 20 s: only the abort ends it.
    ASSERT_TRUE(result);
    EXPECT_LT(elapsed.elapsed(), 2000);
    ASSERT_EQ(requestsTo(openAI, kChat).size(), 1);
    const Recording stored = *db.fetchRecording(recording.id);
    EXPECT_EQ(stored.status, RecordingStatus::transcribed) << "as written before polishing";
    EXPECT_EQ(stored.cleanedText, std::nullopt);
    EXPECT_EQ(describe(result), describe(stored));
    spinFor(50);
    EXPECT_EQ(orchestratorLines(), (QStringList{"Orchestrator: recording " + recording.id
                                                + " transcribed, raw_text length: 3"}));
}

// The copy held across the polishing request is not written back over what
// happened to the row meanwhile.
TEST_F(OrchestratorFinalizeTest, KeepsChangesMadeToTheRecordingWhilePolishing)
{
    polish = [](const HttpFake::Request&) {
        return delayed(HttpFake::Answer::json(200, chatAnswer("Polished.")), 80ms);
    };
    struct Case
    {
        const char* name;
        std::function<void(const Recording&)> meanwhile;
        std::function<void(const Recording&)> check;
    };
    const Case cases[] = {
        {"deleted by the user",
         [&](const Recording& r) { db.softDeleteRecording(r.id); },
         [&](const Recording& r) {
             const Recording after = *db.fetchRecordingIncludingDeleted(r.id);
             EXPECT_TRUE(after.deletedAt.has_value()) << "the deletion must survive";
             EXPECT_EQ(after.cleanedText, std::nullopt);
             EXPECT_FALSE(orchestratorLines().join("\n").contains("post-processing completed"));
         }},
        {"slice count corrected",
         [&](const Recording& r) {
             Recording changed = *db.fetchRecording(r.id);
             changed.sliceCount = 7;
             db.updateRecording(changed);
         },
         [&](const Recording& r) {
             const Recording after = *db.fetchRecording(r.id);
             EXPECT_EQ(after.sliceCount, 7);
             EXPECT_EQ(after.cleanedText, "Polished.");
             EXPECT_EQ(after.status, RecordingStatus::completed);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Recording recording = addRecording();
        addSlice(recording, 1, SliceStatus::completed, QString("one"));
        const auto onChat = QObject::connect(&openAI, &HttpFake::requestReceived,
                                             [&] { c.meanwhile(recording); });
        ASSERT_TRUE(finalize(recording));
        QObject::disconnect(onChat);
        c.check(recording);
    }
}

// The stop leaves the last slice to be stored and its file finished after the
// finalising step has begun: the step waits for it instead of failing the
// recording for a missing row or sending a file still being written.
TEST_F(OrchestratorFinalizeTest, WaitsForAnExpectedSliceUntilItIsHandedOver)
{
    Recording recording = addRecording();
    recording.sliceCount = 2;
    db.updateRecording(recording);
    addSlice(recording, 1, SliceStatus::completed, QString("one"));
    const Recording otherRecording = addRecording();

    int polls = 0;
    OrchestratorTiming timing = orchestratorTiming;
    timing.wait = [&](std::chrono::milliseconds duration) {
        // The second slice arrives during the second poll's wait.
        if (++polls == 2)
            orchestrator->onSliceReady(addSlice(recording, 2));
        return QCoro::sleepFor(duration);
    };
    rebuild(timing);
    orchestrator->expectSlice(recording.id, 2);
    // Another recording's slice on its way is none of this step's business.
    orchestrator->expectSlice(otherRecording.id, 1);

    const std::optional<Recording> result = finalize(recording);

    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, RecordingStatus::completed) << result->error.value_or("").toStdString();
    EXPECT_EQ(result->rawText, "one text 2");
    EXPECT_GE(polls, 2) << "the step waited until the slice was handed over";
    EXPECT_EQ(requestsTo(openAI, kTranscriptions).size(), 1);
    EXPECT_EQ(orchestrator->progress(), (TranscriptionOrchestrator::Progress{recording.id, 2, 2}));
}

// The polishing request goes out while the joined text is being stored; when
// that write finds the recording deleted, the request is aborted and nothing
// of its answer is used or logged.
TEST_F(OrchestratorFinalizeTest, ARecordingDeletedBeforeItsTextIsStoredAbortsThePolishing)
{
    polish = [](const HttpFake::Request&) {
        return delayed(HttpFake::Answer::json(200, chatAnswer("Polished.")), 80ms);
    };
    const Recording recording = addRecording();
    addSlice(recording, 1, SliceStatus::completed, QString("one"));
    // Deleted on another device: the row alone, its slices still live here.
    Recording deleted = recording;
    deleted.deletedAt = QDateTime::currentDateTimeUtc();
    db.updateRecording(deleted);

    const std::optional<Recording> result = finalize(recording);
    spinFor(200);

    ASSERT_TRUE(result);
    EXPECT_EQ(describe(result), describe(recording));
    const Recording after = *db.fetchRecordingIncludingDeleted(recording.id);
    EXPECT_TRUE(after.deletedAt.has_value());
    EXPECT_EQ(after.rawText, std::nullopt);
    EXPECT_EQ(after.cleanedText, std::nullopt);
    EXPECT_TRUE(logMessages().filter("PostProcessor: completed").isEmpty()) << logMessages().join("\n").toStdString();
    EXPECT_TRUE(orchestratorLines().isEmpty());
}
