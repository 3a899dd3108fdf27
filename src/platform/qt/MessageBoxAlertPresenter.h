#pragma once

#include "platform/AlertPresenter.h"

// QMessageBox in front of every other window of the application.
class MessageBoxAlertPresenter : public AlertPresenter
{
public:
    int run(const Alert& alert) override;
};
