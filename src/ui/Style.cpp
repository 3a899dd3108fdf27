#include "ui/Style.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPalette>
#include <QWidget>

namespace Style {

QFont font(int pixels, QFont::Weight weight)
{
    QFont font = QApplication::font();
    font.setPixelSize(pixels);
    font.setWeight(weight);
    return font;
}

QFont font(TextSize size, QFont::Weight weight)
{
    return font(static_cast<int>(size), weight);
}

QFont monospaced(int pixels, QFont::Weight weight)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(pixels);
    font.setWeight(weight);
    return font;
}

QColor secondary(const QPalette& palette)
{
    return palette.color(QPalette::PlaceholderText);
}

QColor accent(const QPalette& palette)
{
    return palette.color(QPalette::Highlight);
}

QColor separator(const QPalette& palette)
{
    return palette.color(QPalette::Mid);
}

QColor white(qreal opacity)
{
    QColor colour(Qt::white);
    colour.setAlphaF(float(opacity));
    return colour;
}

void setTextColour(QWidget& widget, const QColor& colour)
{
    QPalette palette = widget.palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::ButtonText, colour);
    palette.setColor(QPalette::Text, colour);
    widget.setPalette(palette);
}

QWidget* divider(const QString& name, QWidget* parent)
{
    auto* line = new QWidget(parent);
    line->setObjectName(name);
    line->setFixedHeight(1);
    line->setAutoFillBackground(true);
    QPalette palette = line->palette();
    palette.setColor(QPalette::Window, separator(palette));
    line->setPalette(palette);
    return line;
}

}
