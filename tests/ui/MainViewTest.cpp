// The main window's content on the real controller: the strip above whichever
// tab is shown, the tabs the preferences list, the hidden sync switch on a
// hand-moved clock, and the rebuild on a change of language.
#include "ViewFixture.h"
#include "ui/AccountsView.h"
#include "ui/MainView.h"
#include "ui/PlainLabel.h"
#include "ui/TabButton.h"

using namespace sessiontest;
using namespace std::chrono_literals;

namespace {

const QString kTabButtons[] = {"tabSettings", "tabRecordings", "tabGlossary", "tabAccounts", "tabDebug"};
const QString kScreens[] = {"settingsScreen", "recordingsScreen", "glossaryScreen", "accountsScreen",
                            "debugConsole"};

}  // namespace

class MainViewTest : public ViewFixture
{
protected:
    MainView& buildView()
    {
        buildReady();
        view = std::make_unique<MainView>(*session, [this] { return now; });
        view->resize(520, 600);
        view->show();
        return *view;
    }

    template <typename T = QWidget>
    T* shown(const QString& name) const { return ViewFixture::shown<T>(*view, name); }
    void click(const QString& name) const { ViewFixture::click(*view, name); }

    // The listed tabs, in row order, and the selected one's index.
    QStringList listedTabs() const
    {
        QStringList listed;
        for (const QString& name : kTabButtons) {
            if (shown(name))
                listed << name;
        }
        return listed;
    }
    int selectedTab() const
    {
        int selected = -1;
        for (int tab = 0; tab < MainView::tabCount; ++tab) {
            auto* button = shown<TabButton>(kTabButtons[tab]);
            if (button && button->isSelected()) {
                EXPECT_EQ(selected, -1) << "two tabs look selected";
                selected = tab;
            }
        }
        EXPECT_EQ(selected, view->selectedTab());
        EXPECT_TRUE(shown(kScreens[selected == MainView::accountsTab && !prefs.enableSync()
                                        ? MainView::settingsTab : selected]))
            << "the screen of tab " << selected;
        return selected;
    }

    void activateSettings(std::chrono::milliseconds after)
    {
        now += after;
        click("tabSettings");
    }

    std::chrono::steady_clock::time_point now{};
    std::unique_ptr<MainView> view;
};

// Ten activations of Settings, each at most 2 s after the one before, turn
// account sync on or off; a longer pause starts the count again.
TEST_F(MainViewTest, TheHiddenSwitchCountsQuickActivationsOfSettings)
{
    struct Case
    {
        const char* name;
        QList<std::chrono::milliseconds> gaps;   // before each activation
        QList<int> toggles;                      // activations (from 1) that toggle
    };
    const auto quick = [](int count) { return QList<std::chrono::milliseconds>(count, 100ms); };
    const Case cases[] = {
        {"ten quick", quick(10), {10}},
        {"nine, a pause over 2 s, then nine", quick(9) + QList{2001ms} + quick(9), {19}},
        {"nine, exactly 2 s, one", quick(9) + QList{2000ms}, {10}},
        {"the eleventh starts anew", quick(20), {10, 20}},
        {"slow ones never", QList<std::chrono::milliseconds>(12, 2500ms), {}},
    };
    buildView();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A new view counts from nothing.
        view = std::make_unique<MainView>(*session, [this] { return now; });
        view->show();
        prefs.setValue(PrefKey::currentUserId, "ACCOUNT-1");
        bool enabled = false;
        freshLines();
        for (int i = 0; i < c.gaps.size(); ++i) {
            click("tabGlossary");
            activateSettings(c.gaps[i]);
            EXPECT_EQ(selectedTab(), MainView::settingsTab) << "every activation selects settings";
            const QStringList lines = freshLines();
            if (!c.toggles.contains(i + 1)) {
                EXPECT_FALSE(lines.join('\n').contains("enableSync")) << "activation " << i + 1;
                continue;
            }
            enabled = !enabled;
            const QString value = enabled ? "true" : "false";
            EXPECT_EQ(prefs.enableSync(), enabled) << "activation " << i + 1;
            EXPECT_TRUE(lines.contains("INFO Settings: enableSync toggled to " + value)) << lines.join('\n').toStdString();
            EXPECT_TRUE(lines.contains(enabled ? "INFO SessionManager: activating sync features"
                                               : "INFO SessionManager: deactivating sync features"));
            if (!enabled) {
                EXPECT_EQ(prefs.currentUserId(), "local");
            }
            EXPECT_EQ(listedTabs().contains("tabAccounts"), enabled);
        }
        EXPECT_EQ(prefs.enableSync(), enabled);
        EXPECT_FALSE(prefs.contains(PrefKey::debugMode)) << "the switch leaves debug mode alone";
        if (enabled)
            session->deactivateSync();
        prefs.remove(PrefKey::enableSync);
    }
}

