#include <gtest/gtest.h>

#include "desktop/PasteTargetProcess.h"
#include "platform/atspi/AtspiAccessibility.h"
#include "platform/atspi/AtspiElement.h"
#include "support/EventLoop.h"
#include "support/QStringPrinter.h"

namespace {

class AtspiAccessibilityTest : public testing::Test
{
protected:
    // The target's focused element, once its tree is on the bus.
    std::unique_ptr<AccessibleElement> focusedElementOf(const PasteTargetProcess& target)
    {
        std::unique_ptr<AccessibleElement> element;
        waitUntil([&] { return (element = accessibility.focusedElement(target.pid())) != nullptr; });
        return element;
    }

    static PasteTargetProcess::Options accessible(QStringList arguments)
    {
        return {std::move(arguments), true};
    }

    AtspiAccessibility accessibility;
};

}

TEST_F(AtspiAccessibilityTest, ReadsTheFocusedLineEditOfAnotherProcess)
{
    PasteTargetProcess target(accessible({"--text", "Hello world", "--select", "6", "5"}));
    ASSERT_TRUE(target.start());
    EXPECT_TRUE(accessibility.isTrusted());

    const auto element = focusedElementOf(target);

    ASSERT_TRUE(element);
    EXPECT_EQ(element->role(), "text");
    EXPECT_FALSE(element->isPasswordField());
    EXPECT_EQ(element->value(), "Hello world");
    EXPECT_EQ(element->selection(), (TextSpan{6, 11}));
}

TEST_F(AtspiAccessibilityTest, WritesReplaceTheSelectionOrInsertAtTheCaret)
{
    const struct {
        QStringList arguments;
        QString insertion;
        QString expected;
    } cases[] = {
        {{"--text", "Hello world", "--select", "6", "5"}, "there", "Hello there"},
        {{"--text", "Grüße"}, QString::fromUtf8(", Welt ✓"), QString::fromUtf8("Grüße, Welt ✓")},
        {{"--text", "ab", "--select", "1", "0"}, QString::fromUtf8("é"), QString::fromUtf8("aéb")},
        {{"--text", QString::fromUtf8("👍ab"), "--select", "2", "1"}, "X", QString::fromUtf8("👍Xb")},
        {{"--text", QString::fromUtf8("👍ab"), "--select", "3", "0"}, "X", QString::fromUtf8("👍aXb")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected.toStdString());
        PasteTargetProcess target(accessible(c.arguments));
        ASSERT_TRUE(target.start());
        const auto element = focusedElementOf(target);
        ASSERT_TRUE(element);

        const auto selection = element->selection();
        ASSERT_TRUE(selection);
        EXPECT_EQ(element->replaceText(*selection, c.insertion), 0);

        EXPECT_TRUE(target.waitForText(c.expected)) << target.text().toStdString();
        EXPECT_EQ(element->value(), c.expected);
    }
}

TEST_F(AtspiAccessibilityTest, RecognisesPasswordFields)
{
    PasteTargetProcess target(accessible({"--password", "--text", "secret"}));
    ASSERT_TRUE(target.start());

    const auto element = focusedElementOf(target);

    ASSERT_TRUE(element);
    EXPECT_TRUE(element->isPasswordField());
    EXPECT_EQ(element->role(), "password text");
}

TEST_F(AtspiAccessibilityTest, ApplicationThatPublishesNothingHasNoFocusedElement)
{
    PasteTargetProcess target;   // not accessible
    ASSERT_TRUE(target.start());

    EXPECT_TRUE(accessibility.isTrusted());
    EXPECT_EQ(accessibility.focusedElement(target.pid()), nullptr);
}

TEST_F(AtspiAccessibilityTest, UnreachableBusMeansUntrustedAndNoElements)
{
    // Each test runs in its own process, which connects to the bus once.
    qputenv("AT_SPI_BUS_ADDRESS", "unix:path=/nonexistent/talvex-no-bus");
    PasteTargetProcess target(accessible({"--text", "unreachable"}));
    ASSERT_TRUE(target.start());

    EXPECT_FALSE(accessibility.isTrusted());
    EXPECT_EQ(accessibility.focusedElement(target.pid()), nullptr);
}
