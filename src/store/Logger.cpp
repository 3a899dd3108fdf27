#include "store/Logger.h"

#include <QFile>
#include <QMetaObject>
#include <QPointer>

#include "platform/PrivateFiles.h"

QString toText(LogLevel level)
{
    switch (level) {
    case LogLevel::info: return QStringLiteral("INFO");
    case LogLevel::warning: return QStringLiteral("WARN");
    case LogLevel::error: return QStringLiteral("ERROR");
    case LogLevel::debug: return QStringLiteral("DEBUG");
    }
    return {};
}

QString Logger::LogEntry::formatted() const
{
    return QStringLiteral("[%1] %2 %3")
        .arg(timestamp.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
             toText(level).leftJustified(5, QLatin1Char(' ')), message);
}

Logger::Logger(const QString& logsDirectory, QObject* parent)
    : QObject(parent)
    , m_logsDirectory(logsDirectory)
    , m_writer([this] { writerLoop(); })
{
}

Logger::~Logger()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_writer.join();   // lines already logged are still written
}

void Logger::log(LogLevel level, const QString& message)
{
    const LogEntry entry{QUuid::createUuid(), QDateTime::currentDateTime(), level, message};
    {
        std::lock_guard lock(m_mutex);
        m_pending.push_back(entry);
    }
    m_wake.notify_one();
    // Queued even on the main thread: the list changes only between events.
    QPointer<Logger> self(this);
    QMetaObject::invokeMethod(
        this, [self, entry] { if (self) self->append(entry); }, Qt::QueuedConnection);
}

void Logger::append(const LogEntry& entry)
{
    m_entries.append(entry);
    if (m_entries.size() > kMaxEntries)
        m_entries.erase(m_entries.begin(), m_entries.end() - kMaxEntries);
    emit entriesChanged();
}

void Logger::setEntries(const QList<LogEntry>& entries)
{
    m_entries = entries;
    emit entriesChanged();
}

void Logger::flush()
{
    std::unique_lock lock(m_mutex);
    m_drained.wait(lock, [this] { return m_pending.empty() && !m_writing; });
}

void Logger::writerLoop()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || !m_pending.empty(); });
        if (m_pending.empty() && m_stopping)
            return;
        const LogEntry entry = m_pending.front();
        m_pending.pop_front();
        m_writing = true;
        lock.unlock();
        writeToFile(entry);
        lock.lock();
        m_writing = false;
        if (m_pending.empty())
            m_drained.notify_all();
    }
}

void Logger::writeToFile(const LogEntry& entry) const
{
    const QString name = entry.timestamp.toLocalTime().toString(QStringLiteral("yyyy-MM-dd"))
        + QStringLiteral(".log");
    // Append mode creates the file when it is missing; a missing folder drops the line.
    QFile file(m_logsDirectory + QLatin1Char('/') + name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append, PrivateFiles::kFilePermissions))
        return;
    file.write((entry.formatted() + QLatin1Char('\n')).toUtf8());
}
