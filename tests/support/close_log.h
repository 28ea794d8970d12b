// Records every handle closed through the platform layer while it lives,
// so a test can tell that a handle was closed exactly once.
#pragma once

#include <mutex>
#include <set>

#include "tests/support/os_hook.h"

namespace qvtest {

class CloseLog {
public:
    CloseLog()
        : m_hook([this](HANDLE h) {
              {
                  std::lock_guard<std::mutex> lock(m_mutex);
                  m_closed.insert(h);
              }
              return m_hook.Real()(h);
          }) {}

    size_t Count(HANDLE h) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_closed.count(h);
    }

private:
    mutable std::mutex m_mutex;
    std::multiset<HANDLE> m_closed;
    Hook<quorvel::os::CloseHandle> m_hook;
};

}  // namespace qvtest
