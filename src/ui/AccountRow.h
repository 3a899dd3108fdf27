#pragma once

#include <QWidget>

class PlainLabel;
class QLabel;
class QToolButton;

// One row of the accounts screen: a mark that is filled while the row's
// user is current, the label (semibold then) over a detail line, and, for an
// account, a sign-out button. A click anywhere else on the row, or Space or
// Return while it has focus, selects it.
class AccountRow : public QWidget
{
    Q_OBJECT
public:
    AccountRow(const QString& name, bool canSignOut, QWidget* parent = nullptr);

    void setTexts(const QString& label, const QString& detail);
    void setCurrent(bool current);
    bool isCurrent() const { return m_current; }
    // Null for a row without one.
    QToolButton* signOutButton() const { return m_signOut; }

signals:
    void selected();
    void signOutRequested();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void showMark();

    QLabel* m_mark;
    PlainLabel* m_label;
    PlainLabel* m_detail;
    QToolButton* m_signOut = nullptr;
    bool m_current = false;
};
