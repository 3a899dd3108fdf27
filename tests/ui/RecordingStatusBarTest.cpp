// The status strip on the real controller: a bar per state, each button's
// call, the waiting text's area, values updated in place, and the error line,
// which shows also while idle.
#include <QScrollBar>
#include <QSignalSpy>
#include <QTextCursor>
#include <QTextDocument>

#include "ViewFixture.h"
#include "store/RecordId.h"
#include "support/MemoryAudioFileWriter.h"
#include "support/RunTask.h"
#include "transcription/RetryMode.h"
#include "ui/ElapsedTime.h"
#include "ui/FittedTextView.h"
#include "ui/PlainLabel.h"
#include "ui/PlainText.h"
#include "ui/ProgressText.h"
#include "ui/RecordingStatusBar.h"

using namespace sessiontest;

namespace {

const QString kHostileTexts[] = {"<b>x</b>", "<img src=x>", "<a href=x>y</a>"};

}  // namespace

class StatusStripTest : public ViewFixture
{
protected:
    RecordingStatusBar& buildStrip()
    {
        buildReady();
        strip = std::make_unique<RecordingStatusBar>(*session);
        strip->resize(480, 300);
        strip->show();
        return *strip;
    }

    template <typename T = QWidget>
    T* shown(const QString& name) const { return ViewFixture::shown<T>(*strip, name); }
    QString shownText(const QString& name) const
    {
        const auto* label = shown<PlainLabel>(name);
        return label ? label->fullText() : QStringLiteral("(not shown)");
    }
    QStringList shownNames() const { return ViewFixture::shownNames(*strip); }
    void click(const QString& name) const { ViewFixture::click(*strip, name); }

    std::unique_ptr<RecordingStatusBar> strip;
};

TEST_F(StatusStripTest, ShowsTheBarOfEachState)
{
    struct Case
    {
        SessionState state;
        QStringList shown;
        QStringList buttonTexts;   // left to right
    };
    const Case cases[] = {
        {SessionState::recording,
         {"statusCancel", "statusDone", "statusDot", "statusElapsed", "statusPause", "statusRecordingBar"},
         {"Cancel", "Pause", "Done"}},
        {SessionState::paused,
         {"statusCancel", "statusDone", "statusElapsed", "statusPausedBar", "statusPausedSymbol",
          "statusResume"},
         {"Cancel", "Resume", "Done"}},
        {SessionState::confirming,
         {"statusCancel", "statusConfirmingBar", "statusCopy", "statusCount", "statusInject", "statusTarget",
          "statusText"},
         {"Insert", "Copy", "Cancel"}},
        {SessionState::processing,
         {"statusCancel", "statusProcessingBar", "statusProgress", "statusSpinner"},
         {"Cancel"}},
    };
    buildStrip();
    EXPECT_EQ(shownNames(), QStringList{}) << "idle without a message";
    EXPECT_FALSE(strip->hasContent());
    for (const Case& c : cases) {
        SCOPED_TRACE(toText(c.state).toStdString());
        session->cancelRecording();
        session->cancelProcessing();
        session->cancelInjection();
        ASSERT_EQ(session->state(), SessionState::idle);
        reach(c.state);
        EXPECT_EQ(shownNames(), c.shown);
        EXPECT_TRUE(strip->hasContent());
        QList<QAbstractButton*> buttons;
        for (QAbstractButton* button : strip->findChildren<QAbstractButton*>()) {
            if (button->isVisibleTo(strip.get())) {
                buttons << button;
                EXPECT_EQ(button->focusPolicy(), Qt::TabFocus) << button->objectName().toStdString();
            }
        }
        std::sort(buttons.begin(), buttons.end(),
                  [](QAbstractButton* a, QAbstractButton* b) { return a->mapToGlobal(QPoint()).x() < b->mapToGlobal(QPoint()).x(); });
        QStringList texts;
        for (QAbstractButton* button : buttons)
            texts << button->text();
        EXPECT_EQ(texts, c.buttonTexts);
    }
}

TEST_F(StatusStripTest, TheTimeAndTheProgressFollowTheirValues)
{
    // The second slice's recognition never answers: processing stays at 1 of 2.
    transcribe = [](int request) {
        return request == 1 ? HttpFake::Answer::text(200, "words\n") : silent();
    };
    buildStrip();
    start();
    EXPECT_EQ(shownText("statusElapsed"), "00:00");
    EXPECT_TRUE(waitUntil([&] { return shownText("statusElapsed") == "00:01"; }));

    session->pauseRecording();
    const QString pausedAt = ElapsedTime::formatted(session->audioRecorder().elapsedTime());
    EXPECT_EQ(shownText("statusElapsed"), pausedAt);
    session->resumeRecording();
    session->stopRecording();

    EXPECT_TRUE(waitUntil([&] { return shownText("statusProgress") == "Transcribing 1/2"; }))
        << shownText("statusProgress").toStdString();
    // On the screen too, not cut to nothing by the width the earlier text had.
    spinFor(50);
    const auto* progress = shown<PlainLabel>("statusProgress");
    ASSERT_NE(progress, nullptr);
    EXPECT_EQ(progress->text(), "Transcribing 1/2");
}

