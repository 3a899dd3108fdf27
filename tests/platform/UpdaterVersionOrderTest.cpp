#include <gtest/gtest.h>

#include "platform/AppVersion.h"
#include "support/QStringPrinter.h"

namespace {

AppVersion version(const char* text)
{
    const std::optional<AppVersion> parsed = AppVersion::parse(QString::fromUtf8(text));
    if (!parsed)
        ADD_FAILURE() << "unreadable: " << text;
    return parsed.value_or(*AppVersion::parse("0"));
}

}  // namespace

TEST(UpdaterVersionOrder, OlderNewerAndEqualPairs)
{
    // older < newer
    const std::pair<const char*, const char*> ascending[] = {
        {"0.9.0", "0.10.0"},          // numbers, not text
        {"0.1.0", "0.1.1"},
        {"0.1.9", "0.2"},
        {"1.0", "1.0.1"},
        {"1.9.9", "2.0.0"},
        {"9", "10"},
        {"1.2.3", "1.2.3.1"},
        {"1.0.0-beta", "1.0.0"},      // a pre-release comes before its release
        {"1.0-rc1", "1.0.0"},
        {"2.0b1", "2.0"},
        {"1.0.0-beta.2", "1.0.0-beta.10"},
        {"1.0.0-alpha", "1.0.0-beta"},
        {"1.0.0", "1.0.1-beta"},
        {"99999999999999999999.0", "100000000000000000000"},   // beyond 64 bits
    };
    for (const auto& [older, newer] : ascending) {
        SCOPED_TRACE(std::string(older) + " < " + newer);
        EXPECT_LT(version(older), version(newer));
        EXPECT_GT(version(newer), version(older));
        EXPECT_NE(version(older), version(newer));
    }

    const std::pair<const char*, const char*> equal[] = {
        {"1.0", "1.0.0"},
        {"1", "1.0.0.0"},
        {"0.1.0", "0.01.00"},
        {"v1.2.0", "1.2"},
        {" 1.2.0\n", "1.2.0"},
        {"1.0.0+build.7", "1.0.0"},   // build metadata does not order
        {"1.0-beta.02", "1.0.0-beta.2"},
    };
    for (const auto& [a, b] : equal) {
        SCOPED_TRACE(std::string(a) + " == " + b);
        EXPECT_EQ(version(a), version(b));
    }
}

TEST(UpdaterVersionOrder, TextsThatAreNoVersion)
{
    for (const char* text : {"", "   ", "beta", "v", "version 1.0", ".1.0", "-1.0"})
        EXPECT_FALSE(AppVersion::parse(QString::fromUtf8(text)).has_value()) << '"' << text << '"';
    EXPECT_EQ(AppVersion::parse("  v0.10.0 ")->text(), "v0.10.0");
}
