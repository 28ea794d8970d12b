#include "quorvel/socket.h"

#include <type_traits>

#include "core/atomic.h"
#include "core/lifecycle_check.h"
#include "core/listener.h"
#include "core/owner.h"
#include "core/shared_link.h"
#include "core/thread_record.h"
#include "core/trace.h"
#include "core/error.h"
#include "platform/os.h"
#include "socket/socket_util.h"

using quorvel::AtomicLoad;
using quorvel::AtomicStore;
using quorvel::SharedLink;
using quorvel::ThreadAccess;
using quorvel::Trace;
using quorvel::socket_util::IsIn;
using quorvel::socket_util::SetOf;
namespace os = quorvel::os;

// Hosts compile against this layout.
namespace {

// Bytes waiting to be read; all bits set when the platform cannot tell.
u_long Unread(SOCKET hSocket) {
    u_long ulWaiting = 0;
    return os::ioctlsocket(hSocket, FIONREAD, &ulWaiting) == 0 ? ulWaiting : ~0UL;
}

// The socket is closed or being closed: never use its handle value again.
using SocketHandle = quorvel::SharedHandle<quorvel::SocketTraits>;

// Takes a socket just acquired (or handed over) into the object, with a
// record that carries its extra; when either cannot be made the socket is
// closed and the result is false (ERROR_NOT_ENOUGH_MEMORY).
bool AdoptSocket(SOCKET& member, SharedLink*& link, const CxSocket* self, SOCKET hSocket) {
    SocketHandle socket(member, link, self);
    if (!socket.Adopt(hSocket)) return false;
    if (quorvel::MakeExtra<quorvel::SocketExtra>(link)) return true;
    socket.Release();
    return quorvel::Fail(ERROR_NOT_ENOUGH_MEMORY);
}

bool Gone(const SharedLink* link) {
    return link->closing.load(std::memory_order_seq_cst) || !link->live.load();
}

// Ends the requests of the calls under way on a socket being closed.
auto CancelsOn(SOCKET hSocket) {
    return [hSocket] { os::CancelIoEx(reinterpret_cast<HANDLE>(hSocket), nullptr); };
}

// How a stop wakes the listener: through its wake-up (none for a copy),
// and out of a pause for a read.
auto WakesListener(SOCKET hWake, quorvel::SocketExtra* extra) {
    return [hWake, extra] {
        if (hWake == INVALID_SOCKET) return;
        quorvel::listener::TriggerSocketWake(hWake);
        if (extra) extra->EndPause();
    };
}

}  // namespace

namespace quorvel {

SharedLink* SocketAccess::LinkOf(const CxSocket& socket) { return AtomicLoad(socket.m_pLink); }

SharedLink* const& SocketAccess::Record(const CxSocket& socket) { return socket.m_pLink; }

SOCKET SocketAccess::SocketUnder(const CxSocket& socket, const SharedLink* link) {
    return link && AtomicLoad(socket.m_pLink) == link ? AtomicLoad(socket.m_hSocket) : INVALID_SOCKET;
}

// Counted first: the socket the object holds under the record the call
// counts itself in cannot be closed before the call has left.
SocketCall::SocketCall(CxSocket& socket)
    : m_guard(SocketAccess::Record(socket)), m_hSocket(INVALID_SOCKET) {
    // No socket, a close under way, or the socket let go of meanwhile: the
    // call must not reach the handle value at all.
    if (!m_guard.Refused()) m_hSocket = SocketAccess::SocketUnder(socket, m_guard.Link());
    if (m_hSocket == INVALID_SOCKET) os::WSASetLastError(WSAENOTSOCK);
}

LONG SocketAccess::Receives(const SharedLink* link) {
    const SocketExtra* extra = ExtraOf<SocketExtra>(link);
    return extra ? extra->receives.load(std::memory_order_seq_cst) : 0;
}

int SocketAccess::SetNonBlocking(CxSocket& socket) {
    SocketCall call(socket);
    if (!RequireSocket(call.Socket() != INVALID_SOCKET)) return 0;
    u_long ulNonBlocking = 1;
    if (os::ioctlsocket(call.Socket(), FIONBIO, &ulNonBlocking) == SOCKET_ERROR) {
        return FailedCall("ioctlsocket");
    }
    SocketExtra* extra = ExtraOf<SocketExtra>(call.Link());
    if (extra) extra->nonBlocking.store(true, std::memory_order_release);
    return 1;
}

bool SocketAccess::CallListener(CxSocket& socket) {
    // A call on the socket: a close on another thread waits for it before the
    // wake-up socket goes, and one under way refuses it.
    SocketCall call(socket);
    if (call.Socket() == INVALID_SOCKET || socket.m_hWakeSocket == INVALID_SOCKET ||
        !ThreadAccess::RequestCall(socket.m_ListenThread)) {
        return false;
    }
    listener::TriggerSocketWake(socket.m_hWakeSocket);  // after the request: it looks then
    return true;
}

void SocketCall::CountReceive() {
    if (SocketExtra* extra = ExtraOf<SocketExtra>(m_guard.Link())) {
        extra->receives.fetch_add(1, std::memory_order_seq_cst);
        extra->EndPause();
    }
}

}  // namespace quorvel

