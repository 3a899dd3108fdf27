#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QUuid>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

enum class LogLevel { info, warning, error, debug };

// "INFO", "WARN", "ERROR", "DEBUG".
QString toText(LogLevel level);

// The one log sink. Each entry goes to a file per local day in the logs folder
// (written by the logger's own serial worker thread, in call order) and, on the
// main thread, to the in-memory list of the newest 1000 entries.
class Logger : public QObject
{
    Q_OBJECT
public:
    struct LogEntry
    {
        QUuid id;
        QDateTime timestamp;
        LogLevel level = LogLevel::info;
        QString message;

        // "[yyyy-MM-dd HH:mm:ss] LEVEL message", local time, level padded to 5.
        QString formatted() const;
    };

    static constexpr int kMaxEntries = 1000;

    explicit Logger(const QString& logsDirectory, QObject* parent = nullptr);
    ~Logger() override;

    QString logsDirectory() const { return m_logsDirectory; }

    // Safe from any thread; returns at once. The list append always runs later
    // on the logger's thread (the main thread).
    void log(LogLevel level, const QString& message);
    void info(const QString& message) { log(LogLevel::info, message); }
    void warning(const QString& message) { log(LogLevel::warning, message); }
    void error(const QString& message) { log(LogLevel::error, message); }
    void debug(const QString& message) { log(LogLevel::debug, message); }

    const QList<LogEntry>& entries() const { return m_entries; }
    // The debug console's clear; the day files are kept.
    void setEntries(const QList<LogEntry>& entries);

    // Blocks until every line logged so far has been written (or dropped).
    void flush();

signals:
    void entriesChanged();

private:
    void append(const LogEntry& entry);
    void writerLoop();
    void writeToFile(const LogEntry& entry) const;

    const QString m_logsDirectory;
    QList<LogEntry> m_entries;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_drained;
    std::deque<LogEntry> m_pending;
    bool m_writing = false;
    bool m_stopping = false;
    std::thread m_writer;
};
