#include "platform/qt/MessageBoxAlertPresenter.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

int MessageBoxAlertPresenter::run(const Alert& alert)
{
    QMessageBox box(QMessageBox::Warning, QString(), alert.title);
    box.setInformativeText(alert.message);
    QList<QAbstractButton*> buttons;
    for (const QString& text : alert.buttons)
        buttons << box.addButton(text, buttons.isEmpty() ? QMessageBox::AcceptRole
                                                         : QMessageBox::RejectRole);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    // The app runs from the tray: bring the alert in front of the focused application.
    box.show();
    box.raise();
    box.activateWindow();
    box.exec();
    return buttons.indexOf(box.clickedButton());
}
