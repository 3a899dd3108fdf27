// The debug console on a real logger: the coloured tag and line per entry,
// Copy All, Clear, following the end, and many lines shown together.
#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFragment>
#include <QTest>
#include <QtMath>
#include <gtest/gtest.h>

#include "store/Logger.h"
#include "store/ScopedTimeZone.h"
#include "support/EventLoop.h"
#include "support/QStringPrinter.h"
#include "support/TempHome.h"
#include "ui/DebugConsoleView.h"
#include "ui/LogTextView.h"
#include "ui/Style.h"

namespace {

struct Fragment
{
    QString text;
    QTextCharFormat format;
};

// The fragments of the text's `block`-th line.
QList<Fragment> fragments(const QTextDocument& document, int block)
{
    QList<Fragment> found;
    for (auto it = document.findBlockByNumber(block).begin(); !it.atEnd(); ++it)
        found << Fragment{it.fragment().text(), it.fragment().charFormat()};
    return found;
}

Logger::LogEntry entry(LogLevel level, const QString& message,
                       const QDateTime& time = QDateTime::currentDateTime())
{
    return {QUuid::createUuid(), time, level, message};
}

// Whether the scroll range covers all of the view's laid-out text (it
// follows the layout a pass of the event loop later).
bool rangeCoversText(LogTextView& view)
{
    const int textHeight = qCeil(view.document()->size().height());
    return view.verticalScrollBar()->maximum() == qMax(0, textHeight - view.viewport()->height());
}

QList<Logger::LogEntry> entries(int count)
{
    QList<Logger::LogEntry> list;
    for (int i = 0; i < count; ++i)
        list << entry(LogLevel::info, QStringLiteral("line %1").arg(i));
    return list;
}

class DebugConsoleTest : public testing::Test
{
protected:
    DebugConsoleTest() { console.resize(480, 400); }

    QLabel& count() { return *console.findChild<QLabel*>("entryCount"); }
    QPushButton& button(const char* name) { return *console.findChild<QPushButton*>(name); }
    LogTextView& text() { return *console.findChild<LogTextView*>("logText"); }
    QScrollBar& bar() { return *text().verticalScrollBar(); }

    // Runs the event loop until the console shows `n` entries.
    bool shows(qsizetype n)
    {
        return waitUntil([&] { return count().text() == DebugConsoleView::countText(n); });
    }

    // Runs the event loop until the console shows `n` entries and its scroll
    // range covers all of their text.
    bool showsAllOf(qsizetype n)
    {
        return shows(n) && waitUntil([&] { return rangeCoversText(text()); });
    }

    // Sets the logger's list and lets the console catch up.
    void setEntries(const QList<Logger::LogEntry>& list)
    {
        logger.setEntries(list);
        ASSERT_TRUE(showsAllOf(list.size()));
    }

    TempHome home;
    Logger logger{home.path()};
    DebugConsoleView console{logger};
};

}

TEST_F(DebugConsoleTest, EachEntryIsItsColouredBoldTagThenItsLine)
{
    const ScopedTimeZone zone("CST-8");
    const QDateTime noonLocal(QDate(2025, 3, 2), QTime(4, 0, 0), Qt::UTC);
    const struct {
        LogLevel level;
        QString tag;
        QColor colour;
        QString line;
    } cases[] = {
        {LogLevel::warning, "WARN   ", Style::orange, "[2025-03-02 12:00:00] WARN  X"},
        {LogLevel::info, "INFO   ", Style::green, "[2025-03-02 12:00:00] INFO  X"},
        {LogLevel::error, "ERROR  ", Style::red, "[2025-03-02 12:00:00] ERROR X"},
        {LogLevel::debug, "DEBUG  ", Style::blue, "[2025-03-02 12:00:00] DEBUG X"},
    };
    QList<Logger::LogEntry> list;
    for (const auto& c : cases)
        list << entry(c.level, "X", noonLocal);
    setEntries(list);

    const QTextDocument& document = *text().document();
    EXPECT_EQ(count().text(), "4 entries");
    for (int i = 0; i < int(std::size(cases)); ++i) {
        const auto& c = cases[i];
        const QList<Fragment> parts = fragments(document, i);
        ASSERT_EQ(parts.size(), 2) << i;
        EXPECT_EQ(parts[0].text, c.tag);
        EXPECT_EQ(parts[0].format.fontWeight(), QFont::Bold) << i;
        EXPECT_EQ(parts[0].format.foreground().color(), c.colour) << i;
        EXPECT_EQ(parts[1].text, c.line);
        EXPECT_EQ(parts[1].format.fontWeight(), QFont::Normal) << i;
        // The line takes the view's own text colour.
        EXPECT_EQ(parts[1].format.foreground().style(), Qt::NoBrush) << i;
    }
    EXPECT_EQ(document.blockCount(), 5);   // the last line ends in a line break too
    EXPECT_TRUE(QFontInfo(text().font()).fixedPitch());
    EXPECT_EQ(text().font().pixelSize(), 11);
    EXPECT_EQ(document.documentMargin(), 8);
}

