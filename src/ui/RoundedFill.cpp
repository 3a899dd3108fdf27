#include "ui/RoundedFill.h"

#include <QPainter>

RoundedFill::RoundedFill(const QColor& colour, qreal radius, QWidget* parent)
    : QWidget(parent), m_colour(colour), m_radius(radius)
{
}

void RoundedFill::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_colour);
    painter.drawRoundedRect(QRectF(rect()), m_radius, m_radius);
}
