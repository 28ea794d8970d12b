#include "quorvel/serial.h"

#include <cstring>
#include <new>
#include <type_traits>

#include "core/atomic.h"
#include "core/deadline.h"
#include "core/error.h"
#include "core/lifecycle_check.h"
#include "core/listener.h"
#include "core/owner.h"
#include "core/shared_link.h"
#include "core/thread_record.h"
#include "core/trace.h"
#include "platform/os.h"
#include "serial/serial_access.h"

using quorvel::AtomicLoad;
using quorvel::AtomicStore;
using quorvel::SharedLink;
using quorvel::RequireOpen;
using quorvel::Trace;
namespace os = quorvel::os;

namespace {

constexpr DWORD kStatusDeviceNotConnected = 0xC000009D;
constexpr ULONG_PTR kStatusPending = 0x00000103;
constexpr size_t kPathCapacity = 260;

// How long a driver may take to complete a request after its cancel, and a
// close to wait for the calls it ended. Past that the port is closed under
// them (AbandonPort).
constexpr DWORD kCancelGrace = 500;

HANDLE NewEvent() { return os::CreateEventW(nullptr, TRUE, FALSE, nullptr); }

bool Pending(const OVERLAPPED* o) { return AtomicLoad(o->Internal) == kStatusPending; }

// Waits at most dwLimit ms (INFINITE: without a limit) until a request has
// completed, on the event it sets then; true once it has. A wait the system
// refuses (the event gone) is made up for with 1 ms sleeps.
bool AwaitRequest(const OVERLAPPED* o, DWORD dwLimit) {
    DWORD dwWaited = 0;
    while (Pending(o)) {
        if (dwLimit != INFINITE && dwWaited >= dwLimit) return false;
        DWORD dwWait =
            os::WaitForSingleObject(o->hEvent, dwLimit == INFINITE ? INFINITE : dwLimit - dwWaited);
        if (dwWait == WAIT_TIMEOUT) {
            dwWaited = dwLimit;
        } else if (dwWait != WAIT_OBJECT_0 || Pending(o)) {
            os::Sleep(1);
            ++dwWaited;
        }
    }
    return true;
}

// The last resort for a driver that does not complete a cancelled request:
// the port is closed under the calls that still wait, which ends every
// request on it. Once, whoever comes first (the owner's release then finds
// nothing left to close), and only after new calls are refused. A cancel
// takes the same gate, so none reaches the value once it is closed.
void AbandonPort(SharedLink* link, HANDLE hComm, const wchar_t* pszPath) {
    link->closing.store(true);
    {
        quorvel::LinkGate gate(link);
        if (!link->live.exchange(false)) return;
    }
    Trace(L"%s requests still pending %u ms after their cancel: closing the port.\n", pszPath,
          kCancelGrace);
    os::CloseHandle(hComm);
}

// Cancels the requests on the port that o names (all of them for NULL),
// unless the port has been closed under them.
void Cancel(SharedLink* link, HANDLE hComm, OVERLAPPED* o) {
    quorvel::LinkGate gate(link);
    if (link->live.load()) os::CancelIoEx(hComm, o);
}

// Cancels a request that may still be outstanding and waits until the
// system is done with it, so nothing more is written into o or its buffer.
// A request still pending after the grace has the port closed under it, and
// is then waited for without a limit: until it completes, it names o.
void Withdraw(SharedLink* link, HANDLE hComm, OVERLAPPED* o, const wchar_t* pszPath) {
    Cancel(link, hComm, o);
    if (AwaitRequest(o, kCancelGrace)) return;
    AbandonPort(link, hComm, pszPath);
    AwaitRequest(o, INFINITE);
}

using PortHandle = quorvel::SharedHandle<quorvel::KernelHandleTraits>;

// The port a call counted in the object's record (CallGuard) may use: the
// object's handle while the record is still the object's, the port is open
// and no close has begun; NULL with ERROR_INVALID_HANDLE otherwise.
HANDLE PortFor(const quorvel::CallGuard& call, HANDLE const& hComm, SharedLink* const& link) {
    HANDLE hPort = !call.Refused() && AtomicLoad(link) == call.Link() ? AtomicLoad(hComm) : nullptr;
    return quorvel::RequireOpen(hPort != nullptr) ? hPort : nullptr;
}

int AsHandleNumber(HANDLE h) { return static_cast<int>(reinterpret_cast<INT_PTR>(h)); }

// Waits at most dwLimit ms (INFINITE: without a limit) for a transfer's
// request: WAIT_OBJECT_0 once it has completed; WAIT_TIMEOUT or WAIT_FAILED
// while it still pends. The event set while the request pends is no
// completion: the wait goes on.
DWORD AwaitTransfer(OVERLAPPED* o, DWORD dwLimit) {
    quorvel::Deadline limit(dwLimit);
    for (;;) {
        DWORD dwWait = os::WaitForSingleObject(o->hEvent, limit.Remaining());
        if (dwWait != WAIT_OBJECT_0 || !Pending(o)) return dwWait;
        os::ResetEvent(o->hEvent);  // before the look, so that a completion now sets it again
        if (!Pending(o)) return WAIT_OBJECT_0;
    }
}

// What a host asked of an open port beyond the basic events, and what the
// listener found for it. Lives in the record the port shares with its copies.
struct SerialExtra : quorvel::LinkExtra {
    // A transfer in each direction is under way (one at a time, through any
    // copy: each direction has one event and one request).
    std::atomic<bool> abTransferring[2] = {{false}, {false}};
    // What the C interface asks for (SerialAccess): data-ready told again
    // after a receive that took data (bDataTold: one went out and no receive
    // took data since; bLookAgain: one did, for the listener to look at the
    // queue again), and a call on the listener's thread.
    std::atomic<bool> bRepeatData{false};
    std::atomic<bool> bDataTold{false};
    std::atomic<bool> bLookAgain{false};
    std::atomic<bool> bLineErrors{false};
    std::atomic<bool> bAddedErrMask{false};  // EV_ERR was put into the port's mask for it
    std::atomic<unsigned long long> ullLastError{0};  // flags << 32 | discarded bytes
    std::atomic<bool> bLineErrorPending{false};  // found by a host call, for the listener to tell
    std::atomic<bool> bRemoval{false};
    std::atomic<bool> bRemovalRaised{false};
    std::atomic<bool> bModem{false};
    std::atomic<DWORD> dwAddedModemMask{0};  // modem events put into the port's mask for it
    // The input lines that changed since the host last asked << 8 | their
    // state at the last change (MS_* bits).
    std::atomic<DWORD> dwModem{0};
    std::atomic<bool> bModemPending{false};  // a change for the listener to tell
};
static_assert(std::atomic<unsigned long long>::is_always_lock_free,
              "the last line error is published without a lock");

SerialExtra* ExtraOf(const SharedLink* link) { return quorvel::ExtraOf<SerialExtra>(link); }

// The record's extra state, made on first use; nullptr if memory ran out.
SerialExtra* MakeExtra(SharedLink* link) { return quorvel::MakeExtra<SerialExtra>(link); }

// A line error that ClearCommError reported: the receive queue goes, the
// flags and count are kept, and with the request the host hears of it,
// always from the listener: true when the caller is the listener and tells
// it; a host call that found it wakes the listener (a new mask ends its
// wait), which tells it then.
bool LineError(SharedLink* link, HANDLE hComm, DWORD dwErrors, DWORD dwQueued, bool bOnListener) {
    os::PurgeComm(hComm, PURGE_RXCLEAR);
    SerialExtra* extra = ExtraOf(link);
    if (!extra || !extra->bLineErrors) return false;
    extra->ullLastError = static_cast<unsigned long long>(dwErrors) << 32 | dwQueued;
    if (bOnListener) return true;
    extra->bLineErrorPending = true;
    DWORD dwMask = 0;
    if (os::GetCommMask(hComm, &dwMask)) os::SetCommMask(hComm, dwMask);
    return false;
}

constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RING | EV_RLSD;
constexpr DWORD kModemLines = MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON;
constexpr DWORD kBreakSlice = 10;  // ms: how soon a break sees that Close has begun

// The input lines whose events the port reported.
DWORD LinesOf(DWORD dwEvents) {
    return (dwEvents & EV_CTS ? MS_CTS_ON : 0) | (dwEvents & EV_DSR ? MS_DSR_ON : 0) |
           (dwEvents & EV_RING ? MS_RING_ON : 0) | (dwEvents & EV_RLSD ? MS_RLSD_ON : 0);
}

// The port reported modem events: the lines are read, and the lines that
// changed are kept for the host with their state, for the listener to tell.
// A line counts as changed when its event came (it may have gone back
// already, and a ring reports its trailing edge) or when it reads otherwise
// than at the last change (an edge that raises no event).
void ModemChanged(HANDLE hComm, SerialExtra* extra, DWORD dwEvents) {
    DWORD dwOld = extra->dwModem.load();
    DWORD dwStatus = 0;
    if (!os::GetCommModemStatus(hComm, &dwStatus)) dwStatus = dwOld;  // keep the last known
    dwStatus &= kModemLines;
    DWORD dwChanged = LinesOf(dwEvents) | ((dwStatus ^ dwOld) & kModemLines);
    while (!extra->dwModem.compare_exchange_weak(dwOld, ((dwOld >> 8) | dwChanged) << 8 | dwStatus)) {
    }
    extra->bModemPending = true;
}

// A modem change that the listener has still to tell.
bool TakeModemChange(SerialExtra* extra) {
    return extra && extra->bModem && extra->bModemPending.exchange(false);
}

// Ends the listener's wait for port events (setting the port's mask again
// completes it with none), so that it looks at what a host call left for it.
void WakeListener(HANDLE hComm) {
    DWORD dwMask = 0;
    if (os::GetCommMask(hComm, &dwMask)) os::SetCommMask(hComm, dwMask);
}

// Whether a host call left the listener something to look at: data to
// look at again, or a call on its thread (record: the listener's thread's).
bool LookWanted(const SerialExtra* extra, const SharedLink* record) {
    return (extra && extra->bLookAgain.load()) || quorvel::ThreadAccess::CallRequested(record);
}

// The path CreateFile opens for what a host gave: a port's name ("COM3",
// "com12") as "\\.\COM12", since the system knows only COM1 to COM9 by
// name alone; anything else (a path already) as it is. pszPath is shorter
// than kPathCapacity.
const wchar_t* SystemPath(const wchar_t* pszPath, wchar_t (&szPath)[kPathCapacity + 4]) {
    auto upper = [](wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c; };
    size_t cch = os::lstrlenW(pszPath);
    bool bName = cch > 3 && upper(pszPath[0]) == L'C' && upper(pszPath[1]) == L'O' &&
                 upper(pszPath[2]) == L'M';
    for (size_t i = 3; bName && i < cch; ++i) bName = pszPath[i] >= L'0' && pszPath[i] <= L'9';
    if (!bName) return pszPath;
    os::lstrcpyW(szPath, L"\\\\.\\");
    os::lstrcpyW(szPath + 4, pszPath);
    return szPath;
}

// The errors with which the event wait of a removed adapter fails.
bool IsRemovalError(DWORD dwError) {
    return dwError == ERROR_DEVICE_NOT_CONNECTED || dwError == ERROR_ACCESS_DENIED ||
           dwError == ERROR_BAD_COMMAND || dwError == ERROR_OPERATION_ABORTED;
}

}  // namespace

