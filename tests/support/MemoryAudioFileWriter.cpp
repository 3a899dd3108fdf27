#include "support/MemoryAudioFileWriter.h"

qint64 MemoryAudioFileWriter::File::frames() const
{
    const int frameBytes = format.bytesPerFrame();
    return frameBytes > 0 ? data.size() / frameBytes : 0;
}

QList<MemoryAudioFileWriter::File> MemoryAudioFileWriter::Log::files() const
{
    std::lock_guard lock(m_mutex);
    return m_files;
}

int MemoryAudioFileWriter::Log::add(File file)
{
    std::lock_guard lock(m_mutex);
    m_files.append(std::move(file));
    return int(m_files.size() - 1);
}

template<typename Change>
void MemoryAudioFileWriter::Log::update(int index, Change change)
{
    std::lock_guard lock(m_mutex);
    change(m_files[index]);
}

AudioFileWriterFactory MemoryAudioFileWriter::factory(std::shared_ptr<Log> log, Failures failures)
{
    return [log, failures] { return std::make_unique<MemoryAudioFileWriter>(log, failures); };
}

MemoryAudioFileWriter::MemoryAudioFileWriter(std::shared_ptr<Log> log, Failures failures)
    : m_log(std::move(log))
    , m_failures(std::move(failures))
{
}

MemoryAudioFileWriter::~MemoryAudioFileWriter()
{
    close();
}

bool MemoryAudioFileWriter::open(const QString& path, const AudioFormat& format)
{
    const bool opened = m_failures.openError.isEmpty();
    m_index = m_log->add(File{path, format, opened});
    m_format = format;
    if (!opened)
        m_error = m_failures.openError;
    return opened;
}

bool MemoryAudioFileWriter::append(const AudioBuffer& buffer)
{
    const bool usable = m_index >= 0 && !m_closed && m_error.isEmpty() && buffer.format == m_format;
    const bool told = m_failures.appendsBeforeFailure >= 0 && m_appends >= m_failures.appendsBeforeFailure;
    ++m_appends;
    if (!usable || told) {
        ++m_failedAppends;
        if (m_error.isEmpty())
            m_error = told ? QStringLiteral("MemoryAudioFileWriter: append failed as told")
                           : QStringLiteral("MemoryAudioFileWriter: not open for this buffer");
        if (m_index >= 0)
            m_log->update(m_index, [](File& file) { ++file.failedAppends; });
        return false;
    }
    m_log->update(m_index, [&](File& file) {
        file.data.append(buffer.data);
        file.bufferFrames.append(buffer.frameCount());
    });
    return true;
}

bool MemoryAudioFileWriter::close()
{
    if (m_index >= 0 && !m_closed)
        m_log->update(m_index, [](File& file) { file.closed = true; });
    m_closed = true;
    return m_index >= 0 && m_error.isEmpty();
}
