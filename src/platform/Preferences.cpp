#include "platform/Preferences.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
constexpr QFile::Permissions kOwnerOnly = QFile::ReadOwner | QFile::WriteOwner;
}

const QString& Preferences::defaultPolishingPrompt()
{
    static const QString prompt = QStringLiteral(
        "You are a text polishing assistant. Clean up the following speech-to-text transcription:\n"
        "1. Remove filler words (um, uh, like, you know, etc.)\n"
        "2. Fix punctuation\n"
        "3. Fix unnatural sentence breaks\n"
        "4. Preserve the original meaning \u2014 do not add or remove content\n"
        "5. Preserve the speaker's tone and style\n"
        "6. Keep the output in the SAME language as the input \u2014 do NOT translate");
    return prompt;
}

Preferences::Preferences(const QString& filePath, QObject* parent)
    : QObject(parent)
{
    // Create the file before QSettings does, so it never exists with wider rights.
    QDir().mkpath(QFileInfo(filePath).absolutePath());
    QFile file(filePath);
    if (!file.exists() && file.open(QIODevice::WriteOnly))
        file.close();
    QFile::setPermissions(filePath, kOwnerOnly);
    m_settings = std::make_unique<QSettings>(filePath, QSettings::IniFormat);
}

Preferences::~Preferences() = default;

QString Preferences::defaultFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + "/Talvex/Talvex.conf";
}

QString Preferences::filePath() const { return m_settings->fileName(); }

bool Preferences::contains(const QString& key) const { return m_settings->contains(key); }

QVariant Preferences::value(const QString& key, const QVariant& fallback) const
{
    return m_settings->value(key, fallback);
}

QString Preferences::text(const QString& key, const QString& fallback) const
{
    const QVariant v = m_settings->value(key);
    return v.isValid() ? v.toString() : fallback;
}

void Preferences::setValue(const QString& key, const QVariant& value)
{
    m_settings->setValue(key, value);
    persist();
    emit changed(key);
}

void Preferences::remove(const QString& key)
{
    m_settings->remove(key);
    persist();
    emit changed(key);
}

void Preferences::persist()
{
    m_settings->sync();
    // QSettings replaces the file on write; keep it private to the user.
    QFile::setPermissions(m_settings->fileName(), kOwnerOnly);
}

bool Preferences::flag(const QString& key, bool fallback) const
{
    const QVariant v = m_settings->value(key);
    return v.isValid() ? v.toBool() : fallback;
}

std::optional<double> Preferences::number(const QString& key) const
{
    const QVariant v = m_settings->value(key);
    bool ok = false;
    const double d = v.toDouble(&ok);
    return v.isValid() && ok ? std::optional<double>(d) : std::nullopt;
}

QString Preferences::apiKey() const { return text(PrefKey::apiKey); }
QString Preferences::dashScopeApiKey() const { return text(PrefKey::dashScopeApiKey); }
QString Preferences::deepSeekApiKey() const { return text(PrefKey::deepSeekApiKey); }
QString Preferences::asrModel() const { return text(PrefKey::asrModel, kDefaultAsrModel); }
QString Preferences::postProcessModel() const
{
    return text(PrefKey::postProcessModel, kDefaultPostProcessModel);
}
QString Preferences::postProcessPrompt() const
{
    return text(PrefKey::postProcessPrompt, defaultPolishingPrompt());
}
QString Preferences::shortcut() const { return text(PrefKey::shortcut, kDefaultShortcut); }

int Preferences::sliceDuration() const
{
    bool ok = false;
    const int v = m_settings->value(PrefKey::sliceDuration).toInt(&ok);
    return ok ? v : kDefaultSliceDuration;
}

bool Preferences::showFloatingPanel() const { return flag(PrefKey::showFloatingPanel, true); }
bool Preferences::debugMode() const { return flag(PrefKey::debugMode, true); }
QString Preferences::currentUserId() const { return text(PrefKey::currentUserId, kLocalUserId); }
bool Preferences::enableSync() const { return flag(PrefKey::enableSync, false); }

std::optional<QString> Preferences::appLanguage() const
{
    return contains(PrefKey::appLanguage)
        ? std::optional<QString>(text(PrefKey::appLanguage)) : std::nullopt;
}

std::optional<double> Preferences::floatingPanelX() const { return number(PrefKey::floatingPanelX); }
std::optional<double> Preferences::floatingPanelY() const { return number(PrefKey::floatingPanelY); }
