#include "session/StartupRecovery.h"

#include <QDateTime>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <tuple>

#include "store/DatabaseManager.h"
#include "store/Logger.h"
#include "store/RecordId.h"
#include "store/RecordingFileManager.h"

namespace {

bool isInterrupted(RecordingStatus status)
{
    return status == RecordingStatus::recording || status == RecordingStatus::paused;
}

// A slice file's recording id and slice index, as the recorder names it.
struct SliceFileName
{
    QString name;
    QString recordingId;
    int index = 0;
};

std::optional<SliceFileName> parseSliceFileName(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("^\\d{8}_\\d{6}_(.+)_(\\d{3,})\\.m4a$"));
    const QRegularExpressionMatch match = pattern.match(name);
    if (!match.hasMatch())
        return std::nullopt;
    bool ok = false;
    const int index = match.captured(2).toInt(&ok);
    if (!ok)
        return std::nullopt;
    return SliceFileName{name, match.captured(1), index};
}

} // namespace

StartupRecovery::StartupRecovery(DatabaseManager& db, const RecordingFileManager& files, Logger& logger,
                                 LeftoverAudioFinisher finishLeftoverAudio, QString deviceId)
    : m_db(db)
    , m_files(files)
    , m_logger(logger)
    , m_finishLeftoverAudio(std::move(finishLeftoverAudio))
    , m_deviceId(std::move(deviceId))
{
}

bool StartupRecovery::isMadeHere(const std::optional<QString>& recordingDeviceId, const QString& deviceId)
{
    return !recordingDeviceId || recordingDeviceId->isEmpty()
        || recordingDeviceId->compare(deviceId, Qt::CaseInsensitive) == 0;
}

void StartupRecovery::run()
{
    const QStringList listed = m_files.listAllRecordingFiles();
    QList<DatabaseManager::SliceState> slices = m_db.fetchSliceStatesOfLiveRecordings();
    QSet<QString> named;
    for (const DatabaseManager::SliceState& slice : slices)
        named.insert(slice.filename);
    slices.removeIf([this](const DatabaseManager::SliceState& slice) {
        return !isMadeHere(slice.recordingDeviceId, m_deviceId);
    });
    QList<Recording> unfinished = m_db.fetchRecordingsWithStatus(
        {RecordingStatus::recording, RecordingStatus::paused, RecordingStatus::failed}, std::nullopt);
    unfinished.removeIf([this](const Recording& r) { return !isMadeHere(r.deviceId, m_deviceId); });

    const QList<Slice> adopted = adoptSliceFiles(unfinished, listed, named);
    const QList<Recording> recordings = correctRecordings(unfinished, adopted);
    const QList<DatabaseManager::SliceState> corrected = correctSlices(slices, listed);

    if (adopted.isEmpty() && recordings.isEmpty() && corrected.isEmpty())
        return;
    m_db.writeInTransaction([&] {
        for (const Slice& slice : adopted)
            m_db.insertSlice(slice);
        for (const Recording& recording : recordings)
            m_db.updateRecording(recording);
        for (const DatabaseManager::SliceState& slice : corrected)
            m_db.updateSliceStatus(slice.id, slice.status);
    });
}

