#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/AudioCapture.h"
#include "platform/AudioFileWriter.h"
#include "store/Slice.h"

class DatabaseManager;
class Logger;
class RecordingFileManager;

// The recorder's clock; tests shrink it.
struct AudioRecorderTiming
{
    // What slice and elapsed times are measured with; tests move it by hand.
    std::function<std::chrono::steady_clock::time_point()> clock = [] {
        return std::chrono::steady_clock::now();
    };
    // Seconds per slice until the controller sets sliceDuration itself.
    double sliceDuration = 60.0;
    // How often elapsedTime is published while recording.
    std::chrono::milliseconds elapsedTick = std::chrono::milliseconds(100);
};

// Records the microphone into numbered slice files ("recordings" folder, names
// from RecordingFileManager), one per slice: a slice lasts sliceDuration
// seconds unless a pause or the stop ends it first. Each sealed slice is
// stored as a pending row and handed to onSliceReady at once, its file closed,
// so that it is transcribed while recording goes on. Publishes the recorded
// time, pauses excluded.
//
// Control runs on the main thread; captured buffers are written on the
// capture thread into the current slice's writer. That writer is the one
// thing both threads touch, behind m_writerGuard: the capture thread holds it
// for one buffer's write, the main thread only to swap writers (a new writer
// is opened and an old one closed outside it).
class AudioRecorder : public QObject
{
    Q_OBJECT
    Q_PROPERTY(double elapsedTime READ elapsedTime NOTIFY elapsedTimeChanged)
public:
    using SliceHandler = std::function<void(const Slice&)>;
    using SliceEndHandler = std::function<void(const QString& recordingId, int sliceIndex)>;

    AudioRecorder(RecordingFileManager& fileManager, DatabaseManager& db, Logger& logger,
                  AudioCaptureFactory captureFactory, AudioFileWriterFactory writerFactory,
                  AudioRecorderTiming timing = {}, QObject* parent = nullptr);
    ~AudioRecorder() override;

    // Seconds per slice, read each time a slice timer starts.
    double sliceDuration;
    // Called on the main thread with each sealed slice, after its row is
    // stored and its file is closed, in slice order.
    SliceHandler onSliceReady;
    // Called by stopLater() for the slice it leaves to be stored and
    // finished after it has returned; onSliceReady follows for that slice.
    SliceEndHandler onSliceFinishing;

    // Begins a recording with slice 1 on a new capture. Returns why it could
    // not start (nothing is recorded, no file or row is left), else none.
    // A recording still running is stopped first.
    [[nodiscard]] std::optional<QString> start(const QString& recordingId, const QString& userId);
    // Pauses capture, then seals the open slice with all it captured.
    void pause();
    // Continues a paused recording with the next slice. Returns why it could
    // not (the recording stays paused, nothing changed), else none.
    [[nodiscard]] std::optional<QString> resume();
    // Seals the last slice, releases the capture and returns the recorded
    // seconds, pauses excluded (kept in elapsedTime until the next start).
    double stop();
    // The same stop, but the capture's end and the last slice's row and file
    // follow once control is back in the event loop (or at the next call
    // here, or the recorder's end, whichever comes first): what waits for
    // the slice can start at once.
    double stopLater();

    double elapsedTime() const { return m_elapsedTime; }
    // Slices sealed since the last start, stored or not, and the last one of
    // a stop still finishing: what the store must hold for the recording to
    // be whole.
    int sealedSliceCount() const { return m_sealedSliceCount + (m_stopPending && m_openSlice ? 1 : 0); }

signals:
    void elapsedTimeChanged(double seconds);
    // The microphone stopped delivering mid-recording (on the main thread).
    void inputFailed(const QString& message);

private:
    using Clock = std::chrono::steady_clock;

    // The slice that buffers are being written into.
    struct OpenSlice
    {
        QString filename;
        Clock::time_point startedAt;
    };

    // The next slice's file, opened but not yet current; `writer` is none and
    // `error` says why when it could not be opened.
    struct NextSlice
    {
        int index = 0;
        QString filename;
        QString path;
        std::unique_ptr<AudioFileWriter> writer;
        QString error;
    };

    NextSlice openNextSlice() const;
    // The stop's timing part: no more slices or elapsed time. Returns the
    // recorded seconds.
    double endRecording();
    // The stop's closing part: the capture ends and the last slice is sealed.
    void finishStop();
    // Runs the closing part that stopLater() left, if any.
    void finishPendingStop();
    // Makes the next slice current while no slice is open (start, resume),
    // starting capture when it is not running.
    std::optional<QString> startNewSlice();
    // The slice timer: the open slice is sealed ("auto") and the next one
    // takes its place in one swap, so no buffer falls between them.
    void rollOverSlice();
    void beginSlice(const NextSlice& slice, Clock::time_point startedAt);
    // Stores, closes and hands on the open slice, putting `next` (or none)
    // in its writer's place. Returns the moment of that swap: where the open
    // slice's audio ends and the next one's begins.
    Clock::time_point sealCurrentSlice(const QString& reason, std::unique_ptr<AudioFileWriter> next);
    void logWriteProblems(const AudioFileWriter& writer, bool finished, int sliceIndex) const;
    // Returns the writer replaced and the moment of the swap.
    std::pair<std::unique_ptr<AudioFileWriter>, Clock::time_point> swapWriter(
        std::unique_ptr<AudioFileWriter> next);
    // Capture thread.
    void writeBuffer(const AudioBuffer& buffer);

    void startSliceTimer();
    void startDisplayTimer();
    void stopTimers();
    // The recorded time up to now.
    double measureElapsed() const;
    void publishElapsed(double seconds);

    std::unique_ptr<AudioCapture> m_capture;   // one per recording; none when stopped
    std::mutex m_writerGuard;
    std::unique_ptr<AudioFileWriter> m_writer;   // the open slice's file; guarded
    int m_currentSliceIndex = 0;
    int m_sealedSliceCount = 0;
    QString m_currentRecordingId;
    QString m_currentUserId = QStringLiteral("local");
    std::optional<OpenSlice> m_openSlice;
    bool m_stopPending = false;   // stopLater() has not finished yet
    QTimer m_sliceTimer;

    RecordingFileManager& m_fileManager;
    DatabaseManager& m_db;
    Logger& m_logger;
    const AudioCaptureFactory m_captureFactory;
    const AudioFileWriterFactory m_writerFactory;
    const AudioRecorderTiming m_timing;

    double m_elapsedTime = 0.0;
    double m_elapsedBeforePause = 0.0;
    std::optional<Clock::time_point> m_resumeTime;   // none while paused or stopped
    QTimer m_displayTimer;
};
