#include "ui/Spinner.h"

#include <QPainter>

Spinner::Spinner(const QColor& colour, QWidget* parent) : QWidget(parent), m_colour(colour)
{
    setFixedSize(kSize, kSize);
    m_timer.setInterval(100);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_step = (m_step + 1) % kSpokes;
        update();
    });
}

void Spinner::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(width() / 2.0, height() / 2.0);
    const qreal radius = kSize / 2.0;
    for (int i = 0; i < kSpokes; ++i) {
        // The spoke at the current step is the darkest; the others fade behind it.
        QColor colour = m_colour;
        colour.setAlphaF(colour.alphaF() * float(1.0 - ((m_step - i + kSpokes) % kSpokes) * 0.11));
        painter.setPen(QPen(colour, 2.0, Qt::SolidLine, Qt::RoundCap));
        painter.save();
        painter.rotate(360.0 * i / kSpokes);
        painter.drawLine(QPointF(0, -radius * 0.45), QPointF(0, -radius + 1.5));
        painter.restore();
    }
}

void Spinner::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    m_timer.start();
}

void Spinner::hideEvent(QHideEvent* event)
{
    m_timer.stop();
    QWidget::hideEvent(event);
}
