#pragma once

#include <QCoreApplication>
#include <QStringList>
#include <QTemporaryDir>

#include "store/Logger.h"

// A logger writing into a temporary folder, and what it has logged.
class LogCapture
{
    QTemporaryDir m_dir;   // before the logger, which writes into it

public:
    Logger logger{m_dir.path()};

    // "LEVEL message" of every entry so far, oldest first.
    QStringList lines()
    {
        QCoreApplication::processEvents();   // the logger appends its list later
        QStringList result;
        for (const Logger::LogEntry& entry : logger.entries())
            result << toText(entry.level) + ' ' + entry.message;
        return result;
    }

    // Lines logged since the last call of fresh().
    QStringList fresh()
    {
        const QStringList all = lines();
        const QStringList result = all.mid(m_seen);
        m_seen = int(all.size());
        return result;
    }

private:
    int m_seen = 0;
};
