#include "session/AudioRecorder.h"

#include <QDateTime>
#include <QFile>
#include <cmath>

#include "store/DatabaseManager.h"
#include "store/Logger.h"
#include "store/RecordId.h"
#include "store/RecordingFileManager.h"

namespace {

QString sliceLabel(int index)
{
    return QString::asprintf("slice_%03d", index);
}

double secondsBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

} // namespace

AudioRecorder::AudioRecorder(RecordingFileManager& fileManager, DatabaseManager& db, Logger& logger,
                             AudioCaptureFactory captureFactory, AudioFileWriterFactory writerFactory,
                             AudioRecorderTiming timing, QObject* parent)
    : QObject(parent)
    , sliceDuration(timing.sliceDuration)
    , m_fileManager(fileManager)
    , m_db(db)
    , m_logger(logger)
    , m_captureFactory(std::move(captureFactory))
    , m_writerFactory(std::move(writerFactory))
    , m_timing(timing)
{
    m_sliceTimer.setSingleShot(true);
    // A coarse timer may fire 5 % late: 15 s on a 300 s slice.
    m_sliceTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_sliceTimer, &QTimer::timeout, this, &AudioRecorder::rollOverSlice);
    m_displayTimer.setInterval(m_timing.elapsedTick);
    connect(&m_displayTimer, &QTimer::timeout, this, [this] {
        if (m_resumeTime)
            publishElapsed(measureElapsed());
    });
}

AudioRecorder::~AudioRecorder()
{
    // A stop still finishing keeps its last slice.
    finishPendingStop();
    // The capture thread writes through this object: end it first.
    m_capture.reset();
}

std::optional<QString> AudioRecorder::start(const QString& recordingId, const QString& userId)
{
    finishPendingStop();
    if (m_capture)
        stop();
    m_currentRecordingId = recordingId;
    m_currentUserId = userId;
    m_currentSliceIndex = 0;
    m_sealedSliceCount = 0;
    m_elapsedBeforePause = 0.0;
    publishElapsed(0.0);

    m_capture = m_captureFactory();
    m_capture->setBufferHandler([this](const AudioBuffer& buffer) { writeBuffer(buffer); });
    m_capture->setFailureHandler([this](const QString& message) {
        m_logger.error(QStringLiteral("AudioRecorder: audio input failed: ") + message);
        // From the capture thread; dropped if the recorder is gone by then.
        QMetaObject::invokeMethod(this, [this, message] { emit inputFailed(message); },
                                  Qt::QueuedConnection);
    });
    if (auto failure = startNewSlice()) {
        m_capture.reset();
        return failure;
    }
    m_resumeTime = m_timing.clock();
    startDisplayTimer();
    m_logger.info(QStringLiteral("AudioRecorder: start, recording: ") + recordingId);
    return std::nullopt;
}

void AudioRecorder::pause()
{
    finishPendingStop();
    // Capture first: what it still delivers belongs to the slice being sealed.
    if (m_capture)
        m_capture->pause();
    m_elapsedBeforePause = measureElapsed();
    m_resumeTime.reset();
    sealCurrentSlice(QStringLiteral("pause"), nullptr);
    stopTimers();
    publishElapsed(m_elapsedBeforePause);
    m_logger.info(QStringLiteral("AudioRecorder: paused"));
}

std::optional<QString> AudioRecorder::resume()
{
    finishPendingStop();
    if (!m_capture)
        return QStringLiteral("No recording to resume");
    if (m_resumeTime)
        return std::nullopt;   // recording already
    if (auto failure = startNewSlice())
        return failure;
    m_resumeTime = m_timing.clock();
    startDisplayTimer();
    m_logger.info(QStringLiteral("AudioRecorder: resume, writing ") + sliceLabel(m_currentSliceIndex));
    return std::nullopt;
}

double AudioRecorder::stop()
{
    finishPendingStop();
    const double total = endRecording();
    finishStop();
    return total;
}

double AudioRecorder::stopLater()
{
    finishPendingStop();
    const double total = endRecording();
    if (m_openSlice && onSliceFinishing)
        onSliceFinishing(m_currentRecordingId, m_currentSliceIndex);
    m_stopPending = true;
    // Dropped with the recorder, whose end finishes the stop itself.
    QMetaObject::invokeMethod(this, &AudioRecorder::finishPendingStop, Qt::QueuedConnection);
    return total;
}

double AudioRecorder::endRecording()
{
    const double total = measureElapsed();
    m_elapsedBeforePause = total;
    m_resumeTime.reset();
    stopTimers();
    publishElapsed(total);
    return total;
}

void AudioRecorder::finishStop()
{
    // Capture first: its last short buffer goes into the last slice.
    if (m_capture)
        m_capture->stop();
    sealCurrentSlice(QStringLiteral("stop"), nullptr);
    m_capture.reset();
    m_logger.info(QStringLiteral("AudioRecorder: stopped, total duration: ")
                  + QString::asprintf("%.1f", m_elapsedBeforePause) + QLatin1Char('s'));
}

void AudioRecorder::finishPendingStop()
{
    if (!std::exchange(m_stopPending, false))
        return;
    finishStop();
}

AudioRecorder::NextSlice AudioRecorder::openNextSlice() const
{
    NextSlice next;
    next.index = m_currentSliceIndex + 1;
    next.filename = RecordingFileManager::generateSliceFilename(m_currentRecordingId, next.index,
                                                                QDateTime::currentDateTime());
    const std::optional<QString> path = m_fileManager.sliceFilePath(next.filename);
    if (!path) {
        next.error = QStringLiteral("Cannot name a slice file for recording ") + m_currentRecordingId;
        return next;
    }
    std::unique_ptr<AudioFileWriter> writer = m_writerFactory();
    if (!writer->open(*path, m_capture->format())) {
        next.error = writer->errorString();
        return next;
    }
    next.path = *path;
    next.writer = std::move(writer);
    return next;
}

