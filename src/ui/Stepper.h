#pragma once

#include <QWidget>

class QLabel;
class QToolButton;

// A number with a button to step it down and one to step it up, within a
// range: nothing can be typed in, and a step that would leave the range
// does nothing. The label shows the number followed by "s" (seconds).
// Stepping only announces the new number: the owner stores it and shows the
// stored number back.
class Stepper : public QWidget
{
    Q_OBJECT
public:
    Stepper(int minimum, int maximum, int step, QWidget* parent = nullptr);

    void setValue(int value);
    int value() const { return m_value; }

    // "30s" for 30, whatever the interface language.
    static QString valueText(int value);

signals:
    void stepped(int value);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void stepBy(int steps);

    const int m_minimum;
    const int m_maximum;
    const int m_step;
    int m_value;
    QLabel* m_label;
    QToolButton* m_down;
    QToolButton* m_up;
};
