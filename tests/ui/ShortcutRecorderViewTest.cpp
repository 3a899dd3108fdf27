// The shortcut recorder on the offscreen platform, with key presses built by
// hand: the toolkit's own test presses carry no scan code, and the recorder
// names keys by their scan code (the X key code of their position).
#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>
#include <memory>

#include "platform/KeyTable.h"
#include "platform/Preferences.h"
#include "session/HotkeyManager.h"
#include "support/FakeHotkeyBackend.h"
#include "support/LogCapture.h"
#include "support/QStringPrinter.h"
#include "ui/PlainLabel.h"
#include "ui/ShortcutRecorderView.h"
#include "ui/Style.h"

namespace {

constexpr Qt::KeyboardModifiers kControl = Qt::ControlModifier;
constexpr Qt::KeyboardModifiers kAlt = Qt::AltModifier;
constexpr Qt::KeyboardModifiers kShift = Qt::ShiftModifier;
constexpr Qt::KeyboardModifiers kSuper = Qt::MetaModifier;
constexpr Qt::KeyboardModifiers kKeypad = Qt::KeypadModifier;

// X key codes of positions (evdev code + 8).
constexpr quint32 kA = 38, kE = 26, kQ = 24, kOne = 10, kZero = 19, kMinus = 20, kTab = 23, kSpace = 65;
constexpr quint32 kBackSpace = 22, kDelete = 119, kEscape = 9, kHome = 110, kUp = 111, kF12 = 96;
constexpr quint32 kKeypadOne = 87, kF13 = 191, kSuperL = 133, kCapsLock = 66;

struct Press
{
    int key;
    Qt::KeyboardModifiers modifiers;
    quint32 scanCode;
};

// A window with a text field and the recorder, shown and active, on a
// settings file of its own.
class ShortcutRecorderViewTest : public testing::Test
{
protected:
    ShortcutRecorderViewTest()
    {
        auto* layout = new QVBoxLayout(&window);
        field = new QLineEdit(&window);
        layout->addWidget(field);
        recorder = new ShortcutRecorderView(prefs, &window);
        layout->addWidget(recorder);
        window.show();
        window.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
        field->setFocus();
    }

    QString shownText() const { return recorder->findChild<PlainLabel*>("shortcutRecorderText")->fullText(); }
    QColor textColour() const
    {
        return recorder->findChild<PlainLabel*>("shortcutRecorderText")->palette().color(QPalette::WindowText);
    }

    void clickRecorder() { QTest::mouseClick(recorder, Qt::LeftButton); }

    // `press` delivered to the recorder as the toolkit delivers a key press.
    bool send(const Press& press)
    {
        QKeyEvent event(QEvent::KeyPress, press.key, press.modifiers, press.scanCode, 0, 0);
        QApplication::sendEvent(recorder, &event);
        return event.isAccepted();
    }

    // Checks the recorder is showing, not recording, and holds no keyboard.
    void expectShowing(const QString& text, const std::string& where)
    {
        EXPECT_FALSE(recorder->isRecording()) << where;
        EXPECT_EQ(QWidget::keyboardGrabber(), nullptr) << where;
        EXPECT_EQ(shownText(), text) << where;
        EXPECT_EQ(textColour(), recorder->palette().color(QPalette::WindowText)) << where;
    }
    void expectRecording(const std::string& where)
    {
        EXPECT_TRUE(recorder->isRecording()) << where;
        EXPECT_EQ(QWidget::keyboardGrabber(), recorder) << where;
        EXPECT_EQ(shownText(), "Press shortcut...") << where;
        EXPECT_EQ(textColour(), Style::orange) << where;
    }

