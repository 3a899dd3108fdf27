#include "support/SmallFileSystem.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {
QString ballastPath(const QString& folder) { return folder + "/.ballast"; }
}

SmallFileSystem::SmallFileSystem(const QString& folder, qint64 bytes)
    : m_folder(folder)
{
    QDir().mkpath(folder);
    const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0700";
    if (::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", 0, options.constData()) != 0) {
        m_error = QStringLiteral("cannot mount a tmpfs over %1: %2").arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    m_mounted = true;
}

SmallFileSystem::~SmallFileSystem()
{
    unmount();
}

bool SmallFileSystem::fill()
{
    const int fd = ::open(QFile::encodeName(ballastPath(m_folder)).constData(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd < 0)
        return false;
    const QByteArray block(4096, 'x');
    int lastErrno = 0;
    for (;;) {
        const ssize_t written = ::write(fd, block.constData(), size_t(block.size()));
        // A short write takes the last bytes; the next one says ENOSPC.
        if (written <= 0) {
            lastErrno = errno;
            break;
        }
    }
    ::close(fd);
    return lastErrno == ENOSPC;
}

void SmallFileSystem::removeBallast()
{
    QFile::remove(ballastPath(m_folder));
}

void SmallFileSystem::unmount()
{
    if (!m_mounted)
        return;
    ::umount2(QFile::encodeName(m_folder).constData(), MNT_DETACH);
    m_mounted = false;
}
