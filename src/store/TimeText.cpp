#include "store/TimeText.h"

#include <QRegularExpression>
#include <algorithm>
#include <iterator>

namespace TimeText {

QString format(const QDateTime& time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

namespace {

// The digits of text[from, from + length) as a number; -1 when any is not an
// ASCII digit.
int asciiNumber(const QString& text, qsizetype from, qsizetype length)
{
    int value = 0;
    for (qsizetype i = from; i < from + length; ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return -1;
        value = value * 10 + (c - u'0');
    }
    return value;
}

// The one shape this store writes, read field by field: a long list read
// would otherwise spend most of its time in the general reader. No value for
// anything else, which the general reader then judges.
std::optional<QDateTime> parseWritten(const QString& text)
{
    if (text.size() != 24 || text[4] != u'-' || text[7] != u'-' || text[10] != u'T'
        || text[13] != u':' || text[16] != u':' || text[19] != u'.' || text[23] != u'Z')
        return std::nullopt;
    const int fields[] = {asciiNumber(text, 0, 4),  asciiNumber(text, 5, 2),  asciiNumber(text, 8, 2),
                          asciiNumber(text, 11, 2), asciiNumber(text, 14, 2), asciiNumber(text, 17, 2),
                          asciiNumber(text, 20, 3)};
    if (std::find(std::begin(fields), std::end(fields), -1) != std::end(fields))
        return std::nullopt;
    const QDate date(fields[0], fields[1], fields[2]);
    const QTime time(fields[3], fields[4], fields[5], fields[6]);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    return QDateTime(date, time, Qt::UTC);
}

} // namespace

std::optional<QDateTime> parse(const QString& text)
{
    if (auto written = parseWritten(text))
        return written;
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