CxSocket::CxSocket()
    : m_hSocket(INVALID_SOCKET),
      m_hWakeSocket(INVALID_SOCKET),
      m_hListenSocket(INVALID_SOCKET),
      m_pLink(nullptr) {}

CxSocket::CxSocket(const CxSocket& other)
    : CxComm(other),
      m_hSocket(INVALID_SOCKET),
      m_ListenThread(other.m_ListenThread),
      m_hWakeSocket(INVALID_SOCKET),  // the wake-up stays with the listener's starter
      m_hListenSocket(INVALID_SOCKET),
      m_pLink(nullptr) {
    ShareFrom(other);
}

CxSocket& CxSocket::operator=(const CxSocket& other) {
    if (this != &other) {
        DisListenEvent();
        LetGo();
        CxComm::operator=(other);
        m_ListenThread = other.m_ListenThread;
        ShareFrom(other);
    }
    return *this;
}

CxSocket::~CxSocket() {
    DisListenEvent();
    LetGo();
}

void CxSocket::ShareFrom(const CxSocket& other) {
    SocketHandle(m_hSocket, m_pLink, this).ShareFrom(other.m_hSocket, other.m_pLink);
}

bool CxSocket::OwnsSocket() const {
    quorvel::LinkGate gate(&m_pLink);
    return SocketHandle::IsOwner(AtomicLoad(m_pLink), this);
}

void CxSocket::LetGo() { SocketHandle(m_hSocket, m_pLink, this).Forget(); }

// A socket handed over becomes this object's to close; if the record that
// says so cannot be made, it is closed at once (ERROR_NOT_ENOUGH_MEMORY)
// rather than held without an owner.
void CxSocket::Attach(SOCKET s) {
    LetGo();
    // Attach has no result: a socket that cannot be adopted is closed, and
    // the object holds none.
    if (s != INVALID_SOCKET) static_cast<void>(AdoptSocket(m_hSocket, m_pLink, this, s));
}

SOCKET CxSocket::Detach() {
    DisListenEvent();
    SOCKET hSocket = GetSocket();
    bool bOwner = OwnsSocket();
    LetGo();
    return bOwner ? hSocket : INVALID_SOCKET;
}

SOCKET CxSocket::GetSocket() {
    SocketHandle socket(m_hSocket, m_pLink, this);
    socket.Refresh();  // the original has let go of it
    return socket.Get();
}

void* CxSocket::GetSafeHandle() {
    SOCKET hSocket = GetSocket();
    return hSocket == INVALID_SOCKET ? nullptr : reinterpret_cast<void*>(hSocket);
}

