#include "DatabaseManagerTest.h"

using namespace dbtest;

class DatabaseGlossary : public StoreTest
{
protected:
    void SetUp() override { store = openStore(); }
    std::unique_ptr<DatabaseManager> store;
};

TEST_F(DatabaseGlossary, EntriesRoundTripAndListOldestFirst)
{
    GlossaryItem full = makeGlossaryItem("g-full", "Kubernetes ✓", "ACC-1", at(3, 250));
    full.updatedAt = at(4, 1);
    full.deletedAt = at(5, 2);
    const GlossaryItem newer = makeGlossaryItem("g-new", "Talvex", "local", at(2));
    const GlossaryItem older = makeGlossaryItem("g-old", "SQLite", "local", at(1));
    for (const GlossaryItem& item : {full, newer, older})
        store->insertGlossaryItem(item);

    EXPECT_EQ(describe(store->fetchGlossaryItem("G-FULL")), describe(full));   // deleted, any case
    EXPECT_EQ(describe(store->fetchGlossaryItem("g-old")), describe(older));
    EXPECT_FALSE(store->fetchGlossaryItem("g-none"));

    struct Case { std::optional<QString> owner; bool includingDeleted; QStringList ids; };
    const Case cases[] = {
        {"local", false, {"g-old", "g-new"}},
        {"ACC-1", false, {}},
        {"ACC-1", true, {"g-full"}},
        {std::nullopt, false, {"g-old", "g-new"}},
        {std::nullopt, true, {"g-old", "g-new", "g-full"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(idsOf(store->fetchAllGlossaryItems(c.owner, c.includingDeleted)), c.ids)
            << c.owner.value_or("no owner").toStdString() << " " << c.includingDeleted;
}

TEST_F(DatabaseGlossary, PromptJoinsTheLiveEntriesInCreationOrder)
{
    struct Entry { const char* content; const char* owner; int second; bool deleted; };
    struct Case
    {
        const char* name;
        std::vector<Entry> entries;
        std::optional<QString> owner;
        std::optional<QString> prompt;
    };
    const Case cases[] = {
        {"no entry gives no prompt", {}, "local", std::nullopt},
        {"only a deleted entry", {{"Gone", "local", 1, true}}, "local", std::nullopt},
        {"another owner's entry only", {{"Theirs", "ACC-1", 1, false}}, "local", std::nullopt},
        {"one entry", {{"Talvex", "local", 1, false}}, "local", "Talvex"},
        {"older first", {{"Newer", "local", 2, false}, {"Older", "local", 1, false}}, "local",
         "Older, Newer"},
        {"deleted entry left out",
         {{"A", "local", 1, false}, {"Gone", "local", 2, true}, {"B", "local", 3, false}}, "local",
         "A, B"},
        {"no owner joins every owner by creation time",
         {{"Local late", "local", 3, false}, {"Account", "ACC-1", 2, false},
          {"Local early", "local", 1, false}, {"Gone", "ACC-1", 4, true}},
         std::nullopt, "Local early, Account, Local late"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        DatabaseManager db(dir.path());
        int n = 0;
        for (const Entry& e : c.entries) {
            GlossaryItem item = makeGlossaryItem(QString("g-%1").arg(++n), e.content, e.owner,
                                                 at(e.second));
            if (e.deleted)
                item.deletedAt = at(e.second);
            db.insertGlossaryItem(item);
        }
        EXPECT_EQ(db.fetchGlossaryPrompt(c.owner), c.prompt);
    }
}

TEST_F(DatabaseGlossary, EditWritesContentAndTimeAndDeletionStampsNow)
{
    const GlossaryItem item = makeGlossaryItem("g-1", "Talvx", "local", at(1));
    store->insertGlossaryItem(item);

    GlossaryItem edited = item;
    edited.content = "Talvex";
    edited.updatedAt = at(5);
    edited.userId = "ACC-1";          // not written by the edit
    edited.createdAt = at(9);         // nor this
    edited.deletedAt = at(9);         // nor this
    store->updateGlossaryItem(edited);
    GlossaryItem expected = item;
    expected.content = "Talvex";
    expected.updatedAt = at(5);
    EXPECT_EQ(describe(store->fetchGlossaryItem("g-1")), describe(expected));

    store->softDeleteGlossaryItem("G-1");   // exact id only: nothing happens
    EXPECT_EQ(describe(store->fetchGlossaryItem("g-1")), describe(expected));

    const QDateTime before = QDateTime::currentDateTimeUtc();
    store->softDeleteGlossaryItem("g-1");
    const auto deleted = store->fetchGlossaryItem("g-1");
    ASSERT_TRUE(deleted && deleted->deletedAt);
    EXPECT_EQ(deleted->deletedAt, deleted->updatedAt);
    EXPECT_GE(deleted->updatedAt, before.addMSecs(-1));
    EXPECT_EQ(deleted->content, "Talvex");
    EXPECT_TRUE(store->fetchAllGlossaryItems("local", false).isEmpty());
}

TEST_F(DatabaseGlossary, UpsertReplacesTheWholeRowAndMakesItDirty)
{
    const GlossaryItem item = makeGlossaryItem("g-1", "Old", "local", at(1));
    store->insertGlossaryItem(item);
    store->markGlossaryItemsSynced({DatabaseManager::SyncedRow::of(item)});
    ASSERT_TRUE(store->fetchDirtyGlossaryItems("local").isEmpty());

    GlossaryItem pulled = item;
    pulled.content = "New";
    pulled.deletedAt = at(2);
    pulled.createdAt = at(0);
    store->upsertGlossaryItem(pulled);   // same update time as before, yet dirty
    EXPECT_EQ(describe(store->fetchGlossaryItem("g-1")), describe(pulled));
    EXPECT_EQ(idsOf(store->fetchDirtyGlossaryItems("local")), QStringList{"g-1"});

    // An id differing only in case is another row until the next start.
    GlossaryItem upper = makeGlossaryItem("G-1", "Upper", "local", at(3));
    store->upsertGlossaryItem(upper);
    EXPECT_EQ(idsOf(store->fetchAllGlossaryItems("local", true)), QStringList({"g-1", "G-1"}));
    // A fresh insert of the id works like an insert.
    store->upsertGlossaryItem(makeGlossaryItem("g-2", "Fresh", "local", at(4)));
    EXPECT_EQ(store->fetchGlossaryItem("g-2")->content, "Fresh");
}

TEST_F(DatabaseGlossary, UnreadableEntriesAreLeftOut)
{
    store->insertGlossaryItem(makeGlossaryItem("g-good", "Good", "local", at(1)));
    RawDb raw(dbPath());
    for (const char* change : {"created_at = 'yesterday'", "updated_at = '2025-03-04'",
                               "content = X'00'"}) {
        SCOPED_TRACE(change);
        raw.exec("INSERT INTO glossary (id, content, created_at, updated_at) VALUES ('g-bad', 'Bad', "
                 "'2025-03-04T05:06:00.000Z', '2025-03-04T05:06:00.000Z');");
        raw.exec(QString("UPDATE glossary SET %1 WHERE id = 'g-bad';").arg(change));
        EXPECT_EQ(idsOf(store->fetchAllGlossaryItems(std::nullopt, true)), QStringList{"g-good"});
        EXPECT_FALSE(store->fetchGlossaryItem("g-bad"));
        EXPECT_EQ(store->fetchGlossaryPrompt(std::nullopt), "Good");
        EXPECT_EQ(idsOf(store->fetchDirtyGlossaryItems("local")), QStringList{"g-good"});
        raw.exec("DELETE FROM glossary WHERE id = 'g-bad';");
    }
    // An owner that is not text reads as "local".
    raw.exec("UPDATE glossary SET user_id = X'07' WHERE id = 'g-good';");
    EXPECT_EQ(store->fetchGlossaryItem("g-good")->userId, "local");
}
