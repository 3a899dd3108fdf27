#include <QApplication>
#include <QDir>
#include <QStandardPaths>

#include "app/ApplicationShell.h"
#include "platform/Preferences.h"
#include "platform/SingleInstance.h"
#include "platform/Updater.h"
#include "platform/qt/MessageBoxAlertPresenter.h"
#include "session/SessionManager.h"
#include "store/LocaleManager.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Talvex"));
    QApplication::setApplicationName(QStringLiteral("Talvex"));
    QApplication::setApplicationVersion(QStringLiteral(TALVEX_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);

    // One instance per user: a second launch hands its arguments over and ends.
    const QString dataFolder =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Talvex";
    QDir().mkpath(dataFolder);
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

    SessionManager session(Preferences::shared(), SessionPlatform::linuxDesktop());
    MessageBoxAlertPresenter alerts;
    Updater updater([](const QString& key) { return LocaleManager::localized(key); });
    ApplicationShell shell(session, updater, alerts);
    QObject::connect(&instance, &SingleInstance::activationRequested, &shell,
                     &ApplicationShell::showMainWindow);
    shell.start();
    return app.exec();
}
