#include "platform/HttpError.h"

#include "platform/SecretMask.h"

HttpError HttpError::timeout() { return {Kind::timeout, {}}; }
HttpError HttpError::cancelled() { return {Kind::cancelled, {}}; }
HttpError HttpError::network(const QString& detail) { return {Kind::network, detail}; }
HttpError HttpError::invalidHeader(const QByteArray& headerName)
{
    return {Kind::invalidHeader, QString::fromLatin1(headerName)};
}
HttpError HttpError::malformedJson(const QString& detail) { return {Kind::malformedJson, detail}; }

QString HttpError::description() const
{
    switch (m_kind) {
    case Kind::timeout:
        return QStringLiteral("The request timed out.");
    case Kind::cancelled:
        return QStringLiteral("The request was cancelled.");
    case Kind::network:
        return m_detail.isEmpty() ? QStringLiteral("Network error.") : m_detail;
    case Kind::invalidHeader:
        if (SecretMask::isCredentialHeader(m_detail.toLatin1()))
            return QStringLiteral("The API key contains a line break or another control character; "
                                  "the request was not sent.");
        return QStringLiteral("Header \"%1\" contains a line break or another control character; "
                              "the request was not sent.").arg(m_detail);
    case Kind::malformedJson:
        return QStringLiteral("The answer is not valid JSON: %1.").arg(m_detail);
    }
    return {};
}
