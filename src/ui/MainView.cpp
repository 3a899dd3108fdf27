#include "ui/MainView.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "platform/Preferences.h"
#include "session/SessionManager.h"
#include "store/LocaleManager.h"
#include "store/Logger.h"
#include "ui/AccountsView.h"
#include "ui/DebugConsoleView.h"
#include "ui/GlossaryView.h"
#include "ui/RecordingListView.h"
#include "ui/RecordingStatusBar.h"
#include "ui/SettingsView.h"
#include "ui/Style.h"
#include "ui/TabButton.h"

namespace {

struct TabInfo
{
    const char* titleKey;
    const char* buttonName;
};

constexpr std::array<TabInfo, MainView::tabCount> kTabs{{
    {"tab.settings", "tabSettings"},
    {"tab.recordings", "tabRecordings"},
    {"tab.glossary", "tabGlossary"},
    {"tab.accounts", "tabAccounts"},
    {"tab.debug", "tabDebug"},
}};

}  // namespace

MainView::MainView(SessionManager& session, Clock clock, QWidget* parent)
    : QWidget(parent)
    , m_session(session)
    , m_clock(std::move(clock))
    , m_layout(new QVBoxLayout(this))
    , m_shownLanguage(session.locale().language())
    , m_shownDebugMode(session.preferences().debugMode())
    , m_shownEnableSync(session.preferences().enableSync())
{
    setObjectName(QStringLiteral("mainView"));
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(0);
    connect(&session, &SessionManager::stateChanged, this, &MainView::showStrip);
    connect(&session, &SessionManager::errorMessageChanged, this, &MainView::showStrip);
    connect(&session.locale(), &LocaleManager::languageChanged, this, &MainView::showLanguage);
    connect(&session.preferences(), &Preferences::changed, this, &MainView::onPreferenceChanged);
    buildContent();
}

MainView::~MainView()
{
    // The screens hide as the widget part goes and may store what they hold
    // (the settings' prompt draft): no reaction of this half-gone view to it.
    disconnect(&m_session.preferences(), nullptr, this, nullptr);
}

void MainView::buildContent()
{
    // A screen may have started this from its own signal (the language
    // picker): the old content goes only once that signal has returned.
    QWidget* old = m_content;
    if (old) {
        m_screen->hide();
        old->hide();
        m_layout->removeWidget(old);
    }

    m_content = new QWidget(this);
    m_content->setObjectName(QStringLiteral("mainContent"));
    auto* column = new QVBoxLayout(m_content);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    m_strip = new RecordingStatusBar(m_session, m_content);
    column->addWidget(m_strip);
    m_stripDivider = Style::divider(QStringLiteral("stripDivider"), m_content);
    column->addWidget(m_stripDivider);
    column->addWidget(buildTabRow(m_content));
    column->addWidget(Style::divider(QStringLiteral("tabDivider"), m_content));
    auto* screenArea = new QWidget(m_content);
    screenArea->setObjectName(QStringLiteral("screenArea"));
    screenArea->setMinimumSize(kScreenMinimumSize);
    m_screenLayout = new QVBoxLayout(screenArea);
    m_screenLayout->setContentsMargins(0, 0, 0, 0);
    column->addWidget(screenArea, 1);
    m_screen = buildScreen(m_selectedTab, screenArea);
    m_screenLayout->addWidget(m_screen);
    m_layout->addWidget(m_content);
    m_content->show();
    showStrip();
    showTabButtons();

    if (old)
        old->deleteLater();
}

QWidget* MainView::buildTabRow(QWidget* parent)
{
    auto* tabRow = new QWidget(parent);
    tabRow->setObjectName(QStringLiteral("tabRow"));
    auto* row = new QHBoxLayout(tabRow);
    row->setContentsMargins(8, 4, 8, 0);
    row->setSpacing(0);
    row->addStretch(1);
    for (int tab = 0; tab < tabCount; ++tab) {
        auto* button = new TabButton(m_session.locale().text(kTabs[tab].titleKey), tabRow);
        button->setObjectName(QString::fromLatin1(kTabs[tab].buttonName));
        connect(button, &TabButton::clicked, this, [this, tab] {
            if (tab == settingsTab)
                activateSettingsTab();
            else
                selectTab(tab);
        });
        m_tabButtons[tab] = button;
        row->addWidget(button);
    }
    row->addStretch(1);
    return tabRow;
}

void MainView::showLanguage(const QString& language)
{
    if (language == m_shownLanguage)
        return;
    m_shownLanguage = language;
    buildContent();
}

void MainView::showStrip()
{
    const bool shown = m_strip->hasContent();
    m_strip->setVisible(shown);
    m_stripDivider->setVisible(shown);
}

void MainView::showTabButtons()
{
    for (int tab = 0; tab < tabCount; ++tab)
        m_tabButtons[tab]->setSelected(tab == m_selectedTab);
    m_tabButtons[accountsTab]->setVisible(m_shownEnableSync);
    m_tabButtons[debugTab]->setVisible(m_shownDebugMode);
}

void MainView::selectTab(int tab)
{
    if (tab == m_selectedTab)
        return;
    m_selectedTab = tab;
    showTabButtons();
    showScreen();
}

void MainView::showScreen()
{
    // Hidden first: a screen keeps what the user left in it when it hides,
    // and the new one may load that. A screen may have asked for the switch
    // from its own signal, so it goes once that has returned.
    QWidget* old = m_screen;
    old->hide();
    m_screen = buildScreen(m_selectedTab, old->parentWidget());
    delete m_screenLayout->replaceWidget(old, m_screen);   // the old one's item, now ours
    m_screen->show();
    old->deleteLater();
}

QWidget* MainView::buildScreen(int tab, QWidget* parent)
{
    switch (tab) {
    case recordingsTab: return new RecordingListView(m_session, parent);
    case glossaryTab: return new GlossaryView(m_session, parent);
    case accountsTab:
        if (m_shownEnableSync)
            return new AccountsView(m_session, parent);
        break;
    case debugTab: return new DebugConsoleView(m_session.logger(), parent);
    }
    return new SettingsView(m_session, parent);
}

void MainView::activateSettingsTab()
{
    selectTab(settingsTab);
    const auto now = m_clock();
    if (!m_lastSettingsActivation || now - *m_lastSettingsActivation > kSwitchPause)
        m_settingsActivations = 0;
    m_lastSettingsActivation = now;
    if (++m_settingsActivations < kSwitchActivations)
        return;
    m_settingsActivations = 0;
    Preferences& preferences = m_session.preferences();
    preferences.setValue(PrefKey::enableSync, !preferences.enableSync());
    if (preferences.enableSync())
        m_session.activateSync();
    else
        m_session.deactivateSync();
    m_session.logger().info(QStringLiteral("Settings: enableSync toggled to ")
                            + (preferences.enableSync() ? QStringLiteral("true") : QStringLiteral("false")));
}

void MainView::onPreferenceChanged(const QString& key)
{
    const Preferences& preferences = m_session.preferences();
    if (key == QLatin1String(PrefKey::debugMode))
        followListing(m_shownDebugMode, preferences.debugMode(), debugTab);
    else if (key == QLatin1String(PrefKey::enableSync))
        followListing(m_shownEnableSync, preferences.enableSync(), accountsTab);
}

void MainView::followListing(bool& shownListed, bool listed, int tab)
{
    if (listed == shownListed)
        return;
    shownListed = listed;
    if (!listed && m_selectedTab == tab)
        selectTab(settingsTab);
    showTabButtons();
}
