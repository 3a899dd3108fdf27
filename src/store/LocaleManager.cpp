#include "store/LocaleManager.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include "platform/Preferences.h"

LocaleManager::LocaleManager(Preferences& preferences, const QString& systemLocale,
                             const QString& tablesFolder, QObject* parent)
    : QObject(parent)
    , m_preferences(preferences)
    , m_tablesFolder(tablesFolder)
{
    if (const auto stored = m_preferences.appLanguage()) {
        // Kept as stored, even a language without a table of its own.
        m_language = *stored;
    } else {
        // Fixed from now on, even if the system language changes later.
        m_language = languageForSystemLocale(systemLocale);
        m_preferences.setValue(PrefKey::appLanguage, m_language);
    }
    loadTable();
}

QString LocaleManager::languageForSystemLocale(const QString& systemLocale)
{
    // The language is the part before any region, script, encoding or modifier.
    static const QRegularExpression separators(QStringLiteral("[-_.@]"));
    const QString code = systemLocale.section(separators, 0, 0).toLower();
    return code == QLatin1String("zh") ? QString::fromLatin1(kSimplifiedChinese)
                                       : QString::fromLatin1(kEnglish);
}

void LocaleManager::setLanguage(const QString& language)
{
    const bool changed = language != m_language;
    m_language = language;
    m_preferences.setValue(PrefKey::appLanguage, language);
    loadTable();
    if (changed)
        emit languageChanged(m_language);
}

QString LocaleManager::text(const QString& key) const
{
    return m_table.value(key, key);
}

void LocaleManager::loadTable()
{
    if (!loadTableFile(m_language))
        loadTableFile(QString::fromLatin1(kEnglish));
}

bool LocaleManager::loadTableFile(const QString& language)
{
    QFile file(m_tablesFolder + QLatin1Char('/') + language + QStringLiteral(".json"));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject())
        return false;
    QHash<QString, QString> table;
    const QJsonObject entries = document.object();
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (it.value().isString())
            table.insert(it.key(), it.value().toString());
    }
    m_table = std::move(table);
    return true;
}
