// The listener engine: what every endpoint's listener thread does, written
// once. An endpoint gives it only what to wait on and what an event means
// (a "watch"); the engine owns the thread, the wake-up that only the
// endpoint can trigger, the pauses after failures, the end-game that lets a
// host close or destroy the endpoint from its own callback, and the
// delivery of an event to the host.
//
// A watch is any type with
//   Step WaitOnce();        waits once for the device or the wake-up and
//                           delivers at most one event (through Deliver),
//                           returning kEvent right after it
//   bool Pause(DWORD ms);   waits ms or until woken; false to stop
#pragma once

#include "core/lifecycle_check.h"
#include "core/owner.h"
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

// An event code that no host sees: a listener asked by its endpoint's
// owner inside the library for a call on the listener's own thread (the C
// interface hands queued events to a callback that way).
constexpr long kEventListenerCall = 0x7FFF0001;

enum class Step {
    kEvent,   // an event went to the host: the endpoint may be gone now
    kQuiet,   // woken, or nothing to tell
    kFailed,  // the wait failed: pause, then try again
    kStop,    // woken to stop, or the device is gone for good
};

// Starts pfnRoutine on thread with pParam (the endpoint) and the given stack
// reserve (0: the process default), without waiting for it: what the routine
// takes from its object at its start stays valid until the object stops it;
// hold is the listener's own hold on a record it must read beyond that (see
// HoldOf), given to the thread. 0 with the system's error if the thread
// cannot be started (hold stays the caller's then).
inline int Start(CxThread& thread, CX_THREAD_ROUTINE pfnRoutine, void* pParam,
                 unsigned long ulStackReserve, SharedLink* hold = nullptr) {
    return ThreadAccess::Start(thread, pfnRoutine, pParam, ulStackReserve,
                               ulStackReserve ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, hold);
}

// The listener's own hold that Start handed it, from the record of its
// thread (ThreadAccess::RecordOf, taken at the listener's start: the
// CxThread lives in the endpoint, which a callback may delete); nullptr once
// dropped.
inline SharedLink* HoldOf(const SharedLink* record) {
    return static_cast<SharedLink*>(ThreadAccess::ContextOf(record));
}
// Lets go of it: the listener's last use of that record.
inline void DropHold(SharedLink* record) {
    SharedLink* hold = static_cast<SharedLink*>(ThreadAccess::TakeContext(record));
    SharedLink::Release(hold);
}

// The routine's body, the same for every endpoint: pThread is the CxThread
// that Start started, whose parameter is the endpoint; pfnListen is the
// endpoint's listener, pszKind the kind of endpoint (for the checks). A
// listener ends having let go of its hold.
template <class Endpoint>
unsigned long Enter(void* pThread, void (Endpoint::*pfnListen)(CxThread*), const char* pszKind) {
    CxThread* pListenThread = static_cast<CxThread*>(pThread);
    SharedLink* record = ThreadAccess::RecordOf(pListenThread);  // outlives the endpoint
    Endpoint* pEndpoint = static_cast<Endpoint*>(pListenThread->GetParamPtr());
    if (pEndpoint) (pEndpoint->*pfnListen)(pListenThread);
    QV_LIFECYCLE_CHECK(!HoldOf(record), lifecycle::kListenerDropsHold, pszKind);
    (void)record;
    (void)pszKind;
    return 0;
}

// Runs the listener on the thread that CxThread started for it. After every
// event the exit request is looked at before anything else: a callback that
// closed or destroyed the endpoint has set it, and the endpoint (which the
// watch may read) may be gone, or open again with a listener of its own:
// the close let go of this one entirely, its exit request staying in its
// record.
// A watch that parks (bParks) touches its endpoint only to call the host
// back, between ThreadAccess::Unpark and Park; its stop may then let go of
// it instead of waiting (see Stop). true when that happened: the listener
// owns what its endpoint handed it and releases it on its way out.
template <class Watch>
bool Run(CxThread* pThread, Watch& watch, bool bParks = false) {
    SharedLink* record = ThreadAccess::RecordOf(pThread);
    ThreadAccess::ReadsOnlyRecordOnExit(record);
    if (bParks) ThreadAccess::Park(record);
    DWORD dwPause = 0;
    while (!ThreadAccess::ExitRequested(record)) {
        Step step = watch.WaitOnce();
        if (step == Step::kStop) break;
        if (step != Step::kFailed) {
            dwPause = 0;
            continue;
        }
        // A failed wait after a stop's wake-up: what the pause would wait on
        // may be its endpoint's no longer.
        if (ThreadAccess::ExitRequested(record)) break;
        dwPause = NextPause(dwPause);
        if (!watch.Pause(dwPause)) break;
    }
    return ThreadAccess::Finish(record);
}