int CxSocket::IsListening() { return IsListenningEvent(); }

int CxSocket::CloseSocket() {
    SOCKET hSocket = GetSocket();
    if (hSocket == INVALID_SOCKET) return 1;
    if (!OwnsSocket()) {  // a copy: only its view goes
        LetGo();
        return 1;
    }
    // Calls in progress on other threads (a Recv that waits, say) end first:
    // their requests are cancelled, again should one start another before it
    // sees the close, and the handle is closed only once none is left, so
    // that none acts on a handle value the platform has given out anew.
    SharedLink* link = AtomicLoad(m_pLink);
    quorvel::EndCalls(link, CancelsOn(hSocket));
    QV_CHECK_CLOSE_CALLS(link, "socket");
    if (!SocketHandle(m_hSocket, m_pLink, this).Close(/*bKeepIfRefused=*/true)) {
        link->closing = false;
        return 0;
    }
    // Closing ends a select that waits on the socket, but not one that is
    // just about to begin: have a running listener look again.
    if (m_hWakeSocket != INVALID_SOCKET && m_ListenThread.GetSafeHandle()) {
        quorvel::listener::TriggerSocketWake(m_hWakeSocket);
    }
    return 1;
}

int CxSocket::GetName(int bPeer, SOCKADDR* pAddress, int* pnLength) {
    quorvel::SocketCall call(*this);
    if (!quorvel::RequireSocket(call.Socket() != INVALID_SOCKET)) return 0;
    if (!pAddress || !pnLength) return quorvel::FailSocket(WSAEFAULT);
    auto pfnName = bPeer ? os::getpeername : os::getsockname;
    if (pfnName(call.Socket(), pAddress, pnLength) != SOCKET_ERROR) return 1;
    return quorvel::FailedCall(bPeer ? "getpeername" : "getsockname");
}

int CxSocket::SelectEvent(long lEventMask) {
    quorvel::SocketCall call(*this);
    return SelectOn(call.Socket(), lEventMask);
}

int CxSocket::SelectOn(SOCKET hSocket, long lEventMask) {
    if (!quorvel::RequireSocket(hSocket != INVALID_SOCKET)) return 0;
    Target target = GetTarget();
    if (!target.hWnd || !target.uMsg) return quorvel::FailSocket(WSAEINVAL);
    return os::WSAAsyncSelect(hSocket, target.hWnd, target.uMsg, lEventMask) == SOCKET_ERROR
               ? quorvel::FailedCall("WSAAsyncSelect")
               : 1;
}

// The events are selected here, where the socket is surely this object's,
// before the listener starts: its first step may come long after, when the
// socket may have been closed and its value given to another.
int CxSocket::StartEvents(int bListen) {
    SelectEvent(bListen ? CX_SOCKET_EVENTS_WITH_LISTENER : CX_SOCKET_EVENTS_NO_LISTENER);
    return !bListen || ListenEvent() ? 1 : 0;
}

SOCKET CxSocket::SocketOrNew(int nFamily, int nType, int nProtocol) {
    SOCKET hSocket = GetSocket();
    if (hSocket != INVALID_SOCKET) return hSocket;
    hSocket = os::socket(nFamily, nType, nProtocol);
    if (hSocket == INVALID_SOCKET) {
        quorvel::FailedCall("socket");
        return INVALID_SOCKET;
    }
    return AdoptSocket(m_hSocket, m_pLink, this, hSocket) ? hSocket : INVALID_SOCKET;
}

void CxSocket::DropFailedSocket(SOCKET) {
    SocketHandle(m_hSocket, m_pLink, this).Release();  // also tells any copies it is gone
}

// ---- listener ---------------------------------------------------------------
//
// The path of an event: ListenEvent starts the listener thread, which runs a
// SocketWatch (Listen); each of the watch's steps (WaitOnce) waits on the
// socket, and readable is raised (Raise) to the host's callback. The engine
// (core/listener.h) runs the steps, pauses after failures and stops the
// thread.

