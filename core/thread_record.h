// The record a CxThread shares with the thread it started (and with copies
// of the object): everything the thread needs once its routine has returned,
// so that the routine may destroy its own object, and the exit request that
// the library's listeners read after calling a host back.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>

#include "quorvel/core.h"

namespace quorvel {

struct ThreadRecord {
    std::atomic<LONG> refs;
    std::atomic<bool> live;    // cleared by the owner when it closes the handle
    std::atomic<bool> ended;   // set by the thread once its routine has returned
    std::atomic<LONG> exit;    // the exit request, set by the owner's CloseThread
    const CxThread* owner;     // the object that started the thread
    HANDLE handle;             // stored before the thread is resumed
    // The thread-ended message: window and number, read and written as a
    // pair under the flag.
    std::atomic<bool> targetBusy;
    HWND hWnd;
    UINT uMsg;
    void* context;  // what the starter handed the thread besides its object

    static ThreadRecord* Create(const CxThread* owner, HWND hWnd, UINT uMsg);
    static ThreadRecord* Share(ThreadRecord* record);
    static void Release(ThreadRecord*& record);

    void SetTarget(HWND hWndNew, UINT uMsgNew);
    void GetTarget(HWND* phWnd, UINT* puMsg);
};

// For the library's listener routines, which run on a CxThread.
struct ThreadAccess {
    // The record of the thread that runs the routine; valid on that thread
    // until the routine returns, whatever happens to the object meanwhile.
    static ThreadRecord* RecordOf(const CxThread* pThread) { return pThread->m_pLink; }
    // Whether the owner has asked the thread to end. Safe to call after the
    // routine's object may have been destroyed by a host callback.
    static bool ExitRequested(const ThreadRecord* record) {
        return !record || record->exit.load(std::memory_order_acquire) != 0;
    }
    // Starts a thread as CreateThread does, without waiting for its start,
    // with a context stored in its record before it runs.
    static int Start(CxThread& thread, CX_THREAD_ROUTINE pfnRoutine, void* pParam,
                     DWORD dwStackSize, DWORD dwCreationFlags, void* pContext);
    static void* ContextOf(const ThreadRecord* record) { return record ? record->context : nullptr; }
    // Sets the exit request of a thread the object owns without waiting, so
    // that the thread finds it set when its owner then wakes it.
    static void RequestExit(CxThread& thread);
};

}  // namespace quorvel
