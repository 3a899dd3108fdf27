#include "store/AccountInfo.h"

#include <QJsonDocument>
#include <QJsonObject>

QByteArray AccountInfo::toJson() const
{
    const QJsonObject object{{"id", id}, {"email", email}, {"provider", provider}};
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<AccountInfo> AccountInfo::fromJson(const QByteArray& json)
{
    const QJsonDocument doc = QJsonDocument::fromJson(json);
    if (!doc.isObject())
        return std::nullopt;
    const QJsonObject object = doc.object();
    for (const char* key : {"id", "email", "provider"})
        if (!object.value(key).isString())
            return std::nullopt;
    return AccountInfo{object.value("id").toString(), object.value("email").toString(),
                       object.value("provider").toString()};
}
