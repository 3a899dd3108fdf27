#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <gtest/gtest.h>

#include "store/RecordId.h"
#include "store/RecordingFileManager.h"
#include "store/ScopedTimeZone.h"
#include "support/ScopedUmask.h"
#include "support/TempHome.h"

namespace {

constexpr quint64 kTenGiB = 10'737'418'240ULL;

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QStringList entriesOf(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                               QDir::Name);
}

// The time the clean-up judges an entry by.
QDateTime createdAt(const QString& path)
{
    const QFileInfo info(path);
    return info.birthTime().isValid() ? info.birthTime() : info.lastModified();
}

QStringList captured;
void captureMessage(QtMsgType, const QMessageLogContext&, const QString& text)
{
    captured << text;
}

}

TEST(RecordingFileManager, FirstLaunchCreatesTheFoldersAndASecondCreatesNothing)
{
    TempHome home;
    // The data home is read anew at each launch, and missing parents are made.
    const QString dataHome = home.path() + "/not/yet/there";
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome));
    const QString base = dataHome + "/Talvex";

    const RecordingFileManager first;
    EXPECT_EQ(first.baseDirectory(), base);
    EXPECT_EQ(first.recordingsDirectory(), base + "/recordings");
    EXPECT_EQ(first.logsDirectory(), base + "/logs");
    for (const QString& dir : {base, base + "/recordings", base + "/logs"})
        EXPECT_TRUE(QFileInfo(dir).isDir()) << dir.toStdString();
    EXPECT_EQ(entriesOf(base), QStringList({"logs", "recordings"}));

    ASSERT_TRUE(writeFile(base + "/recordings/a.m4a", "audio"));
    ASSERT_TRUE(writeFile(base + "/logs/2025-03-04.log", "line\n"));
    const RecordingFileManager second;
    EXPECT_EQ(second.baseDirectory(), base);
    EXPECT_EQ(entriesOf(base), QStringList({"logs", "recordings"}));
    EXPECT_EQ(entriesOf(base + "/recordings"), QStringList({"a.m4a"}));
    EXPECT_EQ(entriesOf(base + "/logs"), QStringList({"2025-03-04.log"}));
}

// Everything there holds what the user said or typed: no other user may
// open it, whatever the umask, also in an installation made before.
TEST(RecordingFileManager, FoldersAndFilesAreTheUsersAloneAlsoFromAnEarlierVersion)
{
    const ScopedUmask usual(022);
    TempHome home;
    const QString base = home.talvexDataDir();
    {
        const RecordingFileManager fresh;
        for (const QString& dir : {base, base + "/recordings", base + "/logs"})
            EXPECT_EQ(permissionBits(dir), 0700) << dir.toStdString();
    }

    // As an earlier version left them under that umask.
    const QString outside = home.path() + "/elsewhere.txt";
    const QStringList files = {base + "/talvex.db", base + "/talvex.db-wal", base + "/talvex.db-shm",
                               base + "/logs/2025-03-04.log", base + "/recordings/a.m4a",
                               base + "/recordings/.b.m4a.remux.m4a", base + "/recordings/old/c.m4a"};
    for (const QString& file : files)
        ASSERT_TRUE(writeFile(file, "private"));
    ASSERT_TRUE(writeFile(outside, "not ours"));
    ASSERT_TRUE(QFile::link(outside, base + "/recordings/link.m4a"));
    const QStringList folders = {base, base + "/recordings", base + "/logs", base + "/recordings/old"};
    for (const QString& dir : folders)
        ASSERT_EQ(::chmod(QFile::encodeName(dir).constData(), 0755), 0);
    for (const QString& file : files)
        ASSERT_EQ(permissionBits(file), 0644);

    const RecordingFileManager mended;
    for (const QString& dir : folders)
        EXPECT_EQ(permissionBits(dir), 0700) << dir.toStdString();
    for (const QString& file : files)
        EXPECT_EQ(permissionBits(file), 0600) << file.toStdString();
    EXPECT_EQ(permissionBits(outside), 0644) << "a link's target is not ours to change";
}

TEST(RecordingFileManager, APlainFileNamedRecordingsBlocksThatFolderSilently)
{
    TempHome home;
    const QString base = home.talvexDataDir();
    ASSERT_TRUE(writeFile(base + "/recordings", "not a folder"));

    captured.clear();
    const auto previous = qInstallMessageHandler(captureMessage);
    const RecordingFileManager files;
    qInstallMessageHandler(previous);

    EXPECT_TRUE(captured.isEmpty()) << captured.join('\n').toStdString();
    const QFileInfo recordings(base + "/recordings");
    EXPECT_TRUE(recordings.isFile());
    EXPECT_EQ(recordings.size(), 12);
    EXPECT_TRUE(QFileInfo(base + "/logs").isDir());   // the other folders are still made
    EXPECT_TRUE(files.listAllRecordingFiles().isEmpty());
    EXPECT_EQ(files.recordingsDirectorySize(), 0u);
}

TEST(RecordingFileManager, SliceFilenamesUseLocalStartTimeAndAtLeastThreeDigits)
{
    const ScopedTimeZone zone("CST-8");   // UTC+8, no daylight saving
    const QDateTime local(QDate(2025, 3, 4), QTime(9, 5, 3));
    ASSERT_EQ(local.toUTC().time(), QTime(1, 5, 3)) << "time zone not applied";
    const QString uuid = newRecordId();

    const struct {
        QString id;
        int index;
        QDateTime date;
        QString expected;
    } cases[] = {
        {"r", 7, local, "20250304_090503_r_007.m4a"},
        {"r", 1, local, "20250304_090503_r_001.m4a"},
        {"r", 42, local, "20250304_090503_r_042.m4a"},
        {"r", 999, local, "20250304_090503_r_999.m4a"},
        {"r", 1000, local, "20250304_090503_r_1000.m4a"},
        {"r", 12345, local, "20250304_090503_r_12345.m4a"},
        {uuid, 3, local, "20250304_090503_" + uuid + "_003.m4a"},
        // A time given in UTC is named by its local clock and day.
        {"r", 7, QDateTime(QDate(2025, 3, 4), QTime(1, 5, 3), Qt::UTC), "20250304_090503_r_007.m4a"},
        {"r", 2, QDateTime(QDate(2025, 3, 4), QTime(16, 30, 0), Qt::UTC), "20250305_003000_r_002.m4a"},
        {"r", 1, QDateTime(QDate(2024, 12, 31), QTime(23, 59, 59), Qt::UTC), "20250101_075959_r_001.m4a"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RecordingFileManager::generateSliceFilename(c.id, c.index, c.date), c.expected)
            << c.index << " " << c.date.toString(Qt::ISODate).toStdString();
    }
}

TEST(RecordingFileManager, ListingNamesEveryEntryIncludingHiddenOnes)
{
    TempHome home;
    const RecordingFileManager files;
    EXPECT_TRUE(files.listAllRecordingFiles().isEmpty());

    const QString dir = files.recordingsDirectory();
    ASSERT_TRUE(writeFile(dir + "/20250304_090503_r_001.m4a", "a"));
    ASSERT_TRUE(writeFile(dir + "/.hidden.m4a", "b"));
    ASSERT_TRUE(writeFile(dir + "/sub/inside.m4a", "c"));   // only "sub" itself is listed
    const QStringList names = files.listAllRecordingFiles();
    EXPECT_EQ(QSet<QString>(names.begin(), names.end()),
              QSet<QString>({"20250304_090503_r_001.m4a", ".hidden.m4a", "sub"}));
    EXPECT_EQ(names.size(), 3);

    ASSERT_TRUE(QDir(dir).removeRecursively());
    EXPECT_TRUE(files.listAllRecordingFiles().isEmpty());
}

TEST(RecordingFileManager, SizeCountsEveryFileBelowTheFolderAndNoLinkedOnes)
{
    TempHome home;
    const RecordingFileManager files;
    const QString dir = files.recordingsDirectory();
    EXPECT_EQ(files.recordingsDirectorySize(), 0u);

    ASSERT_TRUE(writeFile(dir + "/a.m4a", QByteArray(10, 'a')));
    ASSERT_TRUE(writeFile(dir + "/.hidden", QByteArray(5, 'h')));
    ASSERT_TRUE(writeFile(dir + "/sub/deeper/b.m4a", QByteArray(7, 'b')));
    ASSERT_TRUE(writeFile(dir + "/.hiddenSub/c.m4a", QByteArray(3, 'c')));
    ASSERT_TRUE(QDir().mkpath(dir + "/empty"));
    // Links to bytes held elsewhere do not count.
    ASSERT_TRUE(writeFile(home.path() + "/outside/big", QByteArray(1000, 'x')));
    ASSERT_TRUE(QFile::link(home.path() + "/outside", dir + "/linkedFolder"));
    ASSERT_TRUE(QFile::link(home.path() + "/outside/big", dir + "/linkedFile"));
    EXPECT_EQ(files.recordingsDirectorySize(), 25u);

    ASSERT_TRUE(QDir(dir).removeRecursively());
    EXPECT_EQ(files.recordingsDirectorySize(), 0u);
}

