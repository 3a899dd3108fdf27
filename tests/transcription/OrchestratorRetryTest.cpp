// Processing a stored recording again from the recordings screen.
#include <gtest/gtest.h>

#include "OrchestratorFixture.h"

using namespace orchestratortest;

namespace {

class OrchestratorRetryTest : public OrchestratorFixture
{
protected:
    std::optional<std::optional<Recording>> retry(const QString& id, RetryMode mode)
    {
        return runTask(orchestrator->retry(id, mode));
    }

    Recording failedRecording(const QString& error)
    {
        Recording r = addRecording();
        r.status = RecordingStatus::failed;
        r.error = error;
        db.updateRecording(r);
        return r;
    }
};

}  // namespace

// After a restart the recovery has turned every failed slice whose file is
// still there into a pending one: those are what a retry must transcribe.
TEST_F(OrchestratorRetryTest, RetryFailedTranscribesFailedAndLeftOverSlicesOneAtATime)
{
    transcribe = [](int slice, int) {
        HttpFake::Answer a = HttpFake::Answer::text(200, "again " + QByteArray::number(slice));
        a.delay = 60ms;
        return a;
    };
    const Recording recording = failedRecording("2 slice(s) failed");
    addSlice(recording, 1, SliceStatus::completed, QString("one"));
    addSlice(recording, 2, SliceStatus::failed);
    addSlice(recording, 3, SliceStatus::pending);   // failed before the restart

    const auto result = retry(recording.id.toUpper(), RetryMode::retryFailed);

    ASSERT_TRUE(result) << "the retry did not end";
    ASSERT_TRUE(*result);
    EXPECT_EQ((*result)->status, RecordingStatus::completed);
    EXPECT_EQ((*result)->rawText, "one again 2 again 3");
    EXPECT_EQ((*result)->cleanedText, "Polished.");
    const QList<HttpFake::Request> sent = requestsTo(openAI, kTranscriptions);
    ASSERT_EQ(sent.size(), 2);
    EXPECT_EQ(sliceOf(sent[0].body), 2);
    EXPECT_EQ(sliceOf(sent[1].body), 3);
    EXPECT_GE(arrivals[1] - arrivals[0], 60) << "the next slice starts after the previous answer";
    EXPECT_FALSE(orchestratorLines().join("\n").contains("no transcription under way"))
        << "the retry itself transcribes them, before the finalising step";
}

TEST_F(OrchestratorRetryTest, RetryFailedAfterAPolishingFailurePolishesTheStoredTextsAgain)
{
    const Recording recording = failedRecording("Post-processing failed: timed out");
    addSlice(recording, 1, SliceStatus::completed, QString("one"));
    addSlice(recording, 2, SliceStatus::completed, QString("two"));

    const auto result = retry(recording.id, RetryMode::retryFailed);

    ASSERT_TRUE(result && *result);
    EXPECT_EQ((*result)->status, RecordingStatus::completed);
    EXPECT_EQ((*result)->rawText, "one two");
    EXPECT_TRUE(requestsTo(openAI, kTranscriptions).isEmpty());
    EXPECT_EQ(requestsTo(openAI, kChat).size(), 1);
}

TEST_F(OrchestratorRetryTest, UnknownOrDeletedRecordingIsLeftAlone)
{
    const Recording deleted = failedRecording("1 slice(s) failed");
    addSlice(deleted, 1, SliceStatus::failed);
    db.softDeleteRecording(deleted.id);
    for (const RetryMode mode : {RetryMode::retryFailed, RetryMode::regenerate}) {
        for (const QString& id : {QString("no-such-id"), deleted.id}) {
            const auto result = retry(id, mode);
            ASSERT_TRUE(result);
            EXPECT_EQ(*result, std::nullopt);
        }
    }
    EXPECT_TRUE(openAI.requests().isEmpty());
    EXPECT_TRUE(orchestratorLines().isEmpty());
    EXPECT_EQ(db.fetchSlices(deleted.id, true).first().status, SliceStatus::failed);
}

