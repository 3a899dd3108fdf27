#pragma once

#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <optional>

// Where the floating panel goes when it is built. Positions are the top-left
// corner of the panel in Qt's global coordinates (logical pixels, origin at
// the top left of the virtual desktop), the form in which the panel's
// position is also stored.
class FloatingPanelPlacement
{
public:
    // The panel's bottom edge sits this far above the bottom of the primary
    // screen's available area.
    static constexpr int kBottomMargin = 80;
    // A stored position counts only when a piece of the panel at least this
    // wide and this high lies on one screen's available area: enough to see
    // and grab it. A sliver left after a monitor change does not count.
    static constexpr int kMinimumVisible = 24;

    struct Screens
    {
        // The primary screen's available area; none when there is no screen.
        std::optional<QRect> primary;
        // Every screen's available area.
        QList<QRect> all;
    };

    // The screens of the running application.
    static Screens currentScreens();

    // The stored position when both numbers are present and usable as
    // coordinates, else none.
    static std::optional<QPoint> storedPosition(std::optional<double> x, std::optional<double> y);

    // The stored position when a panel of `size` there is visible enough on
    // some screen, else horizontally centred on the primary screen's
    // available area and kBottomMargin above its bottom; (0, 0) without any
    // screen.
    static QPoint place(QSize size, std::optional<QPoint> stored, const Screens& screens);

private:
    static QPoint defaultPosition(QSize size, const std::optional<QRect>& primary);
    static bool isVisibleEnough(const QRect& panel, const QList<QRect>& areas);
};
