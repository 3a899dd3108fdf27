// The settings tab on the real controller: each control stores its setting
// and the screen reacts (log line, hot key, panel) only to a stored value
// that differs from the one it shows, whoever wrote it; the prompt's draft
// reaches the store only at a real loss of focus (with a line) or as the
// screen goes (without); the permission rows follow the monitor.
#include <QCheckBox>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QToolButton>

#include "ViewFixture.h"
#include "platform/Graphemes.h"
#include "session/FloatingPanel.h"
#include "session/HotkeyManager.h"
#include "ui/Dot.h"
#include "ui/MainView.h"
#include "ui/PlainLabel.h"
#include "ui/SegmentedPicker.h"
#include "ui/SettingsView.h"
#include "ui/Stepper.h"
#include "ui/Style.h"

using namespace sessiontest;
using namespace std::chrono_literals;

namespace {

const QString kDefaultShortcut = QString::fromUtf8(Preferences::kDefaultShortcut);

// A panel that lists the orders it gets.
class OrderedPanel : public FloatingPanel
{
public:
    explicit OrderedPanel(QStringList& orders) : m_orders(orders) {}
    void show() override { m_orders << "show"; }
    void hide() override { m_orders << "hide"; }
    bool isShown() const override { return !m_orders.isEmpty() && m_orders.last() == "show"; }

private:
    QStringList& m_orders;
};

// The reasons of the focus losses of a widget, while it lives.
struct FocusOutWatch : QObject
{
    explicit FocusOutWatch(QWidget& widget) { widget.installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::FocusOut)
            reasons << static_cast<QFocusEvent*>(event)->reason();
        return false;
    }
    QList<Qt::FocusReason> reasons;
};

}  // namespace

class SettingsViewTest : public ViewFixture
{
protected:
    SettingsView& buildView()
    {
        buildReady();
        return showView();
    }

    SettingsView& showView()
    {
        view = std::make_unique<SettingsView>(*session);
        view->resize(520, 1400);
        view->show();
        return *view;
    }

    template <typename T = QWidget>
    T* shown(const QString& name) const { return ViewFixture::shown<T>(*view, name); }
    void click(const QString& name) const { ViewFixture::click(*view, name); }

    QToolButton* segment(const QString& picker, const QString& value) const
    {
        return shown<SegmentedPicker>(picker)->findChild<QToolButton*>(value);
    }
    // The values whose segments show selected.
    QStringList checkedSegments(const QString& picker) const
    {
        QStringList checked;
        for (QToolButton* button : shown<SegmentedPicker>(picker)->findChildren<QToolButton*>()) {
            if (button->isChecked())
                checked << button->objectName();
        }
        return checked;
    }

    // This screen's lines since the last call.
    QStringList settingsLines()
    {
        return freshLines().filter(QRegularExpression("^INFO Settings: "));
    }

    std::unique_ptr<SettingsView> view;
};

