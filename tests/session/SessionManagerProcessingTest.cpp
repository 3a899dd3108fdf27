// A stopped dictation to its end: recognised, polished and inserted; waiting
// in confirming when the insertion fails; failed; empty; cancelled; and the
// return to idle.
#include <QSignalSpy>
#include <gtest/gtest.h>

#include "SessionFixture.h"

using namespace sessiontest;

namespace {

// An "é" written as e + combining acute, and a thumbs-up with a skin tone:
// 7 characters in 11 UTF-16 units.
const QString kPolished = QString::fromUtf8("Cafe\u0301 \U0001F44D\U0001F3FD!");
constexpr int kPolishedCharacters = 7;

class SessionManagerProcessingTest : public SessionFixture
{
protected:
    SessionManagerProcessingTest()
    {
        polish = [](const HttpFake::Request&) { return chatAnswer(kPolished); };
    }

    // A dictation whose insertion fails, waiting in confirming.
    QString reachConfirming()
    {
        windows.activation = FakeDesktopWindows::Activation::refused;
        buildReady();
        const QString id = dictate();
        EXPECT_TRUE(waitForState(SessionState::confirming));
        return id;
    }
};

}  // namespace

namespace {

struct InjectionCase
{
    const char* name;
    bool focusedField;   // else there is nothing to write into and the text is pasted
};

void PrintTo(const InjectionCase& c, std::ostream* out) { *out << c.name; }

class SessionManagerInjects : public SessionManagerProcessingTest,
                              public testing::WithParamInterface<InjectionCase>
{
};

}  // namespace

TEST_P(SessionManagerInjects, RecognisesPolishesInsertsAndReturnsToIdle)
{
    if (!GetParam().focusedField)
        accessibility.focusedFields.clear();
    transcribe = [](int request) {
        return HttpFake::Answer::text(200, request == 1 ? "hello\n" : "world\n");
    };
    buildReady();
    freshLines();
    const QString id = dictate();
    ASSERT_TRUE(waitForState(SessionState::idle));

    ASSERT_EQ(requestsTo(kTranscriptions).size(), 2);
    ASSERT_EQ(requestsTo(kChat).size(), 1);
    EXPECT_EQ(chatText(requestsTo(kChat).first()), "hello world");
    if (GetParam().focusedField) {
        EXPECT_EQ(field->writes, QStringList{kPolished});
        EXPECT_EQ(keys.pastes(), 0);
    } else {
        EXPECT_EQ(keys.clipboardAtPaste, QStringList{kPolished});
    }
    EXPECT_EQ(windows.activated.size(), 1) << "the remembered application was brought back";

    const Recording done = *row(id);
    EXPECT_EQ(done.status, RecordingStatus::completed);
    EXPECT_EQ(done.rawText, "hello world");
    EXPECT_EQ(done.cleanedText, kPolished);
    EXPECT_FALSE(session->currentRecording());
    EXPECT_FALSE(session->cleanedText());
    EXPECT_FALSE(session->errorMessage());
    EXPECT_FALSE(session->textInjector().targetApp());
    EXPECT_EQ(freshLines().filter("SessionManager: "),
              (QStringList{"INFO SessionManager: state idle \u2192 recording",
                           "INFO SessionManager: state recording \u2192 paused",
                           "INFO SessionManager: state paused \u2192 recording",
                           "INFO SessionManager: state \u2192 processing",
                           "INFO SessionManager: transcription done, auto-injecting 7 chars",
                           "INFO SessionManager: auto-inject succeeded",
                           "INFO SessionManager: state \u2192 idle"}));
}

