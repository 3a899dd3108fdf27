// The start-up recovery over a data folder an earlier run left behind: the
// status of interrupted recordings and of every slice, the large-folder
// warning and the removal of old logs.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include "SessionFixture.h"
#include "store/RecordId.h"

using namespace sessiontest;

namespace {

const QString kAccountId = "9F1C2B1E-6D4A-4C8B-9E2F-3A5B7C9D1E0F";

// An old time, so that a fresh stamp is always later.
QDateTime longAgo() { return QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5), Qt::UTC); }

struct SliceSpec
{
    SliceStatus status;
    bool text;
    bool file;
};

class SessionStartupRecoveryTest : public SessionFixture
{
protected:
    static Recording addRecording(DatabaseManager& db, RecordingStatus status,
                                  const QString& userId = "local")
    {
        Recording r;
        r.id = newRecordId();
        r.userId = userId;
        r.createdAt = r.updatedAt = longAgo();
        r.status = status;
        r.error = "left by an earlier run";
        db.insertRecording(r);
        return r;
    }

    static Slice addSlice(DatabaseManager& db, const RecordingFileManager& files, const Recording& r,
                          int index, const SliceSpec& spec)
    {
        Slice s;
        s.id = newRecordId();
        s.userId = r.userId;
        s.recordingId = r.id;
        s.sliceIndex = index;
        s.filename = RecordingFileManager::generateSliceFilename(r.id, index, longAgo());
        s.status = spec.status;
        if (spec.text)
            s.rawText = "text " + QString::number(index);
        s.duration = 30;
        s.updatedAt = longAgo();
        db.insertSlice(s);
        if (spec.file) {
            QFile audio(files.recordingsDirectory() + "/" + s.filename);
            EXPECT_TRUE(audio.open(QIODevice::WriteOnly));
            audio.write("m4a");
        }
        return s;
    }
};

struct RecordingCase
{
    const char* name;
    RecordingStatus stored;
    bool rawText;
    bool cleanedText;
    QList<SliceSpec> slices;
    RecordingStatus expected;
    QString userId = "local";
};

const QList<RecordingCase> kRecordingCases = {
    {"two slice files, no texts", RecordingStatus::recording, false, false,
     {{SliceStatus::pending, false, true}, {SliceStatus::processing, false, true}},
     RecordingStatus::recorded},
    {"paused, every slice has a text", RecordingStatus::paused, false, false,
     {{SliceStatus::completed, true, true}, {SliceStatus::completed, true, false}},
     RecordingStatus::transcribed},
    {"raw and cleaned text", RecordingStatus::recording, true, true,
     {{SliceStatus::completed, true, true}}, RecordingStatus::completed},
    {"raw text only", RecordingStatus::paused, true, false, {}, RecordingStatus::transcribed},
    {"no slices (a failed start)", RecordingStatus::recording, false, false, {},
     RecordingStatus::failed},
    {"no slice file left", RecordingStatus::recording, false, false,
     {{SliceStatus::pending, false, false}}, RecordingStatus::failed},
    {"some texts and one file", RecordingStatus::paused, false, false,
     {{SliceStatus::completed, true, false}, {SliceStatus::failed, false, true}},
     RecordingStatus::recorded},
    {"another user's", RecordingStatus::recording, false, false,
     {{SliceStatus::pending, false, true}}, RecordingStatus::recorded, kAccountId},
    // Not interrupted: left as they are.
    {"completed, its files deleted", RecordingStatus::completed, true, true,
     {{SliceStatus::completed, true, false}}, RecordingStatus::completed},
    {"recorded, its files deleted", RecordingStatus::recorded, false, false,
     {{SliceStatus::pending, false, false}}, RecordingStatus::recorded},
};

bool interrupted(RecordingStatus status)
{
    return status == RecordingStatus::recording || status == RecordingStatus::paused;
}

}  // namespace

