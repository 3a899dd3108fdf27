#include "ui/PlainText.h"

#include <QTextDocument>
#include <QWidget>

namespace PlainText {

QString toolTip(const QString& text)
{
    return text.isEmpty() ? QString() : Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal);
}

void setToolTipAndName(QWidget& widget, const QString& text)
{
    widget.setToolTip(toolTip(text));
    widget.setAccessibleName(text);
}

}
