#pragma once

#include <QString>
#include <QStringList>

// A modal alert of the warning style.
struct Alert
{
    QString title;      // the alert's main text
    QString message;    // its informative text
    QStringList buttons;
};

class AlertPresenter
{
public:
    virtual ~AlertPresenter() = default;
    // Shows the alert and waits for the answer: the index of the chosen button,
    // or -1 when the alert was closed without one.
    virtual int run(const Alert& alert) = 0;
};
