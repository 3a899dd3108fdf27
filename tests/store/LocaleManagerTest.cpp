#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

#include "platform/Preferences.h"
#include "store/LocaleManager.h"

namespace {

// A preferences file of its own for each test.
class LocaleManagerTest : public testing::Test
{
protected:
    QString prefsPath() const { return m_dir.filePath("prefs.conf"); }
    Preferences& prefs() { return *m_prefs; }

    // Writes a string table into a folder of test tables.
    void writeTable(const QString& language, const QByteArray& json)
    {
        QFile file(tablesFolder() + "/" + language + ".json");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(json);
    }
    QString tablesFolder() const { return m_dir.filePath("tables"); }

    void SetUp() override { QDir(m_dir.path()).mkpath("tables"); }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<Preferences> m_prefs = std::make_unique<Preferences>(prefsPath());
};

QJsonObject shippedTable(const QString& language)
{
    QFile file(":/i18n/" + language + ".json");
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

QSet<QString> placeholders(const QString& text)
{
    static const QRegularExpression number("%(\\d+)");
    QSet<QString> found;
    for (auto it = number.globalMatch(text); it.hasNext();)
        found.insert(it.next().captured(0));
    return found;
}

}  // namespace

TEST_F(LocaleManagerTest, FirstLaunchTakesTheSystemLanguageAndStoresItAtOnce)
{
    struct Case { const char* system; const char* expected; };
    const Case cases[] = {
        {"zh", "zh-Hans"},    {"zh_CN", "zh-Hans"},      {"zh_TW", "zh-Hans"},
        {"zh-Hant", "zh-Hans"}, {"zh_HK.UTF-8", "zh-Hans"}, {"ZH_cn", "zh-Hans"},
        {"fr", "en"},         {"en_US", "en"},           {"", "en"},
        {"C", "en"},          {"zu_ZA", "en"},
    };
    for (const Case& c : cases) {
        prefs().remove(PrefKey::appLanguage);
        LocaleManager locale(prefs(), c.system);
        EXPECT_EQ(locale.language(), c.expected) << c.system;
        // On the file, not only in memory.
        EXPECT_EQ(Preferences(prefsPath()).appLanguage(), QString(c.expected)) << c.system;
        // The choice is fixed: a later start on another system language keeps it.
        LocaleManager later(prefs(), QString(c.expected) == "en" ? "zh_CN" : "fr_FR");
        EXPECT_EQ(later.language(), c.expected) << c.system;
    }
}

TEST_F(LocaleManagerTest, StoredLanguageWinsAndIsKeptUnchanged)
{
    const LocaleManager english(prefs(), "en_US");
    const QString englishSync = english.text("accounts.syncNow");
    ASSERT_NE(englishSync, "accounts.syncNow");

    prefs().setValue(PrefKey::appLanguage, "zh-Hans");
    const LocaleManager chinese(prefs(), "en_US");
    EXPECT_EQ(chinese.language(), "zh-Hans");
    EXPECT_NE(chinese.text("accounts.syncNow"), englishSync);

    // A language without a table of its own keeps its name; its texts are English.
    prefs().setValue(PrefKey::appLanguage, "fr");
    const LocaleManager french(prefs(), "zh_CN");
    EXPECT_EQ(french.language(), "fr");
    EXPECT_EQ(prefs().appLanguage(), QString("fr"));
    EXPECT_EQ(french.text("accounts.syncNow"), englishSync);
}

TEST_F(LocaleManagerTest, MissingKeyGivesTheKeyItself)
{
    for (const char* language : {"en", "zh-Hans"}) {
        prefs().setValue(PrefKey::appLanguage, language);
        const LocaleManager locale(prefs());
        EXPECT_EQ(locale.text("settings.noSuchKey"), "settings.noSuchKey") << language;
        EXPECT_EQ(locale.text(""), "") << language;
    }
}

TEST_F(LocaleManagerTest, SwitchingLanguageStoresItAndTheNextLookUpUsesIt)
{
    prefs().setValue(PrefKey::appLanguage, "zh-Hans");
    LocaleManager locale(prefs());
    const QString chineseQuit = locale.text("menu.quit");
    QSignalSpy spy(&locale, &LocaleManager::languageChanged);

    locale.setLanguage("en");
    EXPECT_EQ(Preferences(prefsPath()).appLanguage(), QString("en"));
    EXPECT_EQ(locale.language(), "en");
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toString(), "en");
    const QString englishQuit = locale.text("menu.quit");
    EXPECT_NE(englishQuit, chineseQuit);
    EXPECT_EQ(englishQuit, shippedTable("en").value("menu.quit").toString());