QList<Slice> StartupRecovery::adoptSliceFiles(const QList<Recording>& recordings, const QStringList& listed,
                                              const QSet<QString>& named) const
{
    QHash<QString, const Recording*> byId;   // ids are compared without letter case, as the store does
    for (const Recording& recording : recordings)
        byId.insert(recording.id.toLower(), &recording);

    QList<SliceFileName> orphans;
    for (const QString& name : listed) {
        const std::optional<SliceFileName> file = parseSliceFileName(name);
        if (file && byId.contains(file->recordingId.toLower()) && !named.contains(name))
            orphans.append(*file);
    }
    std::sort(orphans.begin(), orphans.end(), [](const SliceFileName& a, const SliceFileName& b) {
        return std::tie(a.recordingId, a.index, a.name) < std::tie(b.recordingId, b.index, b.name);
    });

    QList<Slice> adopted;
    for (const SliceFileName& file : orphans) {
        const Recording& recording = *byId.value(file.recordingId.toLower());
        const std::optional<QString> path = m_files.sliceFilePath(file.name);
        if (!path)
            continue;
        const Result<double, QString> seconds = m_finishLeftoverAudio(*path);
        if (!seconds.ok()) {
            m_logger.warning(QStringLiteral("Consistency: slice file %1 of recording %2 left as it is: %3")
                                 .arg(file.name, recording.id, seconds.error()));
            continue;
        }
        Slice slice;
        slice.id = newRecordId();
        slice.userId = recording.userId;
        slice.recordingId = recording.id;
        slice.sliceIndex = file.index;
        slice.filename = file.name;
        slice.status = SliceStatus::pending;
        slice.duration = seconds.value();
        slice.updatedAt = QDateTime::currentDateTimeUtc();
        adopted.append(slice);
        m_logger.info(QStringLiteral("Consistency: adopted slice file %1 as slice_%2 of recording %3 (%4s)")
                          .arg(file.name, QString::asprintf("%03d", file.index), recording.id,
                               QString::number(seconds.value(), 'f', 1)));
    }
    return adopted;
}

QList<Recording> StartupRecovery::correctRecordings(const QList<Recording>& recordings,
                                                    const QList<Slice>& adopted) const
{
    QList<Recording> corrected;
    for (Recording recording : recordings) {
        QList<Slice> gotBack;
        std::copy_if(adopted.begin(), adopted.end(), std::back_inserter(gotBack),
                     [&](const Slice& s) { return s.recordingId == recording.id; });
        if (!isInterrupted(recording.status) && gotBack.isEmpty())
            continue;
        QList<Slice> slices = m_db.fetchSlices(recording.id, false) + gotBack;
        std::stable_sort(slices.begin(), slices.end(),
                         [](const Slice& a, const Slice& b) { return a.sliceIndex < b.sliceIndex; });
        if (isInterrupted(recording.status)) {
            const RecordingStatus status = deduceRecordingStatus(recording, slices);
            m_logger.info(QStringLiteral("Consistency: recording %1 status corrected: %2 \u2192 %3")
                              .arg(recording.id, toText(recording.status), toText(status)));
            recording.status = status;
        }
        // Never stopped, or stopped without these slices: its length is theirs.
        recording.sliceCount = int(slices.size());
        if (std::any_of(slices.begin(), slices.end(), [](const Slice& s) { return s.duration.has_value(); })) {
            double seconds = 0.0;
            for (const Slice& slice : slices)
                seconds += slice.duration.value_or(0.0);
            recording.duration = seconds;
        }
        recording.updatedAt = QDateTime::currentDateTimeUtc();
        corrected.append(recording);
    }
    return corrected;
}

QList<DatabaseManager::SliceState> StartupRecovery::correctSlices(
    const QList<DatabaseManager::SliceState>& slices, const QStringList& listed)
{
    const QSet<QString> files(listed.begin(), listed.end());
    QList<DatabaseManager::SliceState> corrected;
    for (DatabaseManager::SliceState slice : slices) {
        if (slice.deleted)
            continue;
        const SliceStatus expected = slice.hasRawText ? SliceStatus::completed
            : files.contains(slice.filename)          ? SliceStatus::pending
                                                      : SliceStatus::lost;
        if (slice.status == expected)
            continue;
        slice.status = expected;
        corrected.append(slice);
    }
    return corrected;
}

RecordingStatus StartupRecovery::deduceRecordingStatus(const Recording& recording,
                                                       const QList<Slice>& slices) const
{
    if (recording.rawText)
        return recording.cleanedText ? RecordingStatus::completed : RecordingStatus::transcribed;
    const bool allTranscribed = std::all_of(slices.begin(), slices.end(),
                                            [](const Slice& s) { return s.rawText.has_value(); });
    if (!slices.isEmpty() && allTranscribed)
        return RecordingStatus::transcribed;
    for (const Slice& slice : slices) {
        const auto path = m_files.sliceFilePath(slice.filename);
        if (path && QFileInfo::exists(*path))
            return RecordingStatus::recorded;
    }
    return RecordingStatus::failed;
}