// Every control stores its setting; the lines come from the changes of the
// stored values only, one per change.
TEST_F(SettingsViewTest, EachChangeOfAStoredValueWritesItsLine)
{
    struct Case
    {
        const char* name;
        std::function<void()> prepare;   // before the lines are counted
        std::function<void()> act;
        QStringList lines;
        const char* key;
        QVariant stored;
    };
    const auto typeInto = [this](const char* field, const QString& keys) {
        return [=, this] {
            click(field);
            QTest::keyClicks(shown(field), keys);
        };
    };
    const auto write = [this](const char* key, QVariant value) {
        return [=, this] { prefs.setValue(key, value); };
    };
    const auto clickSegment = [this](const char* picker, const char* value) {
        return [=, this] { QTest::mouseClick(segment(picker, value), Qt::LeftButton); };
    };
    const auto nothing = [] {};
    const QString openAI = "INFO Settings: OpenAI API key updated";
    const Case cases[] = {
        {"three keystrokes, spaces kept", write(PrefKey::apiKey, ""), typeInto("openaiKeyField", " k "),
         {openAI, openAI, openAI}, PrefKey::apiKey, " k "},
        {"a paste", write(PrefKey::apiKey, ""),
         [this] {
             QGuiApplication::clipboard()->setText("sk-pasted-0123456789 ");
             click("openaiKeyField");
             QTest::keyClick(shown("openaiKeyField"), Qt::Key_V, Qt::ControlModifier);
         },
         {openAI}, PrefKey::apiKey, "sk-pasted-0123456789 "},
        {"DashScope", nothing, typeInto("dashScopeKeyField", "d"), {"INFO Settings: DashScope API key updated"},
         PrefKey::dashScopeApiKey, "d"},
        {"DeepSeek", nothing, typeInto("deepSeekKeyField", "s"), {"INFO Settings: DeepSeek API key updated"},
         PrefKey::deepSeekApiKey, "s"},
        {"a key written elsewhere", nothing, write(PrefKey::apiKey, "sk-elsewhere"), {openAI}, PrefKey::apiKey,
         "sk-elsewhere"},
        {"the selected segment", nothing, clickSegment("asrModelPicker", "gpt-4o-mini-transcribe"), {},
         PrefKey::asrModel, "gpt-4o-mini-transcribe"},
        {"another recognition model", nothing, clickSegment("asrModelPicker", "qwen3-asr"),
         {"INFO Settings: asrModel changed to qwen3-asr"}, PrefKey::asrModel, "qwen3-asr"},
        {"the stored value named", nothing, clickSegment("postModelPicker", "deepseek-chat"),
         {"INFO Settings: postProcessModel changed to deepseek-chat"}, PrefKey::postProcessModel,
         "deepseek-chat"},
        {"a model written unchanged", nothing, write(PrefKey::postProcessModel, "deepseek-chat"), {},
         PrefKey::postProcessModel, "deepseek-chat"},
        {"30 up", nothing, [this] { QTest::mouseClick(shown("stepUp"), Qt::LeftButton); },
         {"INFO Settings: sliceDuration changed to 45s"}, PrefKey::sliceDuration, 45},
        {"up at 300", write(PrefKey::sliceDuration, 300),
         [this] { QTest::keyClick(shown("sliceStepper"), Qt::Key_Up); }, {},
         PrefKey::sliceDuration, 300},
        {"down at 15", write(PrefKey::sliceDuration, 15),
         [this] { QTest::keyClick(shown("sliceStepper"), Qt::Key_Down); }, {},
         PrefKey::sliceDuration, 15},
        {"down from 15 by another writer's 60", write(PrefKey::sliceDuration, 60),
         [this] { QTest::mouseClick(shown("stepDown"), Qt::LeftButton); },
         {"INFO Settings: sliceDuration changed to 45s"}, PrefKey::sliceDuration, 45},
        {"panel off", nothing, [this] { click("showFloatingToggle"); },
         {"INFO Settings: floatingPanel hidden"}, PrefKey::showFloatingPanel, false},
        {"panel on", nothing, [this] { click("showFloatingToggle"); },
         {"INFO Settings: floatingPanel shown"}, PrefKey::showFloatingPanel, true},
        {"debug mode", nothing, [this] { click("debugModeSwitch"); }, {}, PrefKey::debugMode,
         false},
        {"language", nothing, clickSegment("languagePicker", LocaleManager::kSimplifiedChinese), {},
         PrefKey::appLanguage, LocaleManager::kSimplifiedChinese},
    };
    buildView();
    view->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.prepare();
        settingsLines();
        c.act();
        EXPECT_EQ(settingsLines(), c.lines);
        EXPECT_EQ(prefs.value(c.key), c.stored);
    }
    // Each control shows what is stored.
    EXPECT_EQ(shown<QLineEdit>("openaiKeyField")->text(), "sk-elsewhere");
    EXPECT_EQ(checkedSegments("asrModelPicker"), QStringList{"qwen3-asr"});
    EXPECT_EQ(checkedSegments("postModelPicker"), QStringList{"deepseek-chat"});
    EXPECT_EQ(checkedSegments("languagePicker"), QStringList{LocaleManager::kSimplifiedChinese});
    EXPECT_EQ(shown<QLabel>("stepperValue")->text(), "45s");
    EXPECT_TRUE(shown<QCheckBox>("showFloatingToggle")->isChecked());
    EXPECT_FALSE(shown<QCheckBox>("debugModeSwitch")->isChecked());
}

