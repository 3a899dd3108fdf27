#include "transcription/TranscriptionOrchestrator.h"

#include <QCoroTimer>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <algorithm>

#include "platform/Graphemes.h"
#include "store/DatabaseManager.h"
#include "store/Logger.h"
#include "store/RecordingFileManager.h"
#include "transcription/PostProcessor.h"

namespace {

// A wait that never ends early: Qt's default timers may fire up to 5 % before
// their time, and the waits between attempts are promised in full.
QCoro::Task<> waitFor(std::chrono::milliseconds duration)
{
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    timer.start(duration);
    co_await timer;
}

bool isOutstanding(const Slice& slice)
{
    return slice.status == SliceStatus::pending || slice.status == SliceStatus::processing;
}

// Undoes an entry of the orchestrator's bookkeeping at the end of the task
// that made it, unless the orchestrator (and its bookkeeping) is gone by then.
class Registration
{
public:
    Registration(QObject* owner, std::function<void()> undo) : m_owner(owner), m_undo(std::move(undo)) {}
    ~Registration()
    {
        if (m_owner)
            m_undo();
    }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

private:
    QPointer<QObject> m_owner;
    std::function<void()> m_undo;
};

}  // namespace

TranscriptionOrchestrator::TranscriptionOrchestrator(ProviderFactory providerFactory,
                                                     PostProcessor& postProcessor,
                                                     DatabaseManager& db,
                                                     const RecordingFileManager& fileManager,
                                                     Logger& logger, OrchestratorTiming timing,
                                                     QObject* parent)
    : QObject(parent)
    , m_providerFactory(std::move(providerFactory))
    , m_postProcessor(postProcessor)
    , m_db(db)
    , m_fileManager(fileManager)
    , m_logger(logger)
    , m_timing(timing)
{
}

TranscriptionOrchestrator::~TranscriptionOrchestrator() { m_lifetime.cancel(); }

QCoro::Task<> TranscriptionOrchestrator::wait(std::chrono::milliseconds duration) const
{
    return m_timing.wait ? m_timing.wait(duration) : waitFor(duration);
}

void TranscriptionOrchestrator::expectSlice(const QString& recordingId, int sliceIndex)
{
    m_expected.insert(recordingId, sliceIndex);
}

void TranscriptionOrchestrator::onSliceReady(const Slice& slice)
{
    m_expected.remove(slice.recordingId, slice.sliceIndex);
    // Not kept: the task runs to its end on its own.
    transcribeSlice(slice);
}

QCoro::Task<void> TranscriptionOrchestrator::transcribeSlice(Slice slice)
{
    // One transcription per slice at a time: a second one would race the first.
    if (m_transcribing.contains(slice.id))
        co_return;
    const QPointer<TranscriptionOrchestrator> self(this);
    m_transcribing.insert(slice.id);
    const Registration inFlight(this, [this, id = slice.id] { m_transcribing.remove(id); });

    // The service is chosen now and serves every attempt of this slice.
    const std::unique_ptr<TranscriptionProvider> provider = m_providerFactory();
    const QString providerName = provider->name();
    const QString label = QStringLiteral("Orchestrator: slice %1").arg(slice.sliceIndex);

    if (!writeSlice(slice.id, [](Slice& s) { s.status = SliceStatus::processing; }))
        co_return;
    m_logger.info(label + QStringLiteral(" sent to ") + providerName);

    for (int attempt = 1; attempt <= kMaxRetries; ++attempt) {
        QString failure;
        const Result<QByteArray, QString> audio = readSliceAudio(slice);
        if (audio.ok()) {
            const std::optional<QString> prompt = m_db.fetchGlossaryPrompt(std::nullopt);
            const std::optional<QString> noLanguage;
            const TranscriptionResult result =
                co_await provider->transcribe(audio.value(), noLanguage, prompt, m_lifetime);
            if (!self)
                co_return;
            if (result.ok()) {
                const bool written = writeSlice(slice.id, [&](Slice& s) {
                    s.rawText = result.value();
                    s.provider = providerName;
                    s.status = SliceStatus::completed;
                }).has_value();
                if (written)
                    m_logger.info(label + QStringLiteral(" completed (attempt %1)").arg(attempt));
                co_return;
            }
            failure = result.error().description();
        } else {
            failure = audio.error();
        }
        m_logger.error(label + QStringLiteral(" attempt %1 failed: ").arg(attempt) + failure);
        if (attempt < kMaxRetries) {
            co_await wait(m_timing.retryWaitUnit * (1 << attempt));
            // A slice deleted meanwhile needs no further attempt.
            if (!self || !liveSlice(slice.id))
                co_return;
        }
    }

    const auto failed = writeSlice(slice.id, [](Slice& s) {
        s.status = SliceStatus::failed;
        s.error = QStringLiteral("Transcription failed after %1 attempts").arg(kMaxRetries);
    });
    if (failed)
        m_logger.error(label + QStringLiteral(" failed permanently"));
}

