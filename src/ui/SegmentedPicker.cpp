#include "ui/SegmentedPicker.h"

#include <QHBoxLayout>
#include <QToolButton>

SegmentedPicker::SegmentedPicker(const QList<Segment>& segments, QWidget* parent) : QWidget(parent)
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    for (const Segment& segment : segments) {
        auto* button = new QToolButton(this);
        button->setObjectName(segment.value);
        button->setText(segment.label);
        // Checkable for the look and for assistive tools; the check follows
        // the selection only, so none may show selected.
        button->setCheckable(true);
        button->setFocusPolicy(Qt::TabFocus);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        connect(button, &QToolButton::clicked, this, [this, value = segment.value] {
            showSelected();   // a click toggled the button itself
            emit chosen(value);
        });
        row->addWidget(button);
        m_buttons.append({button, segment.value});
    }
    showSelected();
}

void SegmentedPicker::setSelected(const QString& value)
{
    m_selected = value;
    showSelected();
}

void SegmentedPicker::showSelected()
{
    for (const auto& [button, value] : m_buttons)
        button->setChecked(value == m_selected);
}
