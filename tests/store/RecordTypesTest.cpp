#include <QDateTime>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include "store/AccountInfo.h"
#include "store/RecordId.h"
#include "store/Recording.h"
#include "store/Slice.h"
#include "store/TimeText.h"

TEST(RecordTypes, StatusTextsRoundTripAndOthersAreNoStatus)
{
    for (auto s : {RecordingStatus::recording, RecordingStatus::paused, RecordingStatus::recorded,
                   RecordingStatus::transcribed, RecordingStatus::completed, RecordingStatus::failed})
        EXPECT_EQ(recordingStatusFromText(toText(s)), s);
    for (auto s : {SliceStatus::pending, SliceStatus::processing, SliceStatus::completed,
                   SliceStatus::failed, SliceStatus::lost})
        EXPECT_EQ(sliceStatusFromText(toText(s)), s);
    EXPECT_EQ(toText(RecordingStatus::transcribed), "transcribed");
    EXPECT_EQ(toText(SliceStatus::lost), "lost");
    for (const char* bad : {"Completed", "COMPLETED", " completed", "", "done"}) {
        EXPECT_FALSE(recordingStatusFromText(bad)) << bad;
        EXPECT_FALSE(sliceStatusFromText(bad)) << bad;
    }
}

TEST(RecordTypes, NewIdsAreLowerCaseUuids)
{
    const QRegularExpression shape("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$");
    const QString a = newRecordId();
    EXPECT_TRUE(shape.match(a).hasMatch()) << a.toStdString();
    EXPECT_NE(a, newRecordId());
}

TEST(RecordTypes, TimeTextHasOneShapeThatSortsAsTime)
{
    const QDateTime t(QDate(2025, 3, 4), QTime(5, 6, 7, 123), Qt::UTC);
    EXPECT_EQ(TimeText::format(t), "2025-03-04T05:06:07.123Z");
    // Local times are written in UTC.
    EXPECT_EQ(TimeText::format(t.toOffsetFromUtc(3600)), "2025-03-04T05:06:07.123Z");
    // Whole seconds still carry three digits, so text order is time order.
    const QDateTime whole(QDate(2025, 3, 4), QTime(5, 6, 7), Qt::UTC);
    EXPECT_EQ(TimeText::format(whole), "2025-03-04T05:06:07.000Z");
    EXPECT_LT(TimeText::format(whole), TimeText::format(whole.addMSecs(1)));
    EXPECT_EQ(TimeText::parse("2025-03-04T05:06:07.123Z"), t);
}

TEST(RecordTypes, TimeTextReading)
{
    // 2025-03-04T05:06:<second>.<ms>Z
    const auto at = [](int second, int ms) {
        return std::optional(QDateTime(QDate(2025, 3, 4), QTime(5, 6, second, ms), Qt::UTC));
    };
    const std::optional<QDateTime> none;
    struct Case { const char* text; std::optional<QDateTime> time; };
    const Case cases[] = {
        {"2025-03-04T05:06:07.123Z", at(7, 123)},
        // The backend's forms: microseconds with trailing zeros cut, no
        // fraction at all when it is zero, "+00:00".
        {"2025-03-04T05:06:07.123456+00:00", at(7, 123)},
        {"2025-03-04T05:06:07.12+00:00", at(7, 120)},
        {"2025-03-04T05:06:07+00:00", at(7, 0)},
        {"2025-03-04T05:06:07Z", at(7, 0)},
        {"2025-03-04T05:06:07z", at(7, 0)},
        {"2025-03-04t05:06:07.5Z", at(7, 500)},
        {"2025-03-04T05:06:07.1239Z", at(7, 123)},          // cut, not rounded
        {"2025-03-04T05:06:07.999999999Z", at(7, 999)},
        // Offsets, with and without the colon, both signs, across midnight.
        {"2025-03-04T06:06:07.123+01:00", at(7, 123)},
        {"2025-03-04T06:36:07.123+0130", at(7, 123)},
        {"2025-03-04T00:06:07-0500", at(7, 0)},
        {"2025-03-03T23:36:07.123-05:30", at(7, 123)},
        {"2025-03-04T05:06:07.123-00:00", at(7, 123)},
        // No zone: no instant.
        {"2025-03-04T05:06:07.123", none},
        {"2025-03-04T05:06:07", none},
        // Not RFC 3339.
        {"2025-03-04 05:06:07.123Z", none},
        {"2025-03-04T05:06:07.Z", none},
        {"2025-03-04T05:06:07,123Z", none},
        {"2025-03-04T05:06:07.12xZ", none},
        {"2025-03-04T05:06:07.123+01", none},
        {"2025-03-04T05:06:07.123+1:00", none},
        {"2025-03-04T05:06:07.123+01:00:00", none},
        {"2025-03-04T05:06:07.123ZZ", none},
        {"2025-03-04T05:06:07.123Z ", none},
        {" 2025-03-04T05:06:07.123Z", none},
        {"20250304T050607Z", none},
        {"-025-03-04T05:06:07.123Z", none},
        {"yesterday", none},
        {"", none},
        // Fields out of range.
        {"2025-13-04T05:06:07.123Z", none},
        {"2025-02-30T05:06:07.123Z", none},
        {"2025-03-04T24:06:07.123Z", none},
        {"2025-03-04T05:60:07.123Z", none},
        {"2025-03-04T05:06:60Z", none},
        {"2025-03-04T05:06:07.123+24:00", none},
        {"2025-03-04T05:06:07.123+01:60", none},
        {"0000-03-04T05:06:07.123Z", none},
        // Non-ASCII digits.
        {"2025-03-04T05:06:0\u0667.123Z", none},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TimeText::parse(QString::fromUtf8(c.text)), c.time) << c.text;
    }
}

TEST(RecordTypes, AccountInfoJson)
{
    const AccountInfo account{"ABC-1", "a@example.com", "google"};
    EXPECT_EQ(AccountInfo::fromJson(account.toJson()), account);
    EXPECT_EQ(AccountInfo::fromJson(R"({"provider":"google","extra":1,"email":"a@example.com","id":"ABC-1"})"),
              account);
    EXPECT_FALSE(AccountInfo::fromJson(R"({"id":"ABC-1","provider":"google"})"));
    EXPECT_FALSE(AccountInfo::fromJson(R"({"id":"ABC-1","email":7,"provider":"google"})"));
    EXPECT_FALSE(AccountInfo::fromJson("not json"));
    EXPECT_FALSE(AccountInfo::fromJson("[]"));
}
