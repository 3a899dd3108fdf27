#include <QFile>
#include <sys/stat.h>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include "platform/Preferences.h"
#include "support/TempHome.h"

TEST(Preferences, DefaultsOfEverySetting)
{
    TempHome home;
    Preferences prefs;
    EXPECT_EQ(prefs.apiKey(), "");
    EXPECT_EQ(prefs.dashScopeApiKey(), "");
    EXPECT_EQ(prefs.deepSeekApiKey(), "");
    EXPECT_EQ(prefs.asrModel(), "gpt-4o-mini-transcribe");
    EXPECT_EQ(prefs.postProcessModel(), "gpt-4o-mini");
    EXPECT_TRUE(prefs.postProcessPrompt().startsWith("You are a text polishing assistant."));
    EXPECT_TRUE(prefs.postProcessPrompt().endsWith("do NOT translate"));
    EXPECT_EQ(prefs.shortcut(), QString::fromUtf8("⌘ ⇧ E"));
    EXPECT_EQ(prefs.sliceDuration(), 30);
    EXPECT_TRUE(prefs.showFloatingPanel());
    EXPECT_TRUE(prefs.debugMode());
    EXPECT_EQ(prefs.currentUserId(), "local");
    EXPECT_FALSE(prefs.enableSync());
    EXPECT_FALSE(prefs.appLanguage().has_value());
    EXPECT_FALSE(prefs.floatingPanelX().has_value());
    EXPECT_FALSE(prefs.floatingPanelY().has_value());
}

TEST(Preferences, FileLivesUnderXdgConfigAndIsPrivate)
{
    TempHome home;
    Preferences prefs;
    EXPECT_EQ(prefs.filePath(), home.configHome() + "/Talvex/Talvex.conf");
    prefs.setValue(PrefKey::apiKey, "sk-secret");
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(prefs.filePath()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(QFile(prefs.filePath()).open(QIODevice::ReadOnly));
}

TEST(Preferences, WritesSurviveAReopenAndAnnounceTheirKey)
{
    TempHome home;
    {
        Preferences prefs;
        QSignalSpy spy(&prefs, &Preferences::changed);
        prefs.setValue(PrefKey::shortcut, QString::fromUtf8("⌃ ⌥ Space"));
        prefs.setValue(PrefKey::sliceDuration, 45);
        prefs.setValue(PrefKey::floatingPanelX, 12.5);
        prefs.setValue(PrefKey::enableSync, true);
        prefs.remove(PrefKey::apiKey);
        ASSERT_EQ(spy.count(), 5);
        EXPECT_EQ(spy.at(0).at(0).toString(), "shortcut");
        EXPECT_EQ(spy.at(4).at(0).toString(), "apiKey");
    }
    Preferences reopened;
    EXPECT_EQ(reopened.shortcut(), QString::fromUtf8("⌃ ⌥ Space"));
    EXPECT_EQ(reopened.sliceDuration(), 45);
    EXPECT_EQ(reopened.floatingPanelX(), 12.5);
    EXPECT_TRUE(reopened.enableSync());
    reopened.remove(PrefKey::enableSync);
    EXPECT_FALSE(reopened.enableSync());
    EXPECT_FALSE(reopened.contains(PrefKey::enableSync));
}