int CxSocket::ListenEvent() {
    // A listener still held has ended, or watches a socket this object has
    // let go of: it goes first, so that success means a listener that runs
    // for this socket.
    if (m_ListenThread.GetSafeHandle()) DisListenEvent();
    SharedLink* link = quorvel::SocketAccess::LinkOf(*this);
    if (!quorvel::RequireSocket(link != nullptr)) return 0;
    if (m_hWakeSocket == INVALID_SOCKET) {
        m_hWakeSocket = quorvel::listener::MakeSocketWake();
        if (m_hWakeSocket == INVALID_SOCKET) return quorvel::FailedCall("MakeSocketWake");
    }
    m_hListenSocket = GetSocket();
    static_assert(std::is_same<decltype(&CxSocket::ListenEventProc), CX_THREAD_ROUTINE>::value,
                  "the listener routine is a WINAPI thread routine");
    // The listener's own hold on the socket's record, which a close on the
    // host's side may let go of before the listener has even run.
    SharedLink* listenerLink = SharedLink::Share(link);
    if (!quorvel::listener::Start(m_ListenThread, &CxSocket::ListenEventProc, this,
                                  GetListenerStackSize(), listenerLink)) {
        SharedLink::Release(listenerLink);
        quorvel::ReleaseMember<quorvel::listener::WakeSocketTraits>(m_hWakeSocket);
        return 0;
    }
    return 1;
}

void CxSocket::DisListenEvent() {
    quorvel::ErrorKeeper keep;  // stopping the listener never hides the caller's error
    if (quorvel::SocketAccess::LetGoListener(*this)) return;
    bool bStarter = m_hWakeSocket != INVALID_SOCKET;
    quorvel::listener::Stop(m_ListenThread,
                            WakesListener(m_hWakeSocket, quorvel::ExtraOf<quorvel::SocketExtra>(
                                                             quorvel::SocketAccess::LinkOf(*this))));
    if (bStarter) quorvel::ReleaseMember<quorvel::listener::WakeSocketTraits>(m_hWakeSocket);
}

namespace quorvel {

void SocketAccess::BeginClose(CxSocket& socket) {
    SOCKET hSocket = socket.GetSocket();
    SharedLink* link = AtomicLoad(socket.m_pLink);
    if (hSocket == INVALID_SOCKET || !link || !socket.OwnsSocket()) return;
    AskCallsToLeave(link, CancelsOn(hSocket));
}

// A listener let go of while it waits closes the wake-up socket itself,
// after its endpoint's call has returned: it holds Windows Sockets up until
// then, so that a host's last WSACleanup right after the close cannot take
// the socket from under it (and give its value to another).
bool SocketAccess::LetGoListener(CxSocket& socket) {
    SOCKET hWake = socket.m_hWakeSocket;
    WSADATA wsaData;
    if (hWake == INVALID_SOCKET || !socket.m_ListenThread.GetSafeHandle() ||
        os::WSAStartup(MAKEWORD(2, 2), &wsaData) != 0) {
        return false;
    }
    bool bHandedOver = false;
    bool bLetGo = listener::LetGo(socket.m_ListenThread,
                                  WakesListener(hWake, ExtraOf<SocketExtra>(LinkOf(socket))),
                                  &bHandedOver);
    if (bHandedOver) {
        socket.m_hWakeSocket = INVALID_SOCKET;  // the listener's now
        return true;
    }
    os::WSACleanup();
    if (bLetGo) ReleaseMember<listener::WakeSocketTraits>(socket.m_hWakeSocket);
    return bLetGo;
}

}  // namespace quorvel

int CxSocket::IsListenningEvent() { return m_ListenThread.IsThreadRunning(); }