TEST_F(StatusStripTest, TheTargetLineNamesTheApplicationOrNothing)
{
    struct Case
    {
        std::optional<DesktopApplication> frontmost;
        QString target;
    };
    const QString longName = QString("Very Long Application Name ").repeated(20);
    const Case cases[] = {
        {DesktopApplication{"Editor", kEditorPid, kEditorWindow}, "Insert into Editor"},
        {DesktopApplication{longName, kEditorPid, kEditorWindow}, "Insert into " + longName},
        {std::nullopt, ""},
    };
    buildStrip();
    keys.available = false;   // without a target the text would be pasted
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target.left(30).toStdString());
        windows.frontmost = c.frontmost;
        reach(SessionState::confirming);
        EXPECT_EQ(shownText("statusTarget"), c.target);
        EXPECT_EQ(shownText("statusCount"), "Characters: 14");   // "Polished text."
        // One line, whatever the name's length, and the strip stays narrow.
        const auto* target = shown<PlainLabel>("statusTarget");
        EXPECT_LE(target->sizeHint().height(), target->fontMetrics().height() + 2);
        EXPECT_EQ(target->isElided(), c.target.size() > 100);
        EXPECT_LE(strip->minimumSizeHint().width(), 480);
        session->cancelInjection();
    }
}

TEST_F(StatusStripTest, TheTextAreaIsAsHighAsItsTextUpTo120)
{
    const QString longText = QString("word ").repeated(1000);   // 5,000 characters
    int polishes = 0;
    polish = [&](const HttpFake::Request&) {
        return chatAnswer(++polishes == 1 ? QStringLiteral("One line.") : longText);
    };
    buildStrip();

    reach(SessionState::confirming);
    auto* area = shown<FittedTextView>("statusText");
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(area->fullText(), "One line.");
    const int lineHeight = area->fontMetrics().height();
    EXPECT_NEAR(area->height(), lineHeight + 2 * FittedTextView::kPadding, 2);
    EXPECT_EQ(area->verticalScrollBar()->maximum(), 0);
    session->cancelInjection();

    reach(SessionState::confirming);
    area = shown<FittedTextView>("statusText");
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(area->fullText(), longText.trimmed());
    EXPECT_EQ(area->height(), RecordingStatusBar::kTextAreaMaximumHeight);
    EXPECT_GT(area->verticalScrollBar()->maximum(), 0) << "the rest scrolls";
}

// Ticks of the recorder, log lines and the controller's other announcements
// leave the waiting text as it is, so the user's selection in it stays.
TEST_F(StatusStripTest, ASelectionInTheTextSurvivesOtherChanges)
{
    buildStrip();
    reach(SessionState::confirming);
    auto* area = shown<FittedTextView>("statusText");
    ASSERT_NE(area, nullptr);
    QTextCursor cursor = area->textCursor();
    cursor.setPosition(0);
    cursor.setPosition(8, QTextCursor::KeepAnchor);
    area->setTextCursor(cursor);
    ASSERT_EQ(area->textCursor().selectedText(), "Polished");

    for (int i = 0; i < 5; ++i)
        session->logger().info(QStringLiteral("a log line"));
    emit session->audioRecorder().elapsedTimeChanged(1.0);
    emit session->orchestrator().progressChanged();
    emit session->changed();
    spinFor(50);

    EXPECT_EQ(shown<FittedTextView>("statusText"), area);
    EXPECT_EQ(area->textCursor().selectedText(), "Polished");
}

// Each button calls its controller operation once; the confirming bar's
// buttons are the only way to the waiting text from the main window.
class StatusStripButtonTest : public StatusStripTest,
                              public testing::WithParamInterface<std::tuple<SessionState, const char*>>
{
};

