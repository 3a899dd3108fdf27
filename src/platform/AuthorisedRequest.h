#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <chrono>
#include <optional>

#include "platform/HttpRequest.h"

// The one place where a request gets an API key: "Authorization: Bearer "
// + the key. Such a request never follows a redirect, so that the key reaches
// no other address and a POST is never resent as a GET; the 3xx comes back as
// the answer.
class AuthorisedRequest
{
public:
    // What an empty key means for the caller.
    enum class EmptyKey {
        refuse,   // nothing is sent
        send,     // sent with "Bearer " alone: the service's answer decides
    };

    // A POST to `url` with the key and `contentType`; none when the key is
    // empty and `emptyKey` refuses it.
    static std::optional<HttpRequest> post(const QUrl& url, const QString& key,
                                           const QByteArray& contentType,
                                           std::chrono::milliseconds timeout, EmptyKey emptyKey);
};
