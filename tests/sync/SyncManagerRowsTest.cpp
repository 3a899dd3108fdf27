// Backend rows as local records and back: which rows are skipped, the
// defaults of values of the wrong form, lower-case ids, and every column a
// push sends.
#include <QJsonDocument>
#include <functional>
#include <gtest/gtest.h>

#include "support/QStringPrinter.h"
#include "support/RecordPrinter.h"
#include "sync/BackendRows.h"

namespace {

const QString kUser = "1D5F2C0E-7A4B-4C1D-9E8F-0A1B2C3D4E5F";
const QString kId = "0f8e3c52-1b7d-4e0a-9c3f-5a6b7c8d9e0f";
const QString kRecordingId = "6a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d";
const QDateTime kNow(QDate(2026, 3, 4), QTime(5, 6, 7, 123), Qt::UTC);
const QString kEarlier = "2026-03-01T10:00:00+00:00";   // no fraction, as the backend writes a whole second
const QString kLater = "2026-03-02T11:30:15.25+00:00";

// The times of those two texts.
QDateTime at(const QString& text)
{
    return text == kEarlier ? QDateTime(QDate(2026, 3, 1), QTime(10, 0), Qt::UTC)
                            : QDateTime(QDate(2026, 3, 2), QTime(11, 30, 15, 250), Qt::UTC);
}

QJsonObject with(QJsonObject row, const QJsonObject& changes)
{
    for (auto it = changes.begin(); it != changes.end(); ++it)
        row.insert(it.key(), it.value());
    return row;
}

QJsonObject without(QJsonObject row, const QStringList& keys)
{
    for (const QString& key : keys)
        row.remove(key);
    return row;
}

template <typename Record>
struct Case
{
    const char* name;
    QJsonObject row;
    // None: the row is skipped.
    std::optional<Record> record;
    bool hasUpdateTime = true;
};

template <typename Record>
void check(const Case<Record>& c,
           std::optional<BackendRows::Pulled<Record>> (*map)(const QJsonObject&, const QString&, const QDateTime&))
{
    SCOPED_TRACE(c.name);
    const auto pulled = map(c.row, kUser, kNow);
    EXPECT_EQ(describe(pulled ? std::optional(pulled->record) : std::nullopt), describe(c.record));
    if (pulled && c.record) {
        EXPECT_EQ(pulled->hasUpdateTime, c.hasUpdateTime);
        EXPECT_EQ(pulled->ownerId, c.row.value("user_id").toString());
    }
}

TEST(SyncManagerRows, PulledGlossaryRows)
{
    const QJsonObject full{{"id", kId}, {"user_id", kUser.toLower()}, {"content", "Talvex"},
                           {"created_at", kEarlier}, {"updated_at", kLater}, {"deleted_at", QJsonValue::Null}};
    const GlossaryItem item{kId, kUser, "Talvex", std::nullopt, at(kEarlier), at(kLater)};
    const auto changed = [&](const std::function<void(GlossaryItem&)>& change) {
        GlossaryItem copy = item;
        change(copy);
        return std::optional(copy);
    };
    const Case<GlossaryItem> cases[] = {
        {"every key", full, item},
        {"upper-case id", with(full, {{"id", kId.toUpper()}}), item},
        {"deleted", with(full, {{"deleted_at", kLater}}), changed([](GlossaryItem& g) { g.deletedAt = at(kLater); })},
        {"no content", without(full, {"content"}), changed([](GlossaryItem& g) { g.content = ""; })},
        {"content not text", with(full, {{"content", 7}}), changed([](GlossaryItem& g) { g.content = ""; })},
        {"no times", without(full, {"created_at", "updated_at"}),
         changed([](GlossaryItem& g) { g.createdAt = g.updatedAt = kNow; }), false},
        {"updated_at without a zone", with(full, {{"updated_at", "2026-03-02T11:30:15.250"}}),
         changed([](GlossaryItem& g) { g.updatedAt = kNow; }), false},
        {"updated_at null", with(full, {{"updated_at", QJsonValue::Null}}),
         changed([](GlossaryItem& g) { g.updatedAt = kNow; }), false},
        {"unreadable deleted_at", with(full, {{"deleted_at", "yesterday"}}), item},
        {"id not a UUID", with(full, {{"id", "g-1"}}), std::nullopt},
        {"id with braces", with(full, {{"id", "{" + kId + "}"}}), std::nullopt},
        {"id a number", with(full, {{"id", 42}}), std::nullopt},
        {"no id", without(full, {"id"}), std::nullopt},
    };
    for (const auto& c : cases)
        check(c, &BackendRows::glossaryItem);
}

TEST(SyncManagerRows, PulledRecordings)
{
    const QJsonObject full{{"id", kId}, {"user_id", kUser.toLower()}, {"status", "completed"},
                           {"created_at", kEarlier}, {"updated_at", kLater}, {"deleted_at", QJsonValue::Null},
                           {"duration", 12.5}, {"slice_count", 2}, {"raw_text", "raw"},
                           {"cleaned_text", "Clean."}, {"provider", "OpenAI"}, {"device_id", "device-2"},
                           {"error", QJsonValue::Null}};
    Recording recording;
    recording.id = kId;
    recording.userId = kUser;
    recording.status = RecordingStatus::completed;
    recording.createdAt = at(kEarlier);
    recording.updatedAt = at(kLater);
    recording.duration = 12.5;
    recording.sliceCount = 2;
    recording.rawText = "raw";
    recording.cleanedText = "Clean.";
    recording.provider = "OpenAI";
    recording.deviceId = "device-2";
    const auto changed = [&](const std::function<void(Recording&)>& change) {
        Recording copy = recording;
        change(copy);
        return std::optional(copy);
    };
    const Case<Recording> cases[] = {
        {"every key", full, recording},
        {"upper-case id", with(full, {{"id", kId.toUpper()}}), recording},
        {"whole duration", with(full, {{"duration", 30}}), changed([](Recording& r) { r.duration = 30.0; })},
        {"duration as text", with(full, {{"duration", "30"}}), changed([](Recording& r) { r.duration.reset(); })},
        {"slice count 2.0", with(full, {{"slice_count", 2.0}}), recording},
        {"slice count 2.5", with(full, {{"slice_count", 2.5}}), changed([](Recording& r) { r.sliceCount = 0; })},
        {"slice count as text", with(full, {{"slice_count", "2"}}), changed([](Recording& r) { r.sliceCount = 0; })},
        {"slice count beyond an int", with(full, {{"slice_count", 1e12}}),
         changed([](Recording& r) { r.sliceCount = 0; })},
        {"no texts", with(without(full, {"raw_text"}), {{"cleaned_text", QJsonValue::Null}, {"provider", 3}}),
         changed([](Recording& r) {
             r.rawText.reset();
             r.cleanedText.reset();
             r.provider.reset();
         })},
        {"failed with an error", with(full, {{"status", "failed"}, {"error", "no network"}}),
         changed([](Recording& r) {
             r.status = RecordingStatus::failed;
             r.error = "no network";
         })},
        {"status in capitals", with(full, {{"status", "Completed"}}), std::nullopt},
        {"unknown status", with(full, {{"status", "archived"}}), std::nullopt},
        {"no status", without(full, {"status"}), std::nullopt},
        {"id not a UUID", with(full, {{"id", "r1"}}), std::nullopt},
    };
    for (const auto& c : cases)
        check(c, &BackendRows::recording);
}

TEST(SyncManagerRows, PulledSlices)
{
    const QJsonObject full{{"id", kId}, {"user_id", kUser.toLower()}, {"recording_id", kRecordingId},
                           {"slice_index", 3}, {"filename", "20260304_050607_r_003.m4a"},
                           {"status", "completed"}, {"raw_text", "hello"}, {"duration", 30.0},
                           {"provider", "DashScope"}, {"error", QJsonValue::Null},
                           {"created_at", kEarlier}, {"updated_at", kLater}, {"deleted_at", kLater}};
    Slice slice;
    slice.id = kId;
    slice.userId = kUser;
    slice.recordingId = kRecordingId;
    slice.sliceIndex = 3;
    slice.filename = "20260304_050607_r_003.m4a";
    slice.status = SliceStatus::completed;
    slice.rawText = "hello";
    slice.duration = 30.0;
    slice.provider = "DashScope";
    slice.deletedAt = at(kLater);
    slice.updatedAt = at(kLater);
    const auto changed = [&](const std::function<void(Slice&)>& change) {
        Slice copy = slice;
        change(copy);
        return std::optional(copy);
    };
    const Case<Slice> cases[] = {
        {"every key", full, slice},
        {"upper-case ids", with(full, {{"id", kId.toUpper()}, {"recording_id", kRecordingId.toUpper()}}), slice},
        {"no index", without(full, {"slice_index"}), changed([](Slice& s) { s.sliceIndex = 0; })},
        {"recording id not a UUID", with(full, {{"recording_id", "r1"}}), std::nullopt},
        {"no recording id", without(full, {"recording_id"}), std::nullopt},
        {"no file name", without(full, {"filename"}), std::nullopt},
        {"status in capitals", with(full, {{"status", "LOST"}}), std::nullopt},
    };
    for (const auto& c : cases)
        check(c, &BackendRows::slice);
}

// What a push sends: every column, null for absent values, times in the
// store's form, creation times of recordings and glossary entries (else
// other devices date them by their first push); never an owner.
TEST(SyncManagerRows, PushedObjects)
{
    GlossaryItem item{kId, kUser, "Talvex", std::nullopt, at(kEarlier), at(kLater)};
    Recording recording;
    recording.id = kRecordingId;
    recording.userId = kUser;
    recording.createdAt = at(kEarlier);
    recording.updatedAt = at(kLater);
    recording.status = RecordingStatus::recorded;
    recording.sliceCount = 1;
    recording.deletedAt = at(kLater);
    Slice slice;
    slice.id = kId;
    slice.userId = kUser;
    slice.recordingId = kRecordingId;
    slice.sliceIndex = 1;
    slice.filename = "a.m4a";
    slice.status = SliceStatus::pending;
    slice.duration = 29.5;
    slice.updatedAt = at(kLater);
    const QString earlier = "2026-03-01T10:00:00.000Z";
    const QString later = "2026-03-02T11:30:15.250Z";
    const QJsonValue null(QJsonValue::Null);
    struct PushCase
    {
        const char* name;
        QJsonObject object;
        QJsonObject expected;
    };
    const PushCase cases[] = {
        {"glossary", BackendRows::toJson(item),
         {{"id", kId}, {"content", "Talvex"}, {"created_at", earlier}, {"deleted_at", null},
          {"updated_at", later}}},
        {"recording", BackendRows::toJson(recording),
         {{"id", kRecordingId}, {"status", "recorded"}, {"duration", null}, {"slice_count", 1},
          {"raw_text", null}, {"cleaned_text", null}, {"provider", null}, {"device_id", null}, {"error", null},
          {"created_at", earlier}, {"deleted_at", later}, {"updated_at", later}}},
        {"slice", BackendRows::toJson(slice),
         {{"id", kId}, {"recording_id", kRecordingId}, {"slice_index", 1}, {"filename", "a.m4a"},
          {"status", "pending"}, {"raw_text", null}, {"duration", 29.5}, {"provider", null}, {"error", null},
          {"deleted_at", null}, {"updated_at", later}}},
    };
    for (const PushCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(QJsonDocument(c.object).toJson(QJsonDocument::Compact).toStdString(),
                  QJsonDocument(c.expected).toJson(QJsonDocument::Compact).toStdString());
    }
}

}  // namespace
