#include "quorvel/core.h"

#include <new>
#include <type_traits>

#include "core/atomic.h"
#include "core/thread_record.h"
#include "platform/os.h"

using quorvel::AtomicExchange;
using quorvel::AtomicLoad;
using quorvel::AtomicStore;
using quorvel::ThreadRecord;
namespace os = quorvel::os;

namespace {

// Stands in m_hEventStarted while the routine signals the start, so that the
// owner never closes the event under SetEvent. No event handle has this value.
HANDLE const kStartSignalBusy = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-3));

// Keeps the thread's last error across clean-up calls.
class LastErrorKeeper {
public:
    LastErrorKeeper() : m_dwError(os::GetLastError()) {}
    ~LastErrorKeeper() { os::SetLastError(m_dwError); }

private:
    DWORD m_dwError;
};

// Waits for the thread. A wait that the system refuses (rather than one that
// runs out) is tried again a few times: giving up at once would let the
// routine run on after its object is gone.
DWORD WaitForThread(HANDLE hThread, DWORD dwMilliseconds) {
    for (int nTry = 0;; ++nTry) {
        DWORD dwWait = os::WaitForSingleObject(hThread, dwMilliseconds);
        if (dwWait != WAIT_FAILED || nTry == 3) return dwWait;
        os::Sleep(1);
    }
}

}  // namespace

// Hosts compile against this layout.
#if defined(_M_IX86) || defined(__i386__)
static_assert(sizeof(CxThread) == 40, "CxThread keeps its layout");
#elif defined(_M_X64) || defined(__x86_64__)
static_assert(sizeof(CxThread) == 80, "CxThread keeps its layout");
#endif

namespace quorvel {

ThreadRecord* ThreadRecord::Create(const CxThread* owner, HWND hWnd, UINT uMsg) {
    ThreadRecord* record = new (std::nothrow) ThreadRecord;
    if (record) {
        record->refs.store(1);
        record->live.store(true);
        record->ended.store(false);
        record->exit.store(0);
        record->owner = owner;
        record->handle = nullptr;
        record->targetBusy.store(false);
        record->hWnd = hWnd;
        record->uMsg = uMsg;
        record->context = nullptr;
    }
    return record;
}

ThreadRecord* ThreadRecord::Share(ThreadRecord* record) {
    if (record) record->refs.fetch_add(1, std::memory_order_relaxed);
    return record;
}

void ThreadRecord::Release(ThreadRecord*& record) {
    if (record && record->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete record;
    record = nullptr;
}

void ThreadRecord::SetTarget(HWND hWndNew, UINT uMsgNew) {
    while (targetBusy.exchange(true, std::memory_order_acquire)) YieldProcessor();
    hWnd = hWndNew;
    uMsg = uMsgNew;
    targetBusy.store(false, std::memory_order_release);
}

void ThreadRecord::GetTarget(HWND* phWnd, UINT* puMsg) {
    while (targetBusy.exchange(true, std::memory_order_acquire)) YieldProcessor();
    *phWnd = hWnd;
    *puMsg = uMsg;
    targetBusy.store(false, std::memory_order_release);
}

}  // namespace quorvel

CxThread::CxThread()
    : m_bToExit(0),
      m_hThread(nullptr),
      m_hEventStarted(nullptr),
      m_pParam(nullptr),
      m_dwThreadId(0),
      m_hWnd(nullptr),
      m_uMsg(0),
      m_pfnStartRoutine(nullptr),
      m_pLink(nullptr) {}

// A copy shares a held thread; a routine let go of while running is its
// original's business alone.
CxThread::CxThread(const CxThread& other)
    : m_bToExit(AtomicLoad(other.m_bToExit)),
      m_hThread(other.m_hThread),
      m_hEventStarted(nullptr),  // the start signal belongs to the CreateThread call
      m_pParam(other.m_pParam),
      m_dwThreadId(other.m_dwThreadId),
      m_hWnd(other.m_hWnd),
      m_uMsg(other.m_uMsg),
      m_pfnStartRoutine(other.m_pfnStartRoutine),
      m_pLink(other.m_hThread ? ThreadRecord::Share(other.m_pLink) : nullptr) {}

CxThread& CxThread::operator=(const CxThread& other) {
    if (this != &other) {
        CloseThread(INFINITE);
        ThreadRecord::Release(m_pLink);
        AtomicStore(m_bToExit, AtomicLoad(other.m_bToExit));
        m_hThread = other.m_hThread;
        m_pParam = other.m_pParam;
        m_dwThreadId = other.m_dwThreadId;
        m_hWnd = other.m_hWnd;
        m_uMsg = other.m_uMsg;
        m_pfnStartRoutine = other.m_pfnStartRoutine;
        m_pLink = other.m_hThread ? ThreadRecord::Share(other.m_pLink) : nullptr;
    }
    return *this;
}

CxThread::~CxThread() {
    CloseThread(INFINITE);
    ThreadRecord::Release(m_pLink);
}

bool CxThread::OwnsThread() const { return m_pLink && m_pLink->owner == this; }

// Lets go of the held thread: the owner closes the handle, a copy only drops
// its view. The owner keeps the record of a routine that still runs, so that
// no second routine starts on this object before it has returned.
void CxThread::ReleaseThread() {
    if (!m_hThread) return;
    if (OwnsThread()) {
        m_pLink->live = false;
        os::CloseHandle(m_hThread);
        if (m_pLink->ended.load(std::memory_order_acquire)) ThreadRecord::Release(m_pLink);
    } else {
        ThreadRecord::Release(m_pLink);
    }
    m_hThread = nullptr;
}

int CxThread::CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, DWORD dwStackSize,
                           CX_THREAD_ROUTINE pfnStartRoutine, void* pParam,
                           DWORD dwCreationFlags, DWORD dwWaitMilliseconds) {
    return Start(lpThreadAttributes, dwStackSize, pfnStartRoutine, pParam, dwCreationFlags,
                 dwWaitMilliseconds, nullptr);
}

