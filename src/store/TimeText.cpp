#include "store/TimeText.h"

#include <QRegularExpression>

namespace TimeText {

QString format(const QDateTime& time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

std::optional<QDateTime> parse(const QString& text)
{
    // Fractional seconds are required, as the writer always produces them.
    static const QRegularExpression shape(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\\.\\d+(Z|[+-]\\d{2}:?\\d{2})$"));
    if (!shape.match(text).hasMatch())
        return std::nullopt;
    QString normalised = text;
    // Qt reads at most millisecond precision; cut longer fractions first.
    static const QRegularExpression longFraction(QStringLiteral("(\\.\\d{3})\\d+"));
    normalised.replace(longFraction, QStringLiteral("\\1"));
    QDateTime t = QDateTime::fromString(normalised, Qt::ISODateWithMs);
    if (!t.isValid())
        return std::nullopt;
    return t.toUTC();
}

QString now() { return format(QDateTime::currentDateTimeUtc()); }

}
