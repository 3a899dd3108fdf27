#pragma once

#include <QColor>
#include <QFont>

class QPalette;
class QWidget;

// The one place for the interface's fonts and colours. Sizes are logical
// pixels; no family is named, so that Chinese falls back to a CJK font.
namespace Style {

enum class TextSize {
    body = 13,
    caption = 11,
    secondCaption = 10,
    largeTitle = 26,
    smallControl = 11,
};

// The system font at `pixels`, of `weight`.
QFont font(int pixels, QFont::Weight weight = QFont::Normal);
QFont font(TextSize size, QFont::Weight weight = QFont::Normal);
// The system's fixed-width font at `pixels`.
QFont monospaced(int pixels, QFont::Weight weight = QFont::Normal);

// Colours that follow the palette.
QColor secondary(const QPalette& palette);
QColor accent(const QPalette& palette);
QColor separator(const QPalette& palette);

// Fixed colours that carry a meaning (recording, warning, done, paused, link).
inline const QColor red{255, 59, 48};
inline const QColor orange{255, 149, 0};
inline const QColor green{52, 199, 89};
inline const QColor yellow{255, 204, 0};
inline const QColor blue{0, 122, 255};

// White at `opacity` (0–1), the panel's text colours.
QColor white(qreal opacity);

// Sets the colour of `widget`'s text (its foreground roles).
void setTextColour(QWidget& widget, const QColor& colour);

// A horizontal line one pixel high in the separator colour.
QWidget* divider(const QString& name, QWidget* parent);

}
