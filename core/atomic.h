// Atomic access to plain members of the exported classes. Their declarations
// stay free of standard-library types (hosts of any compiler read them), so
// the library reaches the members that several threads share through these
// functions instead of through std::atomic.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>

#include "platform/os.h"

namespace quorvel {

template <class T>
inline T AtomicLoad(const T& value) {
    return __atomic_load_n(&value, __ATOMIC_ACQUIRE);
}

template <class T>
inline void AtomicStore(T& value, T desired) {
    __atomic_store_n(&value, desired, __ATOMIC_RELEASE);
}

template <class T>
inline T AtomicExchange(T& value, T desired) {
    return __atomic_exchange_n(&value, desired, __ATOMIC_ACQ_REL);
}

// Replaces value by desired if it holds expected; true if it did. expected
// receives what value held otherwise.
template <class T>
inline bool AtomicCompareExchange(T& value, T& expected, T desired) {
    return __atomic_compare_exchange_n(&value, &expected, desired, false, __ATOMIC_ACQ_REL,
                                       __ATOMIC_ACQUIRE);
}

// Holds a flag (if any) for a scope, for state that several threads read
// and write where the guarded work is a few loads, stores or character
// copies: waiting turns. A holder that lost its processor meanwhile gets it
// back: after a few turns the waiter gives up the rest of its time slice.
class FlagGuard {
public:
    explicit FlagGuard(std::atomic<bool>* pFlag) : m_pFlag(pFlag) {
        for (int nTurn = 0; m_pFlag && m_pFlag->exchange(true, std::memory_order_acquire); ++nTurn) {
            if (nTurn < kSpinTurns) {
                YieldProcessor();
            } else {
                os::SwitchToThread();
            }
        }
    }
    ~FlagGuard() {
        if (m_pFlag) m_pFlag->store(false, std::memory_order_release);
    }
    FlagGuard(const FlagGuard&) = delete;
    FlagGuard& operator=(const FlagGuard&) = delete;

private:
    static constexpr int kSpinTurns = 64;
    std::atomic<bool>* m_pFlag;
};

}  // namespace quorvel
