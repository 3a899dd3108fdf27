#include "support/FakeDesktopWindows.h"

bool FakeDesktopWindows::activate(const DesktopApplication& application)
{
    activated.append(application);
    switch (activation) {
    case Activation::obeyed: frontmost = application; return true;
    case Activation::ignored: return true;
    case Activation::refused: return false;
    }
    return false;
}

QString FakeDesktopWindows::focusedWindowTitle(const DesktopApplication& application) const
{
    return titles.value(application.windowId);
}

bool FakeDesktopWindows::openUrl(const QUrl& url)
{
    openedUrls.append(url);
    return !refuseUrls;
}

bool FakeDesktopWindows::openFolder(const QString& path)
{
    openedFolders.append(path);
    return true;
}
