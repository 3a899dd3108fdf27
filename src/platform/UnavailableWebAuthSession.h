#pragma once

#include "platform/WebAuthSession.h"

// The browser step of a build that has none: every sign-in fails at once
// with a description the accounts screen can show.
class UnavailableWebAuthSession : public WebAuthSession
{
public:
    static constexpr auto kDescription = "Signing in through the browser is not available in this build.";

    QCoro::Task<Result<QUrl, QString>> authenticate(QUrl url, QString callbackScheme) override;
};
