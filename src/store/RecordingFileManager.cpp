#include "store/RecordingFileManager.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include "platform/PrivateFiles.h"

namespace {

QString dataFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/Talvex");
}

// When the entry came into being. File systems that keep no birth time get
// the modification time, so old logs still go there; with neither, no time.
QDateTime creationTime(const QFileInfo& info)
{
    const QDateTime born = info.birthTime();
    return born.isValid() ? born : info.lastModified();
}

void removeEntry(const QFileInfo& info)
{
    // A link goes by itself: following one to a folder would empty its target.
    if (info.isDir() && !info.isSymLink())
        QDir(info.filePath()).removeRecursively();
    else
        QFile::remove(info.filePath());
}

}

RecordingFileManager::RecordingFileManager()
    : m_baseDirectory(dataFolder())
    , m_recordingsDirectory(m_baseDirectory + QStringLiteral("/recordings"))
    , m_logsDirectory(m_baseDirectory + QStringLiteral("/logs"))
{
    createDirectoriesIfNeeded();
}

void RecordingFileManager::createDirectoriesIfNeeded() const
{
    for (const QString& dir : {m_baseDirectory, m_recordingsDirectory, m_logsDirectory}) {
        if (!QFileInfo::exists(dir))
            PrivateFiles::makeFolder(dir);
    }
    // Earlier versions left the folders and files readable by every user.
    PrivateFiles::restrictTree(m_baseDirectory);
}

QString RecordingFileManager::generateSliceFilename(const QString& recordingId, int sliceIndex,
                                                    const QDateTime& date)
{
    return date.toLocalTime().toString(QStringLiteral("yyyyMMdd_HHmmss")) + QLatin1Char('_')
        + recordingId + QLatin1Char('_')
        + QStringLiteral("%1").arg(sliceIndex, 3, 10, QLatin1Char('0')) + QStringLiteral(".m4a");
}

bool RecordingFileManager::isPlainFileName(const QString& filename)
{
    return !filename.isEmpty() && filename != QLatin1String(".") && filename != QLatin1String("..")
        && !filename.contains(QLatin1Char('/')) && !filename.contains(QChar(u'\0'));
}

std::optional<QString> RecordingFileManager::sliceFilePath(const QString& filename) const
{
    if (!isPlainFileName(filename))
        return std::nullopt;
    return m_recordingsDirectory + QLatin1Char('/') + filename;
}

QStringList RecordingFileManager::listAllRecordingFiles() const
{
    return QDir(m_recordingsDirectory)
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                   QDir::Unsorted);
}

quint64 RecordingFileManager::recordingsDirectorySize() const
{
    quint64 total = 0;
    QDirIterator it(m_recordingsDirectory,
                    QDir::Files | QDir::Hidden | QDir::NoSymLinks | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += static_cast<quint64>(qMax<qint64>(0, it.fileInfo().size()));
    }
    return total;
}

bool RecordingFileManager::reachesDiskWarningThreshold(quint64 sizeBytes)
{
    return sizeBytes >= kDiskWarningThresholdBytes;
}

void RecordingFileManager::cleanOldLogs(const QDateTime& now) const
{
    const QDateTime cutOff = now.toLocalTime().addDays(-7);
    const QFileInfoList entries = QDir(m_logsDirectory)
        .entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                       QDir::Unsorted);
    for (const QFileInfo& entry : entries) {
        const QDateTime created = creationTime(entry);
        if (created.isValid() && created < cutOff)
            removeEntry(entry);
    }
}
