#include "quorvel/core.h"

#include <new>
#include <type_traits>

#include "core/atomic.h"
#include "core/error.h"
#include "core/owner.h"
#include "core/thread_record.h"
#include "platform/os.h"

using quorvel::AtomicExchange;
using quorvel::AtomicLoad;
using quorvel::AtomicStore;
using quorvel::SharedLink;
namespace os = quorvel::os;

namespace {

// Stands in m_hEventStarted while the routine signals the start, so that the
// owner never closes the event under SetEvent. No event handle has this value.
HANDLE const kStartSignalBusy = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-3));

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
using ThreadHandle = quorvel::SharedHandle<quorvel::KernelHandleTraits>;

namespace quorvel {

void ThreadState::SetTarget(HWND hWndNew, UINT uMsgNew) {
    FlagGuard guard(&targetBusy);
    hWnd = hWndNew;
    uMsg = uMsgNew;
}

void ThreadState::GetTarget(HWND* phWnd, UINT* puMsg) {
    FlagGuard guard(&targetBusy);
    *phWnd = hWnd;
    *puMsg = uMsg;
}

}  // namespace quorvel

namespace {

// Any address in this module, to take a hold on the module by.
const char kInThisModule = 0;

// A new thread's record, held by the object and by the thread, with the
// thread's hold on this module: taken here, before the thread exists, so
// that a host's unload right after the start (a short CloseThread limit,
// then FreeLibrary) cannot leave it to start in unmapped code. nullptr if
// memory ran out.
SharedLink* NewThreadRecord(const CxThread* owner, HWND hWnd, UINT uMsg, void* pContext) {
    quorvel::ThreadState* state = new (std::nothrow) quorvel::ThreadState;
    SharedLink* record = state ? SharedLink::Create(owner, 2) : nullptr;
    if (!record) {
        delete state;
        return nullptr;
    }
    state->hWnd = hWnd;
    state->uMsg = uMsg;
    state->context = pContext;
    os::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCWSTR>(&kInThisModule), &state->module);
    record->AddExtra(state);
    return record;
}

// Both holds of a record whose thread never ran, and its module hold.
void DropUnstarted(SharedLink* record) {
    if (record) {
        if (HMODULE hModule = quorvel::StateOf(record)->module) os::FreeLibrary(hModule);
    }
    SharedLink* second = record;
    SharedLink::Release(record);
    SharedLink::Release(second);
}

// How often a LetGoAfterRoutine looks at the thread itself, in ms.
constexpr DWORD kEndLook = 20;

// The routine has returned (or never will): told to a LetGoAfterRoutine.
void MarkEnded(quorvel::ThreadState* state) {
    os::AcquireSRWLockExclusive(&state->endLock);
    state->ended.store(true, std::memory_order_release);
    os::ReleaseSRWLockExclusive(&state->endLock);
    os::WakeAllConditionVariable(&state->endTold);
}

bool Ended(const SharedLink* record) {
    return quorvel::StateOf(record)->ended.load(std::memory_order_acquire);
}

// Whether the object must keep the record of a routine it lets go of while
// it runs: the routine still reads the object, so no second one may start.
bool KeepsReadingObject(const SharedLink* record) {
    const quorvel::ThreadState* state = quorvel::StateOf(record);
    return !state->ended.load(std::memory_order_acquire) && !state->recordOnly.load();
}

}  // namespace

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
      m_pLink(other.m_hThread ? SharedLink::Share(other.m_pLink) : nullptr) {}

CxThread& CxThread::operator=(const CxThread& other) {
    if (this != &other) {
        CloseThread(INFINITE);
        SharedLink::Release(m_pLink);
        AtomicStore(m_bToExit, AtomicLoad(other.m_bToExit));
        m_hThread = other.m_hThread;
        m_pParam = other.m_pParam;
        m_dwThreadId = other.m_dwThreadId;
        m_hWnd = other.m_hWnd;
        m_uMsg = other.m_uMsg;
        m_pfnStartRoutine = other.m_pfnStartRoutine;
        m_pLink = other.m_hThread ? SharedLink::Share(other.m_pLink) : nullptr;
    }
    return *this;
}

CxThread::~CxThread() {
    CloseThread(INFINITE);
    SharedLink::Release(m_pLink);
}

bool CxThread::OwnsThread() const { return ThreadHandle::IsOwner(m_pLink, this); }

