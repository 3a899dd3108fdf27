#pragma once

#include <QDateTime>
#include <QTimeZone>
#include <chrono>

#include "platform/WallClock.h"

// A time of day that moves only when the test moves it.
class TestClock
{
public:
    explicit TestClock(QDateTime start = QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7, 123), Qt::UTC))
        : m_now(std::move(start)) {}

    QDateTime now() const { return m_now; }
    void set(const QDateTime& time) { m_now = time; }
    void advance(std::chrono::milliseconds by) { m_now = m_now.addMSecs(by.count()); }
    // Reads this clock for as long as it lives.
    WallClock wallClock() const { return [this] { return m_now; }; }

private:
    QDateTime m_now;
};
