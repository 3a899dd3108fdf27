#include <QApplication>
#include <QDir>
#include <QStandardPaths>

#include "app/ApplicationShell.h"
#include "app/LaunchRoutes.h"
#include "app/LinuxDesktopPlatform.h"
#include "platform/BrowserWebAuthSession.h"
#include "platform/HttpClient.h"
#include "platform/Preferences.h"
#include "platform/PrivateFiles.h"
#include "platform/QuitSignalWatcher.h"
#include "platform/SingleInstance.h"
#include "platform/Updater.h"
#include "platform/x11/X11TrayHostWatcher.h"
#include "session/SessionManager.h"
#include "store/LocaleManager.h"
#include "store/Logger.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Talvex"));
    QApplication::setApplicationName(QStringLiteral("Talvex"));
    QApplication::setApplicationVersion(QStringLiteral(TALVEX_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);
    // From here on a log-out, Ctrl+C or a closed terminal ends the program
    // like the menu's quit: the controller then seals and stores a dictation
    // still being recorded. Signals that come before the event loop runs
    // are handled once it does.
    QuitSignalWatcher quitSignals;

    // One instance per user: a second launch hands its arguments over and ends.
    const QString dataFolder =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Talvex";
    PrivateFiles::makeFolder(dataFolder);
    SingleInstance instance(dataFolder);
    switch (instance.start(QApplication::arguments().mid(1))) {
    case SingleInstance::Outcome::primary:
        break;
    case SingleInstance::Outcome::forwarded:
        return 0;
    case SingleInstance::Outcome::failed:
        qCritical("Talvex: %s", qPrintable(instance.errorString()));
        return 1;
    }

    // The services every part shares, made once here and passed to each.
    Preferences preferences;
    LocaleManager locale(preferences);
    HttpClient http;
    SessionPlatform platform = linuxDesktopPlatform();
    // The sign-in opens the browser through the desktop the controller keeps.
    auto browser = std::make_unique<BrowserWebAuthSession>(*platform.windows);
    BrowserWebAuthSession& signInBrowser = *browser;
    platform.webAuthSession = std::move(browser);
    SessionManager session(preferences, locale, http, std::move(platform));
    Updater updater(http, [&locale](const QString& key) { return locale.text(key); });
    ApplicationShell shell(session, updater, session.alerts(), std::make_unique<X11TrayHostWatcher>());
    routeLaunches(instance, QApplication::arguments().mid(1), shell, signInBrowser, session.logger());
    if (!quitSignals.errorString().isEmpty())
        session.logger().error(QStringLiteral("App: ") + quitSignals.errorString());
    QObject::connect(&quitSignals, &QuitSignalWatcher::received, &app, [&session](int signalNumber) {
        session.logger().info(QStringLiteral("App: received %1, quitting")
                                  .arg(QuitSignalWatcher::nameOf(signalNumber)));
        QCoreApplication::quit();
    });
    shell.start();
    return app.exec();
}
