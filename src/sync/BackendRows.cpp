#include "sync/BackendRows.h"

#include <QJsonValue>
#include <QRegularExpression>
#include <limits>

#include "store/TimeText.h"

namespace BackendRows {

namespace {

std::optional<QString> text(const QJsonObject& row, const char* key)
{
    const QJsonValue value = row.value(QLatin1String(key));
    return value.isString() ? std::optional(value.toString()) : std::nullopt;
}

std::optional<QDateTime> time(const QJsonObject& row, const char* key)
{
    const auto value = text(row, key);
    return value ? TimeText::parse(*value) : std::nullopt;
}

std::optional<double> number(const QJsonObject& row, const char* key)
{
    const QJsonValue value = row.value(QLatin1String(key));
    return value.isDouble() ? std::optional(value.toDouble()) : std::nullopt;
}

// A whole number that fits the field; 0 otherwise (2.5, "2", 1e12).
int integer(const QJsonObject& row, const char* key)
{
    const qint64 value = row.value(QLatin1String(key)).toInteger(0);
    const bool fits = value >= std::numeric_limits<int>::min() && value <= std::numeric_limits<int>::max();
    return fits ? static_cast<int>(value) : 0;
}

std::optional<QString> id(const QJsonObject& row, const char* key)
{
    const auto value = text(row, key);
    if (!value || !isUuidText(*value))
        return std::nullopt;
    return value->toLower();
}

QJsonValue orNull(const std::optional<QString>& value)
{
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

QJsonValue orNull(const std::optional<QDateTime>& value)
{
    return value ? QJsonValue(TimeText::format(*value)) : QJsonValue(QJsonValue::Null);
}

QJsonValue orNull(const std::optional<double>& value)
{
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

template <typename Record>
Pulled<Record> pulled(Record record, const QJsonObject& row, const QDateTime& now)
{
    const auto updatedAt = time(row, "updated_at");
    record.updatedAt = updatedAt.value_or(now);
    return {std::move(record), updatedAt.has_value(), text(row, "user_id")};
}

}  // namespace

bool isUuidText(const QString& text)
{
    static const QRegularExpression shape(QStringLiteral(
        "^[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}$"));
    return shape.match(text).hasMatch();
}

std::optional<Pulled<GlossaryItem>> glossaryItem(const QJsonObject& row, const QString& userId,
                                                 const QDateTime& now)
{
    const auto itemId = id(row, "id");
    if (!itemId)
        return std::nullopt;
    GlossaryItem item;
    item.id = *itemId;
    item.userId = userId;
    item.content = text(row, "content").value_or(QString());
    item.createdAt = time(row, "created_at").value_or(now);
    item.deletedAt = time(row, "deleted_at");
    return pulled(std::move(item), row, now);
}

std::optional<Pulled<Recording>> recording(const QJsonObject& row, const QString& userId,
                                           const QDateTime& now)
{
    const auto recordingId = id(row, "id");
    const auto statusText = text(row, "status");
    const auto status = statusText ? recordingStatusFromText(*statusText) : std::nullopt;
    if (!recordingId || !status)
        return std::nullopt;
    Recording r;
    r.id = *recordingId;
    r.userId = userId;
    r.status = *status;
    r.createdAt = time(row, "created_at").value_or(now);
    r.deletedAt = time(row, "deleted_at");
    r.duration = number(row, "duration");
    r.sliceCount = integer(row, "slice_count");
    r.rawText = text(row, "raw_text");
    r.cleanedText = text(row, "cleaned_text");
    r.provider = text(row, "provider");
    r.deviceId = text(row, "device_id");
    r.error = text(row, "error");
    return pulled(std::move(r), row, now);
}

std::optional<Pulled<Slice>> slice(const QJsonObject& row, const QString& userId, const QDateTime& now)
{
    const auto sliceId = id(row, "id");
    const auto recordingId = id(row, "recording_id");
    const auto filename = text(row, "filename");
    const auto statusText = text(row, "status");
    const auto status = statusText ? sliceStatusFromText(*statusText) : std::nullopt;
    if (!sliceId || !recordingId || !filename || !status)
        return std::nullopt;
    Slice s;
    s.id = *sliceId;
    s.userId = userId;
    s.recordingId = *recordingId;
    s.filename = *filename;
    s.status = *status;
    s.deletedAt = time(row, "deleted_at");
    s.sliceIndex = integer(row, "slice_index");
    s.rawText = text(row, "raw_text");
    s.duration = number(row, "duration");
    s.provider = text(row, "provider");
    s.error = text(row, "error");
    return pulled(std::move(s), row, now);
}

QJsonObject toJson(const GlossaryItem& item)
{
    return {
        {QStringLiteral("id"), item.id},
        {QStringLiteral("content"), item.content},
        {QStringLiteral("created_at"), TimeText::format(item.createdAt)},
        {QStringLiteral("deleted_at"), orNull(item.deletedAt)},
        {QStringLiteral("updated_at"), TimeText::format(item.updatedAt)},
    };
}

QJsonObject toJson(const Recording& r)
{
    return {
        {QStringLiteral("id"), r.id},
        {QStringLiteral("status"), toText(r.status)},
        {QStringLiteral("duration"), orNull(r.duration)},
        {QStringLiteral("slice_count"), r.sliceCount},
        {QStringLiteral("raw_text"), orNull(r.rawText)},
        {QStringLiteral("cleaned_text"), orNull(r.cleanedText)},
        {QStringLiteral("provider"), orNull(r.provider)},
        {QStringLiteral("device_id"), orNull(r.deviceId)},
        {QStringLiteral("error"), orNull(r.error)},
        {QStringLiteral("created_at"), TimeText::format(r.createdAt)},
        {QStringLiteral("deleted_at"), orNull(r.deletedAt)},
        {QStringLiteral("updated_at"), TimeText::format(r.updatedAt)},
    };
}

QJsonObject toJson(const Slice& s)
{
    return {
        {QStringLiteral("id"), s.id},
        {QStringLiteral("recording_id"), s.recordingId},
        {QStringLiteral("slice_index"), s.sliceIndex},
        {QStringLiteral("filename"), s.filename},
        {QStringLiteral("status"), toText(s.status)},
        {QStringLiteral("raw_text"), orNull(s.rawText)},
        {QStringLiteral("duration"), orNull(s.duration)},
        {QStringLiteral("provider"), orNull(s.provider)},
        {QStringLiteral("error"), orNull(s.error)},
        {QStringLiteral("deleted_at"), orNull(s.deletedAt)},
        {QStringLiteral("updated_at"), TimeText::format(s.updatedAt)},
    };
}

}