// Stops a listener its endpoint started: the exit request first, so that the
// listener finds it when wake() wakes it, then the wait for its end: for its
// routine to return, after which its thread reads only its record on its
// way out (the system's end of a thread costs milliseconds under some
// systems, which a close need not wait for). From the listener's own thread
// (a host callback) it only asks and lets go.
// A listener whose thread has not yet taken its first step never runs: the
// stop takes the hold the thread would have dropped, and does not wait (a
// new thread's start costs milliseconds under some systems).
// A listener parked away from its endpoint (see Run) need not be waited for:
// LetGo below.
template <class WakeFn>
void Stop(CxThread& thread, WakeFn wake) {
    if (thread.GetSafeHandle()) {
        ThreadAccess::RequestExit(thread);
        if (ThreadAccess::CancelUnstarted(thread)) {
            DropHold(ThreadAccess::RecordOf(&thread));
        } else {
            wake();
        }
    }
    ThreadAccess::LetGoAfterRoutine(thread);
}

// Stops a listener that parks, without waiting for it: the exit request,
// wake(), then the let-go (ThreadAccess::LetGoParked) of a listener parked
// away from its endpoint, which never touches the endpoint again and ends on
// its own. true then, and *pHandedOver tells whether what wake() woke it
// through is the listener's from now on (the endpoint must then neither use
// nor release it). A listener whose thread has not started is cancelled
// (true as well). false, with the exit asked and the listener woken all the
// same, when it is in its endpoint, or for a copy or the listener's own
// thread: Stop then waits for it as ever.
template <class WakeFn>
bool LetGo(CxThread& thread, WakeFn wake, bool* pHandedOver) {
    *pHandedOver = false;
    if (!thread.GetSafeHandle()) return false;
    ThreadAccess::RequestExit(thread);
    if (ThreadAccess::CancelUnstarted(thread)) {
        DropHold(ThreadAccess::RecordOf(&thread));
        ThreadAccess::LetGoAfterRoutine(thread);  // ended: no wait
        return true;
    }
    wake();
    return ThreadAccess::LetGoParked(thread, pHandedOver);
}

// An event for the host: the callback, on this thread, when one is set;
// otherwise a message posted to the window, if there is one.
void Deliver(CX_COMM_PROC pfnProc, void* pParam, HWND hWnd, UINT uMsg, UINT_PTR uHandle,
             long lEvent);

// Wake-ups that only the endpoint can trigger.
// - An unnamed manual-reset event, for listeners that wait on handles.
HANDLE MakeEventWake();
// Sets it; a set the system refuses is tried again a few times, since the
// wait for the listener's end has no limit.
void TriggerEventWake(HANDLE hWake);
// - A UDP socket bound exclusively to 127.0.0.1 and connected to itself, for
//   listeners that wait in select: it takes datagrams from its own address
//   only, so nothing another program sends reaches it, and what a datagram
//   holds does not matter (a wake only makes the listener look again).
SOCKET MakeSocketWake();
void TriggerSocketWake(SOCKET hWake);
// Takes every datagram waiting; false once the wake socket is gone.
bool DrainSocketWake(SOCKET hWake);
// Waits up to dwMilliseconds or until woken (taking the wake); false when
// the wake socket is gone. Never returns early on a failure, so a caller
// that pauses with it cannot spin.
bool PauseOnSocketWake(SOCKET hWake, DWORD dwMilliseconds);
// Its owner rule: a close that would block or is in progress leaves the
// socket open, so it is tried again rather than leaked; any other failure
// means the socket is gone, and its value, which may already name another
// socket, is not touched again.
struct WakeSocketTraits {
    using Handle = SOCKET;
    static Handle Invalid() { return INVALID_SOCKET; }
    static bool Release(Handle h);
};

}  // namespace quorvel::listener