    // Choosing the language already shown announces nothing.
    locale.setLanguage("en");
    EXPECT_EQ(spy.count(), 1);

    locale.setLanguage("zh-Hans");
    EXPECT_EQ(locale.text("menu.quit"), chineseQuit);
    EXPECT_EQ(spy.count(), 2);
}

TEST_F(LocaleManagerTest, FormatIsAppliedAfterTheLookUp)
{
    writeTable("en", R"({"greet": "%1 of %2 done"})");
    writeTable("zh-Hans", R"({"greet": "共 %2 个，已完成 %1 个"})");
    prefs().setValue(PrefKey::appLanguage, "zh-Hans");
    LocaleManager locale(prefs(), "", tablesFolder());

    // The translation decides where each argument goes.
    EXPECT_EQ(locale.text("greet", 2, 5), "共 5 个，已完成 2 个");
    locale.setLanguage("en");
    EXPECT_EQ(locale.text("greet", 2, 5), "2 of 5 done");
    // Filled in one pass: an argument that looks like a placeholder stays as it is.
    EXPECT_EQ(locale.text("greet", QString("%2"), QString("x")), "%2 of x done");
    EXPECT_EQ(locale.text("greet", "50%", 1.5), "50% of 1.5 done");
}

TEST_F(LocaleManagerTest, TablesFallBackToEnglishThenStayAsTheyWere)
{
    writeTable("zh-Hans", R"({"k": "中文", "onlyZh": "仅中文"})");
    prefs().setValue(PrefKey::appLanguage, "zh-Hans");
    LocaleManager locale(prefs(), "", tablesFolder());
    EXPECT_EQ(locale.text("k"), "中文");

    // Neither the language nor English has a table: the last table stays.
    locale.setLanguage("fr");
    EXPECT_EQ(locale.language(), "fr");
    EXPECT_EQ(locale.text("k"), "中文");

    writeTable("en", R"({"k": "English"})");
    locale.setLanguage("de");
    EXPECT_EQ(locale.text("k"), "English");
    EXPECT_EQ(locale.text("onlyZh"), "onlyZh");

    // A table that does not read as a JSON object counts as missing.
    writeTable("broken", "{\"k\": ");
    writeTable("list", R"(["k", "v"])");
    locale.setLanguage("zh-Hans");
    locale.setLanguage("broken");
    EXPECT_EQ(locale.text("k"), "English");
    locale.setLanguage("zh-Hans");
    locale.setLanguage("list");
    EXPECT_EQ(locale.text("k"), "English");
}

TEST_F(LocaleManagerTest, WithoutAnyTableEveryTextIsItsKey)
{
    LocaleManager locale(prefs(), "zh_CN", tablesFolder());
    EXPECT_EQ(locale.language(), "zh-Hans");
    EXPECT_EQ(locale.text("menu.quit"), "menu.quit");
}

TEST_F(LocaleManagerTest, TheBuiltInTablesFollowALanguageChange)
{
    LocaleManager locale(prefs(), "en");
    EXPECT_EQ(prefs().appLanguage(), locale.language());

    locale.setLanguage("zh-Hans");
    EXPECT_EQ(prefs().appLanguage(), QString("zh-Hans"));
    EXPECT_EQ(locale.text("tab.glossary"), shippedTable("zh-Hans").value("tab.glossary").toString());
    EXPECT_EQ(locale.text("accounts.slicesFailed", 3),
              shippedTable("zh-Hans").value("accounts.slicesFailed").toString().arg(3));
}

TEST(LocaleTables, BothLanguagesHoldTheSameKeysWithMatchingPlaceholders)
{
    const QJsonObject en = shippedTable("en");
    const QJsonObject zh = shippedTable("zh-Hans");
    ASSERT_FALSE(en.isEmpty());
    ASSERT_FALSE(zh.isEmpty());

    const QStringList enKeys = en.keys();
    EXPECT_EQ(enKeys, zh.keys());
    const QRegularExpression keyShape("^[a-z]+(\\.[a-z][A-Za-z0-9]*)+$");
    for (const QString& key : enKeys) {
        const std::string name = key.toStdString();
        EXPECT_TRUE(keyShape.match(key).hasMatch()) << name;
        ASSERT_TRUE(en.value(key).isString()) << name;
        ASSERT_TRUE(zh.value(key).isString()) << name;
        const QString english = en.value(key).toString();
        const QString chinese = zh.value(key).toString();
        EXPECT_FALSE(english.trimmed().isEmpty()) << name;
        EXPECT_FALSE(chinese.trimmed().isEmpty()) << name;
        EXPECT_EQ(placeholders(english), placeholders(chinese)) << name;
    }
}

