#pragma once

#include <QDateTime>
#include <QString>
#include <QUrl>
#include <optional>

#include "platform/AppVersion.h"

// One release of an update feed, as its <item> describes it.
struct AppcastItem
{
    QString title;
    QUrl link;                 // the release's web page
    QDateTime published;       // pubDate; invalid when absent or unreadable
    QUrl downloadUrl;          // the enclosure's url
    std::optional<qint64> length;   // the enclosure's length in bytes
    QString type;              // the enclosure's MIME type
    QUrl releaseNotesUrl;      // sparkle:releaseNotesLink
    // The display version (sparkle:shortVersionString) when readable, else
    // sparkle:version; none when neither is.
    std::optional<AppVersion> version;
};
