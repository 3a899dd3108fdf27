#include "ui/Stepper.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QToolButton>
#include <algorithm>

namespace {

QToolButton* arrowButton(const QString& name, Qt::ArrowType arrow, QWidget* parent)
{
    auto* button = new QToolButton(parent);
    button->setObjectName(name);
    button->setArrowType(arrow);
    button->setFocusPolicy(Qt::NoFocus);   // the stepper itself takes the keys
    button->setAutoRepeat(true);
    return button;
}

}

Stepper::Stepper(int minimum, int maximum, int step, QWidget* parent)
    : QWidget(parent)
    , m_minimum(minimum)
    , m_maximum(maximum)
    , m_step(step)
    , m_value(minimum)
    , m_label(new QLabel(this))
    , m_down(arrowButton(QStringLiteral("stepDown"), Qt::DownArrow, this))
    , m_up(arrowButton(QStringLiteral("stepUp"), Qt::UpArrow, this))
{
    m_label->setObjectName(QStringLiteral("stepperValue"));
    m_label->setTextFormat(Qt::PlainText);
    m_down->setAccessibleName(QStringLiteral("-"));
    m_up->setAccessibleName(QStringLiteral("+"));
    setFocusPolicy(Qt::TabFocus);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(4);
    row->addWidget(m_label);
    row->addWidget(m_down);
    row->addWidget(m_up);
    connect(m_down, &QToolButton::clicked, this, [this] { stepBy(-1); });
    connect(m_up, &QToolButton::clicked, this, [this] { stepBy(1); });
    setValue(minimum);
}

QString Stepper::valueText(int value)
{
    return QString::asprintf("%llds", static_cast<long long>(value));
}

void Stepper::setValue(int value)
{
    m_value = value;
    m_label->setText(valueText(value));
    m_down->setEnabled(value > m_minimum);
    m_up->setEnabled(value < m_maximum);
}

void Stepper::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Up)
        stepBy(1);
    else if (event->key() == Qt::Key_Down)
        stepBy(-1);
    else
        QWidget::keyPressEvent(event);
}

void Stepper::stepBy(int steps)
{
    const int next = std::clamp(m_value + steps * m_step, m_minimum, m_maximum);
    // A value stored outside the range moves only towards it.
    if (steps > 0 ? next > m_value : next < m_value)
        emit stepped(next);
}
