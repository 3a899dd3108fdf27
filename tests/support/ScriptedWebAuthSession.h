#pragma once

#include <QNetworkAccessManager>
#include <QUrl>
#include <functional>
#include <optional>

#include "platform/WebAuthSession.h"

// The browser of a sign-in as a script: it asks the authorize address itself
// (no redirect followed) and hands back the redirect's target when that has
// the callback scheme, as a user who signs in at once. Told to, it fails as a
// user who closed the window, or changes the callback on its way back.
class ScriptedWebAuthSession : public WebAuthSession
{
public:
    static constexpr auto kCancelled = "The sign-in was cancelled.";

    QCoro::Task<Result<QUrl, QString>> authenticate(QUrl url, QString callbackScheme) override;

    // The next sign-ins fail as cancelled by the user, without a request.
    void cancelByUser() { m_cancel = true; }
    // Applied to the callback address before it is handed back.
    std::function<QUrl(const QUrl&)> rewriteCallback;
    // Run once the callback is known, before it is handed back.
    std::function<void()> beforeReturn;

    // The address last opened; empty before.
    const QUrl& openedUrl() const { return m_opened; }

private:
    QNetworkAccessManager m_network;
    QUrl m_opened;
    bool m_cancel = false;
};