INSTANTIATE_TEST_SUITE_P(Injection, SessionManagerInjects,
                         testing::Values(InjectionCase{"AccessibilityWrite", true},
                                         InjectionCase{"Paste", false}),
                         [](const testing::TestParamInfo<InjectionCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(SessionManagerProcessingTest, FailedInsertionWaitsInConfirming)
{
    windows.activation = FakeDesktopWindows::Activation::refused;
    buildReady();
    freshLines();
    const QString id = dictate();
    ASSERT_TRUE(waitForState(SessionState::confirming));

    EXPECT_EQ(session->cleanedText(), kPolished);
    ASSERT_NE(kPolished.length(), kPolishedCharacters);
    EXPECT_EQ(session->characterCount(), kPolishedCharacters);
    EXPECT_EQ(session->injectionTarget(), (InjectionTarget{"Editor", "notes.txt"}));
    EXPECT_EQ(describe(session->currentRecording()), describe(row(id)));
    EXPECT_EQ(row(id)->status, RecordingStatus::completed);
    EXPECT_FALSE(session->errorMessage());
    EXPECT_TRUE(field->writes.isEmpty());
    const QStringList lines = freshLines().filter("SessionManager: ");
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines.mid(lines.size() - 2),
              (QStringList{"INFO SessionManager: transcription done, auto-injecting 7 chars",
                           "WARN SessionManager: auto-inject failed, entering confirming state"}));
}

TEST_F(SessionManagerProcessingTest, InjectFromConfirmingInsertsAndReturnsToIdle)
{
    reachConfirming();
    windows.activation = FakeDesktopWindows::Activation::obeyed;
    freshLines();

    session->injectText();

    EXPECT_EQ(field->writes, QStringList{kPolished});
    EXPECT_EQ(session->state(), SessionState::idle);
    EXPECT_FALSE(session->errorMessage());
    EXPECT_FALSE(session->cleanedText());
    EXPECT_EQ(freshLines().filter("SessionManager: "),
              QStringList{"INFO SessionManager: state \u2192 idle"});
}

TEST_F(SessionManagerProcessingTest, FailedInjectFromConfirmingLeavesTheMessageAfterTheReturn)
{
    reachConfirming();

    session->injectText();

    EXPECT_EQ(session->state(), SessionState::idle);
    EXPECT_EQ(session->errorMessage(), "Failed to inject text. Try copying to clipboard instead.");
    EXPECT_FALSE(session->cleanedText());
    EXPECT_FALSE(session->currentRecording());
    EXPECT_TRUE(field->writes.isEmpty());

    // The message is still there while the next recording runs.
    start();
    EXPECT_EQ(session->errorMessage(), "Failed to inject text. Try copying to clipboard instead.");
}

TEST_F(SessionManagerProcessingTest, CopyPutsTheTextOnTheClipboardAndReturnsToIdle)
{
    const QString id = reachConfirming();
    freshLines();

    session->copyText();

    EXPECT_EQ(clipboardText(), kPolished);
    EXPECT_EQ(session->state(), SessionState::idle);
    EXPECT_FALSE(session->cleanedText());
    EXPECT_EQ(freshLines().filter("SessionManager: "),
              QStringList{"INFO SessionManager: state \u2192 idle"});
    EXPECT_EQ(row(id)->cleanedText, kPolished);
}

TEST_F(SessionManagerProcessingTest, DismissKeepsTheTextOnlyInTheStore)
{
    const QString id = reachConfirming();
    const std::string stored = describe(row(id));
    freshLines();

    session->cancelInjection();

    EXPECT_EQ(session->state(), SessionState::idle);
    EXPECT_FALSE(session->cleanedText());
    EXPECT_EQ(freshLines().filter("SessionManager: "),
              (QStringList{"INFO SessionManager: injection cancelled, text preserved in DB",
                           "INFO SessionManager: state \u2192 idle"}));
    EXPECT_EQ(describe(row(id)), stored);
    EXPECT_TRUE(field->writes.isEmpty());
    EXPECT_NE(clipboardText(), kPolished);
}

namespace {

struct FailureCase
{
    const char* name;
    std::function<HttpFake::Answer(int)> transcribe;
    std::function<HttpFake::Answer(const HttpFake::Request&)> polish;
    QString error;
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class SessionManagerFailedProcessing : public SessionManagerProcessingTest,
                                       public testing::WithParamInterface<FailureCase>
{
};

}  // namespace

TEST_P(SessionManagerFailedProcessing, ShowsTheRecordingsErrorAndKeepsIt)
{
    const FailureCase c = GetParam();
    if (c.transcribe)
        transcribe = c.transcribe;
    if (c.polish)
        polish = c.polish;
    buildReady();
    freshLines();
    const QString id = dictate();
    ASSERT_TRUE(waitForState(SessionState::idle));

    const Recording failed = *row(id);
    EXPECT_EQ(failed.status, RecordingStatus::failed);
    EXPECT_EQ(failed.error, c.error);
    EXPECT_EQ(session->errorMessage(), c.error);
    EXPECT_EQ(describe(session->currentRecording()), describe(failed)) << "kept until the next return to idle";
    EXPECT_TRUE(field->writes.isEmpty());
    EXPECT_EQ(keys.pastes(), 0);
    EXPECT_TRUE(session->textInjector().targetApp()) << "no return to idle ran";
    const QStringList lines = freshLines().filter("SessionManager: ");
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.last(), "INFO SessionManager: state processing \u2192 idle (failed)");
    EXPECT_FALSE(lines.contains("INFO SessionManager: state \u2192 idle"));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, SessionManagerFailedProcessing,
    testing::Values(
        FailureCase{"SliceFailsEveryAttempt",
                    [](int request) {
                        // The second slice's three attempts fail; the first succeeds.
                        return request == 1 ? HttpFake::Answer::text(200, "hello")
                                            : HttpFake::Answer::text(500, "overloaded");
                    },
                    {}, "1 slice(s) failed"},
        FailureCase{"PolishingFails", {},
                    [](const HttpFake::Request&) { return HttpFake::Answer::text(401, "bad key"); },
                    "Post-processing failed: Post-processing API error (401): bad key"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(SessionManagerProcessingTest, NothingSaidReturnsToIdleWithoutInserting)
{
    transcribe = [](int) { return HttpFake::Answer::text(200, "\n"); };
    buildReady();
    freshLines();
    const QString id = dictate();
    ASSERT_TRUE(waitForState(SessionState::idle));

    const Recording done = *row(id);
    EXPECT_EQ(done.status, RecordingStatus::completed);
    EXPECT_EQ(done.cleanedText, "");
    EXPECT_TRUE(requestsTo(kChat).isEmpty());
    EXPECT_TRUE(field->writes.isEmpty());
    EXPECT_EQ(keys.pastes(), 0);
    EXPECT_TRUE(windows.activated.isEmpty());
    EXPECT_FALSE(session->errorMessage());
    EXPECT_FALSE(session->currentRecording());
    EXPECT_FALSE(session->textInjector().targetApp());
    const QStringList lines = freshLines().filter("SessionManager: ");
    EXPECT_TRUE(lines.filter("auto-inject").isEmpty());
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.last(), "INFO SessionManager: state \u2192 idle");
}

// Cancelling while the slices are still being recognised: they finish on their
// own, but the recording is neither joined, polished, inserted nor rewritten.
TEST_F(SessionManagerProcessingTest, CancelWhileSlicesRunChangesNothingLater)
{
    transcribe = [](int request) {
        return delayed(HttpFake::Answer::text(200, "late " + QByteArray::number(request)), 200ms);
    };
    buildReady();
    const QString id = dictate();
    const std::string recorded = describe(row(id));
    freshLines();

    session->cancelProcessing();

    EXPECT_EQ(session->state(), SessionState::idle);
    EXPECT_EQ(freshLines().filter("SessionManager: "),
              (QStringList{"INFO SessionManager: state \u2192 idle",
                           "INFO SessionManager: processing cancelled by user, recording preserved as 'recorded'"}));
    ASSERT_TRUE(slicesSettle(id, 2));
    spinFor(100);   // ten polls of the finalising step

    std::optional<Recording> after = row(id);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->status, RecordingStatus::recorded);
    EXPECT_EQ(after->rawText, std::nullopt);
    EXPECT_EQ(after->cleanedText, std::nullopt);
    EXPECT_EQ(slices(id).first().rawText, "late 1");
    EXPECT_TRUE(requestsTo(kChat).isEmpty());
    EXPECT_TRUE(field->writes.isEmpty());
    EXPECT_EQ(keys.pastes(), 0);
    EXPECT_EQ(session->state(), SessionState::idle);
    EXPECT_FALSE(session->errorMessage());
    EXPECT_FALSE(session->currentRecording());
    EXPECT_TRUE(freshLines().filter("SessionManager: ").isEmpty());
    EXPECT_TRUE(logLines().filter("transcribed, raw_text").isEmpty());
}

// Cancelling while the text is being polished: the answer that comes later
// is not used, and the raw text the finalising step stored is cleared again.
TEST_F(SessionManagerProcessingTest, CancelWhilePolishingChangesNothingLater)
{
    polish = [](const HttpFake::Request&) { return delayed(chatAnswer(kPolished), 200ms); };
    buildReady();
    const QString id = dictate();
    ASSERT_TRUE(waitUntil([&] { return !requestsTo(kChat).isEmpty(); }));
    EXPECT_EQ(row(id)->rawText, "words 1 words 2");

    session->cancelProcessing();
    spinFor(400);

    std::optional<Recording> after = row(id);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->status, RecordingStatus::recorded);
    EXPECT_EQ(after->rawText, std::nullopt);
    EXPECT_EQ(after->cleanedText, std::nullopt);
    EXPECT_EQ(after->sliceCount, 2);
    EXPECT_TRUE(field->writes.isEmpty());
    EXPECT_EQ(keys.pastes(), 0);
    EXPECT_EQ(session->state(), SessionState::idle);
    EXPECT_FALSE(session->errorMessage());
    EXPECT_TRUE(logLines().filter("post-processing completed").isEmpty());
    EXPECT_TRUE(logLines().filter("PostProcessor: completed").isEmpty());
}

// The return to idle clears the waiting text and everything about it, the
// message of an earlier failure included, before it announces idle: an
// observer of the state never sees idle with the old text.
TEST_F(SessionManagerProcessingTest, ReturnToIdleAnnouncesIdleWithEverythingCleared)
{
    // First a failed dictation, whose message stays through the next one.
    int polishes = 0;
    polish = [&polishes](const HttpFake::Request&) {
        return ++polishes == 1 ? HttpFake::Answer::text(401, "bad key") : chatAnswer(kPolished);
    };
    windows.activation = FakeDesktopWindows::Activation::refused;
    buildReady();
    dictate();
    ASSERT_TRUE(waitForState(SessionState::idle));
    ASSERT_TRUE(session->errorMessage());
    dictate();
    ASSERT_TRUE(waitForState(SessionState::confirming));
    ASSERT_TRUE(session->errorMessage());
    ASSERT_TRUE(session->textInjector().targetApp());

    QStringList seenAtStateChange;
    QObject::connect(session.get(), &SessionManager::stateChanged, [&] {
        seenAtStateChange << toText(session->state()) << text(session->cleanedText())
                          << QString::number(session->characterCount())
                          << (session->currentRecording() ? "recording" : "no recording")
                          << (session->injectionTarget() ? "target" : "no target")
                          << (session->errorMessage() ? "message" : "no message")
                          << (session->textInjector().targetApp() ? "app" : "no app");
    });
    freshLines();

    session->copyText();

    EXPECT_EQ(seenAtStateChange,
              (QStringList{"idle", "none", "0", "no recording", "no target", "no message", "no app"}));
    EXPECT_EQ(session->state(), SessionState::idle);
    EXPECT_FALSE(session->cleanedText());
    EXPECT_FALSE(session->injectionTarget());
    EXPECT_EQ(session->characterCount(), 0);
    EXPECT_FALSE(session->currentRecording());
    EXPECT_FALSE(session->errorMessage());
    EXPECT_FALSE(session->textInjector().targetApp());
    const QStringList lines = freshLines();
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.last(), "INFO SessionManager: state \u2192 idle");
    // The push it schedules goes to the sync engine, which does nothing for
    // "local" (and, until account sync is built, for anyone): nothing to see.
}

// The controller can go while a text is being polished: the answer that
// comes afterwards must not reach the components it took with it.
TEST_F(SessionManagerProcessingTest, GoingAwayWhilePolishingLeavesNothingBehind)
{
    polish = [](const HttpFake::Request&) { return delayed(chatAnswer(kPolished), 100ms); };
    buildReady();
    const QString id = dictate();
    ASSERT_TRUE(waitUntil([&] { return !requestsTo(kChat).isEmpty(); }));

    session.reset();
    spinFor(300);   // the answer comes meanwhile

    RecordingFileManager files;
    const std::optional<Recording> left = DatabaseManager(files.baseDirectory()).fetchRecording(id);
    ASSERT_TRUE(left);
    EXPECT_EQ(left->status, RecordingStatus::transcribed);
    EXPECT_EQ(left->cleanedText, std::nullopt);
}
