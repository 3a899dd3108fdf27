// The start-up recovery over a data folder an earlier run left behind: the
// status of interrupted recordings and of every slice, the large-folder
// warning and the removal of old logs.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "SessionFixture.h"
#include "platform/ffmpeg/FfmpegAudioFileWriter.h"
#include "store/RecordId.h"
#include "support/DecodedAudio.h"
#include "support/Mp4Boxes.h"

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

// ---- slice files without a row: what a process that died while recording leaves ----

namespace {

const AudioFormat kMicrophone{16000, 1, AudioSampleFormat::int16};

// `seconds` of a tone through the project's slice writer, into a file that
// is either finished (a slice sealed, its row never stored) or cut off with
// the writer still open, as a killed process leaves it: the fragmented file
// up to its last fragment, with `tornBytes` of that fragment missing.
enum class Cut { none, killed };

void writeSliceFile(const QString& path, double seconds, Cut cut, qint64 tornBytes = 0)
{
    QTemporaryDir scratch;
    const QString open = cut == Cut::none ? path : scratch.filePath("open.m4a");
    FfmpegAudioFileWriter writer;
    ASSERT_TRUE(writer.open(open, kMicrophone)) << writer.errorString().toStdString();
    const auto frames = qint64(seconds * kMicrophone.sampleRate);
    for (qint64 at = 0; at < frames; at += AudioCapture::kBufferFrames)
        ASSERT_TRUE(writer.append(ToneCapture::tone(kMicrophone, {}, at, AudioCapture::kBufferFrames)));
    if (cut == Cut::killed) {
        ASSERT_TRUE(QFile::copy(open, path));
        ASSERT_TRUE(QFile(path).resize(QFileInfo(path).size() - tornBytes));
    }
    ASSERT_TRUE(writer.close()) << writer.errorString().toStdString();
}

class SessionStartupAdoptionTest : public SessionStartupRecoveryTest
{
protected:
    // Slice index `index` of `r`, named as the recorder names it.
    static QString sliceName(const Recording& r, int index)
    {
        return RecordingFileManager::generateSliceFilename(r.id, index, longAgo().addSecs(index));
    }

    static QString pathOf(const RecordingFileManager& files, const QString& name)
    {
        return files.recordingsDirectory() + "/" + name;
    }

    // A sealed slice with its row and a finished file of `seconds`.
    static void addSealedSlice(DatabaseManager& db, const RecordingFileManager& files, const Recording& r,
                               int index, double seconds)
    {
        Slice s = addSlice(db, files, r, index, {SliceStatus::pending, false, false});
        s.duration = seconds;
        db.updateSlice(s);
        writeSliceFile(pathOf(files, s.filename), seconds, Cut::none);
    }

    // What the test expects of an adopted row (its id and time are new).
    static std::string adoptedRow(const Slice& row, const Recording& r, int index, const QString& name)
    {
        return QStringList{r.userId, r.id, QString::number(index), name, toText(SliceStatus::pending),
                           text(row.rawText), text(row.error)}
            .join(" | ")
            .toStdString();
    }
    static std::string rowOf(const Slice& row)
    {
        return QStringList{row.userId, row.recordingId, QString::number(row.sliceIndex), row.filename,
                           toText(row.status), text(row.rawText), text(row.error)}
            .join(" | ")
            .toStdString();
    }

    QStringList adoptionLines()
    {
        return logLines().filter(QRegularExpression("Consistency: (adopted|slice file)"));
    }
};

}  // namespace

