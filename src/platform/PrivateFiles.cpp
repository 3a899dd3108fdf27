#include "platform/PrivateFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t kFolderMode = S_IRWXU;
constexpr mode_t kFileMode = S_IRUSR | S_IWUSR;

// Changes the mode of `path` unless it already has it; never follows a link.
void setMode(const QString& path, mode_t mode)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat status {};
    if (::lstat(name.constData(), &status) != 0 || S_ISLNK(status.st_mode)
        || (status.st_mode & 07777) == mode)
        return;
    ::chmod(name.constData(), mode);
}

}  // namespace

bool PrivateFiles::makeFolder(const QString& path)
{
    if (!QDir().mkpath(path))
        return false;
    setMode(path, kFolderMode);
    return true;
}

bool PrivateFiles::createFile(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kFileMode);
    if (fd < 0)
        return false;
    const bool restricted = ::fchmod(fd, kFileMode) == 0;
    ::close(fd);
    return restricted;
}

void PrivateFiles::restrictTree(const QString& folder)
{
    if (!QFileInfo(folder).isDir() || QFileInfo(folder).isSymLink())
        return;
    setMode(folder, kFolderMode);
    QDirIterator it(folder, QDir::Dirs | QDir::Files | QDir::Hidden | QDir::NoSymLinks
                                | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        if (info.isDir())
            setMode(info.filePath(), kFolderMode);
        else if (info.isFile())
            setMode(info.filePath(), kFileMode);
    }
}
