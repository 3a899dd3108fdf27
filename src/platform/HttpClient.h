#pragma once

#include <QCoroTask>
#include <memory>

#include "platform/CancelToken.h"
#include "platform/Result.h"
#include "platform/HttpAnswer.h"
#include "platform/HttpError.h"
#include "platform/HttpRequest.h"

class QNetworkAccessManager;

using HttpResult = Result<HttpAnswer, HttpError>;

// Sends requests through one QNetworkAccessManager on the main thread.
// An answer is classified by its HTTP status first: Qt also reports 4xx and 5xx
// as errors, but those are answers. A transport failure (refused, dropped,
// cut short) is an error even when a status line had arrived.
class HttpClient
{
public:
    // The app makes one, on the main thread, and hands it to every service.
    HttpClient();
    // Requests still open end as network errors at the next turn of the
    // event loop, so that whatever awaits them runs to its end.
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Sends `request` once and waits for the whole answer, at most
    // `request.timeout`. Cancelling `cancel` aborts the request; the result is
    // then HttpError::cancelled (also when the answer had already arrived).
    QCoro::Task<HttpResult> send(HttpRequest request, CancelToken cancel = {});

    // Whether a header name or value holds a byte that must never be sent
    // (CR, LF, NUL, any other control character except tab, DEL).
    static bool hasControlCharacter(const QByteArray& bytes);

private:
    std::unique_ptr<QNetworkAccessManager> m_manager;
};