// The accounts and debug tabs follow their preferences, whoever writes them;
// a tab that leaves the row while shown gives way to settings.
TEST_F(MainViewTest, TabsFollowTheirPreferencesFromAnyWriter)
{
    struct Case
    {
        const char* name;
        std::function<void(Preferences&)> write;
        int shownBefore;
        int shownAfter;
        bool accountsListed;
        bool debugListed;
    };
    const Case cases[] = {
        {"sync on", [](Preferences& p) { p.setValue(PrefKey::enableSync, true); },
         MainView::glossaryTab, MainView::glossaryTab, true, true},
        {"sync off while its tab is shown", [](Preferences& p) { p.setValue(PrefKey::enableSync, false); },
         MainView::accountsTab, MainView::settingsTab, false, true},
        {"sync removed while its tab is shown", [](Preferences& p) { p.remove(PrefKey::enableSync); },
         MainView::accountsTab, MainView::settingsTab, false, true},
        {"sync off while another tab is shown", [](Preferences& p) { p.setValue(PrefKey::enableSync, false); },
         MainView::recordingsTab, MainView::recordingsTab, false, true},
        {"debug off while its tab is shown", [](Preferences& p) { p.setValue(PrefKey::debugMode, false); },
         MainView::debugTab, MainView::settingsTab, true, false},
        {"debug off while another tab is shown", [](Preferences& p) { p.setValue(PrefKey::debugMode, false); },
         MainView::glossaryTab, MainView::glossaryTab, true, false},
        {"debug removed: on by default", [](Preferences& p) { p.remove(PrefKey::debugMode); },
         MainView::debugTab, MainView::debugTab, true, true},
        {"debug written unchanged", [](Preferences& p) { p.setValue(PrefKey::debugMode, true); },
         MainView::debugTab, MainView::debugTab, true, true},
    };
    buildView();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        prefs.setValue(PrefKey::enableSync, true);
        prefs.setValue(PrefKey::debugMode, true);
        click(kTabButtons[c.shownBefore]);
        ASSERT_EQ(selectedTab(), c.shownBefore);
        QWidget* screenBefore = shown(kScreens[c.shownBefore]);

        c.write(prefs);

        EXPECT_EQ(selectedTab(), c.shownAfter);
        EXPECT_EQ(listedTabs().contains("tabAccounts"), c.accountsListed);
        EXPECT_EQ(listedTabs().contains("tabDebug"), c.debugListed);
        if (c.shownAfter == c.shownBefore) {
            EXPECT_EQ(shown(kScreens[c.shownAfter]), screenBefore) << "the screen stays as it was";
        }
    }
    // Listed tabs keep their place in the row.
    prefs.setValue(PrefKey::enableSync, true);
    EXPECT_EQ(listedTabs(), QList<QString>(std::begin(kTabButtons), std::end(kTabButtons)));
    EXPECT_EQ(shown("accountsScreen"), nullptr);
    click("tabAccounts");
    EXPECT_NE(shown<AccountsView>("accountsScreen"), nullptr);
}

TEST_F(MainViewTest, StartsOnSettingsWithTheDefaultTabs)
{
    buildView();
    EXPECT_EQ(selectedTab(), MainView::settingsTab);
    EXPECT_EQ(listedTabs(), (QStringList{"tabSettings", "tabRecordings", "tabGlossary", "tabDebug"}));
    for (const QString& name : kTabButtons)
        EXPECT_EQ(view->findChild<TabButton*>(name)->focusPolicy(), Qt::TabFocus);
    EXPECT_GE(shown("screenArea")->width(), MainView::kScreenMinimumSize.width());
    EXPECT_GE(shown("screenArea")->height(), MainView::kScreenMinimumSize.height());
}