// Lets go of the held thread: the owner closes the handle, a copy only drops
// its view. The owner keeps the record of a routine that still runs and
// reads the object, so that no second routine starts on this object before
// it has returned.
void CxThread::ReleaseThread() {
    if (!m_hThread) return;
    SharedLink* running =
        OwnsThread() && KeepsReadingObject(m_pLink) ? SharedLink::Share(m_pLink) : nullptr;
    ThreadHandle(m_hThread, m_pLink, this).Release();
    m_pLink = running;
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
        if (!Ended(m_pLink)) return quorvel::Fail(ERROR_BUSY);
        SharedLink::Release(m_pLink);
    }

    // A thread created suspended cannot signal its start: nothing to wait for.
    bool bAwaitStart = !(dwCreationFlags & CREATE_SUSPENDED);
    // The start signal is this call's until the routine may have taken it
    // (see SetThreadStartedEvent). A start that does not wait has none, and
    // so does not touch this object once the thread runs: the routine may
    // destroy it at once (a listener's callback that deletes its endpoint).
    quorvel::ScopedKernelHandle started(bAwaitStart && dwWaitMilliseconds
                                            ? os::CreateEventW(nullptr, TRUE, FALSE, nullptr)
                                            : nullptr);
    HANDLE hStarted = started.get();
    AtomicStore(m_hEventStarted, hStarted);
    AtomicStore(m_bToExit, 0L);
    m_pfnStartRoutine = pfnStartRoutine;
    m_pParam = pParam;

    static_assert(std::is_same<decltype(&CxThread::ThreadStartRoutine),
                               LPTHREAD_START_ROUTINE>::value,
                  "the system calls the thread entry point as a WINAPI routine");
    // One hold for this object and one for the thread, which needs the
    // record (and the handle in it) until it has posted its message.
    SharedLink* record = NewThreadRecord(this, m_hWnd, m_uMsg, pContext);
    HANDLE hThread = nullptr;
    DWORD dwThreadId = 0;
    if (record) {
        // Created suspended so that the handle is stored before the routine
        // can run; resumed below unless the caller asked for a suspended start.
        hThread = os::CreateThread(lpThreadAttributes, dwStackSize, &CxThread::ThreadStartRoutine,
                                   record, dwCreationFlags | CREATE_SUSPENDED, &dwThreadId);
    } else {
        quorvel::Fail(ERROR_NOT_ENOUGH_MEMORY);
    }

    if (!hThread) {
        if (record) quorvel::FailedCall("CreateThread");
        quorvel::ErrorKeeper keep;
        AtomicStore(m_hEventStarted, static_cast<HANDLE>(nullptr));
        started.reset();
        DropUnstarted(record);
        return 0;
    }

    quorvel::StateOf(record)->handle = hThread;
    m_pLink = record;
    m_hThread = hThread;
    m_dwThreadId = dwThreadId;
    if (bAwaitStart && os::ResumeThread(hThread) == static_cast<DWORD>(-1)) {
        // The thread cannot be started: end it before it has run a single
        // instruction of ours and fail, rather than wait for a start that
        // never comes (and later for an end that never comes).
        quorvel::FailedCall("ResumeThread");
        quorvel::ErrorKeeper keep;
        quorvel::ScopedKernelHandle thread(hThread);
        os::TerminateThread(hThread, 1);
        os::WaitForSingleObject(hThread, INFINITE);
        m_pLink = nullptr;
        m_hThread = nullptr;
        m_dwThreadId = 0;
        AtomicStore(m_hEventStarted, static_cast<HANDLE>(nullptr));
        started.reset();
        thread.reset();
        DropUnstarted(record);
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
        if (hTaken == kStartSignalBusy) {
            static_cast<void>(started.release());  // the routine closes it, not this owner
        }
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
    quorvel::StateOf(thread.m_pLink)->exit.store(1, std::memory_order_release);
}

bool quorvel::ThreadAccess::CancelUnstarted(CxThread& thread) {
    if (!thread.m_hThread || !thread.OwnsThread()) return false;
    quorvel::ThreadState* state = quorvel::StateOf(thread.m_pLink);
    int nStart = quorvel::ThreadState::kPending;
    if (!state->start.compare_exchange_strong(nStart, quorvel::ThreadState::kCancelled)) return false;
    MarkEnded(state);
    return true;
}

