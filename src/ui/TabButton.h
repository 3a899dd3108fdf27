#pragma once

#include <QAbstractButton>

// A button of the main window's tab row: its title, semibold on a faint
// accent fill while its tab is shown.
class TabButton : public QAbstractButton
{
    Q_OBJECT
public:
    explicit TabButton(const QString& title, QWidget* parent = nullptr);

    bool isSelected() const { return m_selected; }
    void setSelected(bool selected);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    static constexpr int kHorizontalPadding = 12;
    static constexpr int kVerticalPadding = 6;
    static constexpr int kCornerRadius = 6;
    static constexpr qreal kFillOpacity = 0.1;

    QFont titleFont() const;

    bool m_selected = false;
};
