#pragma once

#include <QDateTime>
#include <QString>
#include <optional>

// The one text form of every stored time: ISO 8601 in UTC with milliseconds
// and "Z" (2025-03-04T05:06:07.123Z). One shape and width, so comparing two
// stored times as text gives their time order.
namespace TimeText {
QString format(const QDateTime& time);
// Reads RFC 3339 date-times: fraction optional (cut to milliseconds), zone
// Z, z, +HH:MM, -HH:MM, +HHMM or -HHMM. Anything else, a time without a zone
// included, is no time.
std::optional<QDateTime> parse(const QString& text);
// Now, formatted.
QString now();
}
