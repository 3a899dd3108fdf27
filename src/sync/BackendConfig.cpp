#include "sync/BackendConfig.h"

#include <QHostAddress>

namespace {

// The address and key this build was configured with (CMake cache values
// TALVEX_BACKEND_URL and TALVEX_BACKEND_KEY, empty by default).
#ifndef TALVEX_BUILT_IN_BACKEND_URL
#define TALVEX_BUILT_IN_BACKEND_URL ""
#endif
#ifndef TALVEX_BUILT_IN_BACKEND_KEY
#define TALVEX_BUILT_IN_BACKEND_KEY ""
#endif

QString environmentOr(const char* variable, const char* builtIn)
{
    return qEnvironmentVariableIsSet(variable) ? qEnvironmentVariable(variable)
                                               : QString::fromUtf8(builtIn);
}

bool isLoopbackHost(const QString& host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

// The base address's path without trailing slashes, then `suffix`.
QUrl withPath(const QUrl& base, const QString& suffix)
{
    QString path = base.path();
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    QUrl url = base.adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment);
    url.setPath(path + suffix);
    return url;
}

}  // namespace

BackendConfig::BackendConfig(QUrl baseUrl, QString publishableKey)
    : m_baseUrl(std::move(baseUrl)), m_publishableKey(std::move(publishableKey))
{
}

BackendConfig BackendConfig::fromEnvironment()
{
    const QString url = environmentOr("TALVEX_BACKEND_URL", TALVEX_BUILT_IN_BACKEND_URL).trimmed();
    return BackendConfig(QUrl(url, QUrl::StrictMode),
                         environmentOr("TALVEX_BACKEND_KEY", TALVEX_BUILT_IN_BACKEND_KEY).trimmed());
}

std::optional<QString> BackendConfig::problem() const
{
    if (m_baseUrl.isEmpty())
        return QStringLiteral("The backend address is not set (TALVEX_BACKEND_URL).");
    const QString scheme = m_baseUrl.scheme().toLower();
    if (!m_baseUrl.isValid() || m_baseUrl.host().isEmpty() || (scheme != "https" && scheme != "http")
        || !m_baseUrl.userInfo().isEmpty())
        return QStringLiteral("The backend address (TALVEX_BACKEND_URL) is not a valid http or https address.");
    if (scheme == "http" && !isLoopbackHost(m_baseUrl.host()))
        return QStringLiteral("The backend address (TALVEX_BACKEND_URL) must use https: "
                              "plain http is allowed only to this machine.");
    if (m_publishableKey.isEmpty())
        return QStringLiteral("The backend key is not set (TALVEX_BACKEND_KEY).");
    return std::nullopt;
}

QUrl BackendConfig::accountUrl(const QString& path) const
{
    return withPath(m_baseUrl, QStringLiteral("/auth/v1/") + path);
}

QUrl BackendConfig::tableUrl(const QString& table) const
{
    return withPath(m_baseUrl, QStringLiteral("/rest/v1/") + table);
}

QString BackendConfig::storageKey() const
{
    return QStringLiteral("sb-") + m_baseUrl.host().section(QLatin1Char('.'), 0, 0)
        + QStringLiteral("-auth-token");
}