// A stored value that is no segment's shows none selected and stays until
// the user chooses; a write by another part moves the selection.
TEST_F(SettingsViewTest, PickersShowTheStoredSegmentOrNone)
{
    struct Case
    {
        const char* key;
        QVariant stored;   // invalid: absent
        const char* picker;
        QStringList checked;
    };
    const Case cases[] = {
        {PrefKey::asrModel, {}, "asrModelPicker", {"gpt-4o-mini-transcribe"}},
        {PrefKey::asrModel, "whisper-1", "asrModelPicker", {}},
        {PrefKey::postProcessModel, {}, "postModelPicker", {"gpt-4o-mini"}},
        {PrefKey::postProcessModel, "gpt-4o", "postModelPicker", {"gpt-4o"}},
        {PrefKey::postProcessModel, "", "postModelPicker", {}},
    };
    buildReady();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " " + c.stored.toString().toStdString());
        const auto store = [&] {
            if (c.stored.isValid())
                prefs.setValue(c.key, c.stored);
            else
                prefs.remove(c.key);
        };
        store();
        view.reset();
        showView();
        EXPECT_EQ(checkedSegments(c.picker), c.checked) << "as the screen opens";
        EXPECT_EQ(prefs.value(c.key), c.stored) << "the screen writes nothing";

        prefs.setValue(c.key, "gpt-4o");
        EXPECT_EQ(checkedSegments(c.picker), c.picker == QLatin1String("postModelPicker") ? QStringList{"gpt-4o"}
                                                                                         : QStringList{});
        store();
        EXPECT_EQ(checkedSegments(c.picker), c.checked) << "after other writers";
    }
    // A click on an unselected picker's segment selects it.
    prefs.setValue(PrefKey::asrModel, "whisper-1");
    view.reset();
    showView();
    QTest::mouseClick(segment("asrModelPicker", "qwen3-asr"), Qt::LeftButton);
    EXPECT_EQ(checkedSegments("asrModelPicker"), QStringList{"qwen3-asr"});
    EXPECT_EQ(prefs.asrModel(), "qwen3-asr");
}

