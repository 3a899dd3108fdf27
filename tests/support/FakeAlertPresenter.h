#pragma once

#include <QList>
#include <functional>

#include "platform/AlertPresenter.h"

// Answers every alert with a chosen button and keeps what it was shown.
class FakeAlertPresenter : public AlertPresenter
{
public:
    int run(const Alert& alert) override
    {
        shown.append(alert);
        if (whileShown)
            whileShown();
        return answer;
    }

    int answer = -1;
    // Runs while the alert is up, as the events a real alert's own event
    // loop would deliver.
    std::function<void()> whileShown;
    QList<Alert> shown;
};
