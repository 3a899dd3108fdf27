#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// The cached signed-in account, kept as a JSON object {"id","email","provider"}.
struct AccountInfo
{
    QString id;
    QString email;
    QString provider;

    QByteArray toJson() const;
    // No value unless all three members are present and are strings.
    static std::optional<AccountInfo> fromJson(const QByteArray& json);

    bool operator==(const AccountInfo&) const = default;
};
