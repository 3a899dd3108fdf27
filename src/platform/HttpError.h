#pragma once

#include <QByteArray>
#include <QString>
#include <utility>

// A request that got no usable HTTP answer, or an answer whose JSON does not
// parse: the failures that the services pass through unchanged.
class HttpError
{
public:
    enum class Kind {
        timeout,        // our own time-out fired first
        cancelled,      // the caller's CancelToken fired
        network,        // connection refused, dropped, host not found, TLS, ...
        invalidHeader,  // a header value holds a control character: nothing was sent
        malformedJson,  // the answer's body is not JSON
    };

    static HttpError timeout();
    static HttpError cancelled();
    static HttpError network(const QString& detail);
    static HttpError invalidHeader(const QByteArray& headerName);
    static HttpError malformedJson(const QString& detail);

    Kind kind() const { return m_kind; }
    // The user-facing text.
    QString description() const;

private:
    HttpError(Kind kind, QString detail) : m_kind(kind), m_detail(std::move(detail)) {}

    Kind m_kind;
    QString m_detail;
};
