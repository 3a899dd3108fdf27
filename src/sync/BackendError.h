#pragma once

#include <QString>
#include <optional>

#include "platform/HttpError.h"

// Why a backend operation failed. Descriptions never hold a token, code or
// verifier.
class BackendError
{
public:
    enum class Kind {
        notConfigured,   // no usable address or key: nothing was sent
        notSignedIn,     // a table request without a session: nothing was sent
        otherAccount,    // a table request for a user other than the session's: nothing was sent
        transport,       // no usable answer (time-out, network, cancelled, bad JSON): see httpError()
        status,          // the backend answered with a failure status
        signIn,          // the browser step failed or came back with an error
    };

    static BackendError notConfigured(const QString& problem);
    static BackendError notSignedIn();
    static BackendError otherAccount();
    static BackendError transport(const HttpError& error);
    // `message` is the backend's own text for the failure, when it gave one.
    static BackendError status(int statusCode, const QString& message);
    static BackendError signIn(const QString& description);

    Kind kind() const { return m_kind; }
    std::optional<int> statusCode() const { return m_statusCode; }
    const std::optional<HttpError>& httpError() const { return m_httpError; }
    // Whether the caller's CancelToken ended the request.
    bool isCancelled() const;
    // The user-readable text.
    QString description() const;

private:
    BackendError(Kind kind, QString detail) : m_kind(kind), m_detail(std::move(detail)) {}

    Kind m_kind;
    QString m_detail;
    std::optional<int> m_statusCode;
    std::optional<HttpError> m_httpError;
};