// A change of the stored shortcut, whoever wrote it, registers it with a
// handler that toggles dictation and shows what the registration returned;
// a write of the text already shown registers nothing.
TEST_F(SettingsViewTest, AChangedShortcutIsRegisteredAndItsWarningShown)
{
    struct Step
    {
        const char* name;
        std::function<void()> act;
        std::optional<QString> registered;   // the text registered anew, if any
        std::optional<QString> warning;      // the line under the row
    };
    const auto write = [this](const QString& shortcut) {
        return [=, this] { prefs.setValue(PrefKey::shortcut, shortcut); };
    };
    const auto reset = [this] { click("shortcutReset"); };
    const QString conflict = "'\u2318 Space' may conflict with Spotlight Search. You can still use it, "
                             "but the system shortcut might take priority.";
    const Step steps[] = {
        {"the stored text again", write(kDefaultShortcut), std::nullopt, std::nullopt},
        {"reset at the default", reset, std::nullopt, std::nullopt},
        {"shift before command", write("\u21e7 \u2318 E"), "\u21e7 \u2318 E", std::nullopt},
        {"reset after a change", reset, kDefaultShortcut, std::nullopt},
        {"a known conflict", write("\u2318 Space"), "\u2318 Space", conflict},
        {"the same text keeps the warning", write("\u2318 Space"), std::nullopt, conflict},
        {"a refused registration",
         [this] {
             hotkeys.refuseWith({HotkeyStatus::badAccess, "held"});
             prefs.setValue(PrefKey::shortcut, "\u2303 \u2325 R");
             hotkeys.refuseWith({});
         },
         "\u2303 \u2325 R", "Failed to register hotkey '\u2303 \u2325 R'. It may be in use by another application."},
        {"a clean registration clears it", write("\u2303 \u2325 Space"), "\u2303 \u2325 Space", std::nullopt},
        {"the application switcher", write("\u2318 Tab"), "\u2318 Tab",
         "'\u2318 Tab' may conflict with Application Switcher. You can still use it, "
         "but the system shortcut might take priority."},
        // The recorder of the row writes what it records: Control+Shift and the
        // key at the US E position.
        {"a combination recorded in the row",
         [this] {
             QWidget* recorder = shown("shortcutRecorder");
             ASSERT_NE(recorder, nullptr);
             QTest::mouseClick(recorder, Qt::LeftButton);
             QKeyEvent press(QEvent::KeyPress, Qt::Key_E, Qt::ControlModifier | Qt::ShiftModifier, 26, 0, 0);
             QCoreApplication::sendEvent(recorder, &press);
         },
         "\u2303 \u21e7 E", std::nullopt},
    };
    buildReady();
    // What the hot-key manager asks of its backend for a text.
    Logger referenceLog(home.path() + "/reference-logs");
    const auto registrationOf = [&](const QString& shortcut) {
        auto backend = std::make_unique<FakeHotkeyBackend>();
        FakeHotkeyBackend& calls = *backend;
        HotkeyManager manager(referenceLog, std::move(backend));
        manager.registerHotkey(shortcut, {});
        return QStringList(calls.calls());
    };
    const QStringList atStart = hotkeys.calls();
    showView();
    EXPECT_EQ(hotkeys.calls(), atStart) << "opening the screen registers nothing";
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        const qsizetype seen = hotkeys.calls().size();
        const bool wasRegistered = hotkeys.isRegistered();
        step.act();
        QStringList expected;
        if (step.registered)
            expected = (wasRegistered ? QStringList{"unregister"} : QStringList{}) + registrationOf(*step.registered);
        EXPECT_EQ(hotkeys.calls().mid(seen), expected);
        auto* warning = shown<PlainLabel>("hotkeyWarning");
        ASSERT_EQ(warning != nullptr, step.warning.has_value());
        if (warning) {
            EXPECT_EQ(warning->fullText(), *step.warning);
            EXPECT_EQ(warning->palette().color(QPalette::WindowText), Style::orange);
        }
    }
    EXPECT_TRUE(settingsLines().isEmpty()) << "the hot-key manager logs the registration";

    // The handler of the last registration toggles dictation.
    hotkeys.press();
    EXPECT_TRUE(waitForState(SessionState::recording));
    session->cancelRecording();
}

// The panel follows the stored value, whoever wrote it, once the controller
// has made it; before, only the line is written.
TEST_F(SettingsViewTest, ThePanelSwitchOrdersThePanelOnceItExists)
{
    QStringList orders;
    floatingPanel = [&](SessionManager&) { return std::make_unique<OrderedPanel>(orders); };
    build();
    showView();
    ASSERT_EQ(session->floatingPanel(), nullptr) << "the start-up's panel step has not run";
    prefs.setValue(PrefKey::showFloatingPanel, false);
    EXPECT_EQ(settingsLines(), QStringList{"INFO Settings: floatingPanel hidden"});

    ASSERT_TRUE(waitUntil([&] { return session->floatingPanel() != nullptr; }));
    EXPECT_TRUE(orders.isEmpty()) << "the controller leaves a hidden panel hidden";
    struct Case
    {
        std::function<void()> act;
        const char* line;
        QStringList orders;
    };
    const Case cases[] = {
        {[&] { click("showFloatingToggle"); }, "INFO Settings: floatingPanel shown", {"show"}},
        // As the tray menu does it: it orders the panel and writes the value.
        {[&] { session->floatingPanel()->hide(); prefs.setValue(PrefKey::showFloatingPanel, false); },
         "INFO Settings: floatingPanel hidden", {"hide", "hide"}},
        {[&] { prefs.setValue(PrefKey::showFloatingPanel, false); }, nullptr, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line ? c.line : "unchanged");
        orders.clear();
        c.act();
        EXPECT_EQ(settingsLines(), c.line ? QStringList{c.line} : QStringList{});
        EXPECT_EQ(orders, c.orders);
        EXPECT_EQ(shown<QCheckBox>("showFloatingToggle")->isChecked(), prefs.showFloatingPanel());
    }
}