QCoro::Task<Recording> TranscriptionOrchestrator::finalizeRecording(Recording recording,
                                                                    CancelToken cancel)
{
    const QPointer<TranscriptionOrchestrator> self(this);
    const QString id = recording.id;
    const QString label = QStringLiteral("Orchestrator: recording ") + id;
    m_finalizing.insert(id, cancel.notifier());
    const Registration finalizing(this, [this, id, notifier = cancel.notifier()] {
        m_finalizing.remove(id, notifier);
    });
    // Grows while an expected slice's row arrives.
    auto total = int(m_db.fetchSlices(id, false).size());

    for (;;) {
        if (cancel.isCancelled())
            co_return recording;
        const QList<Slice> slices = m_db.fetchSlices(id, false);
        total = std::max(total, int(slices.size()));
        setProgress(id, int(std::count_if(slices.begin(), slices.end(),
                                      [](const Slice& s) {
                                          return s.status == SliceStatus::completed;
                                      })),
                    total);
        if (!m_expected.contains(id)
            && std::none_of(slices.begin(), slices.end(), [this](const Slice& s) { return isAwaited(s); }))
            break;
        // A slice nobody works on would keep this loop waiting for ever.
        for (const Slice& slice : slices) {
            if (isStranded(slice)) {
                m_logger.warning(QStringLiteral("Orchestrator: slice %1 has no transcription "
                                                "under way, transcribing it")
                                     .arg(slice.sliceIndex));
                transcribeSlice(slice);
            }
        }
        co_await wait(m_timing.pollInterval);
        if (!self)
            co_return recording;
    }

    // Fails the recording with `error`, logged as `line`; a recording deleted
    // meanwhile is left as it is.
    const auto fail = [&](const QString& error, const QString& line) {
        const auto failed = writeRecording(id, [&](Recording& r) {
            r.status = RecordingStatus::failed;
            r.error = error;
        });
        if (!failed)
            return recording;
        m_logger.error(line);
        return *failed;
    };

    const QList<Slice> slices = m_db.fetchSlices(id, false);
    // Joining what the store holds when slices are missing from it would pass
    // part of the dictation off as all of it.
    const int missing = recording.sliceCount - int(slices.size());
    if (missing > 0) {
        co_return fail(QStringLiteral("%1 of %2 slice(s) were not saved").arg(missing).arg(recording.sliceCount),
                       label + QStringLiteral(" lacks %1 of its %2 slice(s) in the database")
                                   .arg(missing)
                                   .arg(recording.sliceCount));
    }
    const auto unusable = std::count_if(slices.begin(), slices.end(), [](const Slice& s) {
        return s.status == SliceStatus::failed || s.status == SliceStatus::lost;
    });
    if (unusable > 0) {
        co_return fail(QStringLiteral("%1 slice(s) failed").arg(unusable),
                       label + QStringLiteral(" has %1 failed slice(s)").arg(unusable));
    }
    const auto unsaved = std::count_if(slices.begin(), slices.end(), isOutstanding);
    if (unsaved > 0) {
        co_return fail(QStringLiteral("%1 slice(s) could not be saved").arg(unsaved),
                       label + QStringLiteral(" has %1 slice(s) whose text could not be saved").arg(unsaved));
    }

    QStringList pieces;
    for (const Slice& slice : slices) {
        if (slice.rawText)
            pieces << *slice.rawText;
    }
    const QString rawText = pieces.join(QLatin1Char(' '));
    const bool hasSpeech = !rawText.trimmed().isEmpty();
    const QString model = m_postProcessor.modelProvider()();
    // The orchestrator's end aborts the polishing too: its answer must not
    // arrive at a post-processor and logger that may be gone by then.
    // `abandoned` aborts it when the joined text cannot be stored.
    const CancelToken abandoned;
    // Each link lives as long as the token it feeds: named, not a temporary.
    const CancelToken cancelledOrEnded = cancel.orWith(m_lifetime);
    const CancelToken polishing = cancelledOrEnded.orWith(abandoned);
    // The request goes out before the joined text is stored, so that the
    // store's write happens while the service works rather than before.
    std::optional<QCoro::Task<PostProcessorResult>> polishTask;
    if (hasSpeech)
        polishTask.emplace(m_postProcessor.process(rawText, polishing));
    const auto transcribed = writeRecording(id, [&](Recording& r) {
        r.rawText = rawText;
        r.status = RecordingStatus::transcribed;
    });
    if (!transcribed) {
        abandoned.cancel();
        co_return recording;
    }
    recording = *transcribed;
    m_logger.info(label + QStringLiteral(" transcribed, raw_text length: %1")
                              .arg(Graphemes::count(rawText)));

    if (!hasSpeech) {
        // Nothing was said: a model asked to polish nothing answers with text
        // of its own, which must not become the result.
        const auto completed = writeRecording(id, [](Recording& r) {
            r.cleanedText = QString();
            r.provider = std::nullopt;
            r.status = RecordingStatus::completed;
        });
        if (!completed)
            co_return recording;
        m_logger.info(label + QStringLiteral(" has no speech, nothing to polish"));
        co_return *completed;
    }

    const PostProcessorResult polished = co_await std::move(*polishTask);
    if (!self || cancel.isCancelled())
        co_return recording;

    if (polished.ok()) {
        const auto completed = writeRecording(id, [&](Recording& r) {
            r.cleanedText = polished.value();
            r.provider = model;
            r.status = RecordingStatus::completed;
        });
        if (!completed)
            co_return recording;
        m_logger.info(label + QStringLiteral(" post-processing completed via ") + model);
        co_return *completed;
    }
    const QString description = polished.error().description();
    co_return fail(QStringLiteral("Post-processing failed: ") + description,
                   QStringLiteral("Orchestrator: post-processing failed: ") + description);
}