namespace quorvel {

// What the socket listener waits on (its socket and its wake-up) and what an
// event means (data ready, or a connection waiting, to the callback). The
// watch reads its endpoint only to call the host back; otherwise it uses
// what it took at its start (the watched socket, the wake-up and its own
// hold on the socket's record, which tells whether the socket is being
// closed and counts the receives made through it), each of which stays
// valid for as long as it may be used.
class SocketWatch {
public:
    // The listener thread's body, from its start to its end.
    static void Listen(SOCKET hWatched, SOCKET hWake, CxSocket& socket, CxThread* pThread) {
        DWORD dwThreadId = os::GetCurrentThreadId();
        Trace(L"The thread 0x%X(CxSocket::OnListen) has entered.\n", dwThreadId);
        SharedLink* record = ThreadAccess::RecordOf(pThread);  // outlives the endpoint
        SocketWatch watch(socket, hWatched, hWake, record, listener::HoldOf(record));
        pThread->SetThreadStartedEvent();
        bool bLetGo = listener::Run(pThread, watch, /*bParks=*/true);
        listener::DropHold(record);
        if (bLetGo) {  // the wake-up is ours, and the hold on Windows Sockets taken with it
            listener::WakeSocketTraits::Release(hWake);
            os::WSACleanup();
        }
        Trace(L"The thread 0x%X(CxSocket::OnListen) has exited.\n", dwThreadId);
    }

    // One wait for the socket or the wake-up, and the event it means; or a
    // call the C interface asked for on this thread.
    listener::Step WaitOnce() {
        if (ThreadAccess::TakeCallRequest(m_record)) {
            return Raise(listener::kEventListenerCall) ? listener::Step::kEvent
                                                       : listener::Step::kStop;
        }
        if (m_bRaised && !Gone(m_link)) {
            m_bRaised = false;
            if (Stuck()) {
                return PauseForRead(CX_SOCKET_UNREAD_PAUSE_MS) ? listener::Step::kQuiet
                                                               : listener::Step::kStop;
            }
        }
        m_bRaised = false;
        fd_set set = SetOf(m_hWatched, m_hWake);
        int nResult = SOCKET_ERROR;
        int nError = WSAENOTSOCK;
        // A socket closed under the listener may already name a new
        // socket: never wait on it again.
        if (m_hWatched != INVALID_SOCKET && !Gone(m_link)) {
            nResult = os::select(0, &set, nullptr, nullptr, nullptr);
            if (nResult <= 0) nError = Gone(m_link) ? WSAENOTSOCK : os::WSAGetLastError();
        }
        if (nResult > 0) {
            if (ThreadAccess::ExitRequested(m_record)) return listener::Step::kStop;  // a close woke it
            if (IsIn(m_hWake, set)) {
                return listener::DrainSocketWake(m_hWake) ? listener::Step::kQuiet
                                                          : listener::Step::kStop;
            }
            if (Gone(m_link) || !IsIn(m_hWatched, set)) {
                Trace(L"socket inputbuffer has no data.\n");
                return listener::Step::kQuiet;
            }
            m_lReceivesAtReport = SocketAccess::Receives(m_link);
            m_bRaised = true;
            return Raise(m_lEvent) ? listener::Step::kEvent : listener::Step::kStop;
        }
        Trace(L"socket select failed. err code = %d.\n", nError);
        return nError == WSAENOTSOCK ? listener::Step::kStop : listener::Step::kFailed;
    }

    bool Pause(DWORD dwMilliseconds) {
        return listener::PauseOnSocketWake(m_hWake, dwMilliseconds);
    }