TEST(LocaleTables, EveryKeyTheScreensUseIsPresentWithItsArguments)
{
    // Key and number of format arguments, as the screens call them.
    const std::pair<const char*, int> used[] = {
        {"menu.settings", 0}, {"menu.showFloating", 0}, {"menu.hideFloating", 0},
        {"menu.checkUpdate", 0}, {"menu.quit", 0},
        {"alert.micTitle", 0}, {"alert.micMessage", 0}, {"alert.accTitle", 0},
        {"alert.accMessage", 0}, {"alert.openSettings", 0}, {"alert.ok", 0},
        {"float.ready", 0},
        {"status.cancel", 0}, {"status.pause", 0}, {"status.resume", 0}, {"status.done", 0},
        {"status.transcribing", 2}, {"status.processing", 0}, {"status.injectTo", 1},
        {"status.chars", 1}, {"status.inject", 0}, {"status.copy", 0},
        {"tab.settings", 0}, {"tab.recordings", 0}, {"tab.glossary", 0}, {"tab.accounts", 0},
        {"tab.debug", 0},
        {"recordings.clearAll", 0}, {"recordings.clearConfirm", 0},
        {"recordings.openFolder", 0}, {"recordings.empty", 0}, {"recordings.pressToStart", 1},
        {"row.retry", 0}, {"row.regenerate", 0}, {"row.otherDevice", 0},
        {"row.copy", 0}, {"row.delete", 0}, {"row.status.recording", 0}, {"row.status.paused", 0},
        {"row.status.recorded", 0}, {"row.status.transcribed", 0}, {"row.status.completed", 0},
        {"row.status.failed", 0},
        {"glossary.addPlaceholder", 0}, {"glossary.empty", 0}, {"glossary.emptyHint", 0},
        {"glossary.save", 0},
        {"glossary.add", 0}, {"glossary.edit", 0}, {"glossary.delete", 0},
        {"settings.language", 0}, {"settings.openaiKey", 0}, {"settings.dashScopeKey", 0},
        {"settings.deepSeekKey", 0}, {"settings.asrModel", 0}, {"settings.postModel", 0},
        {"settings.apiTest", 0}, {"settings.testAll", 0}, {"settings.shortcut", 0},
        {"settings.reset", 0}, {"settings.floatingPanel", 0}, {"settings.showFloating", 0},
        {"settings.sliceDuration", 0}, {"settings.secondsPerSlice", 0},
        {"settings.postPrompt", 0}, {"settings.resetDefault", 0}, {"settings.permissions", 0},
        {"settings.microphone", 0}, {"settings.accessibility", 0}, {"settings.grant", 0},
        {"settings.accessibilityHint", 0}, {"settings.debugMode", 0},
        {"accounts.offlineDetail", 0}, {"accounts.signIn", 0}, {"accounts.switchAccount", 0},
        {"accounts.signInGoogle", 0}, {"accounts.cancel", 0}, {"accounts.signInFailed", 1},
        {"accounts.signOutFailed", 1}, {"accounts.syncing", 0}, {"accounts.lastSync", 1},
        {"accounts.notSynced", 0}, {"accounts.syncNow", 0}, {"accounts.statistics", 0},
        {"accounts.recordings", 0}, {"accounts.slices", 0}, {"accounts.glossary", 0},
        {"accounts.duration", 0}, {"accounts.slicesFailed", 1},
        {"screen.later", 0},
        {"update.availableTitle", 0}, {"update.availableMessage", 2}, {"update.download", 1},
        {"update.releaseNotes", 1}, {"update.upToDateTitle", 0}, {"update.upToDateMessage", 1},
        {"update.failedTitle", 0}, {"update.networkError", 1}, {"update.timeout", 0},
        {"update.httpStatus", 1}, {"update.unreadableFeed", 1}, {"update.noVersion", 0},
        {"update.unreadableRunningVersion", 1},
    };
    const QJsonObject en = shippedTable("en");
    for (const auto& [key, arguments] : used) {
        ASSERT_TRUE(en.contains(key)) << key;
        QSet<QString> expected;
        for (int i = 1; i <= arguments; ++i)
            expected.insert("%" + QString::number(i));
        EXPECT_EQ(placeholders(en.value(key).toString()), expected) << key;
    }
    EXPECT_EQ(en.size(), int(std::size(used)));
}
