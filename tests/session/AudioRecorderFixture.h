#pragma once

#include <QSignalSpy>
#include <gtest/gtest.h>
#include <chrono>
#include <functional>
#include <memory>

#include "session/AudioRecorder.h"
#include "store/DatabaseManager.h"
#include "store/RecordId.h"
#include "store/RecordingFileManager.h"
#include "support/EventLoop.h"
#include "support/LogCapture.h"
#include "support/MemoryAudioFileWriter.h"
#include "support/QStringPrinter.h"
#include "support/SharedCapture.h"
#include "support/TempHome.h"
#include "support/ToneCapture.h"

// A recorder on a real store and data folder in a temporary home, fed by tone
// captures (one per recording, kept here after the recorder has let go of
// them) and writing through `writers`: in memory unless a test says otherwise.
// Set the options before the first call of rec(), which builds the recorder.
class AudioRecorderFixture : public testing::Test
{
protected:
    // A slice as onSliceReady received it, and what held at that moment.
    struct HandedSlice
    {
        Slice slice;
        bool rowStored = false;
        bool memoryFileClosed = false;   // in-memory writers only
    };

    TempHome home;
    RecordingFileManager files;
    DatabaseManager db{files.baseDirectory()};
    LogCapture log;

    ToneCapture::Options tone;   // what the next capture plays
    std::shared_ptr<MemoryAudioFileWriter::Log> written = std::make_shared<MemoryAudioFileWriter::Log>();
    AudioFileWriterFactory writers = MemoryAudioFileWriter::factory(written);
    // Runs inside onSliceReady, after the fixture has noted the slice.
    std::function<void(const Slice&)> atHandOff;
    AudioRecorderTiming timing;

    QString recordingId = newRecordId();
    QList<std::shared_ptr<ToneCapture>> captures;
    QList<HandedSlice> handed;

    AudioRecorder& rec()
    {
        if (!m_recorder) {
            const auto makeCapture = [this] {
                captures.append(std::make_shared<ToneCapture>(tone));
                return std::make_unique<SharedCapture>(captures.last());
            };
            m_recorder = std::make_unique<AudioRecorder>(files, db, log.logger, makeCapture, writers, timing);
            m_recorder->onSliceReady = [this](const Slice& slice) { noteHandOff(slice); };
        }
        return *m_recorder;
    }

    // A fresh recorder on the next call of rec(), for the options set since.
    void dropRecorder()
    {
        m_recorder.reset();
        handed.clear();
    }

    // Stores the recording's row, as the controller does, and starts it.
    std::optional<QString> start(const QString& userId = "local")
    {
        Recording recording;
        recording.id = recordingId;
        recording.userId = userId;
        recording.createdAt = recording.updatedAt = QDateTime::currentDateTimeUtc();
        db.insertRecording(recording);
        return rec().start(recordingId, userId);
    }

    ToneCapture& capture() { return *captures.last(); }

    // Gives the recorder a clock that moves only by advance(): slice lengths
    // and the elapsed time are then exactly what the test says, however late
    // the machine runs the timers. Call before rec().
    void useManualClock()
    {
        timing.clock = [now = m_now] { return *now; };
    }

    void advance(double seconds)
    {
        *m_now += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(seconds));
    }

    bool waitForElapsed(double seconds, int timeoutMs = 5000)
    {
        return waitUntil([&] { return rec().elapsedTime() >= seconds; }, timeoutMs);
    }

    QList<MemoryAudioFileWriter::File> openedFiles() const
    {
        QList<MemoryAudioFileWriter::File> opened;
        for (const MemoryAudioFileWriter::File& file : written->files()) {
            if (file.opened)
                opened.append(file);
        }
        return opened;
    }

    // Everything the writers received, slice after slice.
    QByteArray writtenAudio() const
    {
        QByteArray all;
        for (const MemoryAudioFileWriter::File& file : openedFiles())
            all.append(file.data);
        return all;
    }

    // What the tone capture delivered in all: the audio of every slice in a
    // row, if nothing was lost or doubled.
    QByteArray deliveredAudio()
    {
        return ToneCapture::tone(tone.format, tone.signal, 0, int(capture().framesDelivered())).data;
    }

    // The recorder's own lines, as "LEVEL message", since the last call.
    QStringList recorderLines()
    {
        return log.fresh().filter(QStringLiteral(" AudioRecorder: "));
    }

    QString slicePath(const Slice& slice) const { return files.sliceFilePath(slice.filename).value_or(QString()); }

private:
    void noteHandOff(const Slice& slice)
    {
        HandedSlice note{slice, db.fetchSlice(slice.id).has_value()};
        for (const MemoryAudioFileWriter::File& file : written->files()) {
            if (file.path == slicePath(slice))
                note.memoryFileClosed = file.closed;
        }
        handed.append(note);
        if (atHandOff)
            atHandOff(slice);
    }

    std::unique_ptr<AudioRecorder> m_recorder;
    std::shared_ptr<std::chrono::steady_clock::time_point> m_now =
        std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
};