// Hosts compile against this layout: new state goes into the shared record.
CxSerial::CxSerial()
    : m_hComm(nullptr),
      m_hEventListen(nullptr),
      m_hEventSend(nullptr),
      m_hEventRecv(nullptr),
      m_wRThreshold(1),
      m_lEventMask(EV_RXCHAR | EV_BREAK),
      m_pLink(nullptr) {
    std::memset(m_szDevPath, 0, sizeof m_szDevPath);
}

CxSerial::CxSerial(const CxSerial& other)
    : CxComm(other),
      m_hComm(other.m_hComm),
      m_hEventListen(other.m_hEventListen),
      m_hEventSend(other.m_hEventSend),
      m_hEventRecv(other.m_hEventRecv),
      m_wRThreshold(AtomicLoad(other.m_wRThreshold)),
      m_lEventMask(AtomicLoad(other.m_lEventMask)),
      m_ListenThread(other.m_ListenThread),
      m_pLink(SharedLink::Pin(other.m_pLink)) {
    std::memcpy(m_szDevPath, other.m_szDevPath, sizeof m_szDevPath);
}

CxSerial& CxSerial::operator=(const CxSerial& other) {
    if (this != &other) {
        Close();  // lets go of whatever this object held
        CxComm::operator=(other);
        std::memcpy(m_szDevPath, other.m_szDevPath, sizeof m_szDevPath);
        m_hComm = other.m_hComm;
        m_hEventListen = other.m_hEventListen;
        m_hEventSend = other.m_hEventSend;
        m_hEventRecv = other.m_hEventRecv;
        AtomicStore(m_wRThreshold, AtomicLoad(other.m_wRThreshold));
        AtomicStore(m_lEventMask, AtomicLoad(other.m_lEventMask));
        m_ListenThread = other.m_ListenThread;
        AtomicStore(m_pLink, SharedLink::Pin(other.m_pLink));
    }
    return *this;
}

