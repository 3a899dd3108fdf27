#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <vector>

#include "store/Logger.h"
#include "store/ScopedTimeZone.h"
#include "support/EventLoop.h"
#include "support/ScopedUmask.h"
#include "support/TempHome.h"

namespace {

QString dayFileName(const QDateTime& time)
{
    return time.toLocalTime().toString("yyyy-MM-dd") + ".log";
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every line of every day file, days in order.
QStringList allLogLines(const QString& dir)
{
    QByteArray bytes;
    for (const QString& name : QDir(dir).entryList({"*.log"}, QDir::Files, QDir::Name))
        bytes += readFile(dir + "/" + name);
    QStringList lines = QString::fromUtf8(bytes).split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QStringList messagesOf(const QList<Logger::LogEntry>& entries)
{
    QStringList messages;
    for (const auto& entry : entries)
        messages << entry.message;
    return messages;
}

class LoggerTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(QDir().mkpath(logsDir)); }

    bool waitForEntries(qsizetype count)
    {
        return waitUntil([&] { return logger->entries().size() == count; });
    }

    TempHome home;
    const QString logsDir = home.path() + "/logs";
    std::unique_ptr<Logger> logger = std::make_unique<Logger>(logsDir);
};

}

TEST(LoggerEntry, FormattedLineHasLocalTimeAndTheLevelPaddedToFive)
{
    const ScopedTimeZone zone("CST-8");   // UTC+8, so local time differs from UTC here
    const QDateTime local(QDate(2025, 3, 4), QTime(9, 15, 0));
    const QDateTime utc(QDate(2025, 3, 4), QTime(1, 15, 0), Qt::UTC);
    ASSERT_EQ(local, utc) << "time zone not applied";

    const struct {
        QDateTime time;
        LogLevel level;
        QString message;
        QString expected;
    } cases[] = {
        {local, LogLevel::warning, "Hotkey registered", "[2025-03-04 09:15:00] WARN  Hotkey registered"},
        {local, LogLevel::info, "x", "[2025-03-04 09:15:00] INFO  x"},
        {local, LogLevel::error, "x", "[2025-03-04 09:15:00] ERROR x"},
        {local, LogLevel::debug, "x", "[2025-03-04 09:15:00] DEBUG x"},
        {utc, LogLevel::warning, "x", "[2025-03-04 09:15:00] WARN  x"},
        {QDateTime(QDate(2025, 12, 31), QTime(23, 59, 59, 999)), LogLevel::info, "",
         "[2025-12-31 23:59:59] INFO  "},
        // Placeholders and line breaks in the message are text like any other.
        {local, LogLevel::info, "100% %1 %2 %3", "[2025-03-04 09:15:00] INFO  100% %1 %2 %3"},
        {local, LogLevel::error, "two\nlines", "[2025-03-04 09:15:00] ERROR two\nlines"},
    };
    for (const auto& c : cases) {
        const Logger::LogEntry entry{QUuid::createUuid(), c.time, c.level, c.message};
        EXPECT_EQ(entry.formatted(), c.expected);
    }
}

TEST_F(LoggerTest, LinesLandInTheLocalDayFileInCallOrderAsUtf8)
{
    // A zone whose day differs from the UTC day right now, so the file's day is the local one.
    const ScopedTimeZone zone(QDateTime::currentDateTimeUtc().time().hour() >= 11 ? "AAA-13" : "AAA+11");
    ASSERT_NE(QDateTime::currentDateTime().date(), QDateTime::currentDateTimeUtc().date());
    // The day file is appended to, never rewritten.
    const QString today = dayFileName(QDateTime::currentDateTime());
    {
        QFile earlier(logsDir + "/" + today);
        ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
        earlier.write("earlier line\n");
    }

    logger->info("first");
    logger->warning(QString::fromUtf8("中文 ✓ ünï"));
    logger->error("two\nlines");
    logger->debug("last");
    logger->flush();
    ASSERT_TRUE(waitForEntries(4));
    const auto& entries = logger->entries();
    ASSERT_EQ(dayFileName(entries.last().timestamp), today) << "ran across midnight";

    QByteArray expected = "earlier line\n";
    for (const auto& entry : entries)
        expected += (entry.formatted() + "\n").toUtf8();
    EXPECT_EQ(readFile(logsDir + "/" + today), expected);
    EXPECT_EQ(QDir(logsDir).entryList(QDir::Files), QStringList({today}));
    EXPECT_EQ(allLogLines(logsDir).size(), 6);   // the line break spans two file lines
}

// The lines hold the polishing requests and the focused field's text.
TEST_F(LoggerTest, TheDayFileIsTheUsersAlone)
{
    const ScopedUmask usual(022);
    logger->info("what the user said");
    logger->flush();
    const QStringList days = QDir(logsDir).entryList(QDir::Files);
    ASSERT_EQ(days.size(), 1);
    EXPECT_EQ(permissionBits(logsDir + "/" + days.first()), 0600);
}

TEST_F(LoggerTest, TheListGrowsOnlyAfterReturningToTheEventLoop)
{
    QSignalSpy changed(logger.get(), &Logger::entriesChanged);
    const QDateTime before = QDateTime::currentDateTime();
    logger->info("a");
    logger->warning("b");
    logger->error("c");
    EXPECT_TRUE(logger->entries().isEmpty());
    EXPECT_EQ(changed.count(), 0);

    ASSERT_TRUE(waitForEntries(3));
    const auto& entries = logger->entries();
    EXPECT_EQ(messagesOf(entries), QStringList({"a", "b", "c"}));
    EXPECT_EQ(entries[0].level, LogLevel::info);
    EXPECT_EQ(entries[1].level, LogLevel::warning);
    EXPECT_EQ(entries[2].level, LogLevel::error);
    EXPECT_EQ(changed.count(), 3);
    QSet<QUuid> ids;
    for (const auto& entry : entries) {
        EXPECT_FALSE(entry.id.isNull());
        ids.insert(entry.id);
        EXPECT_GE(entry.timestamp, before);
        EXPECT_LE(entry.timestamp, QDateTime::currentDateTime());
    }
    EXPECT_EQ(ids.size(), 3);
}

