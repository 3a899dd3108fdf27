#pragma once

#include <QObject>
#include <QUrl>
#include <chrono>
#include <memory>

#include "platform/WebAuthSession.h"
#include "platform/XdgSchemeHandler.h"

class DesktopWindows;
class QTimer;

// Waits of the browser sign-in; tests shrink them.
struct BrowserWebAuthTiming
{
    // The browser's tab closing cannot be seen from here, so a sign-in
    // nobody finishes ends after this long.
    std::chrono::milliseconds callbackTimeout = std::chrono::minutes(10);
};

// The browser step of a sign-in on Linux: makes sure talvex:// links come to
// this program, opens the sign-in page in the user's browser, and waits for
// the callback that a later launch of the program hands over (main() passes
// it to receiveCallback()). Only "talvex://auth-callback" is taken, only
// while a sign-in waits for it, and only once. Main thread only.
class BrowserWebAuthSession : public QObject, public WebAuthSession
{
    Q_OBJECT
public:
    static constexpr auto kCallbackAddress = "talvex://auth-callback";
    static constexpr auto kCancelled = "The sign-in was cancelled.";
    static constexpr auto kAlreadyWaiting = "Another sign-in is already waiting for the browser.";
    static constexpr auto kBrowserNotOpened = "The browser could not be opened for the sign-in.";
    static constexpr auto kEnded = "The sign-in was ended because Talvex is quitting.";

    BrowserWebAuthSession(DesktopWindows& windows, XdgSchemeHandlerSetup handler = {},
                          BrowserWebAuthTiming timing = {}, QObject* parent = nullptr);
    ~BrowserWebAuthSession() override;

    QCoro::Task<Result<QUrl, QString>> authenticate(QUrl url, QString callbackScheme) override;

    // Ends the sign-in that waits for the browser as cancelled; nothing
    // when none waits.
    void cancel();
    // Whether a sign-in is under way.
    bool isWaiting() const { return bool(m_pending); }

    // The description of a sign-in ended by the time-out.
    QString timeoutDescription() const;

public slots:
    // A talvex: address handed over by a later launch.
    void receiveCallback(const QUrl& url);

signals:
    // Lines for the app's log; none holds a code or a token.
    void noted(const QString& line);
    void warned(const QString& line);

private:
    class Pending;
    void finish(Result<QUrl, QString> outcome);

    DesktopWindows& m_windows;
    XdgSchemeHandler m_handler;
    const BrowserWebAuthTiming m_timing;
    std::shared_ptr<Pending> m_pending;   // the sign-in under way
};
