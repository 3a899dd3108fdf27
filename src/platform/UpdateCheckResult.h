#pragma once

#include <QString>
#include <optional>

#include "platform/AppcastItem.h"

// What one update check found.
struct UpdateCheckResult
{
    enum class Kind {
        updateAvailable,   // `newest` is newer than the running version
        upToDate,          // `newest` is the running version or older
        networkError,      // no answer; `detail` is the transport's error text
        timeout,           // no answer in time
        httpStatus,        // an answer other than 2xx; `detail` is the status
        unreadableFeed,    // not well-formed XML or not RSS; `detail` says why
        noVersion,         // a feed, but no item with a readable version
        unreadableRunningVersion,   // the running version cannot be compared
    };

    Kind kind;
    QString runningVersion;
    std::optional<AppcastItem> newest;   // set for the first two kinds
    QString detail;
};
