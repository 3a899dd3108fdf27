#include "platform/AuthorisedRequest.h"

std::optional<HttpRequest> AuthorisedRequest::post(const QUrl& url, const QString& key,
                                                   const QByteArray& contentType,
                                                   std::chrono::milliseconds timeout,
                                                   EmptyKey emptyKey)
{
    if (key.isEmpty() && emptyKey == EmptyKey::refuse)
        return std::nullopt;
    HttpRequest request;
    request.method = "POST";
    request.url = url;
    request.timeout = timeout;
    request.headers = {{"Authorization", "Bearer " + key.toUtf8()}, {"Content-Type", contentType}};
    request.followRedirects = false;
    return request;
}
