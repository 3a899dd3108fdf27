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
    const QDateTime t(QDate(2025, 3, 4), QTime(5, 6, 7, 123), Qt::UTC);
    struct Case { const char* text; bool readable; };
    const Case cases[] = {
        {"2025-03-04T05:06:07.123Z", true},
        {"2025-03-04T05:06:07.123456+00:00", true},   // the backend's form
        {"2025-03-04T06:06:07.123+01:00", true},
        {"2025-03-04T05:06:07Z", false},              // no fractional seconds
        {"2025-03-04 05:06:07.123Z", false},
        {"yesterday", false},
        {"", false},
        {"2025-13-04T05:06:07.123Z", false},
        {"2025-02-30T05:06:07.123Z", false},
        {"2025-03-04T05:60:07.123Z", false},
        {"-025-03-04T05:06:07.123Z", false},
        {"2025-03-04T05:06:07.12xZ", false},
        {"2025-03-04T05:06:07.1234Z", true},          // cut, not rounded
        {"2025-03-04T05:06:07,123Z", false},
    };
    for (const Case& c : cases) {
        const auto parsed = TimeText::parse(c.text);
        EXPECT_EQ(parsed.has_value(), c.readable) << c.text;
        if (parsed) {
            EXPECT_EQ(*parsed, t) << c.text;
        }
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
