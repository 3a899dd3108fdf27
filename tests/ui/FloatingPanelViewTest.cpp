// The floating panel's bars on the real controller: what each state shows,
// what each button does, the times, the progress, the preview of a waiting
// text, a failure left while idle, outside text kept plain and the texts
// following the language.
#include <QAbstractButton>
#include <QLabel>
#include <QTest>
#include <QTextDocument>
#include <gtest/gtest.h>

#include "session/SessionFixture.h"
#include "support/StoreLock.h"
#include "ui/FloatingPanelController.h"
#include "ui/FloatingPanelView.h"

using namespace sessiontest;

namespace {

const QString kShortcut = QString::fromUtf8("\u2318 \u21e7 E");

class FloatingPanelViewTest : public SessionFixture
{
protected:
    FloatingPanelViewTest()
    {
        floatingPanel = [](SessionManager& s) { return std::make_unique<FloatingPanelController>(s); };
    }

    // Builds the controller and waits until its start-up has shown the panel.
    void buildWithPanel() { buildWithPanel(scriptedPlatform()); }
    void buildWithPanel(SessionPlatform platform)
    {
        build(std::move(platform));
        ASSERT_TRUE(waitUntil([&] {
            return session->floatingPanel() && session->floatingPanel()->isShown()
                   && !permissions.trustChecks().isEmpty();
        }));
    }

    QWidget& panel() { return *static_cast<FloatingPanelController*>(session->floatingPanel())->panel(); }

    // The named widgets of the panel that the user sees now, in the order
    // they were made.
    QStringList shown()
    {
        QStringList names;
        for (QWidget* widget : panel().findChildren<QWidget*>()) {
            if (widget->isVisibleTo(&panel()) && !widget->objectName().isEmpty()
                && !widget->objectName().endsWith(QLatin1String("Bar"))
                && widget->objectName() != QLatin1String("floatingPanelView"))
                names << widget->objectName();
        }
        return names;
    }

    // The shown control called `name`; null when none is shown.
    template <typename T = QWidget>
    T* control(const QString& name)
    {
        for (T* widget : panel().findChildren<T*>(name)) {
            if (widget->isVisibleTo(&panel()))
                return widget;
        }
        return nullptr;
    }

    QString text(const QString& name)
    {
        if (auto* label = control<QLabel>(name))
            return label->text();
        if (auto* button = control<QAbstractButton>(name))
            return button->text();
        return QStringLiteral("(not shown: %1)").arg(name);
    }

    void click(const QString& name)
    {
        auto* button = control<QAbstractButton>(name);
        ASSERT_NE(button, nullptr) << name.toStdString();
        QTest::mouseClick(button, Qt::LeftButton);
    }

    // The controller in `state` (as SessionFixture::reach), its panel shown.
    void reach(SessionState state)
    {
        SessionFixture::reach(state);
        ASSERT_TRUE(session->floatingPanel() && session->floatingPanel()->isShown());
    }

    // One dictation whose text is polished to `polished` and waits in
    // confirming; a test can run several on one controller.
    void confirm(const QString& polished)
    {
        polish = [polished](const HttpFake::Request&) { return chatAnswer(polished); };
        start();
        session->stopRecording();
        ASSERT_TRUE(waitForState(SessionState::confirming));
    }
};

struct StateCase
{
    SessionState state;
    QStringList elements;
    QStringList texts;   // name=text
};

void PrintTo(const StateCase& c, std::ostream* out) { *out << toText(c.state).toStdString(); }

class FloatingPanelViewStates : public FloatingPanelViewTest,
                                public testing::WithParamInterface<StateCase>
{
};

}  // namespace

