#include "sync/UserDefaultsLocalStorage.h"

#include "platform/Preferences.h"

namespace {

QString storedKey(const QString& key) { return QStringLiteral("supabase_auth_") + key; }

}  // namespace

void UserDefaultsLocalStorage::store(const QString& key, const QByteArray& value)
{
    m_preferences.setValue(storedKey(key), value);
}

std::optional<QByteArray> UserDefaultsLocalStorage::retrieve(const QString& key) const
{
    if (!m_preferences.contains(storedKey(key)))
        return std::nullopt;
    return m_preferences.value(storedKey(key)).toByteArray();
}

void UserDefaultsLocalStorage::remove(const QString& key)
{
    m_preferences.remove(storedKey(key));
}
