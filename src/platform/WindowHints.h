#pragma once

#include <QPoint>

class QWidget;

// What a top-level window tells the window manager about itself beyond what
// Qt's window flags say. The build's backend implements it (EWMH over Qt's X
// connection); without a window manager to tell, it does nothing.
namespace WindowHints {

// Keeps `window` out of taskbars and pagers. Qt asks for neither, not even
// for tool windows. Call it while the window is hidden, before each show:
// the window manager forgets the request when the window is hidden.
void skipTaskbar(QWidget& window);

// Where the window system has the top-left corner of `window` (a shown
// top-level window) now, in Qt's global coordinates. Qt's own idea can be
// stale after the window manager has moved or reparented the window; without
// a window system to ask, it is Qt's idea.
QPoint position(const QWidget& window);

}