TEST_P(FloatingPanelViewStates, ShowsTheElementsOfTheStateIn44Pixels)
{
    const StateCase& c = GetParam();
    reach(c.state);

    EXPECT_EQ(shown(), c.elements);
    for (const QString& pair : c.texts) {
        const QString name = pair.section('=', 0, 0);
        // Values come in their own signals: the stop's slice reaches the
        // progress a pass of the event loop after processing begins.
        const QString expected = pair.section('=', 1);
        EXPECT_TRUE(waitUntil([&] { return text(name) == expected; }))
            << name.toStdString() << ": " << text(name).toStdString();
    }
    EXPECT_EQ(panel().height(), 44);
    EXPECT_EQ(panel().findChild<FloatingPanelView*>()->height(), 44);
    // As wide as its bar (never narrower than the panel's least width), once
    // the new bar's layout has come through.
    const auto fitting = [&] {
        return std::max(FloatingPanelController::kMinimumWidth,
                        panel().findChild<FloatingPanelView*>()->sizeHint().width());
    };
    EXPECT_TRUE(waitUntil([&] { return panel().width() == fitting(); }))
        << panel().width() << " for " << fitting();
    for (QWidget* widget : panel().findChildren<QWidget*>())
        EXPECT_EQ(widget->focusPolicy(), Qt::NoFocus) << widget->objectName().toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    EachState, FloatingPanelViewStates,
    testing::Values(
        StateCase{SessionState::idle,
                  {"panelMicSymbol", "panelReadyText", "panelShortcut"},
                  {"panelReadyText=Ready", "panelShortcut=" + kShortcut}},
        StateCase{SessionState::recording,
                  {"panelRecordingDot", "panelTime", "panelButtons", "panelCancel", "panelDivider",
                   "panelPause", "panelDivider", "panelDone"},
                  {"panelTime=00:00", "panelCancel=Cancel", "panelPause=Pause", "panelDone=Done"}},
        StateCase{SessionState::paused,
                  {"panelPausedSymbol", "panelTime", "panelButtons", "panelCancel", "panelDivider",
                   "panelResume", "panelDivider", "panelDone"},
                  {"panelCancel=Cancel", "panelResume=Resume", "panelDone=Done"}},
        StateCase{SessionState::processing,
                  {"panelSpinner", "panelProgress", "panelButtons", "panelCancel"},
                  {"panelProgress=Transcribing 0/1", "panelCancel=Cancel"}},
        // No insert button: inserting again belongs to the main window.
        StateCase{SessionState::confirming,
                  {"panelDoneSymbol", "panelDoneTitle", "panelPreview", "panelCopy", "panelDismiss"},
                  {"panelDoneTitle=Done", "panelPreview=Polished text."}}),
    [](const testing::TestParamInfo<StateCase>& info) { return toText(info.param.state).toStdString(); });

namespace {

struct ButtonCase
{
    const char* name;
    SessionState from;
    const char* button;
    SessionState to;
};

void PrintTo(const ButtonCase& c, std::ostream* out) { *out << c.name; }

class FloatingPanelViewButtons : public FloatingPanelViewTest,
                                 public testing::WithParamInterface<ButtonCase>
{
};

}  // namespace

// Each click swaps the bar that holds the clicked button.
TEST_P(FloatingPanelViewButtons, EachButtonCallsItsOperation)
{
    const ButtonCase& c = GetParam();
    reach(c.from);
    freshLines();

    click(c.button);

    EXPECT_EQ(session->state(), c.to);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);   // the old bar goes
    EXPECT_EQ(panel().findChild<FloatingPanelView*>()->findChildren<QWidget*>(
                                                          QString(), Qt::FindDirectChildrenOnly)
                  .size(),
              1)
        << "one bar";
    if (c.from == SessionState::confirming && c.to == SessionState::idle) {
        const bool copied = QString(c.button) == "panelCopy";
        EXPECT_EQ(clipboardText(), copied ? "Polished text." : QString());
        EXPECT_EQ(freshLines().contains("INFO SessionManager: injection cancelled, text preserved in DB"),
                  !copied);
    }
}

INSTANTIATE_TEST_SUITE_P(
    EachButton, FloatingPanelViewButtons,
    testing::Values(ButtonCase{"RecordingCancel", SessionState::recording, "panelCancel", SessionState::idle},
                    ButtonCase{"RecordingPause", SessionState::recording, "panelPause", SessionState::paused},
                    ButtonCase{"RecordingDone", SessionState::recording, "panelDone", SessionState::processing},
                    ButtonCase{"PausedCancel", SessionState::paused, "panelCancel", SessionState::idle},
                    ButtonCase{"PausedResume", SessionState::paused, "panelResume", SessionState::recording},
                    ButtonCase{"PausedDone", SessionState::paused, "panelDone", SessionState::processing},
                    ButtonCase{"ProcessingCancel", SessionState::processing, "panelCancel", SessionState::idle},
                    ButtonCase{"ConfirmingCopy", SessionState::confirming, "panelCopy", SessionState::idle},
                    ButtonCase{"ConfirmingDismiss", SessionState::confirming, "panelDismiss", SessionState::idle}),
    [](const testing::TestParamInfo<ButtonCase>& info) { return std::string(info.param.name); });

