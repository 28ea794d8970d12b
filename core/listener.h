// Pieces every endpoint's listener thread uses: how it is started and how
// long it waits after a failure before it tries again.
#pragma once

#include "core/thread_record.h"
#include "quorvel/core.h"

namespace quorvel::listener {

constexpr DWORD kFirstRetryPause = 10;  // ms, after the first failure of a wait
constexpr DWORD kLongestRetryPause = 1000;

// The pause after another failure: 10 ms, then doubling up to one second.
inline DWORD NextPause(DWORD dwPause) {
    if (!dwPause) return kFirstRetryPause;
    return dwPause * 2 > kLongestRetryPause ? kLongestRetryPause : dwPause * 2;
}

// Starts pfnRoutine on thread with pParam (the endpoint) and the given stack
// reserve (0: the process default), without waiting for it: what the routine
// takes from its object at its start stays valid until the object stops it,
// and pContext (ThreadAccess::ContextOf its record) is anything it must hold
// beyond that. 0 with the system's error if the thread cannot be started.
inline int Start(CxThread& thread, CX_THREAD_ROUTINE pfnRoutine, void* pParam,
                 unsigned long ulStackReserve, void* pContext = nullptr) {
    return ThreadAccess::Start(thread, pfnRoutine, pParam, ulStackReserve,
                               ulStackReserve ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, pContext);
}

}  // namespace quorvel::listener
