// The real program ended in the middle of a dictation: killed outright (a
// crash, an out-of-memory kill), or asked to end by the system or the
// terminal (log-out, Ctrl+C, a closed terminal). Its microphone plays a
// rising tone, so that where the slice files' audio starts and ends can be
// read off the audio itself and compared with what had been fed by then.
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <optional>
#include <vector>

#include "desktop/AppHarness.h"
#include "platform/Preferences.h"
#include "store/DatabaseManager.h"
#include "support/DecodedAudio.h"
#include "support/EventLoop.h"
#include "support/QStringPrinter.h"
#include "support/RisingTone.h"

namespace {

// What the slice files of one recording hold, in the feed's time.
struct RecordedAudio
{
    double seconds = 0.0;   // decoded, all files together
    double firstFedAt = 0.0;
    double lastFedAt = 0.0;
};

std::optional<RecordedAudio> measure(const QStringList& paths)
{
    RecordedAudio recorded;
    std::vector<DecodedAudio> decoded;
    for (const QString& path : paths) {
        decoded.push_back(DecodedAudio::decode(path));
        if (!decoded.back().error.isEmpty() || decoded.back().sampleRate <= 0) {
            ADD_FAILURE() << path.toStdString() << ": " << decoded.back().error.toStdString();
            return std::nullopt;
        }
        recorded.seconds += decoded.back().seconds();
    }
    if (decoded.empty())
        return std::nullopt;
    // Clear of the encoder's start-up at the front and of a torn last packet at the end.
    const DecodedAudio& first = decoded.front();
    const DecodedAudio& last = decoded.back();
    const qsizetype margin = first.sampleRate / 4;
    const auto firstAt = RisingTone::fedTimeOfSample(first, margin);
    const auto lastAt = RisingTone::fedTimeOfSample(last, qsizetype(last.samples.size()) - margin);
    if (!firstAt || !lastAt) {
        ADD_FAILURE() << "the slice files hold no clean rising tone";
        return std::nullopt;
    }
    recorded.firstFedAt = *firstAt - double(margin) / first.sampleRate;
    recorded.lastFedAt = *lastAt + double(margin) / last.sampleRate;
    return recorded;
}

struct EndCase
{
    const char* name;
    int signal;
    int sliceSeconds;
    int slicesSealedBefore;   // whole slices before the one the end cuts
    int msIntoSlice;
};

void PrintTo(const EndCase& c, std::ostream* out) { *out << c.name; }

class AppEndsMidDictation : public testing::TestWithParam<EndCase>
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(app.setUpError().isEmpty()) << app.setUpError().toStdString();
        app.setSetting(PrefKey::sliceDuration, GetParam().sliceSeconds);
        app.feedMicrophone(RisingTone::pcm);
    }

    // Starts a dictation with the hot key and lets it run into the slice the
    // end will cut; returns its recording id.
    QString dictateUpToTheCut()
    {
        const EndCase& c = GetParam();
        const QString launched = app.launch();
        EXPECT_TRUE(launched.isEmpty()) << launched.toStdString();
        app.pressHotkey();
        const QString cutSlice = QString::asprintf("AudioRecorder: writing slice_%03d", c.slicesSealedBefore + 1);
        EXPECT_TRUE(app.waitForLog(cutSlice, 10000 + 1000 * c.sliceSeconds * c.slicesSealedBefore))
            << app.logLines().join('\n').toStdString();
        spinFor(c.msIntoSlice);   // the moment of the end within the slice is the scenario
        static const QRegularExpression started("AudioRecorder: start, recording: (\\S+)");
        const QStringList lines = app.logLines().filter(started);
        return lines.isEmpty() ? QString() : started.match(lines.first()).captured(1);
    }

    // The slice files of a recording in the recordings folder, in slice order.
    QStringList sliceFiles(const QString& recordingId) const
    {
        QStringList paths;
        const QDir folder(app.recordingsDirectory());
        for (const QString& name : folder.entryList({"*_" + recordingId + "_*.m4a"}, QDir::Files, QDir::Name))
            paths << folder.filePath(name);
        return paths;
    }

    // Checks the recording's audio against the feed and reports what the end
    // cost: the seconds fed before it that are in no file.
    void expectAudioUpTo(double fedAtEnd, const QStringList& files)
    {
        const auto recorded = measure(files);
        ASSERT_TRUE(recorded);
        const double missing = fedAtEnd - recorded->lastFedAt;
        std::printf("[ %s ] %d s slices: %.3f s fed before the end missing from the files "
                    "(%.2f s recorded in %lld file(s))\n",
                    GetParam().name, GetParam().sliceSeconds, missing, recorded->seconds,
                    static_cast<long long>(files.size()));
        RecordProperty("missingSeconds", QString::number(missing, 'f', 3).toStdString());
        EXPECT_LE(missing, 1.0) << "more than a second of what was said is lost";
        // One stretch of the feed, with nothing lost or doubled between slices.
        EXPECT_NEAR(recorded->seconds, recorded->lastFedAt - recorded->firstFedAt, 0.25);
    }

    AppHarness app;
};

}  // namespace