// The rows follow the monitor's flags as it publishes them; the grant
// buttons open the settings where each is granted.
TEST_F(SettingsViewTest, PermissionRowsFollowTheMonitor)
{
    struct Case
    {
        MicrophoneAuthorization microphone;
        bool trusted;
    };
    const Case cases[] = {
        {MicrophoneAuthorization::denied, false},
        {MicrophoneAuthorization::authorized, false},
        {MicrophoneAuthorization::authorized, true},
        {MicrophoneAuthorization::denied, true},
    };
    permissions.authorization = MicrophoneAuthorization::denied;
    permissions.trusted = false;
    buildView();
    PermissionManager& monitor = session->permissionManager();
    for (const Case& c : cases) {
        const bool microphone = c.microphone == MicrophoneAuthorization::authorized;
        SCOPED_TRACE(testing::Message() << "microphone " << microphone << ", accessibility " << c.trusted);
        permissions.authorization = c.microphone;
        permissions.trusted = c.trusted;
        ASSERT_TRUE(waitUntil([&] {
            return monitor.microphoneGranted() == microphone && monitor.accessibilityGranted() == c.trusted;
        }));
        EXPECT_EQ(shown<Dot>("microphoneDot")->colour(), microphone ? Style::green : Style::red);
        EXPECT_EQ(shown("microphoneGrant") == nullptr, microphone);
        EXPECT_EQ(shown<Dot>("accessibilityDot")->colour(), c.trusted ? Style::green : Style::red);
        EXPECT_EQ(shown("accessibilityGrant") == nullptr, c.trusted);
        EXPECT_EQ(shown("accessibilityHint") == nullptr, c.trusted);
        if (!microphone) {
            const int opened = permissions.microphoneSettingsOpened();
            click("microphoneGrant");
            EXPECT_EQ(permissions.microphoneSettingsOpened(), opened + 1);
        }
        if (!c.trusted) {
            const int opened = permissions.accessibilitySettingsOpened();
            click("accessibilityGrant");
            EXPECT_EQ(permissions.accessibilitySettingsOpened(), opened + 1);
        }
    }
    EXPECT_TRUE(settingsLines().isEmpty());
}

// The texts that are not looked up show as written in both languages; the
// others come from the language's table.
TEST_F(SettingsViewTest, FixedTextsShowAsWrittenInEitherLanguage)
{
    buildReady();
    for (const char* language : {LocaleManager::kEnglish, LocaleManager::kSimplifiedChinese}) {
        SCOPED_TRACE(language);
        locale.setLanguage(language);
        view.reset();
        showView();
        EXPECT_EQ(segment("languagePicker", LocaleManager::kEnglish)->text(), "English");
        EXPECT_EQ(segment("languagePicker", LocaleManager::kSimplifiedChinese)->text(), "\u4e2d\u6587");
        EXPECT_EQ(checkedSegments("languagePicker"), QStringList{language});
        EXPECT_EQ(segment("asrModelPicker", "gpt-4o-mini-transcribe")->text(), "gpt-4o-mini-transcribe (OpenAI)");
        EXPECT_EQ(segment("asrModelPicker", "qwen3-asr")->text(), "qwen3-asr (DashScope)");
        EXPECT_EQ(segment("postModelPicker", "deepseek-chat")->text(), "deepseek");
        EXPECT_EQ(shown("asrModelPicker")->accessibleName(), "ASR");
        EXPECT_EQ(shown("postModelPicker")->accessibleName(), "Post");
        for (const char* field : {"openaiKeyField", "dashScopeKeyField", "deepSeekKeyField"})
            EXPECT_EQ(shown<QLineEdit>(field)->placeholderText(), "sk-...");
        EXPECT_EQ(shown<QLabel>("stepperValue")->text(), "30s");

        QStringList titles;
        for (QLabel* title : view->findChildren<QLabel*>("sectionTitle"))
            titles << title->text();
        QStringList expected;
        for (const char* key : {"settings.language", "settings.openaiKey", "settings.dashScopeKey",
                                "settings.deepSeekKey", "settings.asrModel", "settings.postModel",
                                "settings.apiTest", "settings.shortcut", "settings.floatingPanel",
                                "settings.sliceDuration", "settings.postPrompt", "settings.permissions"}) {
            EXPECT_NE(locale.text(key), key);
            expected << locale.text(key);
        }
        EXPECT_EQ(titles, expected);
        EXPECT_EQ(shown<QAbstractButton>("debugModeSwitch")->text(), locale.text("settings.debugMode"));
        EXPECT_EQ(shown<QAbstractButton>("promptReset")->text(), locale.text("settings.resetDefault"));
    }
}

