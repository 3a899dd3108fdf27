#pragma once

#include <QString>
#include <functional>
#include <memory>

#include "platform/AudioCapture.h"

// One slice file being written: opened for the capture's format, fed captured
// buffers, closed into a complete audio file.
//
// Not synchronised itself: open, append and close may run on different
// threads (append on the capture thread), but never at the same time; the
// caller's writer guard serialises them. Releasing a writer closes it.
class AudioFileWriter
{
public:
    virtual ~AudioFileWriter();
    AudioFileWriter(const AudioFileWriter&) = delete;
    AudioFileWriter& operator=(const AudioFileWriter&) = delete;

    // Creates (or truncates) the file at `path` for audio in `format`.
    // Returns false with errorString() set when that is impossible; the
    // writer is unusable then. Call once.
    virtual bool open(const QString& path, const AudioFormat& format) = 0;

    // Adds one buffer in the opened format. Returns false, counts the buffer
    // in failedAppends() and sets errorString() when it could not be written;
    // after a write error every later append fails too, so no gap is hidden.
    virtual bool append(const AudioBuffer& buffer) = 0;

    // Finishes the file. Returns true when it was left complete in its final
    // form; false with errorString() set otherwise (the file then holds what
    // was written before the failure, as far as the format allows). Later
    // calls do nothing and return the same result.
    virtual bool close() = 0;

    virtual QString errorString() const = 0;
    virtual int failedAppends() const = 0;

protected:
    AudioFileWriter() = default;
};

// Makes the (unopened) writer of one slice file.
using AudioFileWriterFactory = std::function<std::unique_ptr<AudioFileWriter>()>;
