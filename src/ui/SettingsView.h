#pragma once

#include <QHash>
#include <QScrollArea>
#include <QVariant>
#include <utility>

class Dot;
class LocaleManager;
class Logger;
class PlainLabel;
class Preferences;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QVBoxLayout;
class SegmentedPicker;
class SessionManager;
class Stepper;

// The settings tab: every setting of the dictation engine, each control
// bound to its preference (a change is stored at once), the two permissions
// with a way to grant them, and places for the shortcut recorder and the
// service test. It keeps no copy of the settings: it follows every write of
// its preferences, whoever made it, and reacts (a log line, the hot key
// registered anew, the panel shown or hidden) only where the stored value
// differs from the one it last showed, as every write is announced.
//
// The polishing prompt is edited as a draft: a real loss of the editor's
// focus stores it and logs its length; the screen hiding or going stores it
// without a line; a popup or another window taking the focus stores nothing.
class SettingsView : public QScrollArea
{
    Q_OBJECT
public:
    static constexpr int kSliceMinimum = 15;
    static constexpr int kSliceMaximum = 300;
    static constexpr int kSliceStep = 15;

    explicit SettingsView(SessionManager& session, QWidget* parent = nullptr);
    ~SettingsView() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    // One titled section of the column; the title is left out when empty.
    QVBoxLayout* addSection(const char* titleKey);
    void buildKeyField(const char* titleKey, const char* key, const QString& name);
    void buildModelPicker(const char* titleKey, const char* key, const QString& name,
                          const QString& accessibleName);
    void buildShortcut();
    void buildFloatingPanel();
    void buildSliceDuration();
    void buildPrompt();
    void buildPermissions();
    // A dot, the text and a grant button; the row's parts are named after `name`.
    std::pair<Dot*, QPushButton*> buildPermissionRow(QVBoxLayout* section, const QString& name,
                                                     const char* textKey);
    void buildDebugMode();

    // The stored value of a bound key, with its default.
    QVariant stored(const QString& key) const;
    void onPreferenceChanged(const QString& key);
    // Shows a changed value and runs its reaction.
    void react(const QString& key, const QVariant& value);
    void registerShortcut(const QString& shortcut);
    void showFloatingPanel(bool shown);

    void loadPromptDraft();
    // The draft into the store, at a real loss of the editor's focus (with a
    // line) or as the screen goes (without).
    void storePromptDraft();
    void onPromptFocusOut(Qt::FocusReason reason);

    void showPermissions();

    SessionManager& m_session;
    Preferences& m_preferences;
    LocaleManager& m_locale;
    Logger& m_logger;
    QWidget* m_column;
    QVBoxLayout* m_sections;

    // The values last shown, by key.
    QHash<QString, QVariant> m_shown;
    // Where each shown value is, by key.
    QHash<QString, QLineEdit*> m_keyFields;
    QHash<QString, SegmentedPicker*> m_pickers;
    SegmentedPicker* m_languagePicker = nullptr;
    PlainLabel* m_hotkeyWarning = nullptr;
    QCheckBox* m_floatingToggle = nullptr;
    Stepper* m_sliceStepper = nullptr;
    QPlainTextEdit* m_promptEditor = nullptr;
    QCheckBox* m_debugSwitch = nullptr;
    Dot* m_microphoneDot = nullptr;
    QPushButton* m_microphoneGrant = nullptr;
    Dot* m_accessibilityDot = nullptr;
    QPushButton* m_accessibilityGrant = nullptr;
    PlainLabel* m_accessibilityHint = nullptr;
};
