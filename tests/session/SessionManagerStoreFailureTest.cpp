// A store that refuses writes during a dictation (a full disk): the user is
// told, no part of the dictation passes for all of it, and a dictation whose
// words are all there still reaches the window.
#include <QDir>
#include <gtest/gtest.h>

#include "SessionFixture.h"
#include "support/StoreLock.h"

using namespace sessiontest;

namespace {

const QString kLocked = "database is locked";

class SessionManagerStoreFailureTest : public SessionFixture
{
protected:
    std::unique_ptr<StoreLock> lockStore()
    {
        auto lock = std::make_unique<StoreLock>(home.talvexDataDir() + "/talvex.db");
        EXPECT_TRUE(lock->held());
        return lock;
    }

    QStringList sliceFiles() const
    {
        return QDir(home.talvexDataDir() + "/recordings").entryList({"*.m4a"}, QDir::Files);
    }
};

}  // namespace

TEST_F(SessionManagerStoreFailureTest, ASliceTheStoreRefusedFailsTheDictationWithoutInsertingTheRest)
{
    buildReady();
    const QString id = start();
    spinFor(60);
    session->pauseRecording();   // slice 1 is stored
    session->resumeRecording();
    spinFor(60);
    std::optional<QString> shownAtTheRefusal;
    QObject::connect(session.get(), &SessionManager::changed, [&] {
        if (!shownAtTheRefusal && session->errorMessage())
            shownAtTheRefusal = session->errorMessage();
    });
    auto lock = lockStore();   // from here on every write is refused
    session->stopRecording();
    ASSERT_TRUE(waitForState(SessionState::idle));

    EXPECT_EQ(shownAtTheRefusal, "Could not save to the database: " + kLocked);
    EXPECT_EQ(session->errorMessage(), "1 of 2 slice(s) were not saved. Could not save to the database: " + kLocked);
    EXPECT_EQ(field->value, QString()) << "nothing written into the window";
    EXPECT_EQ(keys.pastes(), 0);
    EXPECT_TRUE(requestsTo(kChat).isEmpty()) << "nothing polished";
    EXPECT_TRUE(logLines().contains("ERROR SessionManager: could not save to the database: " + kLocked));
    lock.reset();
    EXPECT_EQ(row(id)->status, RecordingStatus::recording) << "every write of the stop was refused";
    EXPECT_EQ(slices(id).size(), 1);
    EXPECT_EQ(sliceFiles().size(), 2) << "the refused slice's audio is kept";
}

TEST_F(SessionManagerStoreFailureTest, NoRecordingStartsWhenItsRowIsRefused)
{
    buildReady();
    auto lock = lockStore();
    session->toggleRecording();

    EXPECT_EQ(session->state(), SessionState::idle);
    EXPECT_EQ(session->errorMessage(), "Failed to start recording: it could not be saved to the database");
    EXPECT_EQ(session->currentRecording(), std::nullopt);
    EXPECT_TRUE(sliceFiles().isEmpty()) << "no audio that no row could find again";
}

// Every word is there; only the history lacks the result: the text is
// inserted, and the message stays after the return to idle.
TEST_F(SessionManagerStoreFailureTest, AWholeTextIsInsertedWhenOnlyItsHistoryRowIsRefused)
{
    std::unique_ptr<StoreLock> lock;
    polish = [&](const HttpFake::Request&) {
        if (requestsTo(kChat).size() == 1)   // the first dictation's
            lock = lockStore();
        return chatAnswer("Polished text.");
    };
    buildReady();
    const QString id = dictate();
    ASSERT_TRUE(waitForState(SessionState::idle));

    EXPECT_EQ(field->value, "Polished text.");
    EXPECT_EQ(session->errorMessage(), "Could not save to the database: " + kLocked);
    lock.reset();
    EXPECT_EQ(row(id)->status, RecordingStatus::transcribed) << "the completed write was refused";

    // The next dictation's end clears it.
    const QString next = dictate();
    ASSERT_TRUE(waitForState(SessionState::idle));
    EXPECT_EQ(session->errorMessage(), std::nullopt);
    EXPECT_EQ(row(next)->status, RecordingStatus::completed);
}
