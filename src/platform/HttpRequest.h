#pragma once

#include <QByteArray>
#include <QList>
#include <QUrl>
#include <chrono>
#include <utility>


// One HTTP request as HttpClient sends it. Headers go out in this order.
struct HttpRequest
{
    QByteArray method = "POST";
    QUrl url;
    QList<std::pair<QByteArray, QByteArray>> headers;
    QByteArray body;
    // The whole exchange, from sending to the last byte of the answer.
    std::chrono::milliseconds timeout = std::chrono::seconds(60);
    // Whether a 3xx answer is followed (to an address no less safe). When not,
    // the 3xx is the answer: a request that carries a credential must not hand
    // it to another address, nor turn from a POST into a GET.
    bool followRedirects = true;
};
