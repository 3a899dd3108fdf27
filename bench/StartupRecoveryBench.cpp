// Start-up recovery benchmark: the recovery pass over a store of many
// recordings (two slices each, files for about half of the slices, a few
// interrupted recordings and stale slice statuses to correct), against the
// former way that read the slices of each recording with a statement of its
// own and wrote each corrected row on its own. Both run in the same process
// over copies of the same store and the same recordings folder.
// Usage: startup_recovery_bench [recordings] [runs]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/ffmpeg/FfmpegAudioFileProbe.h"
#include "session/StartupRecovery.h"
#include "store/DatabaseManager.h"
#include "store/Logger.h"
#include "store/RecordId.h"
#include "store/RecordingFileManager.h"
#include "support/TempHome.h"
#include "Median.h"

namespace {

// The recordings name no device, so every one is this device's to repair.
const QString kDeviceId = QStringLiteral("BENCH-DEVICE");

// Every recording of the store, with slices and files as a long history leaves them.
void populate(DatabaseManager& db, const RecordingFileManager& files, int recordings)
{
    const QDateTime start = QDateTime::currentDateTimeUtc().addDays(-400);
    db.writeInTransaction([&] {
        for (int i = 0; i < recordings; ++i) {
            Recording r;
            r.id = newRecordId();
            r.createdAt = r.updatedAt = start.addSecs(i * 600);
            r.sliceCount = 2;
            r.duration = 45.0;
            // Most are done; some wait for a retry; a few were interrupted.
            const bool interrupted = i % 2000 == 7;
            const bool done = !interrupted && i % 4 != 0;
            r.status = interrupted ? RecordingStatus::recording
                : done             ? RecordingStatus::completed
                                   : RecordingStatus::recorded;
            if (done) {
                r.rawText = QStringLiteral("raw text");
                r.cleanedText = QStringLiteral("Cleaned text.");
            }
            db.insertRecording(r);
            for (int index = 1; index <= 2; ++index) {
                Slice s;
                s.id = newRecordId();
                s.recordingId = r.id;
                s.sliceIndex = index;
                s.filename = RecordingFileManager::generateSliceFilename(r.id, index, r.createdAt.addSecs(30 * index));
                s.duration = index == 1 ? 30.0 : 15.0;
                s.updatedAt = r.updatedAt;
                const bool keepsFile = !done || i % 3 == 0;
                s.status = done ? SliceStatus::completed : SliceStatus::pending;
                if (done)
                    s.rawText = QStringLiteral("text");
                if (i % 500 == 3)
                    s.status = SliceStatus::processing;   // left behind by a quit mid-request
                db.insertSlice(s);
                if (keepsFile)
                    QFile(*files.sliceFilePath(s.filename)).open(QIODevice::WriteOnly);
            }
        }
    });
}

// The former pass: one slices statement per recording, one write per corrected row.
void formerPass(DatabaseManager& db, const RecordingFileManager& files, Logger& logger)
{
    const StartupRecovery rules(db, files, logger, finishLeftoverAudioFile, kDeviceId);
    for (Recording recording : db.fetchRecordingsWithStatus({RecordingStatus::recording, RecordingStatus::paused},
                                                            std::nullopt)) {
        const RecordingStatus status = rules.deduceRecordingStatus(recording, db.fetchSlices(recording.id, false));
        if (status == recording.status)
            continue;
        logger.info(QStringLiteral("Consistency: recording %1 status corrected: %2 \u2192 %3")
                        .arg(recording.id, toText(recording.status), toText(status)));
        recording.status = status;
        recording.updatedAt = QDateTime::currentDateTimeUtc();
        db.updateRecording(recording);
    }
    const QStringList listed = files.listAllRecordingFiles();
    const QSet<QString> present(listed.begin(), listed.end());
    for (const Recording& recording : db.fetchAllRecordings(std::nullopt, false)) {
        for (Slice slice : db.fetchSlices(recording.id, false)) {
            const SliceStatus expected = slice.rawText ? SliceStatus::completed
                : present.contains(slice.filename)     ? SliceStatus::pending
                                                       : SliceStatus::lost;
            if (slice.status != expected) {
                slice.status = expected;
                db.updateSlice(slice);
            }
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int recordings = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;

    TempHome home;
    RecordingFileManager files;
    Logger logger(files.logsDirectory());
    const QString database = files.baseDirectory() + QStringLiteral("/talvex.db");
    const QString pristine = files.baseDirectory() + QStringLiteral("/pristine.db");
    {
        DatabaseManager db(files.baseDirectory());
        populate(db, files, recordings);
    }
    QFile::copy(database, pristine);
    // Each pass starts from the same store: its corrections are undone.
    const auto freshStore = [&] {
        for (const QString& suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")})
            QFile::remove(database + suffix);
        QFile::copy(pristine, database);
    };

    std::vector<double> former, current;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        freshStore();
        {
            DatabaseManager db(files.baseDirectory());
            timer.start();
            formerPass(db, files, logger);
            former.push_back(timer.nsecsElapsed() / 1e6);
        }
        freshStore();
        {
            DatabaseManager db(files.baseDirectory());
            timer.start();
            StartupRecovery(db, files, logger, finishLeftoverAudioFile, kDeviceId).run();
            current.push_back(timer.nsecsElapsed() / 1e6);
        }
    }
    logger.flush();

    std::printf("Start-up recovery over %d recordings (%d slices, %lld files), median of %d runs:\n",
                recordings, 2 * recordings, static_cast<long long>(files.listAllRecordingFiles().size()), runs);
    std::printf("  former pass (a slices statement per recording, a write per row): %8.1f ms\n", median(former));
    std::printf("  recovery pass (two reads, one transaction):                      %8.1f ms\n", median(current));
    return 0;
}
