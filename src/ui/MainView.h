#pragma once

#include <QWidget>
#include <array>
#include <chrono>
#include <functional>
#include <optional>

class QVBoxLayout;
class RecordingStatusBar;
class SessionManager;
class TabButton;

// The content of the main window, top to bottom: the status strip and a
// divider while a dictation is under way (or a message waits), the row of
// tab buttons, a divider and the screen of the selected tab.
//
// The screen is built anew at every tab switch and the whole content at
// every change of the interface language; the selected tab and the count of
// the hidden sync switch survive both. The Settings button is that switch:
// ten activations, each at most 2 s after the one before, turn account sync
// on or off.
class MainView : public QWidget
{
    Q_OBJECT
public:
    enum Tab { settingsTab, recordingsTab, glossaryTab, accountsTab, debugTab, tabCount };

    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    static constexpr int kSwitchActivations = 10;
    // A longer pause starts the count again; exactly this much keeps it.
    static constexpr std::chrono::milliseconds kSwitchPause{2000};
    static constexpr QSize kScreenMinimumSize{360, 400};

    // `clock` is monotonic; tests move it by hand.
    explicit MainView(SessionManager& session, Clock clock = &std::chrono::steady_clock::now,
                      QWidget* parent = nullptr);
    ~MainView() override;

    int selectedTab() const { return m_selectedTab; }

private:
    // The whole content, built anew in the current language.
    void buildContent();
    QWidget* buildTabRow(QWidget* parent);
    void showLanguage(const QString& language);
    void showStrip();
    void showTabButtons();

    void selectTab(int tab);
    // The selected tab's screen, built anew.
    void showScreen();
    QWidget* buildScreen(int tab, QWidget* parent);

    void activateSettingsTab();
    void onPreferenceChanged(const QString& key);
    // A tab listed or no longer: its button joins or leaves the row, and a
    // tab that leaves while shown gives way to the settings tab.
    void followListing(bool& shownListed, bool listed, int tab);

    SessionManager& m_session;
    const Clock m_clock;
    QVBoxLayout* m_layout;

    // View state, kept across rebuilds.
    int m_selectedTab = settingsTab;
    int m_settingsActivations = 0;
    std::optional<std::chrono::steady_clock::time_point> m_lastSettingsActivation;
    // The values last shown, as the preferences announce every write.
    QString m_shownLanguage;
    bool m_shownDebugMode;
    bool m_shownEnableSync;

    // The current content and its parts.
    QWidget* m_content = nullptr;
    RecordingStatusBar* m_strip = nullptr;
    QWidget* m_stripDivider = nullptr;
    std::array<TabButton*, tabCount> m_tabButtons{};
    QVBoxLayout* m_screenLayout = nullptr;
    QWidget* m_screen = nullptr;
};