TEST_F(OrchestratorRetryTest, RegenerateTranscribesEverySliceAndPolishesAgain)
{
    Recording recording = addRecording();
    recording.status = RecordingStatus::completed;
    recording.rawText = "old one old two";
    recording.cleanedText = "Old.";
    db.updateRecording(recording);
    const Slice first = addSlice(recording, 1, SliceStatus::completed, QString("old one"));
    Slice second = addSlice(recording, 2, SliceStatus::completed, QString("old two"));
    second.error = "Transcription failed after 3 attempts";   // from an earlier failure
    db.updateSlice(second);

    const auto result = retry(recording.id, RetryMode::regenerate);

    ASSERT_TRUE(result && *result);
    EXPECT_EQ((*result)->status, RecordingStatus::completed);
    EXPECT_EQ((*result)->rawText, "text 1 text 2");
    EXPECT_EQ((*result)->cleanedText, "Polished.");
    EXPECT_EQ(db.fetchSlice(first.id)->rawText, "text 1");
    EXPECT_EQ(db.fetchSlice(second.id)->error, std::nullopt);
    EXPECT_EQ(requestsTo(openAI, kTranscriptions).size(), 2);
}

// Without the audio of every slice the stored texts are all that is left;
// wiping them would end in a failed recording, pushed to the backend.
TEST_F(OrchestratorRetryTest, RegenerateRefusesARecordingWithoutEveryAudioFile)
{
    struct Case
    {
        const char* name;
        SliceStatus status;
        bool withFile;
        std::optional<QString> filename;
    };
    const Case cases[] = {
        {"lost slice", SliceStatus::lost, false, std::nullopt},
        {"file gone (recorded elsewhere)", SliceStatus::completed, false, std::nullopt},
        {"name outside the recordings folder", SliceStatus::completed, true, QString("../x.m4a")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recording recording = addRecording();
        recording.status = RecordingStatus::completed;
        recording.rawText = "one two";
        recording.cleanedText = "One two.";
        db.updateRecording(recording);
        const Slice kept = addSlice(recording, 1, SliceStatus::completed, QString("one"));
        const Slice odd = addSlice(recording, 2, c.status,
                                   c.status == SliceStatus::lost ? std::nullopt
                                                                 : std::optional<QString>("two"),
                                   c.withFile, c.filename);
        if (c.filename)   // something is there, outside the folder
            writeFile(files.baseDirectory() + "/x.m4a", 2);
        recording = *db.fetchRecording(recording.id);
        db.markRecordingsSynced({DatabaseManager::SyncedRow::of(recording)});
        db.markSlicesSynced({DatabaseManager::SyncedRow::of(kept), DatabaseManager::SyncedRow::of(odd)});

        const auto result = retry(recording.id, RetryMode::regenerate);

        ASSERT_TRUE(result && *result);
        EXPECT_EQ(describe(*result), describe(recording)) << "returned as it was";
        EXPECT_EQ(describe(db.fetchRecording(recording.id)), describe(recording));
        EXPECT_EQ(describe(db.fetchSlice(kept.id)), describe(kept));
        EXPECT_EQ(describe(db.fetchSlice(odd.id)), describe(odd));
        EXPECT_TRUE(db.fetchDirtyRecordings("local").isEmpty()) << "nothing to push";
        EXPECT_TRUE(db.fetchDirtySlices("local").isEmpty());
        EXPECT_TRUE(openAI.requests().isEmpty());
        EXPECT_EQ(orchestratorLines().last(),
                  "Orchestrator: recording " + recording.id
                      + " not regenerated: 1 slice(s) lost or without audio file");
        EXPECT_EQ(logger.entries().last().level, LogLevel::warning);
    }
}

// Offline, with a bad key or a failing model the earlier result must survive:
// a text is replaced only by a new successful one.
TEST_F(OrchestratorRetryTest, RegenerateThatFailsKeepsTheEarlierTexts)
{
    struct Case
    {
        const char* name;
        std::function<void()> stage;
        QStringList sliceTexts;   // afterwards, in slice order
        QString error;
    };
    const Case cases[] = {
        {"the service fails for one slice",
         [this] {
             transcribe = [](int slice, int) {
                 return slice == 2 ? HttpFake::Answer::text(503, "busy")
                                   : HttpFake::Answer::text(200, "new " + QByteArray::number(slice));
             };
         },
         {"new 1", "old two"}, "1 slice(s) failed"},
        {"no key", [this] { prefs.setValue(PrefKey::apiKey, QString()); }, {"old one", "old two"},
         "2 slice(s) failed"},
        {"polishing fails",
         [this] { polish = [](const HttpFake::Request&) { return HttpFake::Answer::text(500, "down"); }; },
         {"text 1", "text 2"}, "Post-processing failed: Post-processing API error (500): down"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        prefs.setValue(PrefKey::apiKey, "sk-openai-test");
        transcribe = [](int slice, int) { return HttpFake::Answer::text(200, "text " + QByteArray::number(slice)); };
        polish = [](const HttpFake::Request&) {
            return HttpFake::Answer::json(200, orchestratortest::chatAnswer("Polished."));
        };
        c.stage();
        Recording recording = addRecording();
        recording.status = RecordingStatus::completed;
        recording.rawText = "old one old two";
        recording.cleanedText = "Old one, old two.";
        recording.provider = "gpt-4o";
        db.updateRecording(recording);
        const Slice first = addSlice(recording, 1, SliceStatus::completed, QString("old one"));
        const Slice second = addSlice(recording, 2, SliceStatus::completed, QString("old two"));

        const auto result = retry(recording.id, RetryMode::regenerate);

        ASSERT_TRUE(result && *result);
        const Recording stored = *db.fetchRecording(recording.id);
        EXPECT_EQ(describe(**result), describe(stored));
        EXPECT_EQ(stored.status, RecordingStatus::failed);
        EXPECT_EQ(stored.error, c.error);
        EXPECT_EQ(stored.rawText, "old one old two");
        EXPECT_EQ(stored.cleanedText, "Old one, old two.");
        EXPECT_EQ(stored.provider, "gpt-4o");
        EXPECT_EQ((QStringList{db.fetchSlice(first.id)->rawText.value_or("none"),
                               db.fetchSlice(second.id)->rawText.value_or("none")}),
                  c.sliceTexts);
    }
}

// The polishing answer comes after the orchestrator is gone: the request is
// aborted with it, so nothing of the retry runs on (no log line, no write),
// and the retry ends without waiting for that answer.
TEST_F(OrchestratorRetryTest, EndingTheOrchestratorAbortsARetrysPolishing)
{
    polish = [](const HttpFake::Request&) {
        HttpFake::Answer late = HttpFake::Answer::json(200, chatAnswer("Polished late."));
        late.delay = 300ms;
        return late;
    };
    for (const RetryMode mode : {RetryMode::retryFailed, RetryMode::regenerate}) {
        SCOPED_TRACE(mode == RetryMode::retryFailed ? "retry failed" : "regenerate");
        rebuild(orchestratorTiming);
        Recording recording = failedRecording("Post-processing failed: timed out");
        if (mode == RetryMode::regenerate) {
            recording.status = RecordingStatus::completed;
            recording.error = std::nullopt;
            db.updateRecording(recording);
        }
        addSlice(recording, 1, SliceStatus::completed, QString("one"));
        const QString marker = "test: orchestrator ended";
        std::optional<Recording> rowAtTheEnd;
        const auto onArrival = QObject::connect(&openAI, &HttpFake::requestReceived,
                                                [&](const HttpFake::Request& r) {
            if (r.path != kChat)
                return;
            orchestrator.reset();
            logger.info(marker);
            rowAtTheEnd = db.fetchRecording(recording.id);
        });

        const auto result = runTask(orchestrator->retry(recording.id, mode));
        QObject::disconnect(onArrival);

        ASSERT_TRUE(result) << "the retry did not end";
        ASSERT_TRUE(rowAtTheEnd) << "no polishing request";
        const QStringList lines = logMessages();
        EXPECT_EQ(lines.mid(lines.lastIndexOf(marker) + 1), QStringList()) << "logged after the end";
        EXPECT_EQ(describe(db.fetchRecording(recording.id)), describe(rowAtTheEnd));
    }
}

// One rule decides what the history offers and what a retry accepts: a
// retry needs a recording that stopped short of its text and a live slice,
// a regenerate a completed recording with every slice's audio. A refused
// request changes nothing and says why in a warning line.
TEST_F(OrchestratorRetryTest, WhatMayBeProcessedAgainDependsOnTheRecordingAndItsSlices)
{
    struct StoredSlice
    {
        SliceStatus status;
        bool withFile = true;
        bool deleted = false;
    };
    struct Case
    {
        const char* name;
        RecordingStatus status;
        QList<StoredSlice> slices;
        bool canRetry;
        bool canRegenerate;
        const char* refusal;   // of the mode not allowed (regenerate when both are refused)
    };
    const StoredSlice done{SliceStatus::completed};
    const Case cases[] = {
        {"completed with every file", RecordingStatus::completed, {done, done}, false, true,
         "not retried: it is completed"},
        {"completed, a lost slice", RecordingStatus::completed, {done, {SliceStatus::lost, false}}, false,
         false, "not regenerated: 1 slice(s) lost or without audio file"},
        {"completed, a file missing", RecordingStatus::completed, {done, {SliceStatus::completed, false}},
         false, false, "not regenerated: 1 slice(s) lost or without audio file"},
        {"completed without a slice", RecordingStatus::completed, {}, false, false,
         "not regenerated: it has no slice"},
        {"completed, its only slice deleted", RecordingStatus::completed,
         {{SliceStatus::completed, true, true}}, false, false, "not regenerated: it has no slice"},
        {"failed with a failed slice", RecordingStatus::failed, {done, {SliceStatus::failed}}, true, false,
         "not regenerated: it is failed"},
        {"failed without a slice", RecordingStatus::failed, {}, false, false,
         "not regenerated: it is failed"},
        {"recorded, slices left pending", RecordingStatus::recorded, {{SliceStatus::pending}}, true, false,
         "not regenerated: it is recorded"},
        {"transcribed", RecordingStatus::transcribed, {done}, true, false,
         "not regenerated: it is transcribed"},
        {"still recording", RecordingStatus::recording, {done}, false, false,
         "not regenerated: it is recording"},
        {"paused", RecordingStatus::paused, {done}, false, false, "not regenerated: it is paused"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recording recording = addRecording();
        recording.status = c.status;
        recording.rawText = "old words";
        recording.cleanedText = c.status == RecordingStatus::completed ? std::optional<QString>("Old words.")
                                                                       : std::nullopt;
        recording.error = c.status == RecordingStatus::failed ? std::optional<QString>("1 slice(s) failed")
                                                              : std::nullopt;
        db.updateRecording(recording);
        int index = 0;
        for (const StoredSlice& shape : c.slices) {
            const bool hasText = shape.status == SliceStatus::completed;
            const Slice slice = addSlice(recording, ++index, shape.status,
                                         hasText ? std::optional<QString>("old") : std::nullopt, shape.withFile);
            if (shape.deleted) {
                Slice gone = slice;
                gone.deletedAt = QDateTime::currentDateTimeUtc();
                db.updateSlice(gone);
            }
        }
        recording = *db.fetchRecording(recording.id);

        EXPECT_EQ(orchestrator->canRetry(recording), c.canRetry);
        EXPECT_EQ(orchestrator->canRegenerate(recording), c.canRegenerate);

        const RetryMode refused = c.canRegenerate ? RetryMode::retryFailed : RetryMode::regenerate;
        const int requestsBefore = int(openAI.requests().size());
        const auto result = retry(recording.id, refused);
        ASSERT_TRUE(result && *result);
        EXPECT_EQ(describe(db.fetchRecording(recording.id)), describe(recording)) << "nothing written";
        EXPECT_EQ(openAI.requests().size(), requestsBefore);
        EXPECT_EQ(orchestratorLines().last(), "Orchestrator: recording " + recording.id + " " + c.refusal);
        EXPECT_EQ(logger.entries().last().level, LogLevel::warning);
        if (!c.canRetry && !c.canRegenerate) {
            const auto other = retry(recording.id, RetryMode::retryFailed);
            ASSERT_TRUE(other && *other);
            EXPECT_EQ(describe(db.fetchRecording(recording.id)), describe(recording));
            EXPECT_TRUE(orchestratorLines().last().contains(" not retried: ")) << orchestratorLines().last().toStdString();
        }

        if (c.canRetry || c.canRegenerate) {
            const auto processed =
                retry(recording.id, c.canRetry ? RetryMode::retryFailed : RetryMode::regenerate);
            ASSERT_TRUE(processed && *processed);
            EXPECT_EQ((*processed)->status, RecordingStatus::completed);
            EXPECT_EQ(db.fetchRecording(recording.id)->cleanedText, "Polished.");
        }
    }
}

// A second retry or regenerate of a recording whose retry is still under way
// is refused; the start and the end of the first are announced.
TEST_F(OrchestratorRetryTest, ASecondRetryOfARecordingUnderWayIsRefused)
{
    transcribe = [](int slice, int) {
        HttpFake::Answer held = HttpFake::Answer::text(200, "again " + QByteArray::number(slice));
        held.heldAs = "answer";
        return held;
    };
    const Recording recording = failedRecording("1 slice(s) failed");
    addSlice(recording, 1, SliceStatus::failed);
    QStringList announced;
    QObject::connect(orchestrator.get(), &TranscriptionOrchestrator::retryingChanged, [&](const QString& id) {
        announced << id + (orchestrator->isRetrying(id) ? " started" : " ended");
    });

    auto first = std::make_shared<std::optional<std::optional<Recording>>>();
    detail::storeResult(orchestrator->retry(recording.id.toUpper(), RetryMode::retryFailed), first);
    EXPECT_TRUE(orchestrator->isRetrying(recording.id));
    EXPECT_EQ(announced, QStringList{recording.id + " started"});

    for (const RetryMode mode : {RetryMode::retryFailed, RetryMode::regenerate}) {
        const auto second = retry(recording.id, mode);
        ASSERT_TRUE(second && *second) << "refused at once";
        EXPECT_EQ(orchestratorLines().last(),
                  "Orchestrator: recording " + recording.id + " not "
                      + (mode == RetryMode::retryFailed ? "retried" : "regenerated")
                      + ": it is being processed again already");
    }
    EXPECT_FALSE(first->has_value());

    ASSERT_TRUE(waitUntil([&] { return openAI.release("answer"); }));
    ASSERT_TRUE(waitUntil([&] { return first->has_value(); }));
    EXPECT_EQ((**first)->status, RecordingStatus::completed);
    EXPECT_FALSE(orchestrator->isRetrying(recording.id));
    EXPECT_EQ(announced, (QStringList{recording.id + " started", recording.id + " ended"}));
    EXPECT_EQ(requestsTo(openAI, kTranscriptions).size(), 1);
}

// The dictation being finished is not offered for a retry: its slices are
// still under way. Once its processing is cancelled it may be.
TEST_F(OrchestratorRetryTest, TheRecordingBeingFinishedIsNotRetried)
{
    transcribe = [](int, int) {
        HttpFake::Answer never;
        never.silent = true;
        return never;
    };
    const Recording recording = addRecording();
    addSlice(recording, 1, SliceStatus::pending);
    ASSERT_TRUE(orchestrator->canRetry(recording)) << "left recorded, as after a crash";

    orchestrator->expectSlice(recording.id, 2);
    EXPECT_FALSE(orchestrator->canRetry(recording)) << "its last slice is being sealed";
    orchestrator->onSliceReady(addSlice(recording, 2, SliceStatus::pending));
    const CancelToken processing;
    auto finished = std::make_shared<std::optional<Recording>>();
    detail::storeResult(orchestrator->finalizeRecording(recording, processing), finished);
    EXPECT_FALSE(orchestrator->canRetry(recording)) << "being finished";

    processing.cancel();
    EXPECT_TRUE(orchestrator->canRetry(recording)) << "cancelled, before its step notices";
    ASSERT_TRUE(waitUntil([&] { return finished->has_value(); }));
    EXPECT_TRUE(orchestrator->canRetry(recording));
}
