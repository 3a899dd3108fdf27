#pragma once

#include <QString>
#include <QStringList>
#include <compare>
#include <optional>

// A release version as written in an update feed or the project version:
// dotted numbers ("0.10.0"), an optional leading "v", and an optional
// pre-release suffix ("1.2.0-beta.3", "2.0b1"). Numbers compare numerically
// and missing trailing parts count as zero, so 0.10.0 > 0.9.0 and
// 1.0 == 1.0.0; a suffix makes a version older than the same numbers without
// one, and two suffixes compare with their digit runs taken as numbers.
// Build metadata after a "+" is ignored.
class AppVersion
{
public:
    // None when `text` does not start with a number (after an optional "v").
    static std::optional<AppVersion> parse(const QString& text);

    // The version as written, without surrounding white space.
    QString text() const { return m_text; }

    friend std::strong_ordering operator<=>(const AppVersion& a, const AppVersion& b);
    friend bool operator==(const AppVersion& a, const AppVersion& b)
    {
        return (a <=> b) == std::strong_ordering::equal;
    }

private:
    AppVersion() = default;

    QString m_text;
    QStringList m_numbers;   // digits without leading zeros; trailing zeros dropped
    QString m_suffix;        // empty for a release
};
