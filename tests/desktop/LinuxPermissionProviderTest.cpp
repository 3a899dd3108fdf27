#include <gtest/gtest.h>

#include "platform/x11/LinuxPermissionProvider.h"

TEST(LinuxPermissionProviderOnX11, TheTestServerOffersXTestSoAccessibilityIsTrusted)
{
    LinuxPermissionProvider provider;
    EXPECT_TRUE(provider.isAccessibilityTrusted(false));
    EXPECT_TRUE(provider.isAccessibilityTrusted(true));
}
