#include "quorvel/core.h"

#include "core/shared_link.h"
#include "platform/os.h"

using quorvel::SharedLink;
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

CxThread::CxThread(const CxThread& other)
    : m_bToExit(other.m_bToExit.load()),
      m_hThread(other.m_hThread),
      m_hEventStarted(nullptr),  // the start signal belongs to the CreateThread call
      m_pParam(other.m_pParam),
      m_dwThreadId(other.m_dwThreadId),
      m_hWnd(other.m_hWnd),
      m_uMsg(other.m_uMsg),
      m_pfnStartRoutine(other.m_pfnStartRoutine),
      m_pLink(SharedLink::Share(other.m_pLink)) {}

CxThread& CxThread::operator=(const CxThread& other) {
    if (this != &other) {
        CloseThread(INFINITE);
        m_bToExit = other.m_bToExit.load();
        m_hThread = other.m_hThread;
        m_pParam = other.m_pParam;
        m_dwThreadId = other.m_dwThreadId;
        m_hWnd = other.m_hWnd;
        m_uMsg = other.m_uMsg;
        m_pfnStartRoutine = other.m_pfnStartRoutine;
        m_pLink = SharedLink::Share(other.m_pLink);
    }
    return *this;
}

CxThread::~CxThread() { CloseThread(INFINITE); }

bool CxThread::OwnsThread() const { return m_pLink && m_pLink->owner == this; }

// Lets go of the held thread: the owner closes the handle, a copy only drops
// its view.
void CxThread::ReleaseThread() {
    if (!m_hThread) return;
    if (OwnsThread()) {
        m_pLink->live = false;
        os::CloseHandle(m_hThread);
    }
    SharedLink::Release(m_pLink);
    m_hThread = nullptr;
}

int CxThread::CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, DWORD dwStackSize,
                           CX_THREAD_ROUTINE pfnStartRoutine, void* pParam,
                           DWORD dwCreationFlags, DWORD dwWaitMilliseconds) {
    if (IsThreadRunning()) return 0;
    ReleaseThread();  // an ended thread: close its handle rather than drop it

    HANDLE hStarted = os::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_hEventStarted = hStarted;
    m_bToExit = 0;
    m_pfnStartRoutine = pfnStartRoutine;
    m_pParam = pParam;

    // One hold for this object and one for the thread, which needs the
    // record (and the handle in it) until it has posted its message.
    SharedLink* link = SharedLink::Create(this, 2);
    HANDLE hThread = nullptr;
    DWORD dwThreadId = 0;
    if (link) {
        // Created suspended so that the handle is stored before the routine
        // can run; resumed below unless the caller asked for a suspended start.
        hThread = os::CreateThread(lpThreadAttributes, dwStackSize, &CxThread::ThreadStartRoutine,
                                   link, dwCreationFlags | CREATE_SUSPENDED, &dwThreadId);
    } else {
        os::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }

    if (!hThread) {
        LastErrorKeeper keep;
        m_hEventStarted = nullptr;
        if (hStarted) os::CloseHandle(hStarted);
        delete link;
        return 0;
    }

    link->handle = hThread;
    m_pLink = link;
    m_hThread = hThread;
    m_dwThreadId = dwThreadId;
    if (!(dwCreationFlags & CREATE_SUSPENDED) &&
        os::ResumeThread(hThread) == static_cast<DWORD>(-1)) {
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
        m_hEventStarted = nullptr;
        if (hStarted) os::CloseHandle(hStarted);
        delete link;
        return 0;
    }

    if (hStarted) {
        // The end of the thread ends the wait too: a routine that returns
        // without signalling must not hold the caller for the whole limit.
        HANDLE ahWait[2] = {hStarted, hThread};
        os::WaitForMultipleObjects(2, ahWait, FALSE, dwWaitMilliseconds);
        // Take the signal back. If the routine is setting it right now, it
        // finds it gone when it is done and closes it itself.
        HANDLE hTaken = m_hEventStarted.exchange(nullptr);
        if (hTaken && hTaken != kStartSignalBusy) os::CloseHandle(hTaken);
    }
    return 1;
}

void CxThread::CloseThread(DWORD dwWaitMilliseconds) {
    if (!m_hThread) return;
    if (OwnsThread()) {
        m_bToExit = 1;
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

int CxThread::ToExitThread() const { return m_bToExit.load(std::memory_order_acquire); }

void CxThread::SetThreadStartedEvent() {
    HANDLE hStarted = m_hEventStarted.load();
    if (!hStarted || hStarted == kStartSignalBusy) return;
    if (!m_hEventStarted.compare_exchange_strong(hStarted, kStartSignalBusy)) return;
    os::SetEvent(hStarted);
    HANDLE hExpected = kStartSignalBusy;
    if (!m_hEventStarted.compare_exchange_strong(hExpected, hStarted)) {
        os::CloseHandle(hStarted);  // CreateThread stopped waiting meanwhile
    }
}

void CxThread::SetWndMsg(HWND hWnd, UINT uMsg) {
    m_hWnd = hWnd;
    m_uMsg = uMsg;
}

void* CxThread::GetSafeHandle() const { return m_hThread; }

void* CxThread::GetParamPtr() const { return m_pParam; }

DWORD WINAPI CxThread::ThreadStartRoutine(void* pStart) {
    SharedLink* link = static_cast<SharedLink*>(pStart);
    CxThread* pThread = const_cast<CxThread*>(static_cast<const CxThread*>(link->owner));
    DWORD dwResult = pThread->OnThreadStartRoutine();
    pThread->PostEnded(link->handle);
    SharedLink::Release(link);
    return dwResult;
}

DWORD CxThread::OnThreadStartRoutine() {
    return m_pfnStartRoutine ? m_pfnStartRoutine(this) : 1;
}

void CxThread::PostQuitMessage() { PostEnded(m_hThread); }

void CxThread::PostEnded(HANDLE hThread) const {
    if (m_hWnd) {
        os::PostMessageW(m_hWnd, m_uMsg, reinterpret_cast<WPARAM>(hThread), CX_EVENT_THREAD_ENDED);
    }
}
