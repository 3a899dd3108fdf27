#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

// Ends the test process with a message when the scope it guards has not been
// left within `limit`. A test of something that must never hang (the main
// thread against another program's accessibility) then fails at once, naming
// what hung, instead of holding the serial desktop tests until ctest's time-out.
class HangGuard
{
public:
    HangGuard(std::chrono::seconds limit, std::string what);
    ~HangGuard();
    HangGuard(const HangGuard&) = delete;
    HangGuard& operator=(const HangGuard&) = delete;

private:
    std::mutex m_mutex;
    std::condition_variable m_left;
    bool m_done = false;
    std::thread m_watch;
};
