#include "support/TempHome.h"

#include <QDir>
#include <QFile>

namespace {
const char* const kVariables[] = {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME",
                                  "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"};
}

TempHome::TempHome()
{
    for (const char* name : kVariables) {
        m_saved[name] = qEnvironmentVariableIsSet(name)
            ? std::optional<QByteArray>(qgetenv(name)) : std::nullopt;
    }
    const QString root = m_dir.path();
    const std::pair<const char*, QString> values[] = {
        {"HOME", root},
        {"XDG_DATA_HOME", root + "/data"},
        {"XDG_CONFIG_HOME", root + "/config"},
        {"XDG_CACHE_HOME", root + "/cache"},
        {"XDG_RUNTIME_DIR", root + "/runtime"},
    };
    for (const auto& [name, dir] : values) {
        QDir().mkpath(dir);
        qputenv(name, QFile::encodeName(dir));
    }
    QFile::setPermissions(root + "/runtime", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

TempHome::~TempHome()
{
    for (const auto& [name, value] : m_saved) {
        if (value)
            qputenv(name.constData(), *value);
        else
            qunsetenv(name.constData());
    }
}

QString TempHome::dataHome() const { return m_dir.path() + "/data"; }
QString TempHome::configHome() const { return m_dir.path() + "/config"; }
