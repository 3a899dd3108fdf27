#include "platform/AppVersion.h"

namespace {

QString withoutLeadingZeros(QStringView digits)
{
    qsizetype start = 0;
    while (start < digits.size() - 1 && digits[start] == QLatin1Char('0'))
        ++start;
    return digits.mid(start).toString();
}

// Digit strings of any length, without leading zeros: the longer is larger.
std::strong_ordering compareNumbers(const QString& a, const QString& b)
{
    if (a.size() != b.size())
        return a.size() <=> b.size();
    return a.compare(b) <=> 0;
}

qsizetype runEnd(QStringView text, qsizetype start)
{
    const bool digits = text[start].isDigit();
    qsizetype end = start;
    while (end < text.size() && text[end].isDigit() == digits)
        ++end;
    return end;
}

// Run by run: digit runs as numbers, other runs as text.
std::strong_ordering compareSuffixes(QStringView a, QStringView b)
{
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        const qsizetype iEnd = runEnd(a, i);
        const qsizetype jEnd = runEnd(b, j);
        const QStringView runA = a.mid(i, iEnd - i);
        const QStringView runB = b.mid(j, jEnd - j);
        const std::strong_ordering order = runA[0].isDigit() && runB[0].isDigit()
            ? compareNumbers(withoutLeadingZeros(runA), withoutLeadingZeros(runB))
            : runA.compare(runB) <=> 0;
        if (order != std::strong_ordering::equal)
            return order;
        i = iEnd;
        j = jEnd;
    }
    return (a.size() - i) <=> (b.size() - j);
}

}  // namespace

std::optional<AppVersion> AppVersion::parse(const QString& text)
{
    AppVersion version;
    version.m_text = text.trimmed();
    QStringView rest(version.m_text);
    if (rest.startsWith(QLatin1Char('v'), Qt::CaseInsensitive))
        rest = rest.mid(1);
    if (rest.isEmpty() || !rest[0].isDigit())
        return std::nullopt;

    // Numbers separated by single dots; whatever follows is the suffix.
    while (!rest.isEmpty() && rest[0].isDigit()) {
        const qsizetype end = runEnd(rest, 0);
        version.m_numbers.append(withoutLeadingZeros(rest.left(end)));
        rest = rest.mid(end);
        if (rest.size() < 2 || rest[0] != QLatin1Char('.') || !rest[1].isDigit())
            break;
        rest = rest.mid(1);
    }
    while (!version.m_numbers.isEmpty() && version.m_numbers.last() == QLatin1String("0"))
        version.m_numbers.removeLast();
    // Build metadata ("+build.5") does not order releases.
    version.m_suffix = rest.left(rest.indexOf(QLatin1Char('+'))).toString();
    return version;
}

std::strong_ordering operator<=>(const AppVersion& a, const AppVersion& b)
{
    const qsizetype common = std::min(a.m_numbers.size(), b.m_numbers.size());
    for (qsizetype i = 0; i < common; ++i) {
        const std::strong_ordering order = compareNumbers(a.m_numbers[i], b.m_numbers[i]);
        if (order != std::strong_ordering::equal)
            return order;
    }
    if (a.m_numbers.size() != b.m_numbers.size())
        return a.m_numbers.size() <=> b.m_numbers.size();
    if (a.m_suffix.isEmpty() || b.m_suffix.isEmpty())
        return a.m_suffix.isEmpty() <=> b.m_suffix.isEmpty();
    return compareSuffixes(a.m_suffix, b.m_suffix);
}
