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
    // RFC 3339 date-times: the fraction is optional (the backend leaves it out
    // when it is zero) and cut to milliseconds; the zone must be explicit, as
    // a time without one names no instant.
    static const QRegularExpression shape(QStringLiteral(
        "^(\\d{4})-(\\d{2})-(\\d{2})[Tt](\\d{2}):(\\d{2}):(\\d{2})(?:\\.(\\d+))?"
        "(?:[Zz]|([+-])(\\d{2}):?(\\d{2}))$"));
    const QRegularExpressionMatch match = shape.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const auto number = [&match](int group) { return match.capturedView(group).toInt(); };
    const int milliseconds = (match.captured(7) + QStringLiteral("00")).left(3).toInt();
    const QDate date(number(1), number(2), number(3));
    const QTime time(number(4), number(5), number(6), milliseconds);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    QDateTime utc(date, time, Qt::UTC);
    if (match.hasCaptured(8)) {
        const int hours = number(9);
        const int minutes = number(10);
        if (hours > 23 || minutes > 59)
            return std::nullopt;
        const int offsetSeconds = (hours * 60 + minutes) * 60;
        // Local time minus its offset is UTC.
        utc = utc.addSecs(match.captured(8) == QLatin1String("+") ? -offsetSeconds : offsetSeconds);
    }
    return utc;
}

QString now() { return format(QDateTime::currentDateTimeUtc()); }

}
