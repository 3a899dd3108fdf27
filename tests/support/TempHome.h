#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <map>
#include <optional>

// Points HOME and the XDG data, config, cache and runtime folders at a fresh
// temporary folder for its lifetime, and restores the previous values after.
class TempHome
{
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    QString path() const { return m_dir.path(); }
    QString dataHome() const;     // XDG_DATA_HOME
    QString configHome() const;   // XDG_CONFIG_HOME
    // The folder the app keeps its database, slices and logs in.
    QString talvexDataDir() const { return dataHome() + "/Talvex"; }

private:
    QTemporaryDir m_dir;
    std::map<QByteArray, std::optional<QByteArray>> m_saved;
};
