#include "app/LaunchRoutes.h"

#include "app/ApplicationShell.h"
#include "platform/BrowserWebAuthSession.h"
#include "platform/SingleInstance.h"
#include "store/Logger.h"

void routeLaunches(SingleInstance& launches, const QStringList& ownArguments, ApplicationShell& shell,
                   BrowserWebAuthSession& browser, Logger& logger)
{
    QObject::connect(&browser, &BrowserWebAuthSession::noted, &logger, &Logger::info);
    QObject::connect(&browser, &BrowserWebAuthSession::warned, &logger, &Logger::warning);
    QObject::connect(&launches, &SingleInstance::activationRequested, &shell, &ApplicationShell::showMainWindow);
    QObject::connect(&launches, &SingleInstance::urlReceived, &browser, &BrowserWebAuthSession::receiveCallback);
    for (const QUrl& url : SingleInstance::callbackUrls(ownArguments))
        browser.receiveCallback(url);
}
