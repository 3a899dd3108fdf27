#pragma once

#include <QCoroTask>
#include <QString>
#include <QUrl>

#include "platform/Result.h"

// The browser side of a sign-in: opens an address and waits for the one
// address the sign-in comes back to (its scheme is `callbackScheme`).
class WebAuthSession
{
public:
    virtual ~WebAuthSession() = default;

    // The callback address, or a failure's user-readable description (the
    // user cancelled, the browser could not be opened).
    virtual QCoro::Task<Result<QUrl, QString>> authenticate(QUrl url, QString callbackScheme) = 0;
};
