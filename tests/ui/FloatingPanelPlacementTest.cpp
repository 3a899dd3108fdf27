#include <cmath>
#include <gtest/gtest.h>
#include <limits>

#include "ui/FloatingPanelPlacement.h"

namespace {

constexpr QSize kPanel(200, 44);

// A 1280x1024 primary screen with a 24 px bar at its top, and a 1920x1080
// screen to its right whose available area reaches to its edges.
const QRect kPrimaryArea(0, 24, 1280, 1000);
const QRect kRightArea(1280, 0, 1920, 1080);
const FloatingPanelPlacement::Screens kTwoScreens{kPrimaryArea, {kPrimaryArea, kRightArea}};

// Centred on the primary area, bottom edge 80 px above its bottom edge.
const QPoint kDefault((1280 - 200) / 2, 24 + 1000 - 80 - 44);

}  // namespace

TEST(FloatingPanelPlacement, DefaultIsCentredAboveTheBottomOfThePrimaryArea)
{
    const QPoint placed = FloatingPanelPlacement::place(kPanel, std::nullopt, kTwoScreens);

    EXPECT_EQ(placed, kDefault);
    const QRect panel(placed, kPanel);
    EXPECT_EQ(panel.center().x(), kPrimaryArea.center().x());
    EXPECT_EQ(kPrimaryArea.y() + kPrimaryArea.height() - (panel.y() + panel.height()), 80);
}

TEST(FloatingPanelPlacement, StoredPositionIsUsedOnlyWhenEnoughOfThePanelIsOnAScreen)
{
    const int m = FloatingPanelPlacement::kMinimumVisible;
    const struct {
        const char* name;
        QPoint stored;
        bool used;
    } cases[] = {
        {"inside the primary area", {100, 300}, true},
        {"inside the second screen", {2500, 900}, true},
        {"straddling both screens", {1200, 500}, true},
        {"at the primary area's top-left corner", {0, 24}, true},
        {"half past the right edge of the second screen", {3200 - 100, 500}, true},
        {"exactly the minimum showing at the left", {-200 + m, 500}, true},
        {"exactly the minimum showing at the bottom", {100, 1024 - m}, true},
        {"one pixel short of the minimum at the left", {-200 + m - 1, 500}, false},
        {"one pixel short of the minimum at the bottom", {100, 1024 - m + 1}, false},
        {"only over the bar at the top (not available)", {100, 0 - 44 + 24}, false},
        {"where an unplugged third screen was", {3300, 200}, false},
        {"below the second screen, beside the primary", {1500, 1100}, false},
        {"far away", {-50000, -50000}, false},
    };
    for (const auto& c : cases) {
        const QPoint placed = FloatingPanelPlacement::place(kPanel, c.stored, kTwoScreens);
        EXPECT_EQ(placed, c.used ? c.stored : kDefault) << c.name;
    }
}

TEST(FloatingPanelPlacement, WithoutScreensThePanelGoesToTheOrigin)
{
    const FloatingPanelPlacement::Screens none;
    EXPECT_EQ(FloatingPanelPlacement::place(kPanel, std::nullopt, none), QPoint(0, 0));
    EXPECT_EQ(FloatingPanelPlacement::place(kPanel, QPoint(100, 100), none), QPoint(0, 0));
}

TEST(FloatingPanelPlacement, StoredPositionNeedsTwoUsableNumbers)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        const char* name;
        std::optional<double> x, y;
        std::optional<QPoint> expected;
    } cases[] = {
        {"both", 120.0, 340.0, QPoint(120, 340)},
        {"negative, as on a screen left of the primary", -900.0, 10.0, QPoint(-900, 10)},
        {"fractions round to the nearest pixel", 10.4, 10.6, QPoint(10, 11)},
        {"only x", 120.0, std::nullopt, std::nullopt},
        {"only y", std::nullopt, 340.0, std::nullopt},
        {"neither", std::nullopt, std::nullopt, std::nullopt},
        {"not a number", nan, 340.0, std::nullopt},
        {"infinite", 120.0, inf, std::nullopt},
        {"beyond int", 1e12, 340.0, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FloatingPanelPlacement::storedPosition(c.x, c.y), c.expected) << c.name;
}
