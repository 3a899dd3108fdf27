#pragma once

#include "platform/DesktopWindows.h"

// Windows and applications from the window manager's EWMH properties, over
// Qt's X connection. Without one (offscreen, Wayland) nothing is in front and
// nothing can be activated.
class X11DesktopWindows final : public DesktopWindows
{
public:
    X11DesktopWindows() = default;

    std::optional<DesktopApplication> frontmostApplication() const override;
    bool activate(const DesktopApplication& application) override;
    QString focusedWindowTitle(const DesktopApplication& application) const override;
    bool openUrl(const QUrl& url) override;
    bool openFolder(const QString& path) override;
};