CxSerial::~CxSerial() { Close(); }

bool CxSerial::OwnsPort() const { return PortHandle::IsOwner(m_pLink, this); }

HANDLE CxSerial::Port() const { return PortHandle::Current(m_hComm, m_pLink); }

void CxSerial::Forget() {
    m_ListenThread.CloseThread(INFINITE);  // a copy's view: let go at once
    m_hComm = nullptr;
    m_hEventListen = m_hEventSend = m_hEventRecv = nullptr;
    std::memset(m_szDevPath, 0, sizeof m_szDevPath);
    SharedLink::Detach(m_pLink);
}

int CxSerial::Open(const wchar_t* pszPath, unsigned short wRThreshold) {
    Close();
    if (!pszPath) return quorvel::Fail(ERROR_INVALID_PARAMETER);
    if (quorvel::BoundedLength(pszPath, kPathCapacity) >= kPathCapacity) {
        return quorvel::Fail(ERROR_FILENAME_EXCED_RANGE);
    }
    wchar_t szSystemPath[kPathCapacity + 4];
    HANDLE hComm = os::CreateFileW(SystemPath(pszPath, szSystemPath), GENERIC_READ | GENERIC_WRITE,
                                   0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (hComm == INVALID_HANDLE_VALUE) return quorvel::FailedCall("CreateFileW");
    if (!PortHandle(m_hComm, m_pLink, this).Adopt(hComm)) return 0;
    os::lstrcpyW(m_szDevPath, pszPath);
    m_hEventSend = NewEvent();
    m_hEventRecv = NewEvent();
    m_hEventListen = NewEvent();
    SetRThreshold(wRThreshold);
    ListenEvent();
    return 1;
}

int CxSerial::Close() {
    SharedLink* link = m_pLink;
    // Closed, or a copy that shares another object's port. An owner whose
    // port was closed under a stuck request (AbandonPort) still closes.
    if (!quorvel::AcquiredBy(link, this)) {
        Forget();
        return quorvel::Fail(ERROR_INVALID_HANDLE);
    }
    DisListenEvent();
    ClearBuffer(1);
    ClearBuffer(0);
    // A Send or Recv of another thread ends now, and Close waits until it
    // has returned, so that nothing uses the port, the events or this object
    // once Close is done. Calls whose requests a driver does not complete
    // after their cancel have the port closed under them.
    HANDLE hComm = m_hComm;
    const wchar_t* pszPath = m_szDevPath;
    quorvel::EndCalls(
        link, [link, hComm] { Cancel(link, hComm, nullptr); }, kCancelGrace,
        [link, hComm, pszPath] { AbandonPort(link, hComm, pszPath); });
    QV_CHECK_CLOSE_CALLS(link, "serial port");
    QV_CHECK_CLOSE_LISTENER(m_ListenThread, "serial port");
    int nResult = PortHandle(m_hComm, m_pLink, this).Close() ? 1 : quorvel::FailedCall("CloseHandle");
    std::memset(m_szDevPath, 0, sizeof m_szDevPath);
    quorvel::ReleaseMember<quorvel::KernelHandleTraits>(m_hEventSend);
    quorvel::ReleaseMember<quorvel::KernelHandleTraits>(m_hEventRecv);
    quorvel::ReleaseMember<quorvel::KernelHandleTraits>(m_hEventListen);
    return nResult;
}

// GetCommState or SetCommState on an open port with the caller's DCB.
static int OnCommState(HANDLE hComm, DCB* pDcb, BOOL(WINAPI* pfnCommState)(HANDLE, LPDCB)) {
    if (!hComm) return 0;
    if (!pDcb) return quorvel::Fail(ERROR_INVALID_PARAMETER);
    if (pfnCommState(hComm, pDcb)) return 1;
    return quorvel::FailedCall(pfnCommState == os::GetCommState ? "GetCommState" : "SetCommState");
}

// Every operation on the port is a call counted in its record, so that
// Close waits for it (see CallGuard).
int CxSerial::GetSettings(DCB* pDcb) {
    quorvel::CallGuard call(m_pLink);
    return OnCommState(PortFor(call, m_hComm, m_pLink), pDcb, os::GetCommState);
}

int CxSerial::SetSettings(DCB* pDcb) {
    quorvel::CallGuard call(m_pLink);
    return OnCommState(PortFor(call, m_hComm, m_pLink), pDcb, os::SetCommState);
}

int CxSerial::SetBufferSize(unsigned long ulInput, unsigned long ulOutput) {
    quorvel::CallGuard call(m_pLink);
    HANDLE hComm = PortFor(call, m_hComm, m_pLink);
    if (!hComm) return 0;
    return os::SetupComm(hComm, ulInput, ulOutput) ? 1 : quorvel::FailedCall("SetupComm");
}

int CxSerial::GetBufferSize(unsigned long* pulInput, unsigned long* pulOutput) {
    quorvel::CallGuard call(m_pLink);
    HANDLE hComm = PortFor(call, m_hComm, m_pLink);
    if (!hComm) return 0;
    COMMPROP cp;
    std::memset(&cp, 0, sizeof cp);
    if (!os::GetCommProperties(hComm, &cp)) return quorvel::FailedCall("GetCommProperties");
    if (pulInput) *pulInput = cp.dwCurrentRxQueue;
    if (pulOutput) *pulOutput = cp.dwCurrentTxQueue;
    return 1;
}

int CxSerial::GetBufferCount(unsigned long* pulInput, unsigned long* pulOutput) {
    quorvel::CallGuard call(m_pLink);
    HANDLE hComm = PortFor(call, m_hComm, m_pLink);
    if (!hComm) return 0;
    DWORD dwError = 0;
    COMSTAT cs;
    std::memset(&cs, 0, sizeof cs);
    if (!os::ClearCommError(hComm, &dwError, &cs)) return quorvel::FailedCall("ClearCommError");
    // The flags are cleared now, so the listener would never see this error.
    SerialExtra* extra = ExtraOf(call.Link());
    if (dwError && extra && extra->bLineErrors) {
        LineError(call.Link(), hComm, dwError, cs.cbInQue, false);
        cs.cbInQue = 0;
    }
    if (pulInput) *pulInput = cs.cbInQue;
    if (pulOutput) *pulOutput = cs.cbOutQue;
    return 1;
}

int CxSerial::ClearBuffer(int bReceive) {
    quorvel::CallGuard call(m_pLink);
    HANDLE hComm = PortFor(call, m_hComm, m_pLink);
    if (!hComm) return 0;
    return os::PurgeComm(hComm, bReceive ? PURGE_RXCLEAR : PURGE_TXCLEAR) ? 1
                                                                           : quorvel::FailedCall("PurgeComm");
}

void CxSerial::GetDevPath(wchar_t* pszPath) {
    if (pszPath) os::lstrcpyW(pszPath, m_szDevPath);
}

unsigned short CxSerial::GetRThreshold() { return AtomicLoad(m_wRThreshold); }

void CxSerial::SetRThreshold(unsigned short wRThreshold) { AtomicStore(m_wRThreshold, wRThreshold); }

void CxSerial::SelectEvent(long lEventMask) { AtomicStore(m_lEventMask, lEventMask); }

int CxSerial::SetLineErrorEvent(int bEnable) {
    quorvel::CallGuard call(m_pLink);
    HANDLE hComm = PortFor(call, m_hComm, m_pLink);
    if (!hComm) return 0;
    SerialExtra* extra = bEnable ? MakeExtra(call.Link()) : ExtraOf(call.Link());
    if (!extra) {
        if (!bEnable) return 1;  // nothing was asked for
        return quorvel::Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    // Errors that come without a received character wake the listener only
    // if the port reports EV_ERR.
    DWORD dwMask = 0;
    if (!os::GetCommMask(hComm, &dwMask)) return quorvel::FailedCall("GetCommMask");
    if (bEnable && !(dwMask & EV_ERR)) {
        if (!os::SetCommMask(hComm, dwMask | EV_ERR)) return quorvel::FailedCall("SetCommMask");
        extra->bAddedErrMask = true;
    } else if (!bEnable && extra->bAddedErrMask.exchange(false)) {
        if (!os::SetCommMask(hComm, dwMask & ~static_cast<DWORD>(EV_ERR))) {
            extra->bAddedErrMask = true;
            return quorvel::FailedCall("SetCommMask");
        }
    }
    if (bEnable && !extra->bLineErrors) extra->ullLastError = 0;
    extra->bLineErrors = bEnable != 0;
    return 1;
}

int CxSerial::GetLineError(unsigned long* pulErrors, unsigned long* pulDiscarded) {
    quorvel::CallGuard call(m_pLink);
    if (!PortFor(call, m_hComm, m_pLink)) return 0;
    SerialExtra* extra = ExtraOf(call.Link());
    if (!extra || !extra->bLineErrors) return quorvel::Fail(ERROR_INVALID_FUNCTION);
    unsigned long long ullLast = extra->ullLastError;
    if (pulErrors) *pulErrors = static_cast<unsigned long>(ullLast >> 32);
    if (pulDiscarded) *pulDiscarded = static_cast<unsigned long>(ullLast & 0xFFFFFFFFu);
    return 1;
}

int CxSerial::SetRemovalEvent(int bEnable) {
    quorvel::CallGuard call(m_pLink);
    if (!PortFor(call, m_hComm, m_pLink)) return 0;
    SerialExtra* extra = bEnable ? MakeExtra(call.Link()) : ExtraOf(call.Link());
    if (!extra) {
        if (!bEnable) return 1;
        return quorvel::Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    extra->bRemoval = bEnable != 0;
    return 1;
}

// ---- modem lines ------------------------------------------------------------

// One operation of the driver on an open port, counted like every call;
// pszCall names it.
template <class Operation>
static int OnPort(SharedLink* const& member, HANDLE const& hComm, const char* pszCall,
                  Operation operation) {
    quorvel::CallGuard call(member);
    HANDLE hPort = PortFor(call, hComm, member);
    if (!hPort) return 0;
    return operation(hPort) ? 1 : quorvel::FailedCall(pszCall);
}

int CxSerial::SetDtr(int bOn) {
    return OnPort(m_pLink, m_hComm, "EscapeCommFunction",
                  [bOn](HANDLE h) { return os::EscapeCommFunction(h, bOn ? SETDTR : CLRDTR); });
}

int CxSerial::SetRts(int bOn) {
    return OnPort(m_pLink, m_hComm, "EscapeCommFunction",
                  [bOn](HANDLE h) { return os::EscapeCommFunction(h, bOn ? SETRTS : CLRRTS); });
}

int CxSerial::SetBreak(int bOn) {
    return OnPort(m_pLink, m_hComm, bOn ? "SetCommBreak" : "ClearCommBreak",
                  [bOn](HANDLE h) { return bOn ? os::SetCommBreak(h) : os::ClearCommBreak(h); });
}

// The break holds the line for the time asked, unless Close begins
// meanwhile; either way the line is freed before the call returns, unless
// the port has been closed under a stuck request (which frees it too).
int CxSerial::SendBreak(unsigned long ulMilliseconds) {
    quorvel::CallGuard call(m_pLink);
    HANDLE hComm = PortFor(call, m_hComm, m_pLink);
    if (!hComm) return 0;
    if (ulMilliseconds == INFINITE) return quorvel::Fail(ERROR_INVALID_PARAMETER);
    if (!os::SetCommBreak(hComm)) return quorvel::FailedCall("SetCommBreak");
    quorvel::Deadline deadline(ulMilliseconds);
    for (DWORD dwLeft; (dwLeft = deadline.Remaining()) != 0 && !call.Closing();) {
        os::Sleep(dwLeft < kBreakSlice ? dwLeft : kBreakSlice);
    }
    bool bEnded = call.Closing();
    SharedLink* link = call.Link();
    BOOL bCleared = FALSE;
    {
        quorvel::LinkGate gate(link);
        bCleared = link->live.load() ? os::ClearCommBreak(hComm) : quorvel::Fail(ERROR_INVALID_HANDLE);
    }
    if (bEnded) return quorvel::Fail(ERROR_OPERATION_ABORTED);
    return bCleared ? 1 : quorvel::FailedCall("ClearCommBreak");
}

int CxSerial::GetModemStatus(unsigned long* pulStatus) {
    quorvel::CallGuard call(m_pLink);
    HANDLE hComm = PortFor(call, m_hComm, m_pLink);
    if (!hComm) return 0;
    if (!pulStatus) return quorvel::Fail(ERROR_INVALID_PARAMETER);
    DWORD dwStatus = 0;
    if (!os::GetCommModemStatus(hComm, &dwStatus)) return quorvel::FailedCall("GetCommModemStatus");
    *pulStatus = dwStatus;
    return 1;
}

int CxSerial::SetModemEvent(int bEnable) {
    quorvel::CallGuard call(m_pLink);
    HANDLE hComm = PortFor(call, m_hComm, m_pLink);
    if (!hComm) return 0;
    SerialExtra* extra = bEnable ? MakeExtra(call.Link()) : ExtraOf(call.Link());
    if (!extra) {
        if (!bEnable) return 1;
        return quorvel::Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    if ((bEnable != 0) == extra->bModem) return 1;
    DWORD dwMask = 0;
    if (!bEnable) {
        // Only the events the request put into the port's mask leave it.
        DWORD dwAdded = extra->dwAddedModemMask;
        if (dwAdded && (!os::GetCommMask(hComm, &dwMask) || !os::SetCommMask(hComm, dwMask & ~dwAdded))) {
            return quorvel::FailedCall("SetCommMask");
        }
        extra->dwAddedModemMask = 0;
        extra->bModem = false;
        return 1;
    }
    // A driver that cannot read the lines cannot report them either (and
    // some fail every event wait that asks for them): it is not asked.
    DWORD dwStatus = 0;
    if (!os::GetCommModemStatus(hComm, &dwStatus) || !os::GetCommMask(hComm, &dwMask)) {
        return quorvel::FailedCall("GetCommModemStatus");
    }
    extra->dwModem = dwStatus & kModemLines;
    extra->bModemPending = false;
    extra->bModem = true;  // before the new mask, which wakes the listener
    DWORD dwAdd = kModemEvents & ~dwMask;
    if (dwAdd && !os::SetCommMask(hComm, dwMask | dwAdd)) {
        quorvel::FailedCall("SetCommMask");
        quorvel::ErrorKeeper keep;
        extra->bModem = false;
        return 0;
    }
    extra->dwAddedModemMask = dwAdd;
    return 1;
}

int CxSerial::GetModemChange(unsigned long* pulChanged, unsigned long* pulStatus) {
    quorvel::CallGuard call(m_pLink);
    if (!PortFor(call, m_hComm, m_pLink)) return 0;
    SerialExtra* extra = ExtraOf(call.Link());
    if (!extra || !extra->bModem) return quorvel::Fail(ERROR_INVALID_FUNCTION);
    DWORD dwModem = extra->dwModem.load();
    while (!extra->dwModem.compare_exchange_weak(dwModem, dwModem & kModemLines)) {
    }
    if (pulChanged) *pulChanged = dwModem >> 8;
    if (pulStatus) *pulStatus = dwModem & kModemLines;
    return 1;
}

void* CxSerial::GetSafeHandle() {
    quorvel::LinkGate gate(&m_pLink);
    return Port();
}

int CxSerial::Send(unsigned char* pData, unsigned long ulLength, unsigned long ulWait) {
    return Transfer(true, pData, ulLength, ulWait);
}

int CxSerial::Recv(unsigned char* pBuffer, unsigned long ulLength, unsigned long ulWait) {
    return Transfer(false, pBuffer, ulLength, ulWait);
}

int CxSerial::SendExact(const unsigned char* pData, unsigned long ulLength, unsigned long ulWait,
                        unsigned long* pulSent) {
    return Transfer(true, const_cast<unsigned char*>(pData), ulLength, ulWait, true, pulSent);
}

int CxSerial::RecvExact(unsigned char* pBuffer, unsigned long ulLength, unsigned long ulWait,
                        unsigned long* pulReceived) {
    return Transfer(false, pBuffer, ulLength, ulWait, true, pulReceived);
}

int CxSerial::RecvSome(unsigned char* pBuffer, unsigned long ulSize, unsigned long ulWait,
                       unsigned long* pulReceived) {
    if (pulReceived) *pulReceived = 0;
    if (!ulSize) {
        quorvel::CallGuard call(m_pLink);  // Close may let go of the port meanwhile
        return PortFor(call, m_hComm, m_pLink) ? 1 : 0;
    }
    if (!pBuffer) return quorvel::Fail(ERROR_INVALID_PARAMETER);
    // What waits is read at once; with nothing waiting, one byte is awaited
    // within the limit, and then what came with it.
    quorvel::Deadline deadline(ulWait);
    unsigned long ulDone = 0;
    for (int nRound = 0; nRound < 2 && ulDone < ulSize; ++nRound) {
        unsigned long ulWaiting = 0;
        if (!GetBufferCount(&ulWaiting, nullptr)) break;
        if (!ulWaiting && ulDone) break;
        unsigned long ulTake = ulWaiting ? ulSize - ulDone : 1;
        if (ulTake > ulWaiting && ulWaiting) ulTake = ulWaiting;
        unsigned long ulGot = 0;
        int nResult = Transfer(false, pBuffer + ulDone, ulTake, deadline.Remaining(), true, &ulGot);
        ulDone += ulGot;
        if (!nResult) break;
    }
    if (pulReceived) *pulReceived = ulDone;
    if (ulDone) os::SetLastError(ERROR_SUCCESS);
    return ulDone ? 1 : 0;
}

int CxSerial::Transfer(bool bSend, unsigned char* pData, unsigned long ulLength,
                       unsigned long ulWait) {
    return Transfer(bSend, pData, ulLength, ulWait, false, nullptr);
}

// ulWait limits each request, or (bWholeCall) the whole transfer.
int CxSerial::Transfer(bool bSend, unsigned char* pData, unsigned long ulLength,
                       unsigned long ulWait, bool bWholeCall, unsigned long* pulDone) {
    if (pulDone) *pulDone = 0;
    // Counted while in progress, so that Close from another thread can end
    // the transfer and wait for it.
    quorvel::CallGuard call(m_pLink);
    HANDLE hComm = PortFor(call, m_hComm, m_pLink);
    if (!hComm) return 0;
    SharedLink* link = call.Link();
    // A second transfer in the same direction is refused: it would share the
    // first one's event, and either could take the other's completion.
    SerialExtra* extra = MakeExtra(link);
    if (!extra) return quorvel::Fail(ERROR_NOT_ENOUGH_MEMORY);
    std::atomic<bool>& bTransferring = extra->abTransferring[bSend ? 1 : 0];
    if (bTransferring.exchange(true)) return quorvel::Fail(ERROR_BUSY);
    struct Done {
        std::atomic<bool>& bTransferring;
        ~Done() { bTransferring.store(false); }
    } done{bTransferring};
    HANDLE& hEvent = bSend ? m_hEventSend : m_hEventRecv;
    if (!hEvent) {
        // A copy never makes events it could not close.
        if (!quorvel::RequireOpen(OwnsPort())) return 0;
        hEvent = NewEvent();
        Trace(bSend ? L"%s m_hEventSend = %d.\n" : L"%s m_hEventRecv = %d.\n", m_szDevPath,
              AsHandleNumber(hEvent));
        if (!hEvent) return quorvel::FailedCall("CreateEventW");
    }
    if (ulLength && !pData) return quorvel::Fail(ERROR_INVALID_PARAMETER);
    if (!bSend && ulLength) std::memset(pData, 0, ulLength);

    quorvel::Deadline deadline(bWholeCall ? ulWait : INFINITE);
    unsigned long ulDone = 0;
    while (ulDone != ulLength && !call.Closing()) {
        OVERLAPPED o;
        std::memset(&o, 0, sizeof o);
        o.hEvent = hEvent;
        DWORD dwRemaining = ulLength - ulDone;
        BOOL bDone = bSend ? os::WriteFile(hComm, pData + ulDone, dwRemaining, nullptr, &o)
                           : os::ReadFile(hComm, pData + ulDone, dwRemaining, nullptr, &o);
        if (!bDone) {
            DWORD dwError = os::GetLastError();
            if (dwError != ERROR_IO_PENDING) {  // failed at once: repeating it cannot help
                if (dwError == ERROR_DEVICE_NOT_CONNECTED) DeviceRemoved(hComm);
                break;
            }
            DWORD dwWait = AwaitTransfer(&o, bWholeCall ? deadline.Remaining() : ulWait);
            DWORD dwStatus = static_cast<DWORD>(o.Internal);
            if (dwWait != WAIT_OBJECT_0) {
                Withdraw(link, hComm, &o, m_szDevPath);
                if (o.Internal == 0) dwWait = WAIT_OBJECT_0;  // it completed after all
            }
            if (dwWait != WAIT_OBJECT_0 || o.Internal != 0) {
                Trace(L"%s WaitForSingleObject return 0x%08X, o.Internal = 0x%08X.\n", m_szDevPath,
                      dwWait, dwWait == WAIT_OBJECT_0 ? static_cast<DWORD>(o.Internal) : dwStatus);
                if (o.Internal == kStatusDeviceNotConnected) DeviceRemoved(hComm);
                os::ResetEvent(hEvent);
                // A cancelled request may have moved some bytes before it ended.
                ulDone += static_cast<unsigned long>(o.InternalHigh);
                if (bWholeCall && dwWait == WAIT_TIMEOUT) os::SetLastError(WAIT_TIMEOUT);
                break;
            }
        }
        os::ResetEvent(hEvent);
        if (o.InternalHigh == 0) {  // the port's own time-outs ran out
            if (bWholeCall) os::SetLastError(WAIT_TIMEOUT);
            break;
        }
        ulDone += static_cast<unsigned long>(o.InternalHigh);
    }
    // Data taken after a data-ready: the listener tells it again if at least
    // the threshold still waits (when the C interface asked for that).
    if (!bSend && ulDone && extra->bRepeatData && extra->bDataTold.exchange(false)) {
        extra->bLookAgain = true;
        WakeListener(hComm);
    }
    if (pulDone) *pulDone = ulDone;
    if (ulDone == ulLength) return 1;
    return quorvel::FailedCall(bSend ? "WriteFile" : "ReadFile");
}

void CxSerial::DeviceRemoved(HANDLE hComm) {
    Target target = GetTarget();
    if (target.hWnd && target.uMsg) {
        // With the removal request the event goes out once per open port.
        SerialExtra* extra = ExtraOf(m_pLink);
        if (!extra || !extra->bRemoval || !extra->bRemovalRaised.exchange(true)) {
            os::PostMessageW(target.hWnd, target.uMsg, reinterpret_cast<WPARAM>(hComm),
                             CX_EVENT_DEVICE_REMOVED);
        }
    }
    Trace(L"%s Hardware is deleted.\n", m_szDevPath);
}

// ---- listener ---------------------------------------------------------------
//
// The path of an event: ListenEvent starts the listener thread, which runs a
// SerialWatch (Listen); each of the watch's steps (WaitOnce) is one pass over
// the port (OnePass), and an event the pass found is raised (Raise) to the
// host's callback or window. The engine (core/listener.h) runs the steps,
// pauses after failures and stops the thread.

int CxSerial::ListenEvent() {
    // A listener still held has ended: it goes first, so that success means
    // a listener that runs.
    if (m_ListenThread.GetSafeHandle()) DisListenEvent();
    // The wake event is made here rather than on the listener thread, so
    // that the thread never writes a member that Close reads.
    if (!m_hEventListen) {
        m_hEventListen = quorvel::listener::MakeEventWake();
        Trace(L"%s m_hEventListen = %d.\n", m_szDevPath, AsHandleNumber(m_hEventListen));
        if (!m_hEventListen) return quorvel::FailedCall("CreateEventW");
    }
    if (!os::SetCommMask(m_hComm, static_cast<DWORD>(AtomicLoad(m_lEventMask)))) {
        return quorvel::FailedCall("SetCommMask");
    }
    static_assert(std::is_same<decltype(&CxSerial::ListenEventProc), CX_THREAD_ROUTINE>::value,
                  "the listener routine is a WINAPI thread routine");
    return quorvel::listener::Start(m_ListenThread, &CxSerial::ListenEventProc, this,
                                    GetListenerStackSize());
}

void CxSerial::DisListenEvent() {
    HANDLE hWake = m_hEventListen;
    quorvel::listener::Stop(m_ListenThread, [hWake] { quorvel::listener::TriggerEventWake(hWake); });
}

int CxSerial::IsListenningEvent() { return m_ListenThread.IsThreadRunning(); }

int CxSerial::IsListening() { return IsListenningEvent(); }

namespace quorvel {

// What the serial listener waits on (the port's events and the wake from
// Close) and what an event means (data ready, a line error, a modem change,
// the device gone).
class SerialWatch {
public:
    // The listener thread's body, from its start to its end.
    static void Listen(CxSerial& port, CxThread* pThread) {
        DWORD dwThreadId = os::GetCurrentThreadId();
        wchar_t szPath[kPathCapacity];  // for the last trace line, which outlives the object
        os::lstrcpynW(szPath, port.m_szDevPath, static_cast<int>(kPathCapacity));
        Trace(L"The thread 0x%X(%s CxSerial::OnListen) has entered.\n", dwThreadId, szPath);
        // The port's requests complete through their own event; m_hEventListen
        // only wakes the thread, so the wake can never be cleared by a request.
        ScopedKernelHandle wait(NewEvent());
        if (!wait) return;
        pThread->SetThreadStartedEvent();
        SerialWatch watch(port, wait.get(), szPath, ThreadAccess::RecordOf(pThread));
        listener::Run(pThread, watch);
        wait.reset();
        Trace(L"The thread 0x%X(%s CxSerial::OnListen) has exited.\n", dwThreadId, szPath);
    }

    // One step for the engine: a call the C interface asked for, or a pass.
    listener::Step WaitOnce() {
        // A call the C interface asked for, on this thread and outside any
        // call on the port: it hands its queued events over to a callback.
        if (ThreadAccess::TakeCallRequest(m_record)) {
            Raise(m_port.m_hComm, listener::kEventListenerCall);
            return listener::Step::kEvent;
        }
        DWORD dwError = 0;
        Pass result = OnePass(&dwError);
        if (result == Pass::kWoken) return listener::Step::kStop;
        if (result == Pass::kCompleted) return listener::Step::kEvent;
        SerialExtra* extra = ExtraOf<SerialExtra>(m_port.m_pLink);
        if (extra && extra->bRemoval && IsRemovalError(dwError) &&
            os::WaitForSingleObject(m_port.m_hEventListen, 0) != WAIT_OBJECT_0 && !PortAnswers()) {
            // The device is gone for good: say so once and stop asking it.
            if (!extra->bRemovalRaised.exchange(true)) {
                Raise(m_port.m_hComm, CX_EVENT_DEVICE_REMOVED);
            }
            Trace(L"%s Hardware is deleted.\n", m_pszPath);
            return listener::Step::kStop;
        }
        return listener::Step::kFailed;
    }

    // Leaves at once if Close wakes it meanwhile.
    bool Pause(DWORD dwMilliseconds) {
        return os::WaitForSingleObject(m_port.m_hEventListen, dwMilliseconds) == WAIT_TIMEOUT;
    }

private:
    enum class Pass { kCompleted, kFailed, kWoken };

    SerialWatch(CxSerial& port, HANDLE hWait, const wchar_t* pszPath, const SharedLink* record)
        : m_port(port), m_hWait(hWait), m_pszPath(pszPath), m_record(record), m_cs() {}

    // One wait for port events and what follows from it. A wait that did
    // not complete (it failed, or Close woke the thread) raises nothing, and
    // its request has been withdrawn before this returns. A failed wait
    // leaves the system's error in *pdwError (0 if there is none to tell).
    // The pass is a call on the port like any other (Close waits for it, and
    // none starts once Close has begun), up to the event it raises. A pass
    // raises one event; a modem change that came with another is raised by
    // the next pass, before it waits.
    Pass OnePass(DWORD* pdwError) {
    long lEvent = 0;
    HANDLE hComm = nullptr;
    {
        // A modem change that came with another event, told on the last
        // pass: told now, before the next wait.
        quorvel::CallGuard call(m_port.m_pLink);
        hComm = PortFor(call, m_port.m_hComm, m_port.m_pLink);
        if (!hComm) return Pass::kWoken;
        if (TakeModemChange(ExtraOf<SerialExtra>(call.Link()))) lEvent = CX_EVENT_MODEM_CHANGED;
    }
    if (lEvent) {
        Raise(hComm, lEvent);
        return Pass::kCompleted;
    }
    {
        quorvel::CallGuard call(m_port.m_pLink);
        hComm = PortFor(call, m_port.m_hComm, m_port.m_pLink);
        if (!hComm) return Pass::kWoken;
        DWORD dwEvtMask = 0;
        OVERLAPPED o;
        std::memset(&o, 0, sizeof o);
        o.hEvent = m_hWait;
        if (!os::WaitCommEvent(hComm, &dwEvtMask, &o)) {
            DWORD dwError = os::GetLastError();
            if (dwError != ERROR_IO_PENDING) {
                *pdwError = dwError;
                return Pass::kFailed;
            }
            HANDLE ahWait[2] = {m_port.m_hEventListen, m_hWait};
            // What a host call left before the wait began is looked at now;
            // the request goes first, whatever it found is looked at too.
            DWORD dwWait = LookWanted(ExtraOf<SerialExtra>(call.Link()), m_record)
                               ? WAIT_IO_COMPLETION
                               : os::WaitForMultipleObjects(2, ahWait, FALSE, INFINITE);
            if (dwWait == WAIT_IO_COMPLETION) {
                Withdraw(call.Link(), hComm, &o, m_pszPath);
                if (o.Internal != 0) dwEvtMask = 0;  // cancelled: it found nothing
            } else if (dwWait != WAIT_OBJECT_0 + 1) {
                Withdraw(call.Link(), hComm, &o, m_pszPath);
                os::ResetEvent(m_hWait);
                return dwWait == WAIT_OBJECT_0 ? Pass::kWoken : Pass::kFailed;
            }
            os::ResetEvent(m_hWait);
            if (o.Internal != 0 && dwWait != WAIT_IO_COMPLETION) {
                DWORD dwIgnored = 0;
                if (!os::GetOverlappedResult(hComm, &o, &dwIgnored, FALSE)) {
                    *pdwError = os::GetLastError();
                }
                // A wait cancelled because Close is stopping us is no removal.
                if (*pdwError == ERROR_OPERATION_ABORTED &&
                    (call.Closing() || os::WaitForSingleObject(m_port.m_hEventListen, 0) == WAIT_OBJECT_0)) {
                    return Pass::kWoken;
                }
                return Pass::kFailed;
            }
        } else {
            os::ResetEvent(m_hWait);
        }

        DWORD dwMask = static_cast<DWORD>(AtomicLoad(m_port.m_lEventMask));
        SerialExtra* extra = ExtraOf<SerialExtra>(call.Link());
        bool bLineErrors = extra && extra->bLineErrors;
        if (extra && extra->bModem && (dwEvtMask & kModemEvents)) ModemChanged(hComm, extra, dwEvtMask);
        // A line error that a host call found, handled there, told here.
        if (extra && extra->bLineErrorPending.exchange(false)) lEvent = CX_EVENT_LINE_ERROR;
        // Any event clears the port's error state. Errors (framing, parity,
        // overrun, break) discard the receive queue and raise no data-ready
        // event; a break without characters must not be charged to the next
        // good data.
        // A receive took data since the last data-ready: what still waits
        // is looked at as if it had just come.
        bool bLook = extra && extra->bLookAgain.exchange(false);
        DWORD dwRet = 0;
        if ((bLook || (dwEvtMask & (bLineErrors ? dwMask | EV_ERR : dwMask))) &&
            os::ClearCommError(hComm, &dwRet, &m_cs)) {
            if (dwRet) {
                if (LineError(call.Link(), hComm, dwRet, m_cs.cbInQue, true)) {
                    lEvent = CX_EVENT_LINE_ERROR;
                }
            } else if ((bLook || ((dwEvtMask & dwMask) && (dwEvtMask & EV_RXCHAR))) &&
                       m_cs.cbInQue >= AtomicLoad(m_port.m_wRThreshold)) {
                if (lEvent) {
                    // The line error a host call found goes first; the data
                    // that came after it is looked at in the next pass.
                    extra->bLookAgain = true;
                } else {
                    lEvent = CX_EVENT_DATA_READY;
                    if (extra && extra->bRepeatData) extra->bDataTold = true;
                }
            }
        }
        // One event a pass: a modem change waits for the next one then.
        if (!lEvent && TakeModemChange(extra)) lEvent = CX_EVENT_MODEM_CHANGED;
    }
    // Outside the call: the callback may close the port.
    if (lEvent) Raise(hComm, lEvent);
    return Pass::kCompleted;
}

    // Whether the port still answers a request that changes nothing. A wait
    // can fail with the errors of a removed adapter while the device is
    // there (some drivers abort waits); such a failure is retried, not taken
    // for a removal.
    bool PortAnswers() {
        CallGuard call(m_port.m_pLink);
        HANDLE hComm = PortFor(call, m_port.m_hComm, m_port.m_pLink);
        DCB dcb;
        std::memset(&dcb, 0, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        return !hComm || os::GetCommState(hComm, &dcb) != FALSE;  // a closing port is no removal
    }

    // The event to the host: its callback, on this thread, or its window.
    void Raise(HANDLE hComm, long lEvent) {
        auto target = m_port.GetTarget();
        listener::Deliver(target.pfnProc, target.pParam, target.hWnd, target.uMsg,
                          reinterpret_cast<UINT_PTR>(hComm), lEvent);
    }

    CxSerial& m_port;
    const HANDLE m_hWait;       // the event the port's wait requests complete on
    const wchar_t* m_pszPath;   // the thread's copy of the port's path
    const SharedLink* const m_record;  // its thread's record (outlives the port)
    COMSTAT m_cs;
};

}  // namespace quorvel

// The listener thread's entry: the endpoint's watch, run by the engine.
unsigned long WINAPI CxSerial::ListenEventProc(void* pThread) {
    return quorvel::listener::Enter(pThread, &CxSerial::OnListenEvent, "serial port");
}

void CxSerial::OnListenEvent(CxThread* pThread) { quorvel::SerialWatch::Listen(*this, pThread); }

// ---- the C interface's requests ---------------------------------------------

namespace {

// The open port's extra state, made on first need, for a request on it; 0
// on a closed port (ERROR_INVALID_HANDLE) or when memory ran out.
template <class Request>
int OnExtra(SharedLink* const& member, HANDLE const& hCommMember, Request request) {
    quorvel::CallGuard call(member);
    HANDLE hComm = PortFor(call, hCommMember, member);
    if (!hComm) return 0;
    SerialExtra* extra = MakeExtra(call.Link());
    if (!extra) return quorvel::Fail(ERROR_NOT_ENOUGH_MEMORY);
    request(extra, hComm);
    return 1;
}

}  // namespace

int quorvel::SerialAccess::RepeatDataReady(CxSerial& port) {
    return OnExtra(port.m_pLink, port.m_hComm, [](SerialExtra* extra, HANDLE) {
        extra->bRepeatData = true;
    });
}

bool quorvel::SerialAccess::CallListener(CxSerial& port) {
    bool bAsked = false;
    OnExtra(port.m_pLink, port.m_hComm, [&port, &bAsked](SerialExtra*, HANDLE hComm) {
        // Asked before the wake, which the listener may be just past.
        bAsked = quorvel::ThreadAccess::RequestCall(port.m_ListenThread);
        if (bAsked) WakeListener(hComm);
    });
    return bAsked;
}