TEST_P(AppEndsMidDictation, KeepsTheAudioUpToTheEnd)
{
    const EndCase& c = GetParam();
    const int slices = c.slicesSealedBefore + 1;
    const QString id = dictateUpToTheCut();
    ASSERT_FALSE(id.isEmpty());
    const double fedAtEnd = app.secondsFed();
    app.sendSignal(c.signal);
    ASSERT_TRUE(app.waitForExit());

    const bool killed = c.signal == SIGKILL;
    if (killed) {
        EXPECT_EQ(app.exitStatus(), QProcess::CrashExit);
    } else {
        EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(app.exitCode(), 0);
        EXPECT_FALSE(app.logLines().filter("SessionManager: quit while recording").isEmpty());
    }
    ASSERT_EQ(sliceFiles(id).size(), slices);
    expectAudioUpTo(fedAtEnd, sliceFiles(id));
    {
        const auto db = app.openDatabase();
        EXPECT_EQ(db->fetchSlices(id, false).size(), killed ? slices - 1 : slices)
            << "only sealed slices have rows before the next start";
    }

    // The next start: an interrupted recording is completed from its files;
    // an orderly quit leaves nothing to do.
    const QString relaunched = app.launch();
    ASSERT_TRUE(relaunched.isEmpty()) << relaunched.toStdString();
    const QStringList lines = app.logLines();
    const QStringList adopted = lines.filter("Consistency: adopted slice file");
    if (killed) {
        EXPECT_EQ(lines.filter("interrupted recording(s)"),
                  QStringList{"INFO SessionManager: found 1 interrupted recording(s)"});
        ASSERT_EQ(adopted.size(), 1) << lines.join('\n').toStdString();
        EXPECT_TRUE(adopted.first().startsWith("INFO Consistency: adopted slice file "
                                               + QFileInfo(sliceFiles(id).last()).fileName()
                                               + QString::asprintf(" as slice_%03d of recording ", slices) + id))
            << adopted.first().toStdString();
        EXPECT_EQ(lines.filter("Consistency: recording " + id),
                  QStringList{"INFO Consistency: recording " + id + " status corrected: recording \u2192 recorded"});
    } else {
        EXPECT_TRUE(lines.filter("interrupted recording(s)").isEmpty());
        EXPECT_TRUE(adopted.isEmpty());
        EXPECT_TRUE(lines.filter("Consistency: ").isEmpty()) << lines.join('\n').toStdString();
    }
    app.quit();
    ASSERT_FALSE(app.isRunning());
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);

    const auto db = app.openDatabase();
    const std::optional<Recording> recording = db->fetchRecording(id);
    ASSERT_TRUE(recording);
    EXPECT_EQ(recording->status, RecordingStatus::recorded);
    EXPECT_EQ(recording->sliceCount, slices);
    const QList<Slice> rows = db->fetchSlices(id, false);
    ASSERT_EQ(rows.size(), slices);
    double sliceSeconds = 0.0;
    for (int i = 0; i < slices; ++i) {
        SCOPED_TRACE(i + 1);
        EXPECT_EQ(rows[i].sliceIndex, i + 1);
        EXPECT_EQ(app.recordingsDirectory() + "/" + rows[i].filename, sliceFiles(id).value(i));
        ASSERT_TRUE(rows[i].duration);
        sliceSeconds += *rows[i].duration;
    }
    ASSERT_TRUE(recording->duration);
    if (killed) {
        // The adopted slice is measured from its file, and the recording is their sum.
        const Slice& last = rows.last();
        EXPECT_EQ(last.status, SliceStatus::pending);
        EXPECT_NEAR(*last.duration, DecodedAudio::decode(sliceFiles(id).last()).seconds(), 0.001);
        EXPECT_NEAR(*recording->duration, sliceSeconds, 0.001);
    } else {
        EXPECT_NEAR(*recording->duration, sliceSeconds, 0.5);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Signals, AppEndsMidDictation,
    testing::Values(EndCase{"KilledWith5sSlices", SIGKILL, 5, 1, 2500},
                    EndCase{"KilledWith30sSlices", SIGKILL, 30, 0, 12000},
                    EndCase{"TerminatedWith5sSlices", SIGTERM, 5, 1, 2500},
                    EndCase{"TerminatedWith30sSlices", SIGTERM, 30, 0, 12000},
                    EndCase{"InterruptedWith5sSlices", SIGINT, 5, 0, 2000},
                    EndCase{"HungUpWith5sSlices", SIGHUP, 5, 0, 2000}),
    [](const testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });
