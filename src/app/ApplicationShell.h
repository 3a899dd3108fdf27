#pragma once

#include <QObject>
#include <memory>

#include "platform/TrayHostWatcher.h"

class AlertPresenter;
class MainWindow;
class QAction;
class QMenu;
class QSystemTrayIcon;
class SessionManager;
class Updater;

// The running application around the controller: the tray icon showing the
// dictation state, its menu (settings, floating panel, update check, quit;
// shown on a click of either button) and the main window, hidden right after
// launch. Without a tray host the window stays open, and the icon comes as
// soon as a host does.
class ApplicationShell : public QObject
{
    Q_OBJECT
public:
    // After launch the main window is hidden this much later.
    static constexpr int kHideMainWindowDelayMs = 100;

    ApplicationShell(SessionManager& session, Updater& updater, AlertPresenter& alerts,
                     std::unique_ptr<TrayHostWatcher> trayHosts,
                     QObject* parent = nullptr);
    ~ApplicationShell() override;

    // Shows the tray icon and the main window, then hides the window unless
    // there is no system tray to bring it back from.
    void start();
    void showMainWindow();

    QMenu& menu() { return *m_menu; }
    // None until a tray host was found.
    QSystemTrayIcon* trayIcon() { return m_tray; }
    MainWindow& mainWindow() { return *m_mainWindow; }
    // The resource of the icon standing for the current dictation state.
    QString stateIconPath() const;

private:
    void retranslateMenu();
    // Creates and shows the icon once; its toolkit picks the kind of tray
    // (the session bus or X) when it is created, so only once a host exists.
    void showTrayIcon();
    void updateStateIcon();
    void toggleFloatingPanel();

    SessionManager& m_session;
    Updater& m_updater;
    AlertPresenter& m_alerts;
    std::unique_ptr<MainWindow> m_mainWindow;
    std::unique_ptr<QMenu> m_menu;
    const std::unique_ptr<TrayHostWatcher> m_trayHosts;
    QSystemTrayIcon* m_tray = nullptr;
    QAction* m_settings;
    QAction* m_floatingPanel;
    QAction* m_checkUpdate;
    QAction* m_quit;
};