std::optional<QString> AudioRecorder::startNewSlice()
{
    // Without a device the writer would fail on the empty format instead,
    // with a message about the file.
    if (!m_capture->format().isValid())
        return QStringLiteral("No audio input device");
    NextSlice next = openNextSlice();
    if (!next.writer)
        return next.error;
    // The file is current before capture starts, so the first buffer has a home.
    const Clock::time_point startedAt = swapWriter(std::move(next.writer)).second;
    if (!m_capture->isRunning() && !m_capture->start()) {
        swapWriter(nullptr).first->close();
        QFile::remove(next.path);
        return m_capture->errorString();
    }
    beginSlice(next, startedAt);
    return std::nullopt;
}

void AudioRecorder::rollOverSlice()
{
    NextSlice next = openNextSlice();
    if (!next.writer) {
        // The open slice takes the audio meanwhile; the next tick tries again.
        m_logger.error(QStringLiteral("AudioRecorder: cannot open ") + sliceLabel(next.index) + QStringLiteral(", ")
                       + sliceLabel(m_currentSliceIndex) + QStringLiteral(" goes on: ") + next.error);
        startSliceTimer();
        return;
    }
    // The next slice starts at the swap, not after the sealed one has been
    // finished and handed on: its audio has been going into its file since.
    const Clock::time_point swappedAt = sealCurrentSlice(QStringLiteral("auto"), std::move(next.writer));
    beginSlice(next, swappedAt);
}

void AudioRecorder::beginSlice(const NextSlice& slice, Clock::time_point startedAt)
{
    m_currentSliceIndex = slice.index;
    m_openSlice = OpenSlice{slice.filename, startedAt};
    startSliceTimer();
    m_logger.info(QStringLiteral("AudioRecorder: writing ") + sliceLabel(slice.index) + QStringLiteral(" \u2192 ")
                  + slice.filename);
}

AudioRecorder::Clock::time_point AudioRecorder::sealCurrentSlice(const QString& reason,
                                                                std::unique_ptr<AudioFileWriter> next)
{
    if (!m_openSlice) {
        swapWriter(std::move(next));
        return m_timing.clock();
    }
    // From here on captured audio goes to `next`: the slice ends now.
    auto [sealed, swappedAt] = swapWriter(std::move(next));
    const double duration = secondsBetween(m_openSlice->startedAt, swappedAt);
    Slice slice;
    slice.id = newRecordId();
    slice.userId = m_currentUserId;
    slice.recordingId = m_currentRecordingId;
    slice.sliceIndex = m_currentSliceIndex;
    slice.filename = m_openSlice->filename;
    slice.status = SliceStatus::pending;
    slice.duration = duration;
    slice.updatedAt = QDateTime::currentDateTimeUtc();
    ++m_sealedSliceCount;
    // The row comes before the file is finished: should the process die
    // meanwhile, the row still points at a file that plays up to its last
    // fragment. A row the store refused is reported by the store; the
    // controller compares the sealed count with the rows stored.
    m_db.insertSlice(slice);
    m_logger.info(QStringLiteral("AudioRecorder: slice ready (") + reason + QStringLiteral("), ")
                  + sliceLabel(slice.sliceIndex) + QStringLiteral(" sealed, ") + QString::asprintf("%.0f", duration)
                  + QLatin1Char('s'));

    // Closed outside the guard: finishing the file takes milliseconds that
    // the capture thread must not wait for.
    const bool finished = sealed->close();
    logWriteProblems(*sealed, finished, slice.sliceIndex);
    m_openSlice.reset();
    if (onSliceReady)
        onSliceReady(slice);
    return swappedAt;
}

void AudioRecorder::logWriteProblems(const AudioFileWriter& writer, bool finished, int sliceIndex) const
{
    if (writer.failedAppends() > 0) {
        m_logger.error(QStringLiteral("AudioRecorder: ") + sliceLabel(sliceIndex) + QStringLiteral(": ")
                       + QString::number(writer.failedAppends())
                       + QStringLiteral(" buffer(s) could not be written: ") + writer.errorString());
    } else if (!finished) {
        m_logger.error(QStringLiteral("AudioRecorder: ") + sliceLabel(sliceIndex)
                       + QStringLiteral(" was not finished: ") + writer.errorString());
    }
}

std::pair<std::unique_ptr<AudioFileWriter>, AudioRecorder::Clock::time_point> AudioRecorder::swapWriter(
    std::unique_ptr<AudioFileWriter> next)
{
    std::lock_guard lock(m_writerGuard);
    return {std::exchange(m_writer, std::move(next)), m_timing.clock()};
}

void AudioRecorder::writeBuffer(const AudioBuffer& buffer)
{
    std::lock_guard lock(m_writerGuard);
    // A failed append is counted by the writer and logged when its slice is sealed.
    if (m_writer)
        m_writer->append(buffer);
}

void AudioRecorder::startSliceTimer()
{
    m_sliceTimer.start(std::chrono::milliseconds(std::llround(sliceDuration * 1000.0)));
}

void AudioRecorder::startDisplayTimer()
{
    m_displayTimer.start();
}

void AudioRecorder::stopTimers()
{
    m_sliceTimer.stop();
    m_displayTimer.stop();
}

double AudioRecorder::measureElapsed() const
{
    return m_resumeTime ? m_elapsedBeforePause + secondsBetween(*m_resumeTime, m_timing.clock())
                        : m_elapsedBeforePause;
}

void AudioRecorder::publishElapsed(double seconds)
{
    if (seconds == m_elapsedTime)
        return;
    m_elapsedTime = seconds;
    emit elapsedTimeChanged(seconds);
}
