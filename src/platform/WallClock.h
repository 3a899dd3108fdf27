#pragma once

#include <QDateTime>
#include <functional>

// The time of day as a component reads it. Components whose rules depend on
// dates (token expiry, sync checkpoints) take one, so that tests can move time.
using WallClock = std::function<QDateTime()>;

inline QDateTime systemWallClock() { return QDateTime::currentDateTimeUtc(); }
