#pragma once

#include <QString>
#include <QUrl>
#include <optional>

// Where the hosted backend is and the publishable key every request carries.
class BackendConfig
{
public:
    BackendConfig(QUrl baseUrl, QString publishableKey);

    // TALVEX_BACKEND_URL and TALVEX_BACKEND_KEY when set, else the values the
    // build was configured with (empty by default).
    static BackendConfig fromEnvironment();

    // Why no request can be made: the address is empty or malformed, or sends
    // the key in clear (http: to a host other than loopback), or the key is
    // empty. None when the configuration is usable.
    std::optional<QString> problem() const;

    const QUrl& baseUrl() const { return m_baseUrl; }
    const QString& publishableKey() const { return m_publishableKey; }

    // The base address + "/auth/v1/" + path, and + "/rest/v1/" + table.
    QUrl accountUrl(const QString& path) const;
    QUrl tableUrl(const QString& table) const;

    // "sb-" + the first label of the backend's host name + "-auth-token".
    QString storageKey() const;

private:
    QUrl m_baseUrl;
    QString m_publishableKey;
};
