#pragma once

#include <QList>
#include <QString>
#include <QWidget>
#include <utility>

class QToolButton;

// A row of segments, each standing for one value; the segment of the value
// it is given shows selected, and none does when no segment has that value.
// Choosing a segment only announces its value: the owner stores it and
// shows the stored value back.
class SegmentedPicker : public QWidget
{
    Q_OBJECT
public:
    struct Segment
    {
        QString label;
        QString value;
    };

    // Each segment's button is named after its value.
    SegmentedPicker(const QList<Segment>& segments, QWidget* parent = nullptr);

    void setSelected(const QString& value);
    // The selected value; empty when no segment is selected.
    QString selected() const { return m_selected; }

signals:
    // A segment was clicked, the selected one included.
    void chosen(const QString& value);

private:
    void showSelected();

    QList<std::pair<QToolButton*, QString>> m_buttons;
    QString m_selected;
};
