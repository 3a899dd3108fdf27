#pragma once

#include <QWidget>

class LocaleManager;
class QLabel;

// Stand-in content of the floating panel until its real bars arrive: the
// ready text on the panel's dark rounded background, in the current
// interface language.
class FloatingPanelPlaceholder : public QWidget
{
    Q_OBJECT
public:
    explicit FloatingPanelPlaceholder(LocaleManager& locale, QWidget* parent = nullptr);

    QString text() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void updateText();

    LocaleManager& m_locale;
    QLabel* m_label;
};