    QTemporaryDir folder;
    Preferences prefs{folder.filePath("settings.conf")};
    QWidget window;
    QLineEdit* field = nullptr;
    ShortcutRecorderView* recorder = nullptr;
};

TEST_F(ShortcutRecorderViewTest, ShowsTheStoredShortcutAndFollowsItsChanges)
{
    EXPECT_EQ(recorder->objectName(), "shortcutRecorder");
    expectShowing("\u2318 \u21e7 E", "nothing stored: the default");
    const std::pair<QString, QString> cases[] = {
        {"\u2303 \u2325 A", "\u2303 \u2325 A"},
        {"", "Click to set"},
        {"<b>x</b>", "<b>x</b>"},
        {"\u2318 \u21e7 E", "\u2318 \u21e7 E"},   // the settings screen's reset
    };
    for (const auto& [stored, shown] : cases) {
        prefs.setValue(PrefKey::shortcut, stored);
        expectShowing(shown, stored.toStdString());
    }
    EXPECT_EQ(recorder->findChild<PlainLabel*>("shortcutRecorderText")->textFormat(), Qt::PlainText);
}

TEST_F(ShortcutRecorderViewTest, AClickRecordsAndAKeyWithoutModifierIsIgnored)
{
    clickRecorder();
    expectRecording("after the click");
    EXPECT_TRUE(recorder->hasFocus());

    QSignalSpy writes(&prefs, &Preferences::changed);
    EXPECT_TRUE(send({Qt::Key_E, Qt::NoModifier, kE}));
    clickRecorder();
    expectRecording("after E alone and a second click");
    EXPECT_EQ(writes.size(), 0);
    EXPECT_FALSE(prefs.contains(PrefKey::shortcut));
}

TEST_F(ShortcutRecorderViewTest, WritesTheModifiersInTheirOrderAndTheKeyByItsPosition)
{
    const struct {
        Press press;
        QString text;
    } cases[] = {
        {{Qt::Key_A, kControl | kAlt | kShift | kSuper, kA}, "\u2303 \u2325 \u21e7 \u2318 A"},
        {{Qt::Key_E, kShift | kSuper, kE}, "\u21e7 \u2318 E"},
        {{Qt::Key_Q, kSuper, kA}, "\u2318 A"},   // the A position of a French keyboard
        {{Qt::Key_A, kSuper, kQ}, "\u2318 Q"},
        {{Qt::Key_Delete, kSuper, kDelete}, "\u2318 Fwd Delete"},
        {{Qt::Key_Backspace, kSuper, kBackSpace}, "\u2318 Delete"},
        {{Qt::Key_Tab, kSuper, kTab}, "\u2318 Tab"},
        {{Qt::Key_Backtab, kShift, kTab}, "\u21e7 Tab"},
        {{Qt::Key_Space, kControl, kSpace}, "\u2303 Space"},
        {{Qt::Key_Exclam, kShift, kOne}, "\u21e7 1"},
        {{Qt::Key_0, kAlt, kZero}, "\u2325 0"},
        {{Qt::Key_Up, kControl | kKeypad, kUp}, "\u2303 \u2191"},
        {{Qt::Key_F12, kAlt | kSuper, kF12}, "\u2325 \u2318 F12"},
    };
    for (const auto& c : cases) {
        prefs.setValue(PrefKey::shortcut, "\u2318 \u21e7 E");
        clickRecorder();
        QSignalSpy writes(&prefs, &Preferences::changed);
        EXPECT_TRUE(send(c.press));
        EXPECT_EQ(prefs.value(PrefKey::shortcut).toString(), c.text);
        EXPECT_EQ(writes.size(), 1) << c.text.toStdString();
        expectShowing(c.text, c.text.toStdString());
        EXPECT_TRUE(recorder->hasFocus()) << c.text.toStdString();
    }
}

TEST_F(ShortcutRecorderViewTest, KeysOutsideTheTableAreIgnoredAndRecordingGoesOn)
{
    const Press presses[] = {
        {Qt::Key_A, kKeypad, kA},                // the keypad flag is no modifier
        {Qt::Key_Minus, kSuper, kMinus},
        {Qt::Key_Home, kSuper, kHome},
        {Qt::Key_1, kSuper | kKeypad, kKeypadOne},
        {Qt::Key_F13, kSuper, kF13},
        {Qt::Key_Super_L, kSuper, kSuperL},      // a modifier on its own
        {Qt::Key_CapsLock, Qt::NoModifier, kCapsLock},
        {Qt::Key_E, kSuper, 0},                  // a press that carries no position
    };
    QSignalSpy writes(&prefs, &Preferences::changed);
    clickRecorder();
    for (const Press& press : presses) {
        EXPECT_TRUE(send(press)) << press.scanCode;
        expectRecording(std::to_string(press.scanCode));
    }
    EXPECT_EQ(writes.size(), 0);
}

TEST_F(ShortcutRecorderViewTest, EscapeCancelsWhateverTheModifiers)
{
    prefs.setValue(PrefKey::shortcut, "\u2303 A");
    QSignalSpy writes(&prefs, &Preferences::changed);
    for (Qt::KeyboardModifiers modifiers : {Qt::KeyboardModifiers(), kSuper, kControl | kAlt | kShift | kSuper}) {
        clickRecorder();
        EXPECT_TRUE(send({Qt::Key_Escape, modifiers, kEscape}));
        expectShowing("\u2303 A", std::to_string(modifiers.toInt()));
    }
    EXPECT_EQ(writes.size(), 0);
}

// The settings screen's reset while recording: the control goes on
// recording and shows the new text once it ends.
TEST_F(ShortcutRecorderViewTest, AChangeMadeElsewhereWhileRecordingShowsWhenItEnds)
{
    prefs.setValue(PrefKey::shortcut, "\u2303 A");
    clickRecorder();
    prefs.setValue(PrefKey::shortcut, "\u2318 \u21e7 E");
    expectRecording("after the reset");
    send({Qt::Key_Escape, Qt::NoModifier, kEscape});
    expectShowing("\u2318 \u21e7 E", "after Escape");
}

TEST_F(ShortcutRecorderViewTest, EveryOtherWayOutEndsRecordingWithoutAChange)
{
    const std::pair<const char*, std::function<void()>> ways[] = {
        {"another field takes the focus", [&] { field->setFocus(Qt::MouseFocusReason); }},
        {"the focus is cleared", [&] { recorder->clearFocus(); }},
        {"another window is activated",
         [&] {
             auto* other = new QWidget;
             other->setAttribute(Qt::WA_DeleteOnClose);
             other->show();
             other->activateWindow();
             EXPECT_TRUE(QTest::qWaitForWindowActive(other));
             other->close();
         }},
        {"the control is hidden", [&] { recorder->hide(); }},
        {"its window is hidden", [&] { window.hide(); }},
    };
    QSignalSpy writes(&prefs, &Preferences::changed);
    for (const auto& [name, leave] : ways) {
        window.show();
        recorder->show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window)) << name;
        clickRecorder();
        expectRecording(name);
        leave();
        expectShowing("\u2318 \u21e7 E", name);
    }
    EXPECT_EQ(writes.size(), 0);
}

