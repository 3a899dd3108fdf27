#pragma once

#include <QList>
#include <memory>
#include <mutex>

#include "platform/AudioFileWriter.h"

// A slice writer that keeps the appended audio in memory, in a Log that
// outlives the writer (code under test owns and drops its writers). It can be
// told to fail open or, after some appends, every append.
class MemoryAudioFileWriter final : public AudioFileWriter
{
public:
    struct File
    {
        QString path;
        AudioFormat format;
        bool opened = false;
        bool closed = false;
        QByteArray data;          // every appended frame, in order
        QList<int> bufferFrames;  // frames of each appended buffer
        int failedAppends = 0;

        qint64 frames() const;
    };

    struct Failures
    {
        QString openError;             // when set, open() fails with this text
        int appendsBeforeFailure = -1; // appends that succeed before all fail; -1: none fail
    };

    // What the writers made for it recorded, one File per open() in call
    // order. Safe to read while a capture thread appends.
    class Log
    {
    public:
        QList<File> files() const;

    private:
        friend class MemoryAudioFileWriter;
        int add(File file);
        template<typename Change> void update(int index, Change change);

        mutable std::mutex m_mutex;
        QList<File> m_files;
    };

    // Makes writers that record into `log` and fail as `failures` says.
    static AudioFileWriterFactory factory(std::shared_ptr<Log> log, Failures failures);
    static AudioFileWriterFactory factory(std::shared_ptr<Log> log) { return factory(std::move(log), Failures()); }

    MemoryAudioFileWriter(std::shared_ptr<Log> log, Failures failures);
    explicit MemoryAudioFileWriter(std::shared_ptr<Log> log) : MemoryAudioFileWriter(std::move(log), Failures()) {}
    ~MemoryAudioFileWriter() override;

    bool open(const QString& path, const AudioFormat& format) override;
    bool append(const AudioBuffer& buffer) override;
    bool close() override;
    QString errorString() const override { return m_error; }
    int failedAppends() const override { return m_failedAppends; }

private:
    const std::shared_ptr<Log> m_log;
    const Failures m_failures;
    int m_index = -1;
    AudioFormat m_format;
    int m_appends = 0;
    int m_failedAppends = 0;
    bool m_closed = false;
    QString m_error;
};
