#pragma once

#include <QColor>
#include <QTimer>
#include <QWidget>

// A small indeterminate progress spinner. It turns only while shown.
class Spinner : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kSize = 16;

    explicit Spinner(const QColor& colour, QWidget* parent = nullptr);

    bool isTurning() const { return m_timer.isActive(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    static constexpr int kSpokes = 8;

    QColor m_colour;
    QTimer m_timer;
    int m_step = 0;
};