// The recorder's clock is moved by hand; the time shown is whole seconds,
// minutes going on past the hour, and stays still while paused.
TEST_F(FloatingPanelViewTest, ShowsTheRecordedTime)
{
    // Shared with the recorder, which outlives this body.
    const auto offset = std::make_shared<std::chrono::duration<double>>(0);
    SessionPlatform platform = scriptedPlatform();
    platform.recorderTiming.clock = [base = std::chrono::steady_clock::now(), offset] {
        return base + std::chrono::duration_cast<std::chrono::steady_clock::duration>(*offset);
    };
    buildWithPanel(std::move(platform));
    start();

    const std::pair<double, const char*> times[] = {
        {0.9, "00:00"}, {61.5, "01:01"}, {3600, "60:00"}, {6000, "100:00"}};
    for (const auto& [seconds, shownTime] : times) {
        *offset = std::chrono::duration<double>(seconds);
        EXPECT_TRUE(waitUntil([&] { return text("panelTime") == shownTime; }))
            << seconds << " s shows " << text("panelTime").toStdString();
    }

    session->pauseRecording();
    EXPECT_EQ(text("panelTime"), "100:00");
    *offset = std::chrono::duration<double>(6100);
    spinFor(250);   // two and more ticks of the recorder's display
    EXPECT_EQ(text("panelTime"), "100:00") << "paused";
}

// Five slices, of which the service answers two: the bar counts them. The
// bar built as processing begins has no count yet (total 0).
TEST_F(FloatingPanelViewTest, ShowsTheProgressOfTheSlices)
{
    transcribe = [](int request) {
        return request <= 2 ? HttpFake::Answer::text(200, "words\n") : silent();
    };
    buildWithPanel();
    start();
    for (int slice = 1; slice < 5; ++slice) {
        spinFor(30);
        session->pauseRecording();
        session->resumeRecording();
    }
    spinFor(30);
    QString shownAtTheStart;
    QObject::connect(session.get(), &SessionManager::stateChanged, [&] {
        if (session->state() == SessionState::processing)
            shownAtTheStart = text("panelProgress");
    });

    session->stopRecording();

    EXPECT_EQ(shownAtTheStart, "Processing\u2026");
    EXPECT_TRUE(waitUntil([&] { return text("panelProgress") == "Transcribing 2/5"; }))
        << text("panelProgress").toStdString();
}

// The first 20 characters as the user counts them, "..." after a longer
// text, and one line whatever the text holds.
TEST_F(FloatingPanelViewTest, PreviewsTheWaitingTextOnOneLine)
{
    const QString family = QString::fromUtf8("\U0001F468\u200D\U0001F469\u200D\U0001F467");
    const QString flag = QString::fromUtf8("\U0001F1E9\U0001F1EA");
    const QString accented = QString::fromUtf8("e\u0301");
    const struct {
        QString text;
        QString shown;
    } cases[] = {
        {QString(20, 'a'), QString(20, 'a')},
        {QString(21, 'a'), QString(20, 'a') + "..."},
        {QString(19, 'a') + family + "b", QString(19, 'a') + family + "..."},
        {flag.repeated(20), flag.repeated(20)},
        {flag.repeated(21), flag.repeated(20) + "..."},
        {accented.repeated(21), accented.repeated(20) + "..."},
        {"one\ntwo\r\nthree\u2028four", "one two three four"},
    };
    windows.activation = FakeDesktopWindows::Activation::refused;
    buildWithPanel();
    for (const auto& c : cases) {
        confirm(c.text);
        EXPECT_EQ(text("panelPreview"), c.shown) << c.text.toStdString();
        EXPECT_EQ(panel().height(), 44);
        session->cancelInjection();
    }
}

