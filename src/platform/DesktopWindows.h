#pragma once

#include <QString>
#include <QUrl>
#include <QtGlobal>
#include <memory>
#include <optional>

// A running application as the desktop shows it: the process behind one of
// its top-level windows.
struct DesktopApplication
{
    QString name;          // empty when the window names no application
    qint64 pid = 0;        // 0 when the window does not say
    quint32 windowId = 0;  // the window it was seen through

    // Windows that do not publish their process are told apart by window.
    bool isSameApplication(const DesktopApplication& other) const;
};

// The desktop's windows and applications: which application is in front, bringing a
// remembered one back, the title of its window, and handing URLs and folders
// to the user's default programs.
class DesktopWindows
{
public:
    virtual ~DesktopWindows();
    DesktopWindows(const DesktopWindows&) = delete;
    DesktopWindows& operator=(const DesktopWindows&) = delete;

    // The application whose window is active; none when no window is (or
    // there is no window system to ask).
    virtual std::optional<DesktopApplication> frontmostApplication() const = 0;
    // Asks for `application` to come to the front: its remembered window, or
    // another of its windows when that one is gone. False when the request
    // could not be made (no window of it left, no window system); true does
    // not promise that the window manager obeyed.
    virtual bool activate(const DesktopApplication& application) = 0;
    // The title of the application's focused window (its active window when
    // it is in front, else the remembered one); empty when it has none.
    virtual QString focusedWindowTitle(const DesktopApplication& application) const = 0;

    // Open with the user's default programs; false when none would take it.
    virtual bool openUrl(const QUrl& url) = 0;
    virtual bool openFolder(const QString& path) = 0;

protected:
    DesktopWindows() = default;
};
