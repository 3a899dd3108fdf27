#pragma once

#include <QList>

#include "platform/AlertPresenter.h"

// Answers every alert with a chosen button and keeps what it was shown.
class FakeAlertPresenter : public AlertPresenter
{
public:
    int run(const Alert& alert) override
    {
        shown.append(alert);
        return answer;
    }

    int answer = -1;
    QList<Alert> shown;
};