TEST_P(StatusStripButtonTest, CallsItsOperation)
{
    const auto [state, button] = GetParam();
    buildStrip();
    reach(state);
    const QString id = session->currentRecording()->id;
    if (state == SessionState::confirming)
        windows.activation = FakeDesktopWindows::Activation::obeyed;   // Insert may now work
    freshLines();

    click(QString::fromLatin1(button));

    const QString clicked = toText(state) + " " + button;
    const QStringList lines = freshLines();
    const std::map<QString, std::function<void()>> expectations{
        {"recording statusPause", [&] { EXPECT_EQ(session->state(), SessionState::paused); }},
        {"paused statusResume", [&] { EXPECT_EQ(session->state(), SessionState::recording); }},
        {"recording statusDone", [&] { EXPECT_EQ(session->state(), SessionState::processing); }},
        {"paused statusDone", [&] { EXPECT_EQ(session->state(), SessionState::processing); }},
        {"recording statusCancel", [&] {
             EXPECT_EQ(session->state(), SessionState::idle);
             EXPECT_EQ(row(id)->error, "Cancelled by user");
         }},
        {"paused statusCancel", [&] {
             EXPECT_EQ(session->state(), SessionState::idle);
             EXPECT_EQ(row(id)->error, "Cancelled by user");
         }},
        {"processing statusCancel", [&] {
             EXPECT_EQ(session->state(), SessionState::idle);
             EXPECT_EQ(row(id)->status, RecordingStatus::recorded);
         }},
        {"confirming statusInject", [&] {
             EXPECT_EQ(session->state(), SessionState::idle);
             EXPECT_EQ(field->writes, QStringList{"Polished text."});
         }},
        {"confirming statusCopy", [&] {
             EXPECT_EQ(session->state(), SessionState::idle);
             EXPECT_EQ(clipboardText(), "Polished text.");
             EXPECT_TRUE(field->writes.isEmpty());
         }},
        {"confirming statusCancel", [&] {
             EXPECT_EQ(session->state(), SessionState::idle);
             EXPECT_TRUE(lines.contains("INFO SessionManager: injection cancelled, text preserved in DB"));
             EXPECT_TRUE(field->writes.isEmpty());
         }},
    };
    ASSERT_TRUE(expectations.contains(clicked)) << clicked.toStdString();
    expectations.at(clicked)();
}

INSTANTIATE_TEST_SUITE_P(
    EveryButton, StatusStripButtonTest,
    testing::Values(std::tuple{SessionState::recording, "statusPause"},
                    std::tuple{SessionState::recording, "statusDone"},
                    std::tuple{SessionState::recording, "statusCancel"},
                    std::tuple{SessionState::paused, "statusResume"},
                    std::tuple{SessionState::paused, "statusDone"},
                    std::tuple{SessionState::paused, "statusCancel"},
                    std::tuple{SessionState::processing, "statusCancel"},
                    std::tuple{SessionState::confirming, "statusInject"},
                    std::tuple{SessionState::confirming, "statusCopy"},
                    std::tuple{SessionState::confirming, "statusCancel"}),
    [](const auto& info) {
        return toText(std::get<0>(info.param)).toStdString() + "_" + std::get<1>(info.param);
    });

// A failed dictation returns to idle with its message: the strip shows it
// then, alone, and keeps it under the next recording's bar until the
// controller clears it.
TEST_F(StatusStripTest, AFailureIsShownWhenItHappens)
{
    int polishes = 0;
    polish = [&](const HttpFake::Request&) {
        return ++polishes == 1 ? HttpFake::Answer::text(401, "bad key") : chatAnswer("Polished text.");
    };
    buildStrip();
    dictate();
    ASSERT_TRUE(waitForState(SessionState::idle));
    ASSERT_TRUE(session->errorMessage());
    const QString message = *session->errorMessage();

    EXPECT_TRUE(strip->hasContent());
    EXPECT_EQ(shownNames(), (QStringList{"statusError", "statusErrorLine", "statusErrorSymbol"}));
    EXPECT_EQ(shownText("statusError"), message);
    EXPECT_EQ(shown("statusError")->toolTip(), PlainText::toolTip(message));

    start();
    EXPECT_TRUE(shown("statusRecordingBar"));
    EXPECT_EQ(shownText("statusError"), message) << "under the next recording until it ends";
    EXPECT_GT(shown("statusErrorLine")->y(), shown("statusRecordingBar")->y());

    session->stopRecording();
    ASSERT_TRUE(waitForState(SessionState::idle));
    EXPECT_EQ(shownNames(), QStringList{});
    EXPECT_FALSE(strip->hasContent());
}

TEST_F(StatusStripTest, AFailedResumeShowsUnderItsBar)
{
    // The second slice's file cannot be opened.
    auto opened = std::make_shared<int>(0);
    writers = [opened]() -> std::unique_ptr<AudioFileWriter> {
        if ((*opened)++ == 0)
            return std::make_unique<FfmpegAudioFileWriter>();
        return std::make_unique<MemoryAudioFileWriter>(std::make_shared<MemoryAudioFileWriter::Log>(),
                                                       MemoryAudioFileWriter::Failures{.openError = "Disk full"});
    };
    buildStrip();
    start();
    click("statusPause");
    click("statusResume");

    EXPECT_EQ(session->state(), SessionState::paused);
    EXPECT_TRUE(shown("statusPausedBar"));
    EXPECT_EQ(shownText("statusError"), "Failed to resume recording");
}

