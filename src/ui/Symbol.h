#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>

class QLabel;
class QWidget;

// Our single-colour symbols (resources/symbols), tinted when drawn.
enum class Symbol {
    micFill,
    pauseFill,
    checkmarkCircleFill,
    docOnDoc,
    xmark,
    textCursor,
    exclamationmarkTriangleFill,
    trash,
    folder,
    waveform,
    recordCircle,
    arrowClockwiseCircle,
    xmarkCircleFill,
    arrowClockwise,
    textBookClosed,
    plusCircleFill,
    pencil,
    circle,
};

namespace Symbols {

// The symbol drawn in `colour`, `pixels` square (logical pixels) at `ratio`
// device pixels per logical pixel.
QPixmap pixmap(Symbol symbol, const QColor& colour, int pixels, qreal ratio = 1.0);
// The symbol as an icon in `colour`, sharp at any size it is asked for.
QIcon icon(Symbol symbol, const QColor& colour);
// A label showing the symbol, `pixels` square: a sign, not a control.
QLabel* label(Symbol symbol, const QColor& colour, int pixels, const QString& name,
              QWidget* parent = nullptr);

}
