#pragma once

#include <QByteArray>
#include <ctime>
#include <optional>

// Sets the process's local time zone (a POSIX TZ value such as "CST-8") for
// its lifetime, so that a test tells local time apart from UTC on any machine.
class ScopedTimeZone
{
public:
    explicit ScopedTimeZone(const char* tz)
        : m_saved(qEnvironmentVariableIsSet("TZ") ? std::optional(qgetenv("TZ")) : std::nullopt)
    {
        qputenv("TZ", tz);
        tzset();
    }
    ~ScopedTimeZone()
    {
        if (m_saved)
            qputenv("TZ", *m_saved);
        else
            qunsetenv("TZ");
        tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<QByteArray> m_saved;
};