// The prompt inside the main window: the draft reaches the store at a real
// loss of the editor's focus, with a line of its length in characters, and
// silently as the screen goes; a popup or another window stores nothing.
class SettingsPromptTest : public SettingsViewTest
{
protected:
    void buildWindow()
    {
        buildReady();
        window = std::make_unique<MainView>(*session);
        window->resize(520, 1400);
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    }

    QPlainTextEdit* editor() const { return ViewFixture::shown<QPlainTextEdit>(*window, "promptEditor"); }

    // Focus in the editor, as a click puts it, and `typed` added at its end
    // as an input method commits it (emoji included).
    void edit(const QString& typed)
    {
        QTest::mouseClick(editor()->viewport(), Qt::LeftButton);
        ASSERT_TRUE(editor()->hasFocus());
        editor()->moveCursor(QTextCursor::End);
        QInputMethodEvent input;
        input.setCommitString(typed);
        QApplication::sendEvent(editor(), &input);
    }

    // A click on the screen's padding beside the editor: no control takes it.
    void clickBeside()
    {
        QWidget* column = ViewFixture::shown(*window, "settingsColumn");
        QTest::mouseClick(column, Qt::LeftButton, {}, QPoint(2, editor()->mapTo(column, QPoint()).y()));
    }

    std::unique_ptr<MainView> window;
    std::unique_ptr<QWidget> other;   // a window of its own
};

