#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>
#include <optional>

#include "platform/AppcastItem.h"
#include "platform/Result.h"

// An update feed in the appcast form: RSS 2.0 whose channel items carry an
// enclosure and their version in "sparkle:" attributes of the enclosure or
// in "sparkle:" elements of the item. Unknown elements are skipped; the
// feed is rejected only when it is not well-formed XML or not RSS.
class AppcastFeed
{
public:
    // The feed's items in document order, or why the bytes are not a feed.
    // Relative addresses are resolved against `base` (the feed's address).
    static Result<AppcastFeed, QString> parse(const QByteArray& xml, const QUrl& base = {});

    const QList<AppcastItem>& items() const { return m_items; }

    // The item with the highest version (the first of equals); none when no
    // item has a readable version.
    std::optional<AppcastItem> newest() const;

private:
    QList<AppcastItem> m_items;
};