TEST_F(SessionStartupAdoptionTest, TheFilesOfInterruptedAndFailedRecordingsBecomePendingSlices)
{
    Recording killedMidSecond;   // recording: slice 1 sealed, slice 2 killed
    Recording pausedTorn;        // paused, another user's: slices 1 and 2 killed, the second torn
    Recording failedFullDisk;    // failed (its slice 2 row could not be stored): a finished file
    QString torn;
    prepareStore([&](DatabaseManager& db, RecordingFileManager& files) {
        killedMidSecond = addRecording(db, RecordingStatus::recording);
        addSealedSlice(db, files, killedMidSecond, 1, 2.0);
        writeSliceFile(pathOf(files, sliceName(killedMidSecond, 2)), 2.7, Cut::killed);

        pausedTorn = addRecording(db, RecordingStatus::paused, kAccountId);
        writeSliceFile(pathOf(files, sliceName(pausedTorn, 1)), 1.5, Cut::killed);
        torn = sliceName(pausedTorn, 2);
        writeSliceFile(pathOf(files, torn), 3.1, Cut::killed, 2500);

        failedFullDisk = addRecording(db, RecordingStatus::failed);
        addSealedSlice(db, files, failedFullDisk, 1, 1.0);
        writeSliceFile(pathOf(files, sliceName(failedFullDisk, 2)), 1.2, Cut::none);
    });

    buildReady();

    DatabaseManager& db = session->database();
    const RecordingFileManager& files = session->fileManager();
    const struct
    {
        const Recording& recording;
        RecordingStatus status;
        QList<int> adopted;
        int slices;
    } expectations[] = {
        {killedMidSecond, RecordingStatus::recorded, {2}, 2},
        {pausedTorn, RecordingStatus::recorded, {1, 2}, 2},
        {failedFullDisk, RecordingStatus::failed, {2}, 2},
    };
    QStringList expectedLines;
    for (const auto& e : expectations) {
        SCOPED_TRACE(toText(e.recording.status).toStdString());
        const QList<Slice> rows = db.fetchSlices(e.recording.id, false);
        ASSERT_EQ(rows.size(), e.slices);
        double seconds = 0.0;
        for (const Slice& row : rows) {
            ASSERT_TRUE(row.duration);
            seconds += *row.duration;
            if (!e.adopted.contains(row.sliceIndex))
                continue;
            const QString name = sliceName(e.recording, row.sliceIndex);
            EXPECT_EQ(rowOf(row), adoptedRow(row, e.recording, row.sliceIndex, name));
            EXPECT_EQ(row.id, row.id.toLower());
            EXPECT_NE(row.id, e.recording.id);
            EXPECT_GT(row.updatedAt, longAgo());
            // Finished as the writer would have: a plain m4a, index first.
            EXPECT_EQ(topLevelMp4Boxes(pathOf(files, name)).mid(0, 2), (QStringList{"ftyp", "moov"}));
            EXPECT_FALSE(topLevelMp4Boxes(pathOf(files, name)).contains("moof"));
            // All the audio the file plays, cut or torn as it is.
            const DecodedAudio audio = DecodedAudio::decode(pathOf(files, name));
            ASSERT_GT(audio.seconds(), 0.5);
            EXPECT_NEAR(*row.duration, audio.seconds(), 1e-6);
            expectedLines << QString("INFO Consistency: adopted slice file %1 as slice_%2 of recording %3 (%4s)")
                                 .arg(name, QString::asprintf("%03d", row.sliceIndex), e.recording.id,
                                      QString::number(*row.duration, 'f', 1));
        }
        const std::optional<Recording> r = db.fetchRecording(e.recording.id);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, e.status);
        EXPECT_EQ(r->sliceCount, e.slices);
        ASSERT_TRUE(r->duration);
        EXPECT_NEAR(*r->duration, seconds, 1e-6);
        EXPECT_EQ(r->error, "left by an earlier run");
        EXPECT_GT(r->updatedAt, longAgo());
    }
    // A cut file holds all that was written before the cut; a torn one
    // less than that, and only whole packets count.
    EXPECT_GT(*db.fetchSlices(killedMidSecond.id, false)[1].duration, 2.7 - 0.2);
    EXPECT_LT(*db.fetchSlices(pausedTorn.id, false)[1].duration, 3.1);
    QStringList lines = adoptionLines();
    lines.sort();
    expectedLines.sort();
    EXPECT_EQ(lines, expectedLines);
    EXPECT_TRUE(services.openAI.requests().isEmpty()) << "recovered audio waits for a retry";
}

