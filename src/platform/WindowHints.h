#pragma once

#include <QPoint>
#include <functional>

class QWidget;

// What a top-level window tells the window manager about itself beyond what
// Qt's window flags say, and what it needs to know of the desktop to look
// right. The app passes in its backend's (EWMH over Qt's X connection); a
// hint left empty does nothing.
struct WindowHints
{
    // Keeps `window` out of taskbars and pagers. Qt asks for neither, not even
    // for tool windows. Call it while the window is hidden, before each show:
    // the window manager forgets the request when the window is hidden.
    std::function<void(QWidget& window)> skipTaskbar;

    // Where the window system has the top-left corner of `window` (a shown
    // top-level window) now, in Qt's global coordinates. Qt's own idea can be
    // stale after the window manager has moved or reparented the window.
    std::function<QPoint(const QWidget& window)> position;

    // Whether a compositing manager runs now. Without one, the transparent
    // pixels of a translucent window show black, so a window with a shape
    // of its own must cut itself to it. Left empty: taken as none.
    std::function<bool()> compositing;
};