int CxThread::Start(LPSECURITY_ATTRIBUTES lpThreadAttributes, DWORD dwStackSize,
                    CX_THREAD_ROUTINE pfnStartRoutine, void* pParam, DWORD dwCreationFlags,
                    DWORD dwWaitMilliseconds, void* pContext) {
    if (IsThreadRunning()) return 0;
    ReleaseThread();  // an ended thread: close its handle rather than drop it
    if (m_pLink) {
        // A routine let go of while it ran: it must go on seeing its exit
        // request, and it still reads this object.
        if (!m_pLink->ended.load(std::memory_order_acquire)) {
            os::SetLastError(ERROR_BUSY);
            return 0;
        }
        ThreadRecord::Release(m_pLink);
    }

    // A thread created suspended cannot signal its start: nothing to wait for.
    bool bAwaitStart = !(dwCreationFlags & CREATE_SUSPENDED);
    HANDLE hStarted = bAwaitStart ? os::CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr;
    AtomicStore(m_hEventStarted, hStarted);
    AtomicStore(m_bToExit, 0L);
    m_pfnStartRoutine = pfnStartRoutine;
    m_pParam = pParam;

    static_assert(std::is_same<decltype(&CxThread::ThreadStartRoutine),
                               LPTHREAD_START_ROUTINE>::value,
                  "the system calls the thread entry point as a WINAPI routine");
    // One hold for this object and one for the thread, which needs the
    // record (and the handle in it) until it has posted its message.
    ThreadRecord* record = ThreadRecord::Create(this, m_hWnd, m_uMsg);
    HANDLE hThread = nullptr;
    DWORD dwThreadId = 0;
    if (record) {
        record->refs.store(2);
        record->context = pContext;
        // Created suspended so that the handle is stored before the routine
        // can run; resumed below unless the caller asked for a suspended start.
        hThread = os::CreateThread(lpThreadAttributes, dwStackSize, &CxThread::ThreadStartRoutine,
                                   record, dwCreationFlags | CREATE_SUSPENDED, &dwThreadId);
    } else {
        os::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }

    if (!hThread) {
        LastErrorKeeper keep;
        AtomicStore(m_hEventStarted, static_cast<HANDLE>(nullptr));
        if (hStarted) os::CloseHandle(hStarted);
        delete record;
        return 0;
    }

    record->handle = hThread;
    m_pLink = record;
    m_hThread = hThread;
    m_dwThreadId = dwThreadId;
    if (bAwaitStart && os::ResumeThread(hThread) == static_cast<DWORD>(-1)) {
        // The thread cannot be started: end it before it has run a single
        // instruction of ours and fail, rather than wait for a start that
        // never comes (and later for an end that never comes).
        LastErrorKeeper keep;
        os::TerminateThread(hThread, 1);
        os::WaitForSingleObject(hThread, INFINITE);
        os::CloseHandle(hThread);
        m_pLink = nullptr;
        m_hThread = nullptr;
        m_dwThreadId = 0;
        AtomicStore(m_hEventStarted, static_cast<HANDLE>(nullptr));
        if (hStarted) os::CloseHandle(hStarted);
        delete record;
        return 0;
    }

    if (hStarted) {
        // The end of the thread ends the wait too: a routine that returns
        // without signalling must not hold the caller for the whole limit.
        HANDLE ahWait[2] = {hStarted, hThread};
        os::WaitForMultipleObjects(2, ahWait, FALSE, dwWaitMilliseconds);
        // Take the signal back. If the routine is setting it right now, it
        // finds it gone when it is done and closes it itself.
        HANDLE hTaken = AtomicExchange(m_hEventStarted, static_cast<HANDLE>(nullptr));
        if (hTaken && hTaken != kStartSignalBusy) os::CloseHandle(hTaken);
    }
    return 1;
}