    // The pause for a host that has not read: it ends early when the host
    // reads (a host whose events are queued or posted reads after the
    // report, not in it) or when the listener is stopped; a stop's wake-up
    // is then taken by the next wait.
    bool PauseForRead(DWORD dwMilliseconds) {
        SocketExtra* extra = ExtraOf<SocketExtra>(m_link);
        HANDLE hRead = extra ? extra->ReadWake() : nullptr;
        if (!hRead) return Pause(dwMilliseconds);
        extra->pausing.store(true, std::memory_order_seq_cst);
        // A read that came before the flag was up is seen here instead.
        if (SocketAccess::Receives(m_link) == m_lReceivesAtReport) {
            os::WaitForSingleObject(hRead, dwMilliseconds);
        }
        extra->pausing.store(false, std::memory_order_seq_cst);
        return true;
    }

private:
    SocketWatch(CxSocket& socket, SOCKET hWatched, SOCKET hWake, const SharedLink* record,
                SharedLink* link)
        : m_socket(socket), m_hWatched(hWatched), m_hWake(hWake), m_record(record), m_link(link) {
        // A listening socket is readable when a connection waits (asked
        // only while the socket is still the one the listener was started
        // for).
        BOOL bAccepting = FALSE;
        int nSize = sizeof bAccepting;
        if (!Gone(m_link) &&
            os::getsockopt(m_hWatched, SOL_SOCKET, SO_ACCEPTCONN,
                           reinterpret_cast<char*>(&bAccepting), &nSize) == 0 &&
            bAccepting) {
            m_lEvent = CX_EVENT_CONNECTION_WAITING;
        }
    }

    // Data the callback left unread makes the socket readable again at
    // once. The next report waits a little only when the callback took
    // nothing and the count waiting is the same as after the report
    // before (nothing read, nothing new; a closed connection included):
    // a callback that never reads must not spin the CPU. A callback that
    // reads, even exactly what there was, and data that keeps coming are
    // reported again at once.
    bool Stuck() {
        if (SocketAccess::Receives(m_link) != m_lReceivesAtReport) {
            m_bLeftKnown = false;  // it read: straight back to the wait
            return false;
        }
        fd_set set = SetOf(m_hWatched, m_hWake);
        timeval now = {0, 0};
        int nReady = os::select(0, &set, nullptr, nullptr, &now);
        if (nReady <= 0 || IsIn(m_hWake, set)) {
            m_bLeftKnown = false;  // nothing waits, or a wake the next wait takes
            return false;
        }
        u_long ulNow = Unread(m_hWatched);
        bool bStuck = m_bLeftKnown && ulNow == m_ulLeft;
        m_bLeftKnown = true;
        m_ulLeft = ulNow;
        return bStuck;
    }

    // An event to the host's callback, on this thread: the only step that
    // touches the endpoint. false when the endpoint has let go of this
    // listener meanwhile (and may be gone).
    bool Raise(long lEvent) {
        if (!ThreadAccess::Unpark(m_record)) return false;
        auto target = m_socket.GetTarget();
        listener::Deliver(target.pfnProc, target.pParam, nullptr, 0, m_hWatched, lEvent);
        ThreadAccess::Park(m_record);  // the record only: the callback may have deleted the endpoint
        return true;
    }

    CxSocket& m_socket;
    const SOCKET m_hWatched;  // fixed by the starter; may be closed before this thread runs
    const SOCKET m_hWake;
    const SharedLink* const m_record;  // its thread's record (outlives the endpoint)
    SharedLink* const m_link;  // the listener's own hold (listener::HoldOf)
    long m_lEvent = CX_EVENT_DATA_READY;  // what readable means for this socket
    bool m_bRaised = false;
    bool m_bLeftKnown = false;  // whether m_ulLeft holds the count after the last report
    u_long m_ulLeft = 0;
    LONG m_lReceivesAtReport = 0;
};

}  // namespace quorvel

// The listener thread's entry: the endpoint's watch, run by the engine.
unsigned long WINAPI CxSocket::ListenEventProc(void* pThread) {
    return quorvel::listener::Enter(pThread, &CxSocket::OnListenEvent, "socket");
}

void CxSocket::OnListenEvent(CxThread* pThread) {
    quorvel::SocketWatch::Listen(m_hListenSocket, m_hWakeSocket, *this, pThread);
}
