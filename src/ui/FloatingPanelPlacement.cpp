#include "ui/FloatingPanelPlacement.h"

#include <QGuiApplication>
#include <QScreen>
#include <cmath>

namespace {
// Far beyond any desktop; keeps the conversion to int defined.
constexpr double kCoordinateLimit = 1e6;

std::optional<int> coordinate(std::optional<double> value)
{
    if (!value || !std::isfinite(*value) || std::abs(*value) > kCoordinateLimit)
        return std::nullopt;
    return int(std::lround(*value));
}
}

FloatingPanelPlacement::Screens FloatingPanelPlacement::currentScreens()
{
    Screens screens;
    if (const QScreen* primary = QGuiApplication::primaryScreen())
        screens.primary = primary->availableGeometry();
    for (const QScreen* screen : QGuiApplication::screens())
        screens.all.append(screen->availableGeometry());
    return screens;
}

std::optional<QPoint> FloatingPanelPlacement::storedPosition(std::optional<double> x,
                                                             std::optional<double> y)
{
    const auto left = coordinate(x);
    const auto top = coordinate(y);
    if (!left || !top)
        return std::nullopt;
    return QPoint(*left, *top);
}

QPoint FloatingPanelPlacement::place(QSize size, std::optional<QPoint> stored, const Screens& screens)
{
    if (stored && isVisibleEnough(QRect(*stored, size), screens.all))
        return *stored;
    return defaultPosition(size, screens.primary);
}

QPoint FloatingPanelPlacement::defaultPosition(QSize size, const std::optional<QRect>& primary)
{
    if (!primary)
        return {0, 0};
    // QRect::bottom() is the last row inside; the edge is one below it.
    const int bottomEdge = primary->y() + primary->height();
    return {primary->x() + (primary->width() - size.width()) / 2,
            bottomEdge - kBottomMargin - size.height()};
}

bool FloatingPanelPlacement::isVisibleEnough(const QRect& panel, const QList<QRect>& areas)
{
    for (const QRect& area : areas) {
        const QRect visible = panel.intersected(area);
        if (visible.width() >= kMinimumVisible && visible.height() >= kMinimumVisible)
            return true;
    }
    return false;
}
