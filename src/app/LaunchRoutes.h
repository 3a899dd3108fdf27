#pragma once

#include <QStringList>

class ApplicationShell;
class BrowserWebAuthSession;
class Logger;
class SingleInstance;

// How the running app takes later launches: a plain one brings up the main
// window; a talvex: callback goes to the sign-in waiting for the browser and
// raises nothing. A callback among the app's own arguments (the app was not
// running when the browser came back) has no sign-in to go to and is only
// logged. The browser step's lines go to the app's log.
void routeLaunches(SingleInstance& launches, const QStringList& ownArguments, ApplicationShell& shell,
                   BrowserWebAuthSession& browser, Logger& logger);
