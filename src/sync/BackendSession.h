#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <optional>

// The signed-in user as the backend describes them.
struct BackendUser
{
    QString id;         // as the backend sent it (lower-case UUID text)
    QString email;
    QString provider;   // app_metadata "provider"
};

// A signed-in session: stored as the backend's own JSON, so that a stored
// session reads back exactly.
struct BackendSession
{
    QString accessToken;
    QString tokenType;
    QString refreshToken;
    qint64 expiresIn = 0;   // seconds, as issued
    QDateTime expiresAt;    // whole seconds
    BackendUser user;

    // The user's id as the rest of the app names accounts: upper-case UUID text.
    QString userId() const { return user.id.toUpper(); }

    // None when an access or refresh token, the user's id or the expiry is
    // missing. A missing "expires_at" is counted from `now` + "expires_in".
    static std::optional<BackendSession> fromJson(const QJsonObject& object, const QDateTime& now);
    QJsonObject toJson() const;
};