QCoro::Task<std::optional<Recording>> TranscriptionOrchestrator::retry(QString recordingId,
                                                                       RetryMode mode)
{
    const std::optional<Recording> recording = m_db.fetchRecording(recordingId);
    if (!recording)
        co_return std::nullopt;
    const QString id = recording->id;
    std::optional<QString> refused;
    if (isRetrying(id))
        refused = QStringLiteral("it is being processed again already");
    else
        refused = refusal(*recording, mode);
    if (refused) {
        m_logger.warning(QStringLiteral("Orchestrator: recording %1 not %2: %3")
                             .arg(id, mode == RetryMode::retryFailed ? QStringLiteral("retried")
                                                                     : QStringLiteral("regenerated"),
                                  *refused));
        co_return recording;
    }

    m_retrying.insert(id);
    emit retryingChanged(id);
    const Registration retrying(this, [this, id] {
        m_retrying.remove(id);
        emit retryingChanged(id);
    });
    if (mode == RetryMode::retryFailed)
        co_return co_await retryFailed(*recording);
    co_return co_await regenerate(*recording);
}

bool TranscriptionOrchestrator::canRetry(const Recording& recording) const
{
    return !refusal(recording, RetryMode::retryFailed);
}

bool TranscriptionOrchestrator::canRegenerate(const Recording& recording) const
{
    return !refusal(recording, RetryMode::regenerate);
}

std::optional<QString> TranscriptionOrchestrator::refusal(const Recording& recording, RetryMode mode) const
{
    const RecordingStatus status = recording.status;
    if (mode == RetryMode::retryFailed) {
        // A recording still being recorded or finished would be joined
        // half-way; a completed one has nothing to retry.
        if (status != RecordingStatus::recorded && status != RecordingStatus::transcribed
            && status != RecordingStatus::failed)
            return QStringLiteral("it is ") + toText(status);
        if (isFinishing(recording.id))
            return QStringLiteral("its dictation is still being finished");
    } else if (status != RecordingStatus::completed) {
        return QStringLiteral("it is ") + toText(status);
    }
    // Without a slice the finalising step would complete the recording with
    // an empty text, and a regenerate would wipe the words it has.
    const QList<Slice> slices = m_db.fetchSlices(recording.id, false);
    if (slices.isEmpty())
        return QStringLiteral("it has no slice");
    if (mode == RetryMode::retryFailed)
        return std::nullopt;
    // Without the audio of every slice the stored texts are all there is:
    // transcribing again could only end in a failed recording.
    const auto unusable = std::count_if(slices.begin(), slices.end(), [this](const Slice& s) {
        return s.status == SliceStatus::lost || !hasAudioFile(s);
    });
    if (unusable > 0)
        return QStringLiteral("%1 slice(s) lost or without audio file").arg(unusable);
    return std::nullopt;
}

bool TranscriptionOrchestrator::isFinishing(const QString& recordingId) const
{
    if (m_expected.contains(recordingId))
        return true;
    for (auto it = m_finalizing.find(recordingId); it != m_finalizing.end() && it.key() == recordingId; ++it) {
        if (!it.value()->isCancelled())
            return true;
    }
    return false;
}