// The strip and its divider are there while a dictation is under way or a
// message waits, above whichever tab is shown, which stays selected.
TEST_F(MainViewTest, TheStripAppearsAboveWhicheverTabIsShown)
{
    int polishes = 0;
    polish = [&](const HttpFake::Request&) {
        return ++polishes == 1 ? HttpFake::Answer::text(401, "bad key") : chatAnswer("Polished text.");
    };
    buildView();
    for (int tab : {MainView::glossaryTab, MainView::debugTab, MainView::settingsTab}) {
        SCOPED_TRACE(tab);
        click(kTabButtons[tab]);
        EXPECT_EQ(shown("statusStrip"), nullptr);
        EXPECT_EQ(shown("stripDivider"), nullptr);

        start();
        ASSERT_TRUE(shown("statusStrip"));
        ASSERT_TRUE(shown("stripDivider"));
        EXPECT_EQ(shown("statusStrip")->mapTo(view.get(), QPoint()).y(), 0);
        EXPECT_LT(shown("stripDivider")->mapTo(view.get(), QPoint()).y(),
                  shown("tabRow")->mapTo(view.get(), QPoint()).y());
        EXPECT_EQ(selectedTab(), tab);

        session->cancelRecording();
        EXPECT_EQ(shown("statusStrip"), nullptr);
        EXPECT_EQ(shown("stripDivider"), nullptr);
        EXPECT_EQ(selectedTab(), tab);
    }

    // A dictation that fails leaves its message in view while idle.
    dictate();
    ASSERT_TRUE(waitForState(SessionState::idle));
    ASSERT_TRUE(session->errorMessage());
    ASSERT_TRUE(shown("statusStrip"));
    EXPECT_TRUE(shown("stripDivider"));
    EXPECT_EQ(shown<PlainLabel>("statusError")->fullText(), *session->errorMessage());
    EXPECT_EQ(shown("statusRecordingBar"), nullptr);

    // The next dictation's end clears it.
    dictate();
    ASSERT_TRUE(waitForState(SessionState::idle));
    EXPECT_EQ(shown("statusStrip"), nullptr);
}

// A screen is built anew at a switch: the old one hides first (it may keep
// what the user left in it for the new one) and goes once the event that
// made the switch has been handled.
TEST_F(MainViewTest, ASwitchHidesTheOldScreenBeforeBuildingTheNewOne)
{
    buildView();
    QPointer<QWidget> old = shown("settingsScreen");
    ASSERT_TRUE(old);
    QStringList screensAtHide;
    struct HideWatch : QObject
    {
        std::function<void()> onHide;
        bool eventFilter(QObject*, QEvent* event) override
        {
            if (event->type() == QEvent::Hide)
                onHide();
            return false;
        }
    } watch;
    watch.onHide = [&] {
        for (const QString& name : kScreens) {
            if (view->findChild<QWidget*>(name))
                screensAtHide << name;
        }
    };
    old->installEventFilter(&watch);

    click("tabRecordings");

    EXPECT_EQ(screensAtHide, QStringList{"settingsScreen"});
    EXPECT_TRUE(old) << "deleted later, not within the click";
    EXPECT_TRUE(shown("recordingsScreen"));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(old);
}

// A language change builds everything anew in the new language; the tab,
// the switch's count and the dictation shown stay.
TEST_F(MainViewTest, ALanguageChangeRebuildsEveryTextAndKeepsTheTabAndCount)
{
    buildView();
    for (int i = 0; i < 5; ++i)
        activateSettings(100ms);
    click("tabRecordings");
    start();
    QPointer<QWidget> oldScreen = shown("recordingsScreen");
    QPointer<QWidget> oldStrip = shown("statusStrip");

    locale.setLanguage(LocaleManager::kSimplifiedChinese);

    EXPECT_EQ(selectedTab(), MainView::recordingsTab);
    EXPECT_NE(shown("recordingsScreen"), oldScreen.data());
    EXPECT_NE(shown("statusStrip"), oldStrip.data());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(oldScreen);
    EXPECT_FALSE(oldStrip);
    const char* tabKeys[] = {"tab.settings", "tab.recordings", "tab.glossary", "tab.accounts", "tab.debug"};
    for (int tab = 0; tab < MainView::tabCount; ++tab) {
        EXPECT_EQ(view->findChild<TabButton*>(kTabButtons[tab])->text(), locale.text(tabKeys[tab]));
        EXPECT_NE(locale.text(tabKeys[tab]), tabKeys[tab]);
    }
    EXPECT_EQ(shown<QAbstractButton>("openFolderButton")->text(), locale.text("recordings.openFolder"));
    EXPECT_EQ(shown<QAbstractButton>("statusCancel")->text(), locale.text("status.cancel"));
    EXPECT_EQ(shown<QAbstractButton>("statusDone")->text(), locale.text("status.done"));
    EXPECT_NE(locale.text("status.done"), "Done");

    // The count went on from 5.
    for (int i = 0; i < 4; ++i)
        activateSettings(100ms);
    EXPECT_FALSE(prefs.enableSync());
    activateSettings(100ms);
    EXPECT_TRUE(prefs.enableSync());
}