TEST_F(SessionStartupAdoptionTest, FilesItCannotTakeAreLeftAsTheyAre)
{
    struct Planted
    {
        const char* what;
        QString name;
        QByteArray bytes;   // written as they are when set, else a killed slice
    };
    Recording interrupted;
    Recording deleted;
    Recording completed;
    QList<Planted> planted;
    QList<Planted> unreadable;
    prepareStore([&](DatabaseManager& db, RecordingFileManager& files) {
        interrupted = addRecording(db, RecordingStatus::recording);
        deleted = addRecording(db, RecordingStatus::recording);
        db.softDeleteRecording(deleted.id);
        completed = addRecording(db, RecordingStatus::completed);

        unreadable = {
            {"not audio", sliceName(interrupted, 1), "this is not an m4a file"},
            {"empty", sliceName(interrupted, 2), QByteArray("")},
        };
        QTemporaryDir scratch;
        FfmpegAudioFileWriter header;   // opened and killed before its first buffer
        ASSERT_TRUE(header.open(scratch.filePath("h.m4a"), kMicrophone));
        QFile headerOnly(scratch.filePath("h.m4a"));
        ASSERT_TRUE(headerOnly.open(QIODevice::ReadOnly));
        unreadable.append({"no audio yet", sliceName(interrupted, 3), headerOnly.readAll()});
        planted = unreadable;
        planted += {
            {"a deleted recording's", sliceName(deleted, 1), {}},
            {"a completed recording's", sliceName(completed, 1), {}},
            {"an unknown recording's", RecordingFileManager::generateSliceFilename(newRecordId(), 1, longAgo()), {}},
            {"the remux file", FfmpegAudioFileWriter::remuxTempPath(pathOf(files, sliceName(interrupted, 4))).section('/', -1), {}},
            {"not a slice name", "notes_" + interrupted.id + "_001.m4a", {}},
        };
        for (const Planted& p : planted) {
            if (p.bytes.isNull()) {
                writeSliceFile(pathOf(files, p.name), 1.0, Cut::killed);
            } else {
                QFile file(pathOf(files, p.name));
                ASSERT_TRUE(file.open(QIODevice::WriteOnly));
                file.write(p.bytes);
            }
        }
    });
    QMap<QString, QByteArray> before;
    for (const Planted& p : planted) {
        QFile file(home.talvexDataDir() + "/recordings/" + p.name);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << p.what;
        before[p.name] = file.readAll();
    }

    buildReady();

    DatabaseManager& db = session->database();
    for (const Recording& r : {interrupted, deleted, completed})
        EXPECT_TRUE(db.fetchSlices(r.id, true).isEmpty()) << toText(r.status).toStdString();
    for (const Planted& p : planted) {
        QFile file(home.talvexDataDir() + "/recordings/" + p.name);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << p.what;
        EXPECT_EQ(file.readAll(), before[p.name]) << p.what;
    }
    // Left without audio, the interrupted recording has failed; each file
    // it could not read is named in the log.
    EXPECT_EQ(db.fetchRecording(interrupted.id)->status, RecordingStatus::failed);
    EXPECT_EQ(db.fetchRecordingIncludingDeleted(deleted.id)->status, RecordingStatus::recording);
    const QStringList lines = adoptionLines();
    ASSERT_EQ(lines.size(), unreadable.size()) << lines.join('\n').toStdString();
    for (int i = 0; i < unreadable.size(); ++i) {
        SCOPED_TRACE(unreadable[i].what);
        EXPECT_TRUE(lines[i].startsWith("WARN Consistency: slice file " + unreadable[i].name + " of recording "
                                        + interrupted.id + " left as it is: Cannot read audio file "))
            << lines[i].toStdString();
    }
}
