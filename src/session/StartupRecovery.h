#pragma once

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include "platform/AudioFileProbe.h"
#include "store/DatabaseManager.h"
#include "store/Recording.h"
#include "store/Slice.h"

class Logger;
class RecordingFileManager;

// The start-up repair of what an earlier run left unfinished, over the
// store and the recordings folder:
//
// 1. Slice files no row knows of. The open slice gets its row only when it
//    is sealed, so a process that died while recording leaves the file of
//    its last slice without one. For recordings left recording, paused or
//    failed, each such file ("yyyyMMdd_HHmmss_<recording id>_<index>.m4a")
//    is finished as a plain m4a (as the writer would have) and becomes a
//    pending slice row of its recording, its duration read from
//    the file; a file that cannot be read is logged and left alone.
// 2. Interrupted recordings (left recording or paused) take the status
//    their texts and files allow (deduceRecordingStatus), with their slice
//    count and duration; a failed one that got slices back takes its new
//    count and duration.
// 3. Every slice of a recording that is not deleted takes the status its
//    text and file allow (completed, pending or lost), its update time kept.
//
// Only recordings made on this device (or naming no device) and their slices
// are touched: another device's recording pulled while it was still being
// recorded there is not interrupted, and a status written here would be
// newer than that device's finished text and replace it everywhere.
//
// The store is read in two statements (and one more for each recording
// whose status or length changes) and written in one transaction, so that
// the pass stays short with thousands of recordings: it runs on the main
// thread before the hot key can be served.
class StartupRecovery
{
public:
    StartupRecovery(DatabaseManager& db, const RecordingFileManager& files, Logger& logger,
                    LeftoverAudioFinisher finishLeftoverAudio, QString deviceId);

    void run();

    // Whether a recording naming `recordingDeviceId` was made on the device
    // `deviceId` (or names none), and so is this device's to repair.
    static bool isMadeHere(const std::optional<QString>& recordingDeviceId, const QString& deviceId);

    // The status a recording left recording or paused deserves, the first
    // rule that applies: its own raw text (completed with a cleaned text,
    // else transcribed); slices that all have a raw text (transcribed); the
    // file of at least one slice (recorded); else failed.
    RecordingStatus deduceRecordingStatus(const Recording& recording, const QList<Slice>& slices) const;

private:
    // The new rows of the slice files that no row names.
    QList<Slice> adoptSliceFiles(const QList<Recording>& recordings, const QStringList& listed,
                                 const QSet<QString>& named) const;
    QList<Recording> correctRecordings(const QList<Recording>& recordings, const QList<Slice>& adopted) const;
    static QList<DatabaseManager::SliceState> correctSlices(const QList<DatabaseManager::SliceState>& slices,
                                                            const QStringList& listed);

    DatabaseManager& m_db;
    const RecordingFileManager& m_files;
    Logger& m_logger;
    LeftoverAudioFinisher m_finishLeftoverAudio;
    const QString m_deviceId;
};
