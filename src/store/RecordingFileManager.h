#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>

// Where Talvex keeps its files: the data folder (XDG data home + "/Talvex")
// with the database, "recordings" (slice audio) and "logs" (day log files).
// Only the user may open them: folders 0700, files 0600.
// Every file-system failure here is silent: folders that cannot be made stay
// missing, and listings and sizes then read as empty and 0.
class RecordingFileManager
{
public:
    // Determines the folders, creates the missing ones and gives the folders
    // and every file in them the modes above.
    RecordingFileManager();

    QString baseDirectory() const { return m_baseDirectory; }
    QString recordingsDirectory() const { return m_recordingsDirectory; }
    QString logsDirectory() const { return m_logsDirectory; }

    // "yyyyMMdd_HHmmss" (local time) + "_" + id + "_" + index of at least three
    // digits + ".m4a", e.g. 20250304_090503_r_007.m4a.
    static QString generateSliceFilename(const QString& recordingId, int sliceIndex,
                                         const QDateTime& date);

    // The path of a stored slice file name inside the recordings folder. Only a
    // plain file name has one: a name that is empty, ".", "..", or holds "/" or
    // NUL could point elsewhere and is treated as no file at all.
    std::optional<QString> sliceFilePath(const QString& filename) const;
    // Whether sliceFilePath gives `filename` a path.
    static bool isPlainFileName(const QString& filename);

    // Names of every entry directly in the recordings folder, hidden ones
    // included, in file-system order.
    QStringList listAllRecordingFiles() const;

    // Bytes of every file below the recordings folder, subfolders and hidden
    // files included; symbolic links are not followed.
    quint64 recordingsDirectorySize() const;

    // Whether a recordings folder of this size deserves the disk-space warning.
    static bool reachesDiskWarningThreshold(quint64 sizeBytes);

    // Removes every entry of the logs folder created more than 7 days before
    // `now`.
    void cleanOldLogs(const QDateTime& now = QDateTime::currentDateTime()) const;

private:
    static constexpr quint64 kDiskWarningThresholdBytes = 10'737'418'240ULL;   // 10 GiB

    void createDirectoriesIfNeeded() const;

    const QString m_baseDirectory;
    const QString m_recordingsDirectory;
    const QString m_logsDirectory;
};
