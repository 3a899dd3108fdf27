// Account sync switched on and off through the controller (the main window's
// hidden switch): on once until switched off, and off makes local data current.
#include <QSignalSpy>
#include <gtest/gtest.h>

#include "SessionFixture.h"

class SessionManagerSyncSwitchTest : public SessionFixture
{
};

TEST_F(SessionManagerSyncSwitchTest, OnOnceUntilOffAndOffMakesLocalCurrent)
{
    struct Case
    {
        const char* name;
        QString currentUser;
        std::function<void(SessionManager&)> calls;
        QStringList logged;
        QString currentUserAfter;
    };
    const QString on = "INFO SessionManager: activating sync features";
    const QString off = "INFO SessionManager: deactivating sync features";
    const Case cases[] = {
        {"on twice", "local", [](SessionManager& s) { s.activateSync(); s.activateSync(); }, {on}, "local"},
        {"on, off, on", "local",
         [](SessionManager& s) { s.activateSync(); s.deactivateSync(); s.activateSync(); }, {on, off, on},
         "local"},
        {"off with an account current", "ACCOUNT-1", [](SessionManager& s) { s.deactivateSync(); }, {off},
         "local"},
        {"off while local", "local", [](SessionManager& s) { s.deactivateSync(); }, {off}, "local"},
    };
    buildReady();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        session->deactivateSync();   // each case starts with sync off
        prefs.setValue(PrefKey::currentUserId, c.currentUser);
        freshLines();
        QSignalSpy writes(&prefs, &Preferences::changed);

        c.calls(*session);

        EXPECT_EQ(freshLines().filter("sync features"), c.logged);
        EXPECT_EQ(prefs.currentUserId(), c.currentUserAfter);
        EXPECT_EQ(writes.count(), c.currentUser == c.currentUserAfter ? 0 : 1) << "only a change is written";
    }
}
