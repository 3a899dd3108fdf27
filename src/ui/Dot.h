#pragma once

#include <QColor>
#include <QWidget>

// A filled circle, `diameter` logical pixels across.
class Dot : public QWidget
{
    Q_OBJECT
public:
    Dot(int diameter, const QColor& colour, QWidget* parent = nullptr);

    QColor colour() const { return m_colour; }
    void setColour(const QColor& colour);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_colour;
};
