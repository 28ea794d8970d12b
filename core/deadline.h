// A time limit for a call as a whole: the milliseconds a call may still
// wait, for calls that wait more than once (a transfer in pieces, a wait
// that is woken early).
#pragma once

#include "platform/os.h"

namespace quorvel {

class Deadline {
public:
    // INFINITE: no limit (the clock is then never read).
    explicit Deadline(DWORD dwMilliseconds)
        : m_dwLimit(dwMilliseconds),
          m_ullStart(dwMilliseconds == INFINITE ? 0 : os::GetTickCount64()) {}

    bool Infinite() const { return m_dwLimit == INFINITE; }
    // INFINITE without a limit; 0 once the limit has passed.
    DWORD Remaining() const {
        if (Infinite()) return INFINITE;
        ULONGLONG ullSpent = os::GetTickCount64() - m_ullStart;
        return ullSpent >= m_dwLimit ? 0 : static_cast<DWORD>(m_dwLimit - ullSpent);
    }

private:
    DWORD m_dwLimit;
    ULONGLONG m_ullStart;
};

}  // namespace quorvel
