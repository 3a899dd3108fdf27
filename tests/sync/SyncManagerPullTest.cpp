// What a pull writes into the store: the newer copy wins, a row's own time is
// kept in whatever form the backend writes it, and rows of others are skipped
// with a warning.
#include "SyncManagerFixture.h"

using namespace synctest;

namespace {

class SyncManagerPullTest : public SyncTest
{
public:
    Device device{backend, clock};
    QString userId = device.signIn(alice);

    // A glossary entry of the user on the device and the backend, synced.
    GlossaryItem syncedGlossaryItem(const QString& content)
    {
        const GlossaryItem item = glossaryItem(userId, content, tick());
        device.db.insertGlossaryItem(item);
        EXPECT_TRUE(device.sync(userId));
        EXPECT_TRUE(device.db.fetchDirtyGlossaryItems(userId).isEmpty());
        return item;
    }

    void editLocally(GlossaryItem item, const QString& content)
    {
        item.content = content;
        item.updatedAt = tick();
        device.db.updateGlossaryItem(item);
    }

    void editOnTheBackend(const GlossaryItem& item, const QString& content)
    {
        tick();
        backend.writeRow("glossary", alice.id, {{"id", item.id}, {"content", content}});
    }
};

// A later backend copy replaces the local row; an equal time is left alone;
// a later local change stays and goes out with the same sync.
TEST_F(SyncManagerPullTest, TheLaterCopyWins)
{
    struct Case
    {
        const char* name;
        QStringList edits;    // in order: "laptop" (this device) or "phone" (another device)
        QString after;        // what the device holds afterwards
        QString backendAfter;
    };
    const Case cases[] = {
        {"phone edits", {"phone"}, "phone", "phone"},
        {"laptop, then phone", {"laptop", "phone"}, "phone", "phone"},
        {"phone, then laptop", {"phone", "laptop"}, "laptop", "laptop"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const GlossaryItem item = syncedGlossaryItem("synced");
        for (const QString& edit : c.edits) {
            if (edit == "phone")
                editOnTheBackend(item, edit);
            else
                editLocally(item, edit);
        }
        tick();
        const qsizetype before = backend.requests().size();

        ASSERT_TRUE(device.forceFullSync(userId));

        EXPECT_EQ(device.db.fetchGlossaryItem(item.id)->content, c.after);
        EXPECT_EQ(backendRow(backend, "glossary", item.id).value("content").toString(), c.backendAfter);
        EXPECT_EQ(tableRequests(backend, before).contains("POST glossary"), c.after == "laptop");
        EXPECT_TRUE(device.db.fetchDirtyGlossaryItems(userId).isEmpty());
    }

    // Another device's copy with the same time as the local one is left
    // alone: neither written nor marked.
    const GlossaryItem item = syncedGlossaryItem("synced");
    backend.writeRow("glossary", alice.id, {{"id", item.id}, {"content", "phone"},
                                            {"updated_at", TimeText::format(item.updatedAt)}});
    tick();
    ASSERT_TRUE(device.forceFullSync(userId));
    EXPECT_EQ(device.db.fetchGlossaryItem(item.id)->content, "synced");
    EXPECT_TRUE(device.db.fetchDirtyGlossaryItems(userId).isEmpty());
}

// The backend leaves the fraction out when it is zero: such a stamp is still
// the row's time, not the time of the pull, so it neither beats a later
// local edit nor is written again by every full pull.
TEST_F(SyncManagerPullTest, AStampOnAWholeSecondKeepsItsTime)
{
    const QDateTime now = tick();
    const QDateTime wholeSecond = now.addMSecs(-now.time().msec());
    clock.set(wholeSecond);
    const QString id = newRecordId();
    backend.writeRow("glossary", alice.id, {{"id", id}, {"content", "phone"}});
    const QString stamp = backendRow(backend, "glossary", id).value("updated_at").toString();
    ASSERT_FALSE(stamp.contains('.')) << "the service's form of a whole second: " << stamp.toStdString();

    tick();
    ASSERT_TRUE(device.sync(userId));
    const auto stored = device.db.fetchGlossaryItem(id);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->updatedAt, wholeSecond);

    // A second full pull finds it unchanged and writes nothing.
    tick();
    ASSERT_TRUE(device.forceFullSync(userId));
    EXPECT_EQ(device.db.fetchGlossaryItem(id)->updatedAt, wholeSecond);
    EXPECT_TRUE(device.db.fetchDirtyGlossaryItems(userId).isEmpty());

    // A local edit made after the backend's stamp, before the pull.
    editLocally(*stored, "laptop");
    tick();
    ASSERT_TRUE(device.forceFullSync(userId));
    EXPECT_EQ(device.db.fetchGlossaryItem(id)->content, "laptop");
    EXPECT_EQ(backendRow(backend, "glossary", id).value("content").toString(), "laptop");
}

// A row without a usable updated_at takes the pull's time; that must not
// overwrite a local change still to be pushed. A clean twin takes it.
TEST_F(SyncManagerPullTest, ARowWithoutAUsableTimeNeverOverwritesUnpushedChanges)
{
    struct Case
    {
        const char* name;
        QJsonValue updatedAt;
        bool localEdit;
        QString after;
    };
    const Case cases[] = {
        {"null, local edit", QJsonValue::Null, true, "laptop"},
        {"unreadable, local edit", "last tuesday", true, "laptop"},
        {"null, clean twin", QJsonValue::Null, false, "phone"},
        {"unreadable, clean twin", "last tuesday", false, "phone"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const GlossaryItem item = syncedGlossaryItem("synced");
        backend.writeRow("glossary", alice.id, {{"id", item.id}, {"content", "phone"}, {"updated_at", c.updatedAt}});
        if (c.localEdit)
            editLocally(item, "laptop");
        tick();

        ASSERT_TRUE(device.forceFullSync(userId));

        EXPECT_EQ(device.db.fetchGlossaryItem(item.id)->content, c.after);
        EXPECT_TRUE(device.db.fetchDirtyGlossaryItems(userId).isEmpty());
        if (c.localEdit)
            EXPECT_EQ(backendRow(backend, "glossary", item.id).value("content").toString(), "laptop");
    }
}

// Rows that would be stored as another user's, or under a file name that
// points outside the recordings folder, are skipped with a warning; rows
// whose ids are no UUID text quietly.
TEST_F(SyncManagerPullTest, RowsOfOthersAndUnsafeFileNamesAreSkipped)
{
    // Each case on a backend and device of its own.
    struct World
    {
        explicit World(TestClock& clock) : backend(clock), device(backend, clock) {}
        FakeBackend backend;
        FakeBackend::User alice = backend.addUser("alice@example.com");
        FakeBackend::User bob = backend.addUser("bob@example.com");
        Device device;
        QString userId = device.signIn(alice);
        QString bobId = bob.id.toUpper();

        QString plantSlice(const QString& recordingId, const QString& filename)
        {
            const QString id = newRecordId();
            backend.writeRow("slices", alice.id,
                             {{"id", id}, {"recording_id", recordingId}, {"slice_index", 1},
                              {"filename", filename}, {"status", "completed"}});
            return id;
        }
    };
    struct Case
    {
        const char* name;
        // Plants the rows and gives the id of the one that must be skipped.
        std::function<QString(World&, const QDateTime& now)> plant;
        QString warning;   // after "WARN SyncManager: skipped "; empty: none
    };
    const Case cases[] = {
        {"a row of another account",
         [](World& w, const QDateTime&) {
             w.backend.setRowRulesEnabled(false);
             const QString id = newRecordId();
             w.backend.writeRow("glossary", w.bob.id, {{"id", id}, {"content", "bob's"}});
             return id;
         },
         "glossary item %1: it belongs to another account"},
        {"a twin of another local user",
         [](World& w, const QDateTime& now) {
             const GlossaryItem local = glossaryItem(w.bobId, "bob's", now);
             w.device.db.insertGlossaryItem(local);
             w.backend.writeRow("glossary", w.alice.id,
                                {{"id", local.id}, {"content", "alice's"},
                                 {"updated_at", TimeText::format(now.addSecs(1))}});
             return local.id;
         },
         "glossary item %1: its local copy belongs to another user"},
        {"a recording twin of another local user",
         [](World& w, const QDateTime& now) {
             const Recording local = recording(w.bobId, now);
             w.device.db.insertRecording(local);
             w.backend.writeRow("recordings", w.alice.id,
                                {{"id", local.id}, {"status", "failed"},
                                 {"updated_at", TimeText::format(now.addSecs(1))}});
             return local.id;
         },
         "recording %1: its local copy belongs to another user"},
        {"a slice of another local user's recording",
         [](World& w, const QDateTime& now) {
             const Recording local = recording(w.bobId, now);
             w.device.db.insertRecording(local);
             return w.plantSlice(local.id, "bob.m4a");
         },
         "slice %1: its recording belongs to another user"},
        {"a slice named ..", [](World& w, const QDateTime&) { return w.plantSlice(newRecordId(), ".."); },
         "slice %1: its file name is not a plain file name"},
        {"a slice named with a path",
         [](World& w, const QDateTime&) {
             return w.plantSlice(newRecordId(), "../../.config/autostart/x.desktop");
         },
         "slice %1: its file name is not a plain file name"},
        {"an id that is no UUID",
         [](World& w, const QDateTime&) {
             w.backend.writeRow("glossary", w.alice.id, {{"id", "g-1"}, {"content", "x"}});
             return QString("g-1");
         },
         ""},
        {"a recording id that is no UUID", [](World& w, const QDateTime&) { return w.plantSlice("r-1", "a.m4a"); },
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        World world(clock);
        const QString id = c.plant(world, clock.now());
        DatabaseManager& db = world.device.db;
        const auto localRows = [&] {
            return describe(db.fetchGlossaryItem(id)) + describe(db.fetchRecordingIncludingDeleted(id))
                 + describe(db.fetchSlice(id));
        };
        const std::string before = localRows();
        world.device.freshLines();

        ASSERT_TRUE(world.device.sync(world.userId));

        EXPECT_EQ(world.device.freshLines().filter("WARN"),
                  c.warning.isEmpty() ? QStringList()
                                      : QStringList{"WARN SyncManager: skipped " + c.warning.arg(id)});
        EXPECT_EQ(localRows(), before) << "nothing of it is written";
        EXPECT_EQ(world.device.engine.lastError(), std::nullopt) << "a skipped row is no failure";
    }
}

}  // namespace