TEST_F(DebugConsoleTest, CopyAllPutsEveryLineOnTheClipboardWithoutATrailingBreak)
{
    const ScopedTimeZone zone("CST-8");
    const QDateTime noonLocal(QDate(2025, 3, 2), QTime(4, 0, 0), Qt::UTC);
    const struct {
        QList<Logger::LogEntry> list;
        QString copied;
    } cases[] = {
        {{}, ""},
        {{entry(LogLevel::info, "one", noonLocal), entry(LogLevel::error, "two", noonLocal.addSecs(1)),
          entry(LogLevel::debug, "three", noonLocal.addSecs(2))},
         "[2025-03-02 12:00:00] INFO  one\n"
         "[2025-03-02 12:00:01] ERROR two\n"
         "[2025-03-02 12:00:02] DEBUG three"},
    };
    for (const auto& c : cases) {
        setEntries(c.list);
        QGuiApplication::clipboard()->setText("held before");
        QTest::mouseClick(&button("copyAllButton"), Qt::LeftButton);
        EXPECT_EQ(QGuiApplication::clipboard()->text(), c.copied);
        EXPECT_EQ(count().text(), DebugConsoleView::countText(c.list.size()));
    }
}

TEST_F(DebugConsoleTest, ClearEmptiesTheListAndTheNextLineIsTheOnlyOneShown)
{
    setEntries(entries(3));
    QTest::mouseClick(&button("clearButton"), Qt::LeftButton);
    ASSERT_TRUE(shows(0));
    EXPECT_TRUE(logger.entries().isEmpty());
    EXPECT_EQ(text().toPlainText(), "");

    logger.warning("after");
    ASSERT_TRUE(shows(1));
    EXPECT_EQ(text().toPlainText(), LogTextView::tag(LogLevel::warning) + logger.entries()[0].formatted() + "\n");
}

TEST_F(DebugConsoleTest, FollowsTheEndOnlyWhileWithinTwentyPixelsOfIt)
{
    console.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&console));
    const struct {
        int fromEnd;   // where the user left the view, in pixels above the end
        bool follows;
    } cases[] = {{0, true}, {20, true}, {21, false}, {-1, false}};   // -1: the top
    for (const auto& c : cases) {
        setEntries(entries(200));
        ASSERT_GT(bar().maximum(), 100) << "the text must be taller than the view";

        bar().setValue(c.fromEnd < 0 ? 0 : bar().maximum() - c.fromEnd);
        const int left = bar().value();
        const int oldMaximum = bar().maximum();

        logger.info("one more");
        ASSERT_TRUE(showsAllOf(201));
        ASSERT_GT(bar().maximum(), oldMaximum) << c.fromEnd;
        if (c.follows)
            EXPECT_EQ(bar().value(), bar().maximum()) << c.fromEnd;
        else
            EXPECT_EQ(bar().value(), left) << c.fromEnd;
    }
}

TEST_F(DebugConsoleTest, OpenedOnAFullListItShowsItAtOnceScrolledToTheEnd)
{
    // The tab builds its console anew each time it is shown.
    logger.setEntries(entries(Logger::kMaxEntries));
    DebugConsoleView opened(logger);
    LogTextView& openedText = *opened.findChild<LogTextView*>("logText");
    EXPECT_EQ(opened.findChild<QLabel*>("entryCount")->text(), "1000 entries");
    EXPECT_EQ(openedText.document()->blockCount(), Logger::kMaxEntries + 1);

    opened.resize(480, 400);
    opened.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&opened));
    QScrollBar& openedBar = *openedText.verticalScrollBar();
    ASSERT_TRUE(waitUntil([&] { return rangeCoversText(openedText); }));
    EXPECT_GT(openedBar.maximum(), 0);
    EXPECT_EQ(openedBar.value(), openedBar.maximum());
}

TEST_F(DebugConsoleTest, ManyLinesLoggedAtOnceAreShownInOneRebuild)
{
    setEntries(entries(5));
    QSignalSpy rebuilds(text().document(), &QTextDocument::contentsChanged);
    for (int i = 0; i < 200; ++i)
        logger.info(QStringLiteral("burst %1").arg(i));
    ASSERT_TRUE(shows(205));
    EXPECT_EQ(rebuilds.size(), 1);
    EXPECT_EQ(text().document()->blockCount(), 206);
}

TEST_F(DebugConsoleTest, LogTextThatLooksLikeMarkupShowsAsItStands)
{
    const QString hostile[] = {"<b>x</b>", "<img src=x>", "<a href=x>y</a>", "&lt;&amp;"};
    QList<Logger::LogEntry> list;
    for (const QString& message : hostile)
        list << entry(LogLevel::error, message);
    setEntries(list);

    const QTextDocument& document = *text().document();
    for (int i = 0; i < int(std::size(hostile)); ++i) {
        EXPECT_EQ(document.findBlockByNumber(i).text(),
                  LogTextView::tag(LogLevel::error) + list[i].formatted());
        for (const Fragment& part : fragments(document, i)) {
            EXPECT_FALSE(part.format.isAnchor()) << i;
            EXPECT_FALSE(part.format.isImageFormat()) << i;
            EXPECT_EQ(part.format.fontWeight() == QFont::Bold, part.text == LogTextView::tag(LogLevel::error)) << i;
        }
    }
}
