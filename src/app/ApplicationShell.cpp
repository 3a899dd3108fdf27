#include "app/ApplicationShell.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QIcon>
#include <QKeySequence>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

#include "platform/Preferences.h"
#include "platform/Updater.h"
#include "session/FloatingPanel.h"
#include "session/SessionManager.h"
#include "store/LocaleManager.h"
#include "store/Logger.h"
#include "ui/MainWindow.h"

ApplicationShell::ApplicationShell(SessionManager& session, Updater& updater,
                                   AlertPresenter& alerts, std::unique_ptr<TrayHostWatcher> trayHosts,
                                   QObject* parent)
    : QObject(parent)
    , m_session(session)
    , m_updater(updater)
    , m_alerts(alerts)
    , m_mainWindow(std::make_unique<MainWindow>(session))
    , m_menu(std::make_unique<QMenu>())
    , m_trayHosts(std::move(trayHosts))
{
    m_settings = m_menu->addAction(QString(), this, &ApplicationShell::showMainWindow);
    m_settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    m_floatingPanel = m_menu->addAction(QString(), this, &ApplicationShell::toggleFloatingPanel);
    m_checkUpdate = m_menu->addAction(QString(), this, [this] { m_updater.checkAndPresent(m_alerts); });
    m_menu->addSeparator();
    m_quit = m_menu->addAction(QString(), qApp, &QCoreApplication::quit);
    m_quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    // Texts are looked up each time the menu is built.
    connect(m_menu.get(), &QMenu::aboutToShow, this, &ApplicationShell::retranslateMenu);
    connect(&m_session.preferences(), &Preferences::changed, this, &ApplicationShell::retranslateMenu);
    connect(&m_session.locale(), &LocaleManager::languageChanged, this,
            &ApplicationShell::retranslateMenu);
    connect(&m_session, &SessionManager::stateChanged, this, &ApplicationShell::updateStateIcon);
    retranslateMenu();
}

ApplicationShell::~ApplicationShell() = default;

void ApplicationShell::start()
{
    m_mainWindow->show();
    connect(m_trayHosts.get(), &TrayHostWatcher::appeared, this, [this] {
        if (m_tray)
            return;
        m_session.logger().info(QStringLiteral("App: a system tray appeared, showing the icon"));
        showTrayIcon();
    });
    if (!m_trayHosts->isAvailable()) {
        // Without a tray the window is the only way in: keep it.
        m_session.logger().warning(
            QStringLiteral("App: no system tray available, keeping the main window open"));
        return;
    }
    showTrayIcon();
    QTimer::singleShot(kHideMainWindowDelayMs, m_mainWindow.get(), &QWidget::hide);
}

void ApplicationShell::showTrayIcon()
{
    m_tray = new QSystemTrayIcon(this);
    m_tray->setContextMenu(m_menu.get());
    m_tray->setToolTip(QStringLiteral("Talvex"));
    // The right button opens the menu by itself; the left one only reports.
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            m_menu->popup(QCursor::pos());
    });
    updateStateIcon();
    m_tray->show();
}

void ApplicationShell::showMainWindow()
{
    m_mainWindow->show();
    m_mainWindow->raise();
    m_mainWindow->activateWindow();
}

QString ApplicationShell::stateIconPath() const
{
    switch (m_session.state()) {
    case SessionState::idle: return QStringLiteral(":/icons/tray-idle.svg");
    case SessionState::recording: return QStringLiteral(":/icons/tray-recording.svg");
    case SessionState::paused: return QStringLiteral(":/icons/tray-paused.svg");
    case SessionState::processing:
    case SessionState::confirming: return QStringLiteral(":/icons/tray-processing.svg");
    }
    return {};
}

void ApplicationShell::updateStateIcon()
{
    if (m_tray)
        m_tray->setIcon(QIcon(stateIconPath()));
}

void ApplicationShell::retranslateMenu()
{
    m_settings->setText(m_session.locale().text("menu.settings"));
    m_floatingPanel->setText(m_session.locale().text(
        m_session.preferences().showFloatingPanel() ? "menu.hideFloating" : "menu.showFloating"));
    m_checkUpdate->setText(m_session.locale().text("menu.checkUpdate"));
    m_quit->setText(m_session.locale().text("menu.quit"));
}

void ApplicationShell::toggleFloatingPanel()
{
    Preferences& prefs = m_session.preferences();
    const bool show = !prefs.showFloatingPanel();
    prefs.setValue(PrefKey::showFloatingPanel, show);
    if (FloatingPanel* panel = m_session.floatingPanel())
        show ? panel->show() : panel->hide();
}