bool quorvel::ThreadAccess::LetGoParked(CxThread& thread, bool* pHandedOver) {
    *pHandedOver = false;
    if (!thread.m_hThread || !thread.OwnsThread() || thread.m_dwThreadId == os::GetCurrentThreadId()) {
        return false;
    }
    quorvel::ThreadState* state = quorvel::StateOf(thread.m_pLink);
    int nUse = quorvel::ThreadState::kParked;
    if (state->use.compare_exchange_strong(nUse, quorvel::ThreadState::kLetGo)) {
        *pHandedOver = true;
    } else if (nUse != quorvel::ThreadState::kDone) {
        return false;
    }
    thread.ReleaseThread();
    return true;
}

void quorvel::ThreadAccess::LetGoAfterRoutine(CxThread& thread) {
    if (!thread.m_hThread || !thread.OwnsThread() || thread.m_dwThreadId == os::GetCurrentThreadId()) {
        thread.CloseThread(INFINITE);
        return;
    }
    quorvel::ThreadState* state = quorvel::StateOf(thread.m_pLink);
    os::AcquireSRWLockExclusive(&state->endLock);
    while (!state->ended.load(std::memory_order_acquire)) {
        // A routine whose thread was ended under it never says so: at the
        // process's exit the system ends every other thread before the DLL's
        // detach, where a static endpoint stops its listener.
        if (!os::SleepConditionVariableSRW(&state->endTold, &state->endLock, kEndLook, 0) &&
            os::WaitForSingleObject(thread.m_hThread, 0) == WAIT_OBJECT_0) {
            break;
        }
    }
    os::ReleaseSRWLockExclusive(&state->endLock);
    thread.ReleaseThread();
}

bool quorvel::ThreadAccess::RequestCall(CxThread& thread) {
    quorvel::PinnedLink record(thread.m_pLink);
    quorvel::ThreadState* state = quorvel::StateOf(record.get());
    bool bRuns = state && !state->ended.load(std::memory_order_acquire) &&
                 !state->exit.load(std::memory_order_acquire);
    if (bRuns) state->callWanted.store(true, std::memory_order_release);
    return bRuns;
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
        // CreateThread stopped waiting meanwhile and left the signal to us.
        quorvel::ScopedKernelHandle abandoned(hStarted);
    }
}

void CxThread::SetWndMsg(HWND hWnd, UINT uMsg) {
    m_hWnd = hWnd;
    m_uMsg = uMsg;
    // A running thread posts its message from its record.
    if (m_hThread && OwnsThread()) quorvel::StateOf(m_pLink)->SetTarget(hWnd, uMsg);
}

void* CxThread::GetSafeHandle() const { return m_hThread; }

void* CxThread::GetParamPtr() const { return m_pParam; }

// Once the routine has returned, only the record is read: the routine may
// have destroyed its own object. The thread holds this module (taken for it
// before it was created) to its last step: a host whose callback deleted the
// object may unload the DLL while the thread still has its code to run, so
// it leaves through FreeLibraryAndExitThread, which returns into no code of
// the module.
DWORD WINAPI CxThread::ThreadStartRoutine(void* pStart) {
    SharedLink* record = static_cast<SharedLink*>(pStart);
    quorvel::ThreadState* state = quorvel::StateOf(record);
    HMODULE hModule = state->module;
    int nStart = quorvel::ThreadState::kPending;
    if (!state->start.compare_exchange_strong(nStart, quorvel::ThreadState::kRunning)) {
        // Stopped before it ran: the object may be gone, and its owner has
        // taken what the routine would have let go of.
        SharedLink::Release(record);
        if (hModule) os::FreeLibraryAndExitThread(hModule, 0);
        return 0;
    }
    CxThread* pThread = const_cast<CxThread*>(static_cast<const CxThread*>(record->owner));
    DWORD dwResult = pThread->OnThreadStartRoutine();
    MarkEnded(state);
    HWND hWnd = nullptr;
    UINT uMsg = 0;
    state->GetTarget(&hWnd, &uMsg);
    if (hWnd) {
        os::PostMessageW(hWnd, uMsg, reinterpret_cast<WPARAM>(state->handle.load()),
                         CX_EVENT_THREAD_ENDED);
    }
    SharedLink::Release(record);
    if (hModule) os::FreeLibraryAndExitThread(hModule, dwResult);
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
