#include "platform/HttpClient.h"

#include <QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QTimer>
#include <memory>

namespace {

struct DeleteLater
{
    void operator()(QObject* object) const { object->deleteLater(); }
};

// Connection and proxy failures, and a body that broke off: no complete answer,
// whatever status line came before.
bool isTransportFailure(QNetworkReply::NetworkError error)
{
    return (error > QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied)
        || error == QNetworkReply::ProtocolFailure;
}

}  // namespace

HttpClient::HttpClient()
    : m_manager(std::make_unique<QNetworkAccessManager>())
{
}

HttpClient::~HttpClient()
{
    // Deleting the manager now would delete its replies under the tasks that
    // await them, and those would never resume: abort them first, in order,
    // then let the manager go.
    for (QNetworkReply* reply : m_manager->findChildren<QNetworkReply*>(Qt::FindDirectChildrenOnly))
        QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
    m_manager.release()->deleteLater();
}

bool HttpClient::hasControlCharacter(const QByteArray& bytes)
{
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if ((b < 0x20 && b != '\t') || b == 0x7f)
            return true;
    }
    return false;
}

QCoro::Task<HttpResult> HttpClient::send(HttpRequest request, CancelToken cancel)
{
    Q_ASSERT(QThread::currentThread() == m_manager->thread());
    for (const auto& [name, value] : request.headers) {
        if (hasControlCharacter(name) || hasControlCharacter(value))
            co_return HttpError::invalidHeader(name);
    }
    if (cancel.isCancelled())
        co_return HttpError::cancelled();

    QNetworkRequest networkRequest(request.url);
    if (!request.followRedirects)
        networkRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                                    QNetworkRequest::ManualRedirectPolicy);
    for (const auto& [name, value] : request.headers)
        networkRequest.setRawHeader(name, value);

    // A plain GET goes through get(), which file: addresses support too.
    const std::unique_ptr<QNetworkReply, DeleteLater> reply(
        request.method == "GET" && request.body.isEmpty()
            ? m_manager->get(networkRequest)
            : m_manager->sendCustomRequest(networkRequest, request.method, request.body));

    // Children of the reply: they go with it, after this coroutine has ended.
    bool timedOut = false;
    auto* timer = new QTimer(reply.get());
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, reply.get(), [&timedOut, r = reply.get()] {
        timedOut = true;
        r->abort();
    });
    timer->start(request.timeout);
    // Queued, so that cancel() returns before this task resumes.
    const QMetaObject::Connection onCancel = QObject::connect(
        cancel.notifier(), &CancelNotifier::cancelled, reply.get(), &QNetworkReply::abort,
        Qt::QueuedConnection);

    co_await reply.get();
    timer->stop();
    QObject::disconnect(onCancel);

    if (cancel.isCancelled())
        co_return HttpError::cancelled();
    if (timedOut)
        co_return HttpError::timeout();
    const QNetworkReply::NetworkError error = reply->error();
    if (isTransportFailure(error))
        co_return HttpError::network(reply->errorString());
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid())
        co_return HttpAnswer{status.toInt(), reply->readAll()};
    if (error != QNetworkReply::NoError)
        co_return HttpError::network(reply->errorString());
    co_return HttpAnswer{std::nullopt, reply->readAll()};
}
