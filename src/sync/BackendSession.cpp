#include "sync/BackendSession.h"

#include <QJsonValue>

std::optional<BackendSession> BackendSession::fromJson(const QJsonObject& object, const QDateTime& now)
{
    BackendSession session;
    session.accessToken = object.value(QLatin1String("access_token")).toString();
    session.tokenType = object.value(QLatin1String("token_type")).toString();
    session.refreshToken = object.value(QLatin1String("refresh_token")).toString();
    const QJsonValue expiresIn = object.value(QLatin1String("expires_in"));
    const QJsonValue expiresAt = object.value(QLatin1String("expires_at"));
    session.expiresIn = expiresIn.isDouble() ? qint64(expiresIn.toDouble()) : 0;
    if (expiresAt.isDouble())
        session.expiresAt = QDateTime::fromSecsSinceEpoch(qint64(expiresAt.toDouble()), Qt::UTC);
    else if (expiresIn.isDouble())
        session.expiresAt = QDateTime::fromSecsSinceEpoch(now.toSecsSinceEpoch() + session.expiresIn, Qt::UTC);

    const QJsonObject user = object.value(QLatin1String("user")).toObject();
    session.user.id = user.value(QLatin1String("id")).toString();
    session.user.email = user.value(QLatin1String("email")).toString();
    session.user.provider =
        user.value(QLatin1String("app_metadata")).toObject().value(QLatin1String("provider")).toString();

    if (session.accessToken.isEmpty() || session.refreshToken.isEmpty() || session.user.id.isEmpty()
        || !session.expiresAt.isValid())
        return std::nullopt;
    return session;
}

QJsonObject BackendSession::toJson() const
{
    return QJsonObject{
        {QStringLiteral("access_token"), accessToken},
        {QStringLiteral("token_type"), tokenType},
        {QStringLiteral("expires_in"), double(expiresIn)},
        {QStringLiteral("expires_at"), double(expiresAt.toSecsSinceEpoch())},
        {QStringLiteral("refresh_token"), refreshToken},
        {QStringLiteral("user"),
         QJsonObject{{QStringLiteral("id"), user.id},
                     {QStringLiteral("email"), user.email},
                     {QStringLiteral("app_metadata"),
                      QJsonObject{{QStringLiteral("provider"), user.provider}}}}},
    };
}
