#pragma once

#include <QFile>
#include <QString>
#include <sys/stat.h>

// Sets the process's umask for its lifetime (022 by default, the usual one,
// under which files are created readable by everyone) and restores it after.
class ScopedUmask
{
public:
    explicit ScopedUmask(mode_t mask = 022) : m_previous(::umask(mask)) {}
    ~ScopedUmask() { ::umask(m_previous); }
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

private:
    mode_t m_previous;
};

// The permission bits of `path` itself (a link is not followed); -1 when it
// does not exist.
inline int permissionBits(const QString& path)
{
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return -1;
    return int(status.st_mode & 07777);
}