TEST_F(SettingsPromptTest, TheDraftIsStoredAtARealFocusLossOrAsTheScreenGoes)
{
    const QString builtIn = Preferences::defaultPolishingPrompt();
    const QString thumb = "\U0001F44D\U0001F3FD";   // one character of four UTF-16 units
    struct Case
    {
        const char* name;
        QString typed;
        std::function<void()> act;
        std::optional<QString> stored;   // none: the key stays absent
        QStringList lines;
        bool focusKept = false;          // the editor has the focus again afterwards
    };
    const auto line = [](int length) {
        return "INFO Settings: postProcessPrompt updated (length: " + QString::number(length) + ")";
    };
    const Case cases[] = {
        {"a click beside it, nothing typed", "", [this] { clickBeside(); }, builtIn,
         {line(371)}},
        {"Tab after an edit", thumb, [this] { QTest::keyClick(editor(), Qt::Key_Tab); },
         builtIn + thumb, {line(372)}},
        {"a key field clicked", "!", [this] { ViewFixture::click(*window, "openaiKeyField"); },
         builtIn + "!", {line(372)}},
        {"its context menu", "!",
         [this] {
             // The menu runs a loop of its own until it closes.
             QTimer closer;
             QObject::connect(&closer, &QTimer::timeout, [] {
                 if (QWidget* menu = QApplication::activePopupWidget())
                     menu->close();
             });
             closer.start(10);
             FocusOutWatch watch(*editor());
             const QPoint at = editor()->viewport()->rect().center();
             QContextMenuEvent menu(QContextMenuEvent::Mouse, at, editor()->viewport()->mapToGlobal(at));
             QApplication::sendEvent(editor()->viewport(), &menu);
             EXPECT_EQ(watch.reasons, QList{Qt::PopupFocusReason}) << "the menu had the focus";
         },
         std::nullopt, {}, true},
        {"another window", "!",
         [this] {
             other = std::make_unique<QWidget>();
             other->show();
             other->activateWindow();
             ASSERT_TRUE(QTest::qWaitForWindowActive(other.get()));
         },
         std::nullopt, {}},
        {"another tab", "!",
         [this] {
             ViewFixture::click(*window, "tabGlossary");
             ViewFixture::click(*window, "tabSettings");
         },
         builtIn + "!", {}},
        {"another language", "!",
         [this] { locale.setLanguage(LocaleManager::kSimplifiedChinese); },
         builtIn + "!", {}},
        {"reset", "!", [this] { ViewFixture::click(*window, "promptReset"); }, builtIn, {}, true},
        {"emptied", "",
         [this] {
             QTest::keyClick(editor(), Qt::Key_A, Qt::ControlModifier);
             QTest::keyClick(editor(), Qt::Key_Delete);
             clickBeside();
         },
         "", {line(0)}},
    };
    buildWindow();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        other.reset();
        // A new screen on the built-in prompt; the old one stores its draft as it goes.
        locale.setLanguage(LocaleManager::kEnglish);
        ViewFixture::click(*window, "tabGlossary");
        prefs.remove(PrefKey::postProcessPrompt);
        ViewFixture::click(*window, "tabSettings");
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        ASSERT_EQ(editor()->toPlainText(), builtIn);
        edit(c.typed);
        settingsLines();

        c.act();

        EXPECT_EQ(prefs.contains(PrefKey::postProcessPrompt), c.stored.has_value());
        if (c.stored) {
            EXPECT_EQ(prefs.postProcessPrompt(), *c.stored);
        }
        EXPECT_EQ(settingsLines(), c.lines);
        EXPECT_EQ(editor()->hasFocus(), c.focusKept);
        // The screen shows the draft, also a new one.
        EXPECT_EQ(editor()->toPlainText(), c.stored.value_or(builtIn + c.typed));
    }
}

// The draft outlives the screen also where it goes with its window, or is
// deleted without being hidden first.
TEST_F(SettingsPromptTest, TheDraftOutlivesItsScreen)
{
    const QString edited = Preferences::defaultPolishingPrompt() + "!";
    buildWindow();
    edit("!");
    window.reset();
    EXPECT_EQ(prefs.postProcessPrompt(), edited) << "with the window";

    prefs.remove(PrefKey::postProcessPrompt);
    showView();
    view->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    auto* editor = shown<QPlainTextEdit>("promptEditor");
    QTest::mouseClick(editor->viewport(), Qt::LeftButton);
    editor->moveCursor(QTextCursor::End);
    QTest::keyClick(editor, Qt::Key_Exclam);
    view.reset();
    EXPECT_EQ(prefs.postProcessPrompt(), edited) << "deleted while shown";
    EXPECT_TRUE(settingsLines().isEmpty());
}

// The language picker's click builds the whole window anew in the new
// language, the screen holding the picker included.
TEST_F(SettingsPromptTest, TheLanguagePickerRebuildsTheWindowFromItsOwnClick)
{
    buildWindow();
    for (const char* language : {LocaleManager::kSimplifiedChinese, LocaleManager::kEnglish}) {
        SCOPED_TRACE(language);
        QPointer<QWidget> old = ViewFixture::shown(*window, "settingsScreen");
        auto* picker = ViewFixture::shown<SegmentedPicker>(*window, "languagePicker");
        QTest::mouseClick(picker->findChild<QToolButton*>(language), Qt::LeftButton);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_FALSE(old);
        EXPECT_EQ(locale.language(), language);
        auto* screen = ViewFixture::shown(*window, "settingsScreen");
        ASSERT_NE(screen, nullptr);
        auto* now = ViewFixture::shown<SegmentedPicker>(*window, "languagePicker");
        EXPECT_EQ(now->selected(), language);
        EXPECT_EQ(ViewFixture::shown<QAbstractButton>(*window, "promptReset")->text(),
                  locale.text("settings.resetDefault"));
    }
    EXPECT_TRUE(settingsLines().isEmpty());
}
