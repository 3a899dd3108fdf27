#pragma once

#include <QObject>
#include <QSettings>
#include <QString>
#include <QVariant>
#include <memory>
#include <optional>

// Setting keys of the per-user defaults store.
namespace PrefKey {
inline constexpr auto apiKey = "apiKey";
inline constexpr auto dashScopeApiKey = "dashScopeApiKey";
inline constexpr auto deepSeekApiKey = "deepSeekApiKey";
inline constexpr auto asrModel = "asrModel";
inline constexpr auto postProcessModel = "postProcessModel";
inline constexpr auto postProcessPrompt = "postProcessPrompt";
inline constexpr auto shortcut = "shortcut";
inline constexpr auto sliceDuration = "sliceDuration";
inline constexpr auto showFloatingPanel = "showFloatingPanel";
inline constexpr auto debugMode = "debugMode";
inline constexpr auto currentUserId = "currentUserId";
inline constexpr auto enableSync = "enableSync";
inline constexpr auto appLanguage = "appLanguage";
inline constexpr auto floatingPanelX = "floatingPanelX";
inline constexpr auto floatingPanelY = "floatingPanelY";
inline constexpr auto deviceId = "deviceId";
inline constexpr auto cachedAccounts = "cachedAccounts";
}

// The per-user defaults store: one QSettings file, readable and writable by
// its owner only (it holds API keys and session tokens). Every write made
// through it is announced with changed(key), so screens follow settings that
// were changed elsewhere.
class Preferences : public QObject
{
    Q_OBJECT
public:
    static constexpr auto kDefaultAsrModel = "gpt-4o-mini-transcribe";
    static constexpr auto kDefaultPostProcessModel = "gpt-4o-mini";
    static constexpr auto kDefaultShortcut = "\u2318 \u21e7 E";
    static constexpr int kDefaultSliceDuration = 30;
    static constexpr auto kLocalUserId = "local";
    static const QString& defaultPolishingPrompt();

    explicit Preferences(const QString& filePath = defaultFilePath(), QObject* parent = nullptr);
    ~Preferences() override;

    // ~/.config/Talvex/Talvex.conf (following XDG_CONFIG_HOME).
    static QString defaultFilePath();

    QString filePath() const;

    bool contains(const QString& key) const;
    QVariant value(const QString& key, const QVariant& fallback = {}) const;
    QString text(const QString& key, const QString& fallback = {}) const;
    void setValue(const QString& key, const QVariant& value);
    void remove(const QString& key);

    // Typed readers with the documented defaults.
    QString apiKey() const;
    QString dashScopeApiKey() const;
    QString deepSeekApiKey() const;
    QString asrModel() const;
    QString postProcessModel() const;
    QString postProcessPrompt() const;
    QString shortcut() const;
    int sliceDuration() const;
    bool showFloatingPanel() const;
    bool debugMode() const;
    QString currentUserId() const;
    bool enableSync() const;
    std::optional<QString> appLanguage() const;
    std::optional<double> floatingPanelX() const;
    std::optional<double> floatingPanelY() const;

signals:
    void changed(const QString& key);

private:
    bool flag(const QString& key, bool fallback) const;
    std::optional<double> number(const QString& key) const;
    void persist();

    std::unique_ptr<QSettings> m_settings;
};