// A failed dictation returns to idle with its message: the idle bar shows a
// warning carrying the message until the next return to idle clears it; a
// start that fails while idle shows it too.
TEST_F(FloatingPanelViewTest, IdleWithAMessageShowsAWarningWithTheMessage)
{
    polish = [](const HttpFake::Request&) { return HttpFake::Answer::text(500, "overloaded"); };
    buildWithPanel();
    start();
    session->stopRecording();
    ASSERT_TRUE(waitForState(SessionState::idle));
    const QString message = "Post-processing failed: Post-processing API error (500): overloaded";
    ASSERT_EQ(session->errorMessage(), message);

    EXPECT_EQ(shown(), (QStringList{"panelMicSymbol", "panelReadyText", "panelShortcut", "panelWarning"}));
    auto* warning = control<QLabel>("panelWarning");
    ASSERT_NE(warning, nullptr);
    EXPECT_EQ(warning->accessibleName(), message);
    QTextDocument tip;
    tip.setHtml(warning->toolTip());
    EXPECT_EQ(tip.toPlainText(), message);
    EXPECT_TRUE(panel().testAttribute(Qt::WA_AlwaysShowToolTips)) << "the panel is never active";

    // The next recording keeps the message (not on the panel); only its end clears it.
    start();
    EXPECT_EQ(control("panelWarning"), nullptr);
    session->cancelRecording();
    EXPECT_EQ(shown(), (QStringList{"panelMicSymbol", "panelReadyText", "panelShortcut"}));

    // A start the store refuses stays idle, with the message.
    StoreLock lock(home.talvexDataDir() + "/talvex.db");
    ASSERT_TRUE(lock.held());
    session->toggleRecording();
    ASSERT_EQ(session->state(), SessionState::idle);
    ASSERT_TRUE(session->errorMessage());
    ASSERT_NE(control("panelWarning"), nullptr);
    EXPECT_EQ(control("panelWarning")->accessibleName(), *session->errorMessage());
}

// Outside text, the polished text and a service's error, is shown as it
// stands: never as markup.
TEST_F(FloatingPanelViewTest, ShowsOutsideTextLiterally)
{
    windows.activation = FakeDesktopWindows::Activation::refused;
    buildWithPanel();
    for (const QString hostile : {"<b>x</b>", "<img src=x>", "<a href=x>y</a>"}) {
        confirm(hostile);
        auto* preview = control<QLabel>("panelPreview");
        ASSERT_NE(preview, nullptr);
        EXPECT_EQ(preview->text(), hostile);
        EXPECT_EQ(preview->textFormat(), Qt::PlainText);
        session->cancelInjection();

        polish = [hostile](const HttpFake::Request&) { return HttpFake::Answer::text(500, hostile.toUtf8()); };
        start();
        session->stopRecording();
        ASSERT_TRUE(waitForState(SessionState::idle));
        auto* warning = control<QLabel>("panelWarning");
        ASSERT_NE(warning, nullptr);
        QTextDocument tip;
        tip.setHtml(warning->toolTip());
        EXPECT_TRUE(tip.toPlainText().endsWith(hostile)) << tip.toPlainText().toStdString();
    }
}

// A language change or a new shortcut updates the bar in place: the same
// controls, new texts.
TEST_F(FloatingPanelViewTest, TextsFollowTheLanguageAndTheShortcutInPlace)
{
    transcribe = [](int) { return silent(); };
    buildWithPanel();
    prefs.setValue(PrefKey::shortcut, "Ctrl Alt D");
    EXPECT_EQ(text("panelShortcut"), "Ctrl Alt D");
    locale.setLanguage(LocaleManager::kSimplifiedChinese);
    EXPECT_EQ(text("panelReadyText"), QString::fromUtf8("就绪"));

    start();
    QWidget* bar = panel().findChild<QWidget*>("recordingBar");
    locale.setLanguage(LocaleManager::kEnglish);
    EXPECT_EQ(text("panelPause"), "Pause");
    locale.setLanguage(LocaleManager::kSimplifiedChinese);
    EXPECT_EQ(text("panelCancel"), QString::fromUtf8("取消"));
    EXPECT_EQ(text("panelPause"), QString::fromUtf8("暂停"));
    EXPECT_EQ(text("panelDone"), QString::fromUtf8("完成"));
    EXPECT_EQ(panel().findChild<QWidget*>("recordingBar"), bar) << "rebuilt";

    session->stopRecording();
    ASSERT_TRUE(waitUntil([&] { return text("panelProgress") == QString::fromUtf8("正在转写 0/1"); }));
    locale.setLanguage(LocaleManager::kEnglish);
    EXPECT_EQ(text("panelProgress"), "Transcribing 0/1");
}
