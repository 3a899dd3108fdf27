#include "support/ScriptedWebAuthSession.h"

#include <QCoroNetworkReply>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <memory>

QCoro::Task<Result<QUrl, QString>> ScriptedWebAuthSession::authenticate(QUrl url, QString callbackScheme)
{
    m_opened = url;
    if (m_cancel)
        co_return QString::fromLatin1(kCancelled);
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    const std::unique_ptr<QNetworkReply> reply(m_network.get(request));
    co_await reply.get();
    const QUrl location = QUrl::fromEncoded(reply->rawHeader("Location"));
    if (location.scheme() != callbackScheme)
        co_return QStringLiteral("The sign-in page did not come back (status %1).")
            .arg(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
    const QUrl callback = rewriteCallback ? rewriteCallback(location) : location;
    if (beforeReturn)
        beforeReturn();
    co_return callback;
}