QCoro::Task<std::optional<Recording>> TranscriptionOrchestrator::retryFailed(Recording recording)
{
    const QPointer<TranscriptionOrchestrator> self(this);
    // The start-up recovery turns failed slices whose file is still there into
    // pending ones, so those count as well as the failed ones.
    for (const Slice& listed : m_db.fetchSlices(recording.id, false)) {
        const std::optional<Slice> slice = liveSlice(listed.id);
        if (!slice || !(slice->status == SliceStatus::failed || isStranded(*slice)))
            continue;
        co_await transcribeSlice(*slice);
        if (!self)
            co_return recording;
    }
    const CancelToken notCancelled;   // no temporaries inside a co_await: GCC 12 mishandles them
    co_return co_await finalizeRecording(recording, notCancelled);
}

QCoro::Task<std::optional<Recording>> TranscriptionOrchestrator::regenerate(Recording recording)
{
    const QPointer<TranscriptionOrchestrator> self(this);
    // retry() has found every slice's audio.
    const QList<Slice> slices = m_db.fetchSlices(recording.id, false);
    // The earlier texts stay until new ones replace them: a slice's text only
    // by a successful transcription, the recording's only by a successful
    // finalisation. Offline or with a bad key nothing is wiped.
    for (const Slice& listed : slices) {
        const auto reset = writeSlice(listed.id, [](Slice& s) {
            s.status = SliceStatus::pending;
            s.error = std::nullopt;
        });
        if (!reset)
            continue;
        co_await transcribeSlice(*reset);
        if (!self)
            co_return recording;
    }

    const auto reset = writeRecording(recording.id, [](Recording& r) {
        r.status = RecordingStatus::recorded;
    });
    if (!reset)
        co_return recording;
    const CancelToken notCancelled;
    const Recording finished = co_await finalizeRecording(*reset, notCancelled);
    if (!self || finished.status != RecordingStatus::failed)
        co_return finished;
    // A polishing failure has stored the new joined text without a cleaned
    // text to match: the recording goes back to the texts it had.
    co_return writeRecording(recording.id, [&](Recording& r) {
        r.rawText = reset->rawText;
        r.cleanedText = reset->cleanedText;
        r.provider = reset->provider;
    });
}

bool TranscriptionOrchestrator::isStranded(const Slice& slice) const
{
    return isOutstanding(slice) && !m_transcribing.contains(slice.id) && !m_unsaved.contains(slice.id);
}

bool TranscriptionOrchestrator::isAwaited(const Slice& slice) const
{
    return isOutstanding(slice) && (m_transcribing.contains(slice.id) || !m_unsaved.contains(slice.id));
}

Result<QByteArray, QString> TranscriptionOrchestrator::readSliceAudio(const Slice& slice) const
{
    const QString prefix = QStringLiteral("Cannot read slice file \"%1\": ").arg(slice.filename);
    const std::optional<QString> path = m_fileManager.sliceFilePath(slice.filename);
    if (!path)
        return prefix + QStringLiteral("not a file name inside the recordings folder");
    QFile file(*path);
    if (!file.open(QIODevice::ReadOnly))
        return prefix + file.errorString();
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return prefix + file.errorString();
    return bytes;
}

bool TranscriptionOrchestrator::hasAudioFile(const Slice& slice) const
{
    const std::optional<QString> path = m_fileManager.sliceFilePath(slice.filename);
    return path && QFileInfo(*path).isFile();
}

std::optional<Slice> TranscriptionOrchestrator::liveSlice(const QString& id) const
{
    std::optional<Slice> slice = m_db.fetchSlice(id);
    if (!slice || slice->deletedAt)
        return std::nullopt;
    return slice;
}

std::optional<Slice> TranscriptionOrchestrator::writeSlice(const QString& id,
                                                           const std::function<void(Slice&)>& change)
{
    std::optional<Slice> slice = liveSlice(id);
    if (!slice)
        return std::nullopt;
    change(*slice);
    // Stamped, so that a slice pushed while it was pending is pushed again.
    slice->updatedAt = QDateTime::currentDateTimeUtc();
    if (!m_db.updateSlice(*slice)) {
        // The store reports its error itself; the slice is not transcribed
        // again and again into a store that refuses the result.
        m_unsaved.insert(id);
        return std::nullopt;
    }
    m_unsaved.remove(id);
    return slice;
}

std::optional<Recording> TranscriptionOrchestrator::writeRecording(
    const QString& id, const std::function<void(Recording&)>& change)
{
    std::optional<Recording> recording = m_db.fetchRecordingIncludingDeleted(id);
    if (!recording || recording->deletedAt)
        return std::nullopt;
    change(*recording);
    recording->updatedAt = QDateTime::currentDateTimeUtc();
    // A write the store refuses is reported by the store; the caller still
    // gets the recording as it should be, so a dictation whose texts are all
    // here is not lost with the row.
    m_db.updateRecording(*recording);
    return recording;
}

void TranscriptionOrchestrator::setProgress(const QString& recordingId, int completed, int total)
{
    m_progress = {recordingId, completed, total};
    emit progressChanged();
}
