#include <gmock/gmock.h>

#include "session/TextInjectorFixture.h"

using testing::Contains;
using testing::ElementsAre;
using testing::IsEmpty;

namespace {

struct Fakes
{
    FakeDesktopWindows& windows;
    FakeAccessibility& accessibility;
    FakeField& field;
    FakeKeySynthesizer& keys;
};

struct InjectCase
{
    const char* name;
    void (*arrange)(Fakes&);
    bool result;
    bool asksForField;    // whether the injector got as far as the focused field
    bool pasted;
    QString fieldValue;   // the editor's field afterwards
    QString logLine;      // "LEVEL message" the log must hold
};

void PrintTo(const InjectCase& c, std::ostream* os) { *os << c.name; }

const InjectCase kInjectCases[] = {
    {"WriteVerified", [](Fakes&) {}, true, true, false, "Hello world",
     "INFO TextInjector: AX inject verified, 6 chars inserted"},
    {"WriteAcceptedButValueUnchanged", [](Fakes& f) { f.field.writeTakesEffect = false; },
     true, true, true, "Hello",
     "WARN TextInjector: AX returned success but text unchanged, falling back to ⌘V"},
    {"WriteError", [](Fakes& f) { f.field.writeError = 5; }, true, true, true, "Hello",
     "INFO TextInjector: AX write failed (5), falling back to ⌘V"},
    {"ValueNotReadable", [](Fakes& f) { f.field.value.reset(); }, true, true, true, "",
     "INFO TextInjector: AX not readable, using ⌘V paste"},
    {"NoFocusedElement", [](Fakes& f) { f.accessibility.focusedFields.clear(); }, true, true, true,
     "Hello", "WARN TextInjector: no focused element, using ⌘V paste"},
    {"PasswordField", [](Fakes& f) { f.field.password = true; }, true, true, true, "Hello",
     "INFO TextInjector: password field, using ⌘V paste"},
    // The target quit or lost its windows: pasting would hit whatever has focus.
    {"ActivationRefused", [](Fakes& f) { f.windows.activation = FakeDesktopWindows::Activation::refused; },
     false, false, false, "Hello", "WARN TextInjector: could not activate Editor, text not inserted"},
    // The window manager kept focus elsewhere.
    {"ActivationIgnored", [](Fakes& f) { f.windows.activation = FakeDesktopWindows::Activation::ignored; },
     false, false, false, "Hello", "WARN TextInjector: Editor is not frontmost, text not inserted"},
    // A toolkit that reads the length in another unit pads the text: taken
    // back before the paste, which would otherwise leave the padding behind.
    {"WriteLeftPadding",
     [](Fakes& f) {
         f.field.writeMangles = [](const QString& text) { return text.isEmpty() ? text : text + QChar(0); };
     },
     true, true, true, "Hello", "INFO TextInjector: AX write undone, the field holds its earlier text again"},
    // The application changed more than the selection: nothing can be told apart.
    {"WriteChangedMoreThanTheSelection", [](Fakes& f) { f.field.valueAfterWrite = "HELLO world"; },
     true, true, true, "HELLO world",
     "WARN TextInjector: AX write changed the text beyond the selection, not undone"},
    // A field that cannot be read back is not proof of the write.
    {"ValueUnreadableAfterWrite", [](Fakes& f) { f.field.valueGoneAfterWrite = true; },
     true, true, true, "",
     "WARN TextInjector: AX write not verifiable (value not readable), falling back to ⌘V"},
    {"FocusSearchUnanswered", [](Fakes& f) { f.accessibility.focusedElementUnanswered = true; },
     true, true, true, "Hello", "WARN TextInjector: AX gave no answer within 1000 ms (focused element)"},
    {"ValueReadUnanswered", [](Fakes& f) { f.field.unanswered = {"value"}; }, true, true, true,
     "Hello", "WARN TextInjector: AX gave no answer within 1000 ms (value)"},
    {"NoKeyEvents",
     [](Fakes& f) {
         f.field.value.reset();
         f.keys.available = false;
     },
     false, true, false, "", "WARN TextInjector: the ⌘V key events could not be posted"},
};

class TextInjectorInject : public TextInjectorFixture,
                           public testing::WithParamInterface<InjectCase>
{
};

}

TEST_P(TextInjectorInject, TakesTheBranchOfItsCase)
{
    const InjectCase& c = GetParam();
    const auto field = captureEditorThenSwitchAway();
    Fakes fakes{*windows, *accessibility, *field, *keys};
    c.arrange(fakes);
    const int valueReadsBefore = field->valueReads;
    const qsizetype asksBefore = accessibility->askedPids.size();

    EXPECT_EQ(injector->inject(" world"), c.result);

    EXPECT_EQ(keys->pastes(), c.pasted ? 1 : 0);
    if (c.pasted) {
        EXPECT_EQ(keys->clipboardAtPaste.value(0), " world");
    }
    EXPECT_EQ(field->value.value_or(""), c.fieldValue);
    EXPECT_THAT(logLines(), Contains(c.logLine));
    EXPECT_EQ(accessibility->askedPids.size() > asksBefore, c.asksForField);
    if (field->password) {
        EXPECT_EQ(field->valueReads, valueReadsBefore) << "a password field's value was read";
    }
}

