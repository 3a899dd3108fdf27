#pragma once

#include <QString>
#include <Qt>

class QFont;
class QPainter;
class QRect;

// Plain text cut to a number of lines of a width: wrapped at word boundaries
// (anywhere inside a word too long for a line); what does not fit ends in an
// ellipsis on the last line allowed. One line: line breaks become spaces.
namespace LineFit {

struct Fitted
{
    QString text;   // what to show
    bool elided = false;
    int lines = 0;  // lines `text` takes (0 for an empty text)
};

// `maximumLines` 0 means no limit.
Fitted fit(const QString& text, const QFont& font, int width, int maximumLines);

// Draws a text `fit` gave for `rect`'s width, from `rect`'s top, in the
// painter's pen, each line placed in the width by `alignment`.
void draw(QPainter& painter, const QRect& rect, const QString& fitted, const QFont& font,
          Qt::Alignment alignment = Qt::AlignLeft);

}
