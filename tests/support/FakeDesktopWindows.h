#pragma once

#include <QHash>
#include <QList>
#include <QStringList>

#include "platform/DesktopWindows.h"

// A scripted desktop: tests set what is in front and which window has which
// title, and read back every request.
class FakeDesktopWindows final : public DesktopWindows
{
public:
    // What activate() does with an application.
    enum class Activation {
        obeyed,     // the application comes to the front
        ignored,    // the request goes out, but focus stays where it was
        refused,    // the request cannot be made (the application has quit)
    };

    std::optional<DesktopApplication> frontmost;
    Activation activation = Activation::obeyed;
    QHash<quint32, QString> titles;   // by window id
    bool refuseUrls = false;          // openUrl() finds no program

    QList<DesktopApplication> activated;
    QList<QUrl> openedUrls;
    QStringList openedFolders;

    std::optional<DesktopApplication> frontmostApplication() const override { return frontmost; }
    bool activate(const DesktopApplication& application) override;
    QString focusedWindowTitle(const DesktopApplication& application) const override;
    bool openUrl(const QUrl& url) override;
    bool openFolder(const QString& path) override;
};