INSTANTIATE_TEST_SUITE_P(Branches, TextInjectorInject, testing::ValuesIn(kInjectCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TextInjectorFixture, VerifiedWriteLogsEachStepAndLeavesTheClipboardAlone)
{
    clipboard().setText("mine");
    const auto field = captureEditorThenSwitchAway();
    field->selectionStart = 0;
    field->selectionEnd = 5;   // "Hello" selected: the write replaces it

    ASSERT_TRUE(injector->inject("Hi"));

    EXPECT_EQ(field->value, "Hi");
    EXPECT_EQ(keys->pastes(), 0);
    EXPECT_EQ(clipboard().text(), "mine");
    EXPECT_EQ(windows->activated.size(), 1);
    const QStringList lines = logLines();
    EXPECT_THAT(lines.mid(lines.indexOf("INFO TextInjector: activating Editor (pid: 4242)")),
                ElementsAre("INFO TextInjector: activating Editor (pid: 4242)",
                            "INFO TextInjector: after activate, frontmost is Editor (pid: 4242)",
                            "INFO TextInjector: focused element role: text",
                            "INFO TextInjector: AX readable, current text length: 5",
                            "INFO TextInjector: AX inject verified, 2 chars inserted"));
}

// Control characters would act as commands in the target (an escape sequence
// in a terminal, a carriage return that submits a form): neither the write
// nor the paste hands them over.
TEST_F(TextInjectorFixture, LeavesOutControlCharactersOtherThanLineFeedAndTab)
{
    const QString received = QString("a\tb\nc\r\nd") + QChar(0) + "e\x1b[2Jf\x7fg\x01\x1fh\u00e9";
    const QString inserted = "a\tb\nc\nde[2Jfgh\u00e9";
    for (const bool writeWorks : {true, false}) {
        SCOPED_TRACE(writeWorks ? "written" : "pasted");
        const auto field = captureEditorThenSwitchAway("");
        field->writeTakesEffect = writeWorks;

        ASSERT_TRUE(injector->inject(received));

        EXPECT_EQ(field->value, writeWorks ? inserted : "");
        EXPECT_EQ(keys->clipboardAtPaste, writeWorks ? QStringList() : QStringList{inserted});
        keys->clipboardAtPaste.clear();
    }
}

TEST_F(TextInjectorFixture, CountsUserPerceivedCharacters)
{
    const QString text = QString::fromUtf8("e\u0301 👍🏽 🇩🇪");   // 5 characters, 11 UTF-16 units
    const auto field = captureEditorThenSwitchAway(QString::fromUtf8("Ünï👍🏽"));
    field->writeError = 1;

    ASSERT_TRUE(injector->inject(text));

    EXPECT_THAT(logMessages(), Contains("TextInjector: AX readable, current text length: 4"));
    EXPECT_THAT(logMessages(), Contains("TextInjector: injected 5 chars via ⌘V paste"));
}

TEST_F(TextInjectorFixture, UnnamedTargetAndNoFrontmostAfterActivationAreLoggedAsSuch)
{
    const DesktopApplication unnamed{"", 777, 0x700001};
    windows->frontmost = unnamed;
    injector->captureTarget();
    windows->activation = FakeDesktopWindows::Activation::ignored;
    windows->frontmost.reset();

    EXPECT_FALSE(injector->inject("text"));

    EXPECT_THAT(logMessages(), testing::IsSupersetOf({
        "TextInjector: captured target app: nil",
        "TextInjector: activating unknown (pid: 777)",
        "TextInjector: after activate, frontmost is nil (pid: -1)",
    }));
    EXPECT_EQ(keys->pastes(), 0);
}

TEST_F(TextInjectorFixture, WithoutTargetNothingIsActivatedAndTheFrontmostFieldIsUsed)
{
    injector->captureTarget();   // nothing in front
    ASSERT_FALSE(injector->targetApp());
    const auto field = accessibility->focusField(browser.pid);
    field->value = "abc";
    windows->frontmost = browser;

    EXPECT_TRUE(injector->inject("d"));

    EXPECT_THAT(windows->activated, IsEmpty());
    EXPECT_EQ(field->value, "abcd");
    EXPECT_FALSE(logMessages().join('\n').contains("TextInjector: activating"));
}

TEST_F(TextInjectorFixture, ClearedTargetIsNotActivatedAgain)
{
    captureEditorThenSwitchAway();
    injector->clearTargetApp();
    accessibility->focusField(browser.pid)->value = "";

    EXPECT_TRUE(injector->inject("x"));
    EXPECT_THAT(windows->activated, IsEmpty());
}
