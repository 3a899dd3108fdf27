#pragma once

#include <QCoroTask>
#include <QObject>
#include <QMultiHash>
#include <QSet>
#include <QString>
#include <chrono>
#include <functional>
#include <optional>

#include "platform/CancelToken.h"
#include "platform/Result.h"
#include "store/Recording.h"
#include "store/Slice.h"
#include "transcription/ProviderFactory.h"
#include "transcription/RetryMode.h"

class DatabaseManager;
class Logger;
class PostProcessor;
class RecordingFileManager;

// The waits of the orchestrator; tests and the benchmark shrink them.
struct OrchestratorTiming
{
    // After failed attempt n of a slice the next one waits this times 2^n:
    // 2 s after the first, 4 s after the second.
    std::chrono::milliseconds retryWaitUnit = std::chrono::seconds(1);
    // How often the finalising step looks at the slices again.
    std::chrono::milliseconds pollInterval = std::chrono::milliseconds(500);
    // Waits that long on the main thread: a precise timer unless set. Tests
    // set it to see which waits are asked for, whatever the machine's load.
    std::function<QCoro::Task<>(std::chrono::milliseconds)> wait;
};

// Turns the slices of a recording into its final text: every sealed slice is
// transcribed at once in a task of its own (up to 3 attempts); the finalising
// step waits for them, joins their texts in slice order and has them polished.
// Main thread only. The store, the file manager, the post-processor and the
// logger must outlive it; its own tasks stop touching it once it is gone.
//
// Every write re-reads the row first and changes only the fields of its step,
// so that a deletion or another change made during a network wait survives;
// a row soft-deleted meanwhile is not written at all.
class TranscriptionOrchestrator : public QObject
{
    Q_OBJECT
public:
    // Slices completed and slices in all of the recording being finalised
    // last: a dictation's or a retry's from the history, told apart by its id.
    struct Progress
    {
        QString recordingId;
        int completed = 0;
        int total = 0;

        bool operator==(const Progress&) const = default;
    };

    static constexpr int kMaxRetries = 3;

    TranscriptionOrchestrator(ProviderFactory providerFactory, PostProcessor& postProcessor,
                              DatabaseManager& db, const RecordingFileManager& fileManager,
                              Logger& logger, OrchestratorTiming timing = {},
                              QObject* parent = nullptr);
    // Aborts the requests still under way; their tasks end without writing.
    ~TranscriptionOrchestrator() override;

    // A slice of the recording has ended but is not stored or finished yet:
    // the finalising step waits for it until onSliceReady hands it over.
    void expectSlice(const QString& recordingId, int sliceIndex);
    // Starts the transcription of a sealed, stored slice and returns at once.
    void onSliceReady(const Slice& slice);

    // Waits until no slice of the recording is pending or processing, then
    // fails it (a failed or lost slice) or joins, polishes and stores its
    // texts. Returns the recording as this step last wrote it. Once `cancel`
    // fires it stops: no further write, log line or polishing, and the
    // polishing request under way is aborted.
    QCoro::Task<Recording> finalizeRecording(Recording recording, CancelToken cancel = {});

    // Processes a stored recording again and returns it as the retry left it;
    // none when no such recording is stored (or it is deleted). A regenerate
    // keeps the earlier texts of whatever it could not make anew. A recording
    // that may not be processed again in `mode` (below), or whose earlier
    // retry is still under way, is returned untouched with a warning line.
    QCoro::Task<std::optional<Recording>> retry(QString recordingId, RetryMode mode);

    // Whether a retryFailed may run on the stored recording: it is recorded,
    // transcribed or failed, has at least one live slice, and is not the
    // dictation still being recorded or finished. Given the record, not its
    // id: a look-up by id ignores letter case and so reads the whole table.
    bool canRetry(const Recording& recording) const;
    // Whether a regenerate may run: the recording is completed and has at
    // least one live slice, none of them lost and each with its audio file.
    bool canRegenerate(const Recording& recording) const;
    // Whether a retry or regenerate of the recording is under way.
    bool isRetrying(const QString& recordingId) const { return m_retrying.contains(recordingId); }
    // Whether a slice transcription or a retry still runs: either may write
    // rows after this returns.
    bool hasWorkUnderWay() const { return !m_transcribing.isEmpty() || !m_retrying.isEmpty(); }

    Progress progress() const { return m_progress; }

signals:
    // At every assignment of the progress, also when it keeps its value.
    void progressChanged();
    // A retry or regenerate of the recording began or ended (isRetrying tells).
    void retryingChanged(const QString& recordingId);

private:
    QCoro::Task<void> transcribeSlice(Slice slice);
    QCoro::Task<std::optional<Recording>> retryFailed(Recording recording);
    QCoro::Task<std::optional<Recording>> regenerate(Recording recording);
    // Why the stored recording may not be processed again in `mode`; none
    // when it may.
    std::optional<QString> refusal(const Recording& recording, RetryMode mode) const;
    // The dictation of the recording is still being recorded or finished: a
    // slice is announced, or a finalising step that is not cancelled runs.
    bool isFinishing(const QString& recordingId) const;

    // A slice waiting for a text that no transcription here is working on:
    // left behind by a crash, or marked pending by the start-up recovery.
    bool isStranded(const Slice& slice) const;
    // A slice the finalising step still waits for: one that is pending or
    // processing, unless the store refused its last write and nothing is
    // working on it any more.
    bool isAwaited(const Slice& slice) const;
    // The slice's audio, or the description of why it cannot be read.
    Result<QByteArray, QString> readSliceAudio(const Slice& slice) const;
    bool hasAudioFile(const Slice& slice) const;

    // The stored, not deleted row.
    std::optional<Slice> liveSlice(const QString& id) const;
    // Re-reads the row, applies `change`, stamps updatedAt and writes it; none
    // when the row is gone or soft-deleted (nothing written) or the store
    // refused the write (the slice is then noted in m_unsaved).
    std::optional<Slice> writeSlice(const QString& id, const std::function<void(Slice&)>& change);
    std::optional<Recording> writeRecording(const QString& id,
                                            const std::function<void(Recording&)>& change);

    void setProgress(const QString& recordingId, int completed, int total);
    QCoro::Task<> wait(std::chrono::milliseconds duration) const;

    ProviderFactory m_providerFactory;
    PostProcessor& m_postProcessor;
    DatabaseManager& m_db;
    const RecordingFileManager& m_fileManager;
    Logger& m_logger;
    OrchestratorTiming m_timing;
    Progress m_progress;
    // Ids of the slices whose transcription is under way right now.
    QSet<QString> m_transcribing;
    // Recording id → index of each slice announced by expectSlice and not yet
    // handed over.
    QMultiHash<QString, int> m_expected;
    // Ids of the slices whose last write the store refused (a full disk).
    QSet<QString> m_unsaved;
    // Recording id → the cancel state of each finalising step running for it.
    QMultiHash<QString, const CancelNotifier*> m_finalizing;
    // Ids (as stored) of the recordings whose retry or regenerate runs.
    QSet<QString> m_retrying;
    // Fired on destruction: aborts the recognition and polishing requests
    // still under way.
    CancelToken m_lifetime;
};