int quorvel::ThreadAccess::Start(CxThread& thread, CX_THREAD_ROUTINE pfnRoutine, void* pParam,
                                 DWORD dwStackSize, DWORD dwCreationFlags, void* pContext) {
    return thread.Start(nullptr, dwStackSize, pfnRoutine, pParam, dwCreationFlags, 0, pContext);
}

void quorvel::ThreadAccess::RequestExit(CxThread& thread) {
    if (!thread.m_hThread || !thread.OwnsThread()) return;
    AtomicStore(thread.m_bToExit, 1L);
    thread.m_pLink->exit.store(1, std::memory_order_release);
}

void CxThread::CloseThread(DWORD dwWaitMilliseconds) {
    if (!m_hThread) return;
    if (OwnsThread()) {
        quorvel::ThreadAccess::RequestExit(*this);
        // The routine's own thread cannot wait for itself to end.
        if (m_dwThreadId != os::GetCurrentThreadId()) {
            WaitForThread(m_hThread, dwWaitMilliseconds);
        }
    }
    ReleaseThread();
}

int CxThread::IsThreadRunning() const {
    if (!m_hThread) return 0;
    if (m_pLink && !m_pLink->live) return 0;  // the owner has closed the handle
    FILETIME ftCreation, ftExit = {0, 0}, ftKernel, ftUser;
    if (!os::GetThreadTimes(m_hThread, &ftCreation, &ftExit, &ftKernel, &ftUser)) return 0;
    return ftExit.dwLowDateTime == 0 && ftExit.dwHighDateTime == 0;
}

int CxThread::ToExitThread() const { return AtomicLoad(m_bToExit) != 0; }

void CxThread::SetThreadStartedEvent() {
    HANDLE hStarted = AtomicLoad(m_hEventStarted);
    if (!hStarted || hStarted == kStartSignalBusy) return;
    if (!quorvel::AtomicCompareExchange(m_hEventStarted, hStarted, kStartSignalBusy)) return;
    os::SetEvent(hStarted);
    HANDLE hExpected = kStartSignalBusy;
    if (!quorvel::AtomicCompareExchange(m_hEventStarted, hExpected, hStarted)) {
        os::CloseHandle(hStarted);  // CreateThread stopped waiting meanwhile
    }
}

void CxThread::SetWndMsg(HWND hWnd, UINT uMsg) {
    m_hWnd = hWnd;
    m_uMsg = uMsg;
    // A running thread posts its message from its record.
    if (m_hThread && OwnsThread()) m_pLink->SetTarget(hWnd, uMsg);
}

void* CxThread::GetSafeHandle() const { return m_hThread; }

void* CxThread::GetParamPtr() const { return m_pParam; }

// Once the routine has returned, only the record is read: the routine may
// have destroyed its own object.
DWORD WINAPI CxThread::ThreadStartRoutine(void* pStart) {
    ThreadRecord* record = static_cast<ThreadRecord*>(pStart);
    CxThread* pThread = const_cast<CxThread*>(record->owner);
    DWORD dwResult = pThread->OnThreadStartRoutine();
    record->ended.store(true, std::memory_order_release);
    HWND hWnd = nullptr;
    UINT uMsg = 0;
    record->GetTarget(&hWnd, &uMsg);
    if (hWnd) {
        os::PostMessageW(hWnd, uMsg, reinterpret_cast<WPARAM>(record->handle),
                         CX_EVENT_THREAD_ENDED);
    }
    ThreadRecord::Release(record);
    return dwResult;
}

DWORD CxThread::OnThreadStartRoutine() {
    return m_pfnStartRoutine ? m_pfnStartRoutine(this) : 1;
}

void CxThread::PostQuitMessage() {
    if (m_hWnd) {
        os::PostMessageW(m_hWnd, m_uMsg, reinterpret_cast<WPARAM>(m_hThread),
                         CX_EVENT_THREAD_ENDED);
    }
}
