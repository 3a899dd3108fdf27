#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <gmock/gmock.h>

#include "platform/atspi/AtspiAccessibility.h"
#include "platform/x11/X11ClipboardReader.h"
#include "platform/x11/X11DesktopWindows.h"
#include "platform/x11/X11KeySynthesizer.h"
#include "session/TextInjector.h"
#include "store/Logger.h"
#include "support/QStringPrinter.h"
#include "support/TempHome.h"

using testing::Contains;

// Without an X display (the offscreen platform, or Wayland) the desktop
// backends report nothing in front and refuse to act, and the injector
// reports the text as not inserted, so that it waits for the user.

TEST(TextInjectorOffscreen, DesktopBackendsDegradeWithoutAnXConnection)
{
    X11DesktopWindows windows;
    X11KeySynthesizer keys;
    const DesktopApplication someone{"Editor", 4242, 0x400001};

    EXPECT_EQ(windows.frontmostApplication(), std::nullopt);
    EXPECT_FALSE(windows.activate(someone));
    EXPECT_EQ(windows.focusedWindowTitle(someone), "");
    EXPECT_FALSE(keys.isAvailable());
    EXPECT_FALSE(keys.postPaste());
}

TEST(TextInjectorOffscreen, InjectorOnTheDefaultBackendsReportsTheTextNotInserted)
{
    TempHome home;
    Logger logger(home.path());
    TextInjector injector(logger, std::make_unique<X11DesktopWindows>(),
                          std::make_unique<AtspiAccessibility>(), std::make_unique<X11KeySynthesizer>(),
                          std::make_unique<X11ClipboardReader>());
    QGuiApplication::clipboard()->setText("the user's");

    injector.captureTarget();
    EXPECT_FALSE(injector.targetApp());
    EXPECT_FALSE(injector.inject("dictated"));

    EXPECT_EQ(QGuiApplication::clipboard()->text(), "the user's");
    EXPECT_EQ(injector.getCurrentTarget(), std::nullopt);
    QCoreApplication::sendPostedEvents(&logger, QEvent::MetaCall);
    QStringList messages;
    for (const auto& entry : logger.entries())
        messages << entry.message;
    EXPECT_THAT(messages, Contains("TextInjector: the ⌘V key events could not be posted"));
}

namespace {
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.append(url); }
};
}

TEST(TextInjectorOffscreen, UrlsAndFoldersGoToTheDesktopsHandlers)
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("https", &catcher, "open");
    QDesktopServices::setUrlHandler("file", &catcher, "open");
    X11DesktopWindows windows;

    EXPECT_TRUE(windows.openUrl(QUrl("https://example.invalid/privacy")));
    EXPECT_TRUE(windows.openFolder("/tmp/talvex recordings"));

    EXPECT_EQ(catcher.urls, (QList<QUrl>{QUrl("https://example.invalid/privacy"),
                                         QUrl::fromLocalFile("/tmp/talvex recordings")}));
    QDesktopServices::unsetUrlHandler("https");
    QDesktopServices::unsetUrlHandler("file");
}

#include "TextInjectorOffscreenTest.moc"
