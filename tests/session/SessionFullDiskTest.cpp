// A dictation on a disk that fills up while the user speaks: the store and
// the slice files are refused from then on.
#include <QDir>
#include <gtest/gtest.h>

#include "SessionFixture.h"
#include "support/DecodedAudio.h"
#include "support/SmallFileSystem.h"

using namespace sessiontest;

namespace {

class SessionFullDiskTest : public SessionFixture
{
protected:
    void SetUp() override
    {
        if (!disk.mounted())
            GTEST_SKIP() << "needs a small file system: " << disk.error().toStdString();
        prefs.setValue(PrefKey::sliceDuration, 3);
    }

    ~SessionFullDiskTest() override
    {
        session.reset();   // before its folder goes
        disk.unmount();
    }

    QString recordingsDir() const { return home.talvexDataDir() + "/recordings"; }

    // The audio of `index` in the recording's slice file, as a reader gets it.
    double secondsInFile(const QString& id, int index) const
    {
        const QStringList names = QDir(recordingsDir())
            .entryList({QString("*_%1_%2.m4a").arg(id).arg(index, 3, 10, QChar('0'))}, QDir::Files);
        return names.size() == 1 ? DecodedAudio::decode(recordingsDir() + "/" + names.first()).seconds() : -1.0;
    }

    SmallFileSystem disk{home.talvexDataDir(), 2 * 1024 * 1024};
};

}  // namespace

TEST_F(SessionFullDiskTest, NoPartialTextIsInsertedAndTheAudioIsFoundAgainAfterARestart)
{
    buildReady();
    const QString id = start();
    // Slice 1 is stored; slice 2 has audio in its file when the disk fills.
    ASSERT_TRUE(waitUntil([&] { return secondsInFile(id, 2) >= 0.4; }, 8000));
    // And its text stored, before the disk fills.
    ASSERT_TRUE(waitUntil([&] {
        const QList<Slice> stored = slices(id);
        return !stored.isEmpty() && stored.first().status == SliceStatus::completed;
    }));
    ASSERT_TRUE(disk.fill());
    spinFor(500);
    session->stopRecording();
    ASSERT_TRUE(waitForState(SessionState::idle));

    EXPECT_EQ(session->errorMessage(),
              "1 of 2 slice(s) were not saved. Could not save to the database: database or disk is full");
    EXPECT_EQ(field->value, QString()) << "no part of the dictation is inserted";
    EXPECT_EQ(keys.pastes(), 0);
    EXPECT_TRUE(requestsTo(kChat).isEmpty());
    const double kept = secondsInFile(id, 2);
    EXPECT_GE(kept, 0.4);

    // Space again, and a new start: the refused slice is found from its file.
    session.reset();
    disk.removeBallast();
    build(freshPlatform());
    ASSERT_TRUE(waitUntil([&] { return row(id) && row(id)->status == RecordingStatus::recorded; }));
    const QList<Slice> found = slices(id);
    ASSERT_EQ(found.size(), 2);
    EXPECT_EQ(found[0].status, SliceStatus::completed);
    EXPECT_EQ(found[1].sliceIndex, 2);
    EXPECT_EQ(found[1].status, SliceStatus::pending);
    EXPECT_NEAR(found[1].duration.value_or(0), kept, 0.1);
    EXPECT_EQ(row(id)->sliceCount, 2);
}