TEST_F(SessionStartupRecoveryTest, DeducesTheStatusOfInterruptedRecordings)
{
    QStringList ids;
    prepareStore([&](DatabaseManager& db, RecordingFileManager& files) {
        for (const RecordingCase& c : kRecordingCases) {
            Recording r = addRecording(db, c.stored, c.userId);
            if (c.rawText || c.cleanedText) {
                r.rawText = c.rawText ? std::optional<QString>("raw") : std::nullopt;
                r.cleanedText = c.cleanedText ? std::optional<QString>("Clean.") : std::nullopt;
                db.updateRecording(r);
            }
            for (int i = 0; i < c.slices.size(); ++i)
                addSlice(db, files, r, i + 1, c.slices[i]);
            ids << r.id;
        }
    });
    const auto interruptedCount = std::count_if(kRecordingCases.begin(), kRecordingCases.end(),
                                                [](const RecordingCase& c) { return interrupted(c.stored); });

    buildReady();

    const QStringList lines = logLines();
    EXPECT_EQ(lines.filter("interrupted recording(s)"),
              QStringList{QString("INFO SessionManager: found %1 interrupted recording(s)").arg(interruptedCount)});
    for (int i = 0; i < kRecordingCases.size(); ++i) {
        const RecordingCase& c = kRecordingCases[i];
        SCOPED_TRACE(c.name);
        const std::optional<Recording> r = session->database().fetchRecording(ids[i]);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, c.expected);
        EXPECT_EQ(r->error, "left by an earlier run") << "the error is not touched";
        const QString corrected = "INFO Consistency: recording " + ids[i] + " status corrected: "
            + toText(c.stored) + " \u2192 " + toText(c.expected);
        if (c.expected != c.stored) {
            EXPECT_GT(r->updatedAt, longAgo());
            EXPECT_EQ(lines.filter(ids[i]).filter("Consistency: "), QStringList{corrected});
        } else {
            EXPECT_EQ(r->updatedAt, longAgo());
            EXPECT_TRUE(lines.filter(ids[i]).filter("Consistency: ").isEmpty());
        }
    }
    // Recovered recordings are not processed further.
    EXPECT_TRUE(services.openAI.requests().isEmpty());
}

namespace {

struct SliceCase
{
    const char* name;
    SliceSpec stored;
    SliceStatus expected;
};

const QList<SliceCase> kSliceCases = {
    {"failed without text, file present", {SliceStatus::failed, false, true}, SliceStatus::pending},
    {"failed without text, file gone", {SliceStatus::failed, false, false}, SliceStatus::lost},
    {"processing, file present", {SliceStatus::processing, false, true}, SliceStatus::pending},
    {"pending, file gone", {SliceStatus::pending, false, false}, SliceStatus::lost},
    {"lost, file back", {SliceStatus::lost, false, true}, SliceStatus::pending},
    {"processing with text, file gone", {SliceStatus::processing, true, false}, SliceStatus::completed},
    {"failed with text", {SliceStatus::failed, true, true}, SliceStatus::completed},
    {"completed, file gone", {SliceStatus::completed, true, false}, SliceStatus::completed},
};

}  // namespace

TEST_F(SessionStartupRecoveryTest, DeducesEverySlicesStatusKeepingItsUpdatedTime)
{
    QList<Slice> stored;
    Slice ofDeletedRecording;
    Slice deleted;
    prepareStore([&](DatabaseManager& db, RecordingFileManager& files) {
        // A finished recording, so that only the slice pass looks at it.
        const Recording r = addRecording(db, RecordingStatus::completed);
        for (int i = 0; i < kSliceCases.size(); ++i)
            stored << addSlice(db, files, r, i + 1, kSliceCases[i].stored);
        deleted = addSlice(db, files, r, 99, {SliceStatus::failed, false, true});
        deleted.deletedAt = longAgo();
        db.updateSlice(deleted);

        const Recording gone = addRecording(db, RecordingStatus::completed, kAccountId);
        ofDeletedRecording = addSlice(db, files, gone, 1, {SliceStatus::failed, false, true});
        db.softDeleteRecording(gone.id);
        ofDeletedRecording = *db.fetchSlice(ofDeletedRecording.id);
    });

    buildReady();

    DatabaseManager& db = session->database();
    for (int i = 0; i < kSliceCases.size(); ++i) {
        SCOPED_TRACE(kSliceCases[i].name);
        Slice expected = stored[i];
        expected.status = kSliceCases[i].expected;
        EXPECT_EQ(describe(db.fetchSlice(stored[i].id)), describe(expected));
    }
    EXPECT_EQ(describe(db.fetchSlice(deleted.id)), describe(deleted)) << "a deleted slice";
    EXPECT_EQ(describe(db.fetchSlice(ofDeletedRecording.id)), describe(ofDeletedRecording))
        << "a slice of a deleted recording";
    EXPECT_TRUE(services.openAI.requests().isEmpty()) << "pending slices wait for a retry";
}

namespace {

struct FolderSizeCase
{
    const char* name;
    qint64 bytes;
    bool warned;
};

void PrintTo(const FolderSizeCase& c, std::ostream* out) { *out << c.name; }

class SessionStartupFolderSize : public SessionStartupRecoveryTest,
                                 public testing::WithParamInterface<FolderSizeCase>
{
};

}  // namespace

TEST_P(SessionStartupFolderSize, WarnsFromTenGibibytesOnAndDeletesNothing)
{
    const FolderSizeCase c = GetParam();
    QString path;
    prepareStore([&](DatabaseManager&, RecordingFileManager& files) {
        path = files.recordingsDirectory() + "/sparse.m4a";
        QFile big(path);
        ASSERT_TRUE(big.open(QIODevice::WriteOnly));
        ASSERT_TRUE(big.resize(c.bytes));   // sparse: no disk space is used
    });

    buildReady();

    EXPECT_EQ(logLines().filter("SessionManager: recordings directory exceeds 10GB"),
              c.warned ? QStringList{"WARN SessionManager: recordings directory exceeds 10GB"}
                       : QStringList());
    EXPECT_EQ(QFileInfo(path).size(), c.bytes);
}

INSTANTIATE_TEST_SUITE_P(Threshold, SessionStartupFolderSize,
                         testing::Values(FolderSizeCase{"Exactly10GiB", 10'737'418'240LL, true},
                                         FolderSizeCase{"OneByteLess", 10'737'418'239LL, false}),
                         [](const testing::TestParamInfo<FolderSizeCase>& info) {
                             return std::string(info.param.name);
                         });

namespace {

class SessionStartupLogCleanUp : public SessionStartupRecoveryTest,
                                 public testing::WithParamInterface<bool>
{
};

}  // namespace

// A file's creation time cannot be set, so the clock is moved instead: to
// just over 7 days after the first planted log was created, and before the
// second one was.
TEST_P(SessionStartupLogCleanUp, RemovesLogsCreatedMoreThanSevenDaysAgo)
{
    const bool weekLater = GetParam();
    QString older;
    QString newer;
    prepareStore([&](DatabaseManager&, RecordingFileManager& files) {
        older = files.logsDirectory() + "/2024-01-01.log";
        newer = files.logsDirectory() + "/2024-01-02.log";
        QFile(older).open(QIODevice::WriteOnly);
        spinFor(60);
        QFile(newer).open(QIODevice::WriteOnly);
    });
    const QFileInfo info(older);
    const QDateTime created = info.birthTime().isValid() ? info.birthTime() : info.lastModified();
    ASSERT_TRUE(created.isValid());
    if (weekLater)
        startupTiming.clock = [created] { return created.addMSecs(30).addDays(7); };
    spinFor(60);

    buildReady();
    session->logger().flush();

    EXPECT_EQ(QFileInfo::exists(older), !weekLater);
    EXPECT_TRUE(QFileInfo::exists(newer));
    const QString today = session->fileManager().logsDirectory() + "/"
        + QDate::currentDate().toString("yyyy-MM-dd") + ".log";
    EXPECT_TRUE(QFileInfo::exists(today)) << "this run's own log stays";
}

INSTANTIATE_TEST_SUITE_P(Clock, SessionStartupLogCleanUp, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "AWeekLater" : "Now");
                         });
