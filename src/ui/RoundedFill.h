#pragma once

#include <QColor>
#include <QWidget>

// A rectangle of one colour with rounded corners, drawn behind whatever the
// widget holds.
class RoundedFill : public QWidget
{
    Q_OBJECT
public:
    RoundedFill(const QColor& colour, qreal radius, QWidget* parent = nullptr);

    QColor colour() const { return m_colour; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_colour;
    qreal m_radius;
};
