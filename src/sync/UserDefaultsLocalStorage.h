#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

class Preferences;

// Where the backend client keeps the signed-in session and, during a
// sign-in, the code verifier: the settings store, each key given here stored
// under "supabase_auth_" + that key. Never fails.
class UserDefaultsLocalStorage
{
public:
    explicit UserDefaultsLocalStorage(Preferences& preferences) : m_preferences(preferences) {}

    void store(const QString& key, const QByteArray& value);
    std::optional<QByteArray> retrieve(const QString& key) const;
    void remove(const QString& key);

private:
    Preferences& m_preferences;
};
