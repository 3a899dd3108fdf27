#include "ui/Dot.h"

#include <QPainter>

Dot::Dot(int diameter, const QColor& colour, QWidget* parent) : QWidget(parent), m_colour(colour)
{
    setFixedSize(diameter, diameter);
}

void Dot::setColour(const QColor& colour)
{
    if (colour == m_colour)
        return;
    m_colour = colour;
    update();
}

void Dot::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_colour);
    painter.drawEllipse(QRectF(rect()));
}
