#include "ui/SegmentedPicker.h"

#include <QHBoxLayout>
#include <QToolButton>

#include "ui/Style.h"

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
    // The selected segment in the accent colour, so that it stands out from
    // the others in every style.
    const QPalette colours = palette();
    setStyleSheet(QStringLiteral("QToolButton { border: 1px solid %1; padding: 3px 10px; background: %2; }"
                                 "QToolButton:checked { background: %3; color: %4; }")
                      .arg(Style::separator(colours).name(), colours.color(QPalette::Base).name(),
                           Style::accent(colours).name(), colours.color(QPalette::HighlightedText).name()));
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
