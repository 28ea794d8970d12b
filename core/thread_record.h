// What a CxThread shares with the thread it started (and with copies of the
// object), beyond the owner record every shared handle has: everything the
// thread needs once its routine has returned, so that the routine may
// destroy its own object, and the exit request that the library's listeners
// read after calling a host back.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>

#include "core/shared_link.h"
#include "quorvel/core.h"

namespace quorvel {

struct ThreadState : LinkExtra {
    std::atomic<HANDLE> handle{nullptr};  // the thread's, stored before it runs
    std::atomic<bool> ended{false};  // set by the thread once its routine has returned
    // Whether the routine runs: kPending until the thread takes its first
    // step; a stop that comes before (CancelUnstarted) makes it kCancelled,
    // and the thread then ends without reading the object.
    enum : int { kPending, kRunning, kCancelled };
    std::atomic<int> start{kPending};
    // For a wait on ended that needs no trip to the system's object manager
    // (LetGoAfterRoutine): set under the lock, told through the variable.
    SRWLOCK endLock = SRWLOCK_INIT;
    CONDITION_VARIABLE endTold = CONDITION_VARIABLE_INIT;
    std::atomic<LONG> exit{0};       // the exit request, set by the owner
    // A call on the listener's thread that the owner's side asked for
    // (listener::kEventListenerCall), taken by the listener's next wait.
    std::atomic<bool> callWanted{false};
    // Set by a routine that, once asked to exit, reads nothing but this
    // record (the library's listeners): its object may let go of it at once.
    std::atomic<bool> recordOnly{false};
    // Whether the routine may touch its object: kInObject unless a listener
    // says otherwise (Park). A stop that finds it parked lets go of it
    // without waiting (kLetGo): from then on it never touches the object,
    // and what it waits on is handed to it. kDone: the listener has left
    // its loop parked and touches neither again.
    enum : int { kInObject, kParked, kLetGo, kDone };
    std::atomic<int> use{kInObject};
    void* context = nullptr;         // what the starter handed the thread besides its object
    // The thread's hold on this module, taken by the starter before the
    // thread can run; the thread lets go of it as its very last step.
    HMODULE module = nullptr;
    // The thread-ended message: window and number, read and written as a
    // pair under the flag.
    std::atomic<bool> targetBusy{false};
    HWND hWnd = nullptr;
    UINT uMsg = 0;

    void SetTarget(HWND hWndNew, UINT uMsgNew);
    void GetTarget(HWND* phWnd, UINT* puMsg);
};

// A thread's record always carries its state.
inline ThreadState* StateOf(const SharedLink* record) { return ExtraOf<ThreadState>(record); }

// For the library's listener routines, which run on a CxThread.
struct ThreadAccess {
    // The record of the thread that runs the routine; valid on that thread
    // until the routine returns, whatever happens to the object meanwhile.
    static SharedLink* RecordOf(const CxThread* pThread) { return pThread->m_pLink; }
    // Whether the owner has asked the thread to end. Safe to call after the
    // routine's object may have been destroyed by a host callback.
    static bool ExitRequested(const SharedLink* record) {
        const ThreadState* state = StateOf(record);
        return !state || state->exit.load(std::memory_order_acquire) != 0;
    }
    // Said by such a routine on its own thread, before anything can ask it
    // to exit from there: a close from its own callback then lets go of it
    // entirely, and the object may start another routine at once.
    static void ReadsOnlyRecordOnExit(SharedLink* record) {
        if (ThreadState* state = StateOf(record)) state->recordOnly.store(true);
    }
    // A listener that touches its object only now and then (to call the host
    // back) says so around each such step: Park when it is done with the
    // object, Unpark before it touches it again. Unpark fails, for good,
    // once its owner has let go of it while it was parked (LetGoParked): it
    // must then leave without touching the object. Finish, as it leaves its
    // loop: true when it was let go of, and so releases what its owner
    // handed it. A listener that never parks is always waited for.
    static void Park(const SharedLink* record) {
        if (ThreadState* state = StateOf(record)) state->use.store(ThreadState::kParked);
    }
    static bool Unpark(const SharedLink* record) {
        ThreadState* state = StateOf(record);
        int nUse = ThreadState::kParked;
        return !state || state->use.compare_exchange_strong(nUse, ThreadState::kInObject) ||
               nUse == ThreadState::kInObject;
    }
    static bool Finish(const SharedLink* record) {
        ThreadState* state = StateOf(record);
        int nUse = ThreadState::kParked;
        return state && !state->use.compare_exchange_strong(nUse, ThreadState::kDone) &&
               nUse == ThreadState::kLetGo;
    }
    // On the owner's side, once it has asked the thread to exit and woken it:
    // lets go of a listener that is parked away from its object (which then
    // ends on its own, *pHandedOver set: what it waits on is its own now)
    // or has left its loop parked (which touches nothing of the object's
    // again); the object's hold on the thread ends at once. false when it is
    // in its object (or never parks), or for a copy or the listener's own
    // thread: those are waited for as ever (LetGoAfterRoutine).
    static bool LetGoParked(CxThread& thread, bool* pHandedOver);
    // Starts a thread as CreateThread does, without waiting for its start,
    // with a context stored in its record before it runs.
    static int Start(CxThread& thread, CX_THREAD_ROUTINE pfnRoutine, void* pParam,
                     DWORD dwStackSize, DWORD dwCreationFlags, void* pContext);
    static void* ContextOf(const SharedLink* record) {
        const ThreadState* state = StateOf(record);
        return state ? state->context : nullptr;
    }
    // The same, taken out of the record (on the thread itself).
    static void* TakeContext(SharedLink* record) {
        ThreadState* state = StateOf(record);
        void* pContext = state ? state->context : nullptr;
        if (state) state->context = nullptr;
        return pContext;
    }
    // Sets the exit request of a thread the object owns without waiting, so
    // that the thread finds it set when its owner then wakes it.
    static void RequestExit(CxThread& thread);
    // For a thread the object owns whose routine has not begun: it never
    // will (the thread ends reading only its record), and it counts as
    // ended. false when it has begun, or for a copy.
    static bool CancelUnstarted(CxThread& thread);
    // Ends the object's hold on a thread whose exit it has requested: the
    // owner waits until the routine has returned (not for the thread's own
    // end, which the system takes its time over: from then on the thread
    // reads only its record) and closes its handle; a copy, or the routine's
    // own thread, lets go at once (CloseThread).
    static void LetGoAfterRoutine(CxThread& thread);
    // Asks a running listener for a call on its thread, which its owner then
    // wakes; false (nothing asked) when no routine runs to take it.
    static bool RequestCall(CxThread& thread);
    // On the listener's thread: whether a call is asked for; Take also
    // clears the request, for the call that follows.
    static bool CallRequested(const SharedLink* record) {
        const ThreadState* state = StateOf(record);
        return state && state->callWanted.load(std::memory_order_acquire);
    }
    static bool TakeCallRequest(const SharedLink* record) {
        ThreadState* state = StateOf(record);
        return state && state->callWanted.exchange(false, std::memory_order_acq_rel);
    }
};

}  // namespace quorvel