// An insertion that failed leaves the text waiting; leaving it through the
// bar's Copy or Cancel returns to idle, and the hot key starts the next one.
TEST_F(StatusStripTest, AFailedInsertionIsLeftThroughCopyOrCancel)
{
    buildStrip();
    for (const char* button : {"statusCopy", "statusCancel"}) {
        SCOPED_TRACE(button);
        reach(SessionState::confirming);
        click(QString::fromLatin1(button));
        EXPECT_EQ(session->state(), SessionState::idle);
        EXPECT_EQ(shownNames(), QStringList{});

        hotkeys.press();
        EXPECT_TRUE(waitForState(SessionState::recording));
        EXPECT_TRUE(shown("statusRecordingBar"));
        session->cancelRecording();
    }
}

// What comes from outside (the polished text, an application's name, a
// service's error) is shown as it stands, never as markup.
class StatusStripHostileTextTest : public StatusStripTest, public testing::WithParamInterface<QString>
{
};

TEST_P(StatusStripHostileTextTest, ShowsOutsideTextLiterally)
{
    const QString hostile = GetParam();
    windows.frontmost = DesktopApplication{hostile, kEditorPid, kEditorWindow};
    int polishes = 0;
    polish = [&](const HttpFake::Request&) {
        return ++polishes == 1 ? chatAnswer(hostile) : HttpFake::Answer::text(500, hostile.toUtf8());
    };
    buildStrip();

    reach(SessionState::confirming);
    EXPECT_EQ(shown<FittedTextView>("statusText")->fullText(), hostile);
    EXPECT_EQ(shown<FittedTextView>("statusText")->document()->toRawText(), hostile);
    EXPECT_EQ(shown<PlainLabel>("statusTarget")->textFormat(), Qt::PlainText);
    EXPECT_EQ(shown<PlainLabel>("statusTarget")->text(), "Insert into " + hostile);
    session->cancelInjection();

    dictate();
    ASSERT_TRUE(waitForState(SessionState::idle));
    ASSERT_TRUE(session->errorMessage());
    const QString message = *session->errorMessage();
    ASSERT_TRUE(message.contains(hostile)) << message.toStdString();
    const auto* error = shown<PlainLabel>("statusError");
    EXPECT_EQ(error->textFormat(), Qt::PlainText);
    EXPECT_EQ(error->text(), message);
    QTextDocument tooltip;
    tooltip.setHtml(error->toolTip());
    EXPECT_EQ(tooltip.toPlainText(), message);
}

INSTANTIATE_TEST_SUITE_P(Markup, StatusStripHostileTextTest, testing::ValuesIn(kHostileTexts));

// A retry from the history runs its finalising step beside the dictation's:
// its counts are not this dictation's progress.
TEST_F(StatusStripTest, AnotherRecordingsProgressIsNotShownAsThisOnes)
{
    buildStrip();
    reach(SessionState::processing);
    ASSERT_TRUE(waitUntil([&] { return shownText("statusProgress") == "Transcribing 0/1"; }))
        << shownText("statusProgress").toStdString();

    Recording other;
    other.id = newRecordId();
    other.createdAt = other.updatedAt = QDateTime::currentDateTimeUtc();
    other.status = RecordingStatus::failed;
    other.sliceCount = 2;
    ASSERT_TRUE(session->database().insertRecording(other));
    for (int index = 1; index <= 2; ++index) {
        Slice slice;
        slice.id = newRecordId();
        slice.recordingId = other.id;
        slice.sliceIndex = index;
        slice.filename = QStringLiteral("other_%1.m4a").arg(index);
        slice.status = SliceStatus::completed;
        slice.rawText = QStringLiteral("text");
        slice.updatedAt = other.createdAt;
        ASSERT_TRUE(session->database().insertSlice(slice));
    }
    // Read as the retry's counts are announced: the dictation's next poll
    // puts its own back.
    QStringList shownForOther;
    QObject::connect(&session->orchestrator(), &TranscriptionOrchestrator::progressChanged, [&] {
        if (session->orchestrator().progress().recordingId == other.id)
            shownForOther << shownText("statusProgress") << ProgressText::of(*session);
    });
    runTask(session->orchestrator().retry(other.id, RetryMode::retryFailed));

    ASSERT_FALSE(shownForOther.isEmpty());
    for (const QString& text : shownForOther)
        EXPECT_EQ(text, "Processing\u2026");
}
