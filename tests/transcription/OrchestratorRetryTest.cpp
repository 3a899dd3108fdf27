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
        const Recording recording = failedRecording("Post-processing failed: timed out");
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
