#include <gmock/gmock.h>

#include "session/TextInjectorFixture.h"

using testing::Contains;
using testing::ElementsAre;
using testing::IsEmpty;

namespace {

// The context lines captureTarget() writes (all at debug level).
QStringList contextLines(const QStringList& lines)
{
    QStringList context;
    for (const QString& line : lines) {
        if (line.contains("TextInjector context:")) {
            EXPECT_TRUE(line.startsWith("DEBUG ")) << line.toStdString();
            context << line.mid(QStringLiteral("DEBUG ").size());
        }
    }
    return context;
}

}

TEST_F(TextInjectorFixture, CaptureRemembersTheFrontmostApplicationAndLogsItsField)
{
    auto field = accessibility->focusField(editor.pid);
    field->value = "Dear Sir";
    field->selectionStart = 5;
    field->selectionEnd = 8;
    windows->frontmost = editor;

    injector->captureTarget();

    ASSERT_TRUE(injector->targetApp());
    EXPECT_EQ(injector->targetApp()->pid, editor.pid);
    const QStringList lines = logLines();
    EXPECT_THAT(lines, Contains("INFO TextInjector: captured target app: Editor"));
    EXPECT_THAT(contextLines(lines), ElementsAre("TextInjector context: role=text",
                                                 "TextInjector context: value(8 chars)=Dear Sir",
                                                 "TextInjector context: selectedText=Sir"));
}

TEST_F(TextInjectorFixture, ContextLinesCutLongValuesAndNameEmptySelections)
{
    const QString twoHundred = QString(199, 'a') + QString::fromUtf8("👍🏽");
    const struct {
        std::optional<QString> value;
        QStringList expected;
    } cases[] = {
        {twoHundred,
         {"TextInjector context: role=text", "TextInjector context: value(200 chars)=" + twoHundred,
          "TextInjector context: selectedText=(empty)"}},
        {twoHundred + "b" + QString(49, 'c'),
         {"TextInjector context: role=text",
          "TextInjector context: value(250 chars)=" + twoHundred + "...",
          "TextInjector context: selectedText=(empty)"}},
        {std::nullopt,
         {"TextInjector context: role=text", "TextInjector context: value not readable"}},
    };
    for (const auto& c : cases) {
        logger.setEntries({});
        auto field = accessibility->focusField(editor.pid);
        field->value = c.value;
        windows->frontmost = editor;

        injector->captureTarget();

        EXPECT_EQ(contextLines(logLines()), c.expected);
    }
}

TEST_F(TextInjectorFixture, PasswordFieldIsNeverReadNorLogged)
{
    auto field = accessibility->focusField(editor.pid);
    field->role = "password text";
    field->password = true;
    field->value = "hunter2-secret";
    windows->frontmost = editor;

    injector->captureTarget();
    ASSERT_TRUE(injector->inject("more"));

    EXPECT_EQ(field->valueReads, 0);
    EXPECT_EQ(field->selectionReads, 0);
    EXPECT_THAT(contextLines(logLines()),
                ElementsAre("TextInjector context: role=password text",
                            "TextInjector context: password field, value not read"));
    EXPECT_FALSE(logMessages().join('\n').contains("hunter2"));
    EXPECT_EQ(keys->pastes(), 1);
}

TEST_F(TextInjectorFixture, CaptureWithNothingInFrontRemembersNothing)
{
    injector->captureTarget();

    EXPECT_FALSE(injector->targetApp());
    EXPECT_THAT(logMessages(), ElementsAre("TextInjector: captured target app: nil",
                                           "TextInjector context: no focused element"));
}

TEST_F(TextInjectorFixture, CaptureSkipsThisProcessAndNeverAsksItsOwnAccessibility)
{
    // Our own window in front (the main window was clicked): asking our own
    // accessibility tree from the main thread would wait on ourselves.
    windows->frontmost = DesktopApplication{"Talvex", QCoreApplication::applicationPid(), 0x800001};
    accessibility->focusField(QCoreApplication::applicationPid())->value = "own field";

    injector->captureTarget();

    EXPECT_FALSE(injector->targetApp());
    EXPECT_THAT(accessibility->askedPids, IsEmpty());
    EXPECT_THAT(logMessages(), ElementsAre("TextInjector: captured target app: nil",
                                           "TextInjector context: no focused element"));
}

TEST_F(TextInjectorFixture, CurrentTargetIsTheTargetOrElseTheFrontmostApplication)
{
    windows->titles[editor.windowId] = QString::fromUtf8("Brief – Entwurf.odt");
    windows->frontmost = editor;
    injector->captureTarget();
    windows->frontmost = browser;

    EXPECT_EQ(injector->getCurrentTarget(),
              (InjectionTarget{"Editor", QString::fromUtf8("Brief – Entwurf.odt")}));

    injector->clearTargetApp();
    EXPECT_EQ(injector->getCurrentTarget(), (InjectionTarget{"Browser", ""}))
        << "a window without title gives an empty detail";

    windows->frontmost = DesktopApplication{"", 99, 0x990001};
    EXPECT_EQ(injector->getCurrentTarget(), (InjectionTarget{"Unknown", ""}));

    windows->frontmost.reset();
    EXPECT_EQ(injector->getCurrentTarget(), std::nullopt);
}
