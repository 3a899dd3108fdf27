#include "support/HangGuard.h"

#include <cstdio>
#include <cstdlib>

HangGuard::HangGuard(std::chrono::seconds limit, std::string what)
    : m_watch([this, limit, what = std::move(what)] {
          std::unique_lock lock(m_mutex);
          if (m_left.wait_for(lock, limit, [this] { return m_done; }))
              return;
          std::fprintf(stderr, "HangGuard: %s did not come back within %lld s\n", what.c_str(),
                       static_cast<long long>(limit.count()));
          std::fflush(stderr);
          std::_Exit(EXIT_FAILURE);
      })
{
}

HangGuard::~HangGuard()
{
    {
        std::lock_guard lock(m_mutex);
        m_done = true;
    }
    m_left.notify_all();
    m_watch.join();
}