TEST_F(LoggerTest, TheListKeepsTheNewestThousandEntries)
{
    for (int i = 1; i <= 1000; ++i)
        logger->info(QString::number(i));
    ASSERT_TRUE(waitForEntries(1000));
    EXPECT_EQ(logger->entries().first().message, "1");

    logger->info("1001");
    ASSERT_TRUE(waitUntil([&] { return logger->entries().last().message == "1001"; }));
    const QStringList messages = messagesOf(logger->entries());
    EXPECT_EQ(messages.size(), 1000);
    EXPECT_EQ(messages.first(), "2");
    QStringList expected;
    for (int i = 2; i <= 1001; ++i)
        expected << QString::number(i);
    EXPECT_EQ(messages, expected);

    logger->flush();
    EXPECT_EQ(allLogLines(logsDir).size(), 1001);   // the files keep everything
}

TEST_F(LoggerTest, ClearingTheListKeepsTheDayFile)
{
    logger->info("a");
    logger->info("b");
    ASSERT_TRUE(waitForEntries(2));
    QSignalSpy changed(logger.get(), &Logger::entriesChanged);
    logger->setEntries({});
    EXPECT_TRUE(logger->entries().isEmpty());
    EXPECT_EQ(changed.count(), 1);

    logger->info("c");
    ASSERT_TRUE(waitForEntries(1));
    EXPECT_EQ(logger->entries().first().message, "c");
    logger->flush();
    const QStringList lines = allLogLines(logsDir);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0].endsWith("INFO  a"));
    EXPECT_TRUE(lines[1].endsWith("INFO  b"));
    EXPECT_TRUE(lines[2].endsWith("INFO  c"));
}

TEST_F(LoggerTest, AMissingLogsFolderLosesFileLinesButNotEntries)
{
    const QString missing = home.path() + "/gone";
    logger = std::make_unique<Logger>(missing);
    logger->info("lost");
    logger->flush();
    ASSERT_TRUE(waitForEntries(1));
    EXPECT_FALSE(QFileInfo::exists(missing)) << "the logger makes no folder";

    // Back again: later lines are written, the lost one stays lost.
    ASSERT_TRUE(QDir().mkpath(missing));
    logger->info("kept");
    logger->flush();
    ASSERT_TRUE(waitForEntries(2));
    const QStringList lines = allLogLines(missing);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].endsWith("INFO  kept"));

    // Deleted while running.
    ASSERT_TRUE(QDir(missing).removeRecursively());
    logger->error("lost again");
    logger->flush();
    ASSERT_TRUE(waitForEntries(3));
    EXPECT_FALSE(QFileInfo::exists(missing));
    EXPECT_EQ(messagesOf(logger->entries()), QStringList({"lost", "kept", "lost again"}));
}

TEST_F(LoggerTest, ConcurrentCallersLoseAndInterleaveNoLine)
{
    constexpr int kThreads = 8;
    constexpr int kLinesEach = 250;
    const QString padding(300, 'x');   // long lines, so torn writes would show
    QSignalSpy changed(logger.get(), &Logger::entriesChanged);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLinesEach; ++i)
                logger->info(QStringLiteral("t%1 n%2 ").arg(t).arg(i) + padding);
        });
    }
    for (auto& thread : threads)
        thread.join();
    logger->flush();

    const QRegularExpression shape(
        "^\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\] INFO  t(\\d+) n(\\d+) x{300}$");
    const QStringList lines = allLogLines(logsDir);
    ASSERT_EQ(lines.size(), kThreads * kLinesEach);
    std::vector<int> next(kThreads, 0);   // each caller's lines keep their order
    for (const QString& line : lines) {
        const auto match = shape.match(line);
        ASSERT_TRUE(match.hasMatch()) << line.left(80).toStdString();
        const int t = match.captured(1).toInt();
        ASSERT_EQ(match.captured(2).toInt(), next[t]) << "thread " << t;
        ++next[t];
    }

    // Every entry reaches the list; it keeps the newest 1000, each caller's in order.
    ASSERT_TRUE(waitUntil([&] { return changed.count() == kThreads * kLinesEach; }));
    EXPECT_EQ(logger->entries().size(), Logger::kMaxEntries);
    std::vector<int> last(kThreads, -1);
    for (const auto& entry : logger->entries()) {
        const auto match = shape.match(entry.formatted());
        ASSERT_TRUE(match.hasMatch());
        const int t = match.captured(1).toInt();
        const int n = match.captured(2).toInt();
        EXPECT_GT(n, last[t]) << "thread " << t;
        last[t] = n;
    }
}

TEST_F(LoggerTest, DestroyingTheLoggerStillWritesWhatWasLogged)
{
    for (int i = 0; i < 200; ++i)
        logger->info(QString::number(i));
    logger.reset();
    spinFor(20);   // the list appends still queued must do nothing now

    const QStringList lines = allLogLines(logsDir);
    ASSERT_EQ(lines.size(), 200);
    EXPECT_TRUE(lines.last().endsWith("INFO  199"));
}