TEST(RecordingFileManager, DiskWarningStartsAtExactlyTenGiB)
{
    EXPECT_FALSE(RecordingFileManager::reachesDiskWarningThreshold(0));
    EXPECT_FALSE(RecordingFileManager::reachesDiskWarningThreshold(kTenGiB - 1));
    EXPECT_TRUE(RecordingFileManager::reachesDiskWarningThreshold(kTenGiB));
    EXPECT_TRUE(RecordingFileManager::reachesDiskWarningThreshold(UINT64_MAX));

    // A real folder of that size, from sparse files (no disk space used).
    TempHome home;
    const RecordingFileManager files;
    const QString dir = files.recordingsDirectory();
    ASSERT_TRUE(writeFile(dir + "/sub/.big", {}));
    ASSERT_TRUE(QFile::resize(dir + "/sub/.big", qint64(kTenGiB - 1)));
    EXPECT_EQ(files.recordingsDirectorySize(), kTenGiB - 1);
    EXPECT_FALSE(RecordingFileManager::reachesDiskWarningThreshold(files.recordingsDirectorySize()));

    ASSERT_TRUE(writeFile(dir + "/one", "1"));
    EXPECT_EQ(files.recordingsDirectorySize(), kTenGiB);
    EXPECT_TRUE(RecordingFileManager::reachesDiskWarningThreshold(files.recordingsDirectorySize()));
}

TEST(RecordingFileManager, CleanOldLogsRemovesEntriesCreatedMoreThanSevenDaysBefore)
{
    TempHome home;
    const RecordingFileManager files;
    const QString logs = files.logsDirectory();
    // The name is not read: this file is new, whatever its name says.
    const QString log = logs + "/2020-01-01.log";
    ASSERT_TRUE(writeFile(log, "line\n"));
    const QDateTime created = createdAt(log);
    ASSERT_TRUE(created.isValid());

    files.cleanOldLogs(created.addDays(7));
    EXPECT_TRUE(QFile::exists(log)) << "exactly 7 days old stays";
    files.cleanOldLogs(created.addDays(7).addSecs(1));
    EXPECT_FALSE(QFile::exists(log)) << "a second older goes";
    EXPECT_TRUE(QFileInfo(logs).isDir());
}

TEST(RecordingFileManager, CleanOldLogsJudgesEachEntryByItsOwnCreationTime)
{
    TempHome home;
    const RecordingFileManager files;
    const QString logs = files.logsDirectory();
    ASSERT_TRUE(writeFile(logs + "/old.log", "old\n"));
    ASSERT_TRUE(writeFile(logs + "/.hidden", "h"));
    ASSERT_TRUE(writeFile(logs + "/folder/inside/notes.txt", "n"));
    ASSERT_TRUE(writeFile(home.path() + "/outside/keep.txt", "keep"));
    ASSERT_TRUE(QFile::link(home.path() + "/outside", logs + "/link"));
    const QDateTime oldest = createdAt(logs + "/old.log");
    // Let the clock move on (file times lag it by a few ms), so the next file is younger.
    while (QDateTime::currentDateTime() <= oldest.addMSecs(20)) {}
    ASSERT_TRUE(writeFile(logs + "/new.log", "new\n"));
    const QDateTime newest = createdAt(logs + "/new.log");
    ASSERT_GT(newest, oldest);

    files.cleanOldLogs(newest.addDays(7));
    EXPECT_EQ(entriesOf(logs), QStringList({"new.log"}));
    // A link goes by itself; what it points to is left alone.
    EXPECT_TRUE(QFile::exists(home.path() + "/outside/keep.txt"));
}

TEST(RecordingFileManager, OnlyPlainFileNamesHaveASliceFilePath)
{
    TempHome home;
    const RecordingFileManager files;
    const QString dir = files.recordingsDirectory();

    for (const QString& name : {QString("20250304_090503_r_007.m4a"), QString(".hidden.m4a"),
                                QString("a..b.m4a"), QString("..."), QString("back\\slash.m4a"),
                                QString("with space.m4a"), QString("中文.m4a")}) {
        EXPECT_EQ(files.sliceFilePath(name), std::optional(dir + "/" + name)) << name.toStdString();
    }
    const QString withNul = QString("a.m4a") + QChar(u'\0') + QString("../../x");
    for (const QString& name : {QString(), QString("."), QString(".."), QString("/etc/passwd"),
                                QString("../talvex.db"), QString("sub/a.m4a"), QString("a.m4a/"),
                                QString("/"), withNul}) {
        EXPECT_EQ(files.sliceFilePath(name), std::nullopt) << name.toStdString();
    }
}
