#include "platform/AppcastFeed.h"

#include <QXmlStreamReader>

namespace {

// The appcast's own names, as written. Feeds in the wild use the "sparkle" prefix,
// some without declaring its namespace; matching the written names keeps
// those readable instead of failing on the missing declaration.
constexpr auto kVersion = "sparkle:version";
constexpr auto kShortVersion = "sparkle:shortVersionString";
constexpr auto kReleaseNotesLink = "sparkle:releaseNotesLink";

QString elementText(QXmlStreamReader& reader)
{
    return reader.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
}

QUrl address(const QString& text, const QUrl& base)
{
    const QUrl url(text.trimmed(), QUrl::TolerantMode);
    if (text.trimmed().isEmpty() || !url.isValid())
        return {};
    return base.isEmpty() ? url : base.resolved(url);
}

struct VersionTexts
{
    QString enclosureShort, enclosureVersion, elementShort, elementVersion;

    // The enclosure's attributes before the item's elements; the display
    // version before the build version, since the running version it is
    // compared with is the display version.
    std::optional<AppVersion> version() const
    {
        for (const QString* text :
             {&enclosureShort, &elementShort, &enclosureVersion, &elementVersion}) {
            if (std::optional<AppVersion> v = AppVersion::parse(*text))
                return v;
        }
        return std::nullopt;
    }
};

void readEnclosure(QXmlStreamReader& reader, const QUrl& base, AppcastItem& item,
                   VersionTexts& versions)
{
    const QXmlStreamAttributes attributes = reader.attributes();
    reader.skipCurrentElement();
    if (!item.downloadUrl.isEmpty())
        return;   // RSS allows one enclosure; keep the first
    item.downloadUrl = address(attributes.value(QLatin1String("url")).toString(), base);
    bool ok = false;
    const qint64 length = attributes.value(QLatin1String("length")).toLongLong(&ok);
    if (ok && length >= 0)
        item.length = length;
    item.type = attributes.value(QLatin1String("type")).trimmed().toString();
    versions.enclosureShort = attributes.value(QLatin1String(kShortVersion)).toString();
    versions.enclosureVersion = attributes.value(QLatin1String(kVersion)).toString();
}

AppcastItem readItem(QXmlStreamReader& reader, const QUrl& base)
{
    AppcastItem item;
    VersionTexts versions;
    while (reader.readNextStartElement()) {
        const QStringView name = reader.qualifiedName();
        if (name == QLatin1String("title"))
            item.title = elementText(reader);
        else if (name == QLatin1String("link"))
            item.link = address(elementText(reader), base);
        else if (name == QLatin1String("pubDate"))
            item.published = QDateTime::fromString(elementText(reader), Qt::RFC2822Date);
        else if (name == QLatin1String("enclosure"))
            readEnclosure(reader, base, item, versions);
        else if (name == QLatin1String(kShortVersion))
            versions.elementShort = elementText(reader);
        else if (name == QLatin1String(kVersion))
            versions.elementVersion = elementText(reader);
        else if (name == QLatin1String(kReleaseNotesLink))
            item.releaseNotesUrl = address(elementText(reader), base);
        else
            reader.skipCurrentElement();
    }
    item.version = versions.version();
    return item;
}

QString describeError(const QXmlStreamReader& reader)
{
    return QStringLiteral("%1 (line %2, column %3)")
        .arg(reader.errorString())
        .arg(reader.lineNumber())
        .arg(reader.columnNumber());
}

}  // namespace

Result<AppcastFeed, QString> AppcastFeed::parse(const QByteArray& xml, const QUrl& base)
{
    QXmlStreamReader reader(xml);
    reader.setNamespaceProcessing(false);
    if (!reader.readNextStartElement())
        return reader.hasError() ? describeError(reader) : QStringLiteral("no XML element");
    if (reader.qualifiedName() != QLatin1String("rss"))
        return QStringLiteral("not an RSS feed (its root element is <%1>)")
            .arg(reader.qualifiedName());

    AppcastFeed feed;
    while (reader.readNextStartElement()) {
        if (reader.qualifiedName() != QLatin1String("channel")) {
            reader.skipCurrentElement();
            continue;
        }
        while (reader.readNextStartElement()) {
            if (reader.qualifiedName() == QLatin1String("item"))
                feed.m_items.append(readItem(reader, base));
            else
                reader.skipCurrentElement();
        }
    }
    // The rest of the document must be well-formed too.
    while (!reader.atEnd() && !reader.hasError())
        reader.readNext();
    if (reader.hasError())
        return describeError(reader);
    return feed;
}

std::optional<AppcastItem> AppcastFeed::newest() const
{
    std::optional<AppcastItem> newest;
    for (const AppcastItem& item : m_items) {
        if (item.version && (!newest || *item.version > *newest->version))
            newest = item;
    }
    return newest;
}
