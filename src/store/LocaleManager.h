#pragma once

#include <QHash>
#include <QLocale>
#include <QObject>
#include <QString>
#include <type_traits>

class Preferences;

// The interface language and its string table. The language is chosen once
// from the system ("zh" gives "zh-Hans", anything else "en") and stored under
// "appLanguage"; from then on only setLanguage() changes it. Every interface
// text is looked up by key in the table of that language, the key itself
// standing in for a missing text.
class LocaleManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString language READ language WRITE setLanguage NOTIFY languageChanged)
public:
    static constexpr auto kEnglish = "en";
    static constexpr auto kSimplifiedChinese = "zh-Hans";
    static constexpr auto kBuiltInTables = ":/i18n";

    // `systemLocale` is a locale name or language code ("zh_CN", "zh-Hant",
    // "fr"); only its language part counts. Tables are read from
    // `tablesFolder` + "/" + language + ".json".
    explicit LocaleManager(Preferences& preferences,
                           const QString& systemLocale = QLocale::system().name(),
                           const QString& tablesFolder = QString::fromLatin1(kBuiltInTables),
                           QObject* parent = nullptr);

    // "zh-Hans" for a Chinese system locale of any region or script, else "en".
    static QString languageForSystemLocale(const QString& systemLocale);

    QString language() const { return m_language; }
    // Stores the value under "appLanguage" and loads its table.
    void setLanguage(const QString& language);

    // The current table's text for `key`, or `key` itself.
    QString text(const QString& key) const;

    // A formatted text: the translation is looked up first and its %1, %2, …
    // are then filled in one pass, so the translation decides the order and an
    // argument's own text is never read as a placeholder.
    template <typename First, typename... Rest>
    QString text(const QString& key, const First& first, const Rest&... rest) const
    {
        return text(key).arg(argumentText(first), argumentText(rest)...);
    }

signals:
    void languageChanged(const QString& language);

private:
    static QString argumentText(const QString& value) { return value; }
    template <typename T>
        requires std::is_arithmetic_v<T>
    static QString argumentText(T value) { return QString::number(value); }

    // The named language's table, else English's; with neither the table
    // stays as it was.
    void loadTable();
    bool loadTableFile(const QString& language);

    Preferences& m_preferences;
    const QString m_tablesFolder;
    QString m_language;
    QHash<QString, QString> m_table;
};
