#pragma once

#include <QString>

class QWidget;

namespace PlainText {

// A tooltip that shows `text` as it stands: a tooltip that looks like HTML is
// otherwise rendered as HTML, and outside text (a service's error, another
// program's window title) may.
QString toolTip(const QString& text);

// Sets `widget`'s tooltip and accessible name to the same localised text:
// the name is how screen readers call an icon-only button.
void setToolTipAndName(QWidget& widget, const QString& text);

}
