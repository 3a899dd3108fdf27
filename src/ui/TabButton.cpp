#include "ui/TabButton.h"

#include <QPainter>
#include <QPainterPath>

#include "ui/Style.h"

TabButton::TabButton(const QString& title, QWidget* parent) : QAbstractButton(parent)
{
    setText(title);
    // A click must not take the focus from where the user types.
    setFocusPolicy(Qt::TabFocus);
    setFont(titleFont());
}

void TabButton::setSelected(bool selected)
{
    if (selected == m_selected)
        return;
    m_selected = selected;
    setFont(titleFont());
    updateGeometry();
    update();
}

QFont TabButton::titleFont() const
{
    return Style::font(Style::TextSize::body, m_selected ? QFont::DemiBold : QFont::Normal);
}

QSize TabButton::sizeHint() const
{
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text()) + 2 * kHorizontalPadding,
            metrics.height() + 2 * kVerticalPadding};
}

void TabButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor accent = Style::accent(palette());
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), kCornerRadius, kCornerRadius);
    if (m_selected) {
        QColor fill = accent;
        fill.setAlphaF(float(kFillOpacity));
        painter.fillPath(shape, fill);
    }
    if (hasFocus()) {
        painter.setPen(QPen(accent, 1.0));
        painter.drawPath(shape);
    }
    painter.setPen(m_selected ? accent : Style::secondary(palette()));
    painter.setFont(font());
    painter.drawText(rect(), Qt::AlignCenter, text());
}
