#include "sync/BackendError.h"

BackendError BackendError::notConfigured(const QString& problem) { return {Kind::notConfigured, problem}; }

BackendError BackendError::notSignedIn() { return {Kind::notSignedIn, {}}; }

BackendError BackendError::otherAccount() { return {Kind::otherAccount, {}}; }

BackendError BackendError::transport(const HttpError& error)
{
    BackendError result(Kind::transport, {});
    result.m_httpError = error;
    return result;
}

BackendError BackendError::status(int statusCode, const QString& message)
{
    BackendError result(Kind::status, message.trimmed());
    result.m_statusCode = statusCode;
    return result;
}

BackendError BackendError::signIn(const QString& description) { return {Kind::signIn, description}; }

bool BackendError::isCancelled() const
{
    return m_httpError && m_httpError->kind() == HttpError::Kind::cancelled;
}

QString BackendError::description() const
{
    switch (m_kind) {
    case Kind::notConfigured:
        return QStringLiteral("Account sync is not configured: %1").arg(m_detail);
    case Kind::notSignedIn:
        return QStringLiteral("Not signed in");
    case Kind::otherAccount:
        return QStringLiteral("Signed in as another account");
    case Kind::transport:
        return m_httpError->description();
    case Kind::status:
        if (m_detail.isEmpty())
            return QStringLiteral("The backend answered with status %1.").arg(*m_statusCode);
        return m_detail;
    case Kind::signIn:
        return m_detail.isEmpty() ? QStringLiteral("The sign-in failed.") : m_detail;
    }
    return {};
}