TEST_F(ShortcutRecorderViewTest, DestroyedWhileRecordingItGivesTheKeyboardBack)
{
    clickRecorder();
    ASSERT_EQ(QWidget::keyboardGrabber(), recorder);
    delete recorder;
    EXPECT_EQ(QWidget::keyboardGrabber(), nullptr);
}

// Through the window, as the platform delivers keys: while recording, the
// window's shortcuts and Tab reach the recorder (these presses carry no scan
// code, so it ignores them and goes on); afterwards they work as before.
TEST_F(ShortcutRecorderViewTest, WhileRecordingTheWindowsShortcutsAndTabReachIt)
{
    QAction close(&window);
    close.setShortcut(QKeySequence(Qt::ControlModifier | Qt::Key_W));
    window.addAction(&close);
    QSignalSpy triggered(&close, &QAction::triggered);

    clickRecorder();
    QTest::keyClick(window.windowHandle(), Qt::Key_W, Qt::ControlModifier);
    QTest::keyClick(window.windowHandle(), Qt::Key_Tab);
    QTest::keyClick(window.windowHandle(), Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(triggered.size(), 0);
    EXPECT_TRUE(recorder->hasFocus());
    expectRecording("after Control+W, Tab and Shift+Tab");

    send({Qt::Key_Escape, Qt::NoModifier, kEscape});
    QTest::keyClick(window.windowHandle(), Qt::Key_W, Qt::ControlModifier);
    EXPECT_EQ(triggered.size(), 1);
    QTest::keyClick(window.windowHandle(), Qt::Key_Tab);
    EXPECT_FALSE(recorder->hasFocus());
}

// What the recorder writes, the hot-key manager reads back as the key at the
// position that was pressed.
TEST(ShortcutRecorderAndHotkeys, EveryRecordedKeyRegistersTheKeyAtItsPosition)
{
    QTemporaryDir folder;
    Preferences prefs(folder.filePath("settings.conf"));
    ShortcutRecorderView recorder(prefs);
    LogCapture log;
    auto owned = std::make_unique<FakeHotkeyBackend>();
    FakeHotkeyBackend& backend = *owned;
    HotkeyManager manager(log.logger, std::move(owned));

    int recordable = 0;
    for (const ShortcutKey& key : KeyTable::keys()) {
        if (!key.recordable)
            continue;
        ++recordable;
        QTest::mouseClick(&recorder, Qt::LeftButton);
        QKeyEvent press(QEvent::KeyPress, 0, Qt::ControlModifier | Qt::ShiftModifier, quint32(key.xKeycode), 0, 0);
        QApplication::sendEvent(&recorder, &press);
        const QString text = prefs.shortcut();
        EXPECT_EQ(text, "\u2303 \u21e7 " + key.name);
        manager.registerHotkey(text, [] {});
        ASSERT_TRUE(backend.registered()) << text.toStdString();
        const ShortcutKey* registered = KeyTable::byCode(backend.registered()->keyCode);
        ASSERT_NE(registered, nullptr) << text.toStdString();
        EXPECT_EQ(registered->xKeycode, key.xKeycode) << text.toStdString();
        EXPECT_EQ(backend.registered()->modifiers, HotkeyModifier::control | HotkeyModifier::shift);
    }
    EXPECT_EQ(recordable, 57);
}

}
