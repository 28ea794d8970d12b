#include "quorvel/socket.h"

#include <type_traits>

#include "core/atomic.h"
#include "core/listener.h"
#include "core/shared_link.h"
#include "core/thread_record.h"
#include "core/trace.h"
#include "platform/os.h"
#include "socket/socket_util.h"

using quorvel::AtomicLoad;
using quorvel::AtomicStore;
using quorvel::SharedLink;
using quorvel::ThreadAccess;
using quorvel::ThreadRecord;
using quorvel::Trace;
using quorvel::socket_util::IsIn;
using quorvel::socket_util::SetOf;
using quorvel::socket_util::WsaErrorKeeper;
namespace os = quorvel::os;

// Hosts compile against this layout.
#if defined(_M_IX86) || defined(__i386__)
static_assert(sizeof(CxSocket) == 80, "CxSocket keeps its layout");
#elif defined(_M_X64) || defined(__x86_64__)
static_assert(sizeof(CxSocket) == 152, "CxSocket keeps its layout");
#endif

namespace {

// Closes a socket of the library's own (the listener's wake-up). A close
// that would block or is in progress leaves the socket open, so it is made
// again rather than leaked; any other failure means the socket is gone, and
// its value, which may already name another socket, is not touched again.
void CloseOwnSocket(SOCKET hSocket) {
    if (os::closesocket(hSocket) != SOCKET_ERROR) return;
    int nError = os::WSAGetLastError();
    if (nError == WSAEWOULDBLOCK || nError == WSAEINPROGRESS) os::closesocket(hSocket);
}

// The listener's wake-up: a UDP socket on the loopback interface, bound
// exclusively and connected to itself, so that it takes datagrams from its
// own address only. Its starter sends it a datagram to make the listener look
// at its exit request and at the socket it watches; what the datagram holds
// does not matter, and nothing another program sends reaches it.
SOCKET MakeWakeSocket() {
    SOCKET hWake = os::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (hWake == INVALID_SOCKET) return INVALID_SOCKET;
    BOOL bExclusive = TRUE;  // no other socket may share the port (where supported)
    os::setsockopt(hWake, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<char*>(&bExclusive),
                   sizeof bExclusive);
    SOCKADDR_IN addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = os::htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    int nLength = sizeof addr;
    u_long ulNonBlocking = 1;
    if (os::bind(hWake, reinterpret_cast<SOCKADDR*>(&addr), sizeof addr) == SOCKET_ERROR ||
        os::getsockname(hWake, reinterpret_cast<SOCKADDR*>(&addr), &nLength) == SOCKET_ERROR ||
        os::connect(hWake, reinterpret_cast<SOCKADDR*>(&addr), nLength) == SOCKET_ERROR ||
        os::ioctlsocket(hWake, FIONBIO, &ulNonBlocking) == SOCKET_ERROR) {
        WsaErrorKeeper keep;
        CloseOwnSocket(hWake);
        return INVALID_SOCKET;
    }
    return hWake;
}

void Wake(SOCKET hWake) {
    char cWake = 0;
    os::send(hWake, &cWake, 1, 0);
}

// Takes every datagram waiting on the wake socket. false once the wake
// socket is gone, which happens only when the listener is being stopped.
bool TakeWakes(SOCKET hWake) {
    char acWake[16];
    for (int n = 0; n < 64; ++n) {
        if (os::recv(hWake, acWake, sizeof acWake, 0) != SOCKET_ERROR) continue;
        return os::WSAGetLastError() != WSAENOTSOCK;
    }
    return true;
}

// Waits up to dwMilliseconds or until woken; false when the wake socket is
// gone. Never returns early on a failure, so a caller that pauses with it
// cannot spin.
bool Pause(SOCKET hWake, DWORD dwMilliseconds) {
    fd_set set = SetOf(hWake);
    timeval limit;
    limit.tv_sec = static_cast<long>(dwMilliseconds / 1000);
    limit.tv_usec = static_cast<long>((dwMilliseconds % 1000) * 1000);
    int nResult = os::select(0, &set, nullptr, nullptr, &limit);
    if (nResult > 0) return TakeWakes(hWake);
    if (nResult == SOCKET_ERROR) {
        if (os::WSAGetLastError() == WSAENOTSOCK) return false;
        os::Sleep(dwMilliseconds);
    }
    return true;
}

// Bytes waiting to be read; all bits set when the platform cannot tell.
u_long Unread(SOCKET hSocket) {
    u_long ulWaiting = 0;
    return os::ioctlsocket(hSocket, FIONREAD, &ulWaiting) == 0 ? ulWaiting : ~0UL;
}

unsigned int AsHandleArgument(SOCKET hSocket) { return static_cast<unsigned int>(hSocket); }

// The socket is closed or being closed: never use its handle value again.
bool Gone(const SharedLink* link) {
    return link->closing.load(std::memory_order_seq_cst) || !link->live.load();
}

}  // namespace

namespace quorvel {

SharedLink* SocketAccess::LinkOf(const CxSocket& socket) {
    SharedLink* link = AtomicLoad(socket.m_pLink);
    if (link) return link;
    SharedLink* created = SharedLink::Create(&socket);
    if (!created) return nullptr;
    SharedLink* expected = nullptr;
    if (quorvel::AtomicCompareExchange(socket.m_pLink, expected, created)) return created;
    SharedLink::Release(created);  // another thread made one first
    return expected;
}

SharedLink* SocketAccess::ExistingLink(const CxSocket& socket) {
    return AtomicLoad(socket.m_pLink);
}

bool SocketAccess::Holds(const CxSocket& socket, const SharedLink* link, SOCKET hSocket) {
    return AtomicLoad(socket.m_pLink) == link && AtomicLoad(socket.m_hSocket) == hSocket;
}

SocketCall::SocketCall(CxSocket& socket) : m_link(nullptr), m_hSocket(socket.GetSocket()) {
    if (m_hSocket == INVALID_SOCKET) {
        os::WSASetLastError(WSAENOTSOCK);
        return;
    }
    SharedLink* link = SocketAccess::LinkOf(socket);
    if (!link) {
        m_hSocket = INVALID_SOCKET;
        os::WSASetLastError(WSAENOBUFS);
        return;
    }
    // Counted before the close flag is looked at: a close that begins later
    // waits for this call; one that began earlier is seen here.
    link->busy.fetch_add(1, std::memory_order_seq_cst);
    m_link = link;
    if (Gone(link) || !SocketAccess::Holds(socket, link, m_hSocket)) {
        m_hSocket = INVALID_SOCKET;
        os::WSASetLastError(WSAENOTSOCK);
    }
}

SocketCall::~SocketCall() {
    if (m_link) m_link->busy.fetch_sub(1, std::memory_order_seq_cst);
}

bool SocketCall::Interrupted() const {
    if (!m_link || !m_link->closing.load(std::memory_order_seq_cst)) return false;
    os::WSASetLastError(WSAEINTR);
    return true;
}

void SocketCall::CountReceive() {
    if (m_link) m_link->receives.fetch_add(1, std::memory_order_release);
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
    SOCKET hSocket = AtomicLoad(other.m_hSocket);
    SharedLink* link = AtomicLoad(other.m_pLink);
    if (hSocket == INVALID_SOCKET || (link && Gone(link))) return;
    // The first copy makes the record that tells the copies who owns the
    // socket and whether it is still held.
    m_pLink = SharedLink::Share(quorvel::SocketAccess::LinkOf(other));
    if (m_pLink) AtomicStore(m_hSocket, hSocket);
}

bool CxSocket::OwnsSocket() const {
    SharedLink* link = AtomicLoad(m_pLink);
    return !link || link->owner == this;
}

void CxSocket::LetGo() {
    SharedLink* link = quorvel::AtomicExchange(m_pLink, static_cast<SharedLink*>(nullptr));
    if (link) {
        if (link->owner == this) link->live = false;
        SharedLink::Release(link);
    }
    AtomicStore(m_hSocket, static_cast<SOCKET>(INVALID_SOCKET));
}

void CxSocket::Attach(SOCKET s) {
    LetGo();
    AtomicStore(m_hSocket, s);
}

SOCKET CxSocket::Detach() {
    DisListenEvent();
    SOCKET hSocket = GetSocket();
    bool bOwner = OwnsSocket();
    LetGo();
    return bOwner ? hSocket : INVALID_SOCKET;
}

SOCKET CxSocket::GetSocket() {
    SharedLink* link = AtomicLoad(m_pLink);
    if (link && !link->live) LetGo();  // the original has let go of it
    return AtomicLoad(m_hSocket);
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
    SharedLink* link = quorvel::SocketAccess::LinkOf(*this);
    if (link) {
        link->closing.store(true, std::memory_order_seq_cst);
        while (link->busy.load(std::memory_order_seq_cst) != 0) {
            os::CancelIoEx(reinterpret_cast<HANDLE>(hSocket), nullptr);
            os::Sleep(1);
        }
    }
    // Cleared first, so the listener never reports a socket being closed.
    AtomicStore(m_hSocket, static_cast<SOCKET>(INVALID_SOCKET));
    if (os::closesocket(hSocket) == SOCKET_ERROR) {
        AtomicStore(m_hSocket, hSocket);
        if (link) link->closing = false;
        return 0;
    }
    LetGo();
    // Closing ends a select that waits on the socket, but not one that is
    // just about to begin: have a running listener look again.
    if (m_hWakeSocket != INVALID_SOCKET && m_ListenThread.GetSafeHandle()) {
        WsaErrorKeeper keep;
        Wake(m_hWakeSocket);
    }
    return 1;
}

int CxSocket::SelectEvent(long lEventMask) { return SelectOn(GetSocket(), lEventMask); }

int CxSocket::SelectOn(SOCKET hSocket, long lEventMask) {
    Target target = GetTarget();
    if (hSocket == INVALID_SOCKET || !target.hWnd || !target.uMsg) return 0;
    return os::WSAAsyncSelect(hSocket, target.hWnd, target.uMsg, lEventMask) == SOCKET_ERROR ? 0
                                                                                               : 1;
}

// ---- listener ---------------------------------------------------------------

int CxSocket::ListenEvent() {
    if (m_ListenThread.GetSafeHandle()) return 1;
    SharedLink* link = quorvel::SocketAccess::LinkOf(*this);
    if (!link) {
        os::WSASetLastError(WSAENOBUFS);
        return 0;
    }
    if (m_hWakeSocket == INVALID_SOCKET) {
        m_hWakeSocket = MakeWakeSocket();
        if (m_hWakeSocket == INVALID_SOCKET) return 0;
    }
    m_hListenSocket = GetSocket();
    static_assert(std::is_same<decltype(&CxSocket::ListenEventProc), CX_THREAD_ROUTINE>::value,
                  "the listener routine is a WINAPI thread routine");
    // The listener's own hold on the socket's record, which a close on the
    // host's side may let go of before the listener has even run.
    SharedLink* listenerLink = SharedLink::Share(link);
    if (!quorvel::listener::Start(m_ListenThread, &CxSocket::ListenEventProc, this,
                                  GetListenerStackSize(), listenerLink)) {
        WsaErrorKeeper keep;
        SharedLink::Release(listenerLink);
        CloseOwnSocket(m_hWakeSocket);
        m_hWakeSocket = INVALID_SOCKET;
        return 0;
    }
    return 1;
}

void CxSocket::DisListenEvent() {
    WsaErrorKeeper keep;  // stopping the listener never hides the caller's error
    bool bStarter = m_hWakeSocket != INVALID_SOCKET;
    if (bStarter && m_ListenThread.GetSafeHandle()) {
        // The request first, so that the listener finds it when it wakes.
        ThreadAccess::RequestExit(m_ListenThread);
        Wake(m_hWakeSocket);
    }
    m_ListenThread.CloseThread(INFINITE);
    if (bStarter) {
        CloseOwnSocket(m_hWakeSocket);
        m_hWakeSocket = INVALID_SOCKET;
    }
}

int CxSocket::IsListenningEvent() { return m_ListenThread.IsThreadRunning(); }

int CxSocket::StartEvents(int bListen) {
    if (bListen && !ListenEvent()) return 0;
    SelectEvent(bListen ? CX_SOCKET_EVENTS_WITH_LISTENER : CX_SOCKET_EVENTS_NO_LISTENER);
    return 1;
}

void CxSocket::DropFailedSocket(SOCKET hSocket) {
    WsaErrorKeeper keep;
    AtomicStore(m_hSocket, static_cast<SOCKET>(INVALID_SOCKET));
    os::closesocket(hSocket);
    Attach(INVALID_SOCKET);  // also tells any copies the socket is gone
}

unsigned long WINAPI CxSocket::ListenEventProc(void* pThread) {
    CxThread* pListenThread = static_cast<CxThread*>(pThread);
    CxSocket* pSocket = static_cast<CxSocket*>(pListenThread->GetParamPtr());
    if (pSocket) pSocket->OnListenEvent(pListenThread);
    return 0;
}

// The listener reads this object only while no host callback has closed or
// destroyed it: after each callback it looks at its thread's exit request
// first, and from then on it uses only what it took at its start (the
// watched socket, the wake-up, the socket's shared record), each of which
// stays valid for as long as it may be used.
void CxSocket::OnListenEvent(CxThread* pThread) {
    DWORD dwThreadId = os::GetCurrentThreadId();
    Trace(L"The thread 0x%X(CxSocket::OnListen) has entered.\n", dwThreadId);
    ThreadRecord* record = ThreadAccess::RecordOf(pThread);
    // Fixed for the life of this thread by its starter: the socket it watches
    // (which may be closed before this thread even runs), the wake-up, and
    // the socket's record, which tells whether the socket is being closed and
    // counts the receives made through it.
    const SOCKET hWatched = m_hListenSocket;
    const SOCKET hWake = m_hWakeSocket;
    SharedLink* link = static_cast<SharedLink*>(ThreadAccess::ContextOf(record));  // ours to release
    SelectOn(hWatched, FD_CLOSE);  // reads are the listener's from now on
    pThread->SetThreadStartedEvent();

    DWORD dwPause = 0;
    bool bRaised = false;
    bool bLeftKnown = false;  // whether ulLeft holds the count after the last report
    u_long ulLeft = 0;
    LONG lReceivesAtReport = 0;
    bool bWakeAlive = true;
    while (bWakeAlive && !ThreadAccess::ExitRequested(record)) {
        if (bRaised && !Gone(link)) {
            // Data the callback left unread makes the socket readable again at
            // once. The next report waits a little only when the callback took
            // nothing and the count waiting is the same as after the report
            // before (nothing read, nothing new; a closed connection
            // included): a callback that never reads must not spin the CPU.
            // A callback that reads, even exactly what there was, and data
            // that keeps coming are reported again at once.
            bRaised = false;
            if (link->receives.load(std::memory_order_acquire) != lReceivesAtReport) {
                bLeftKnown = false;  // it read: straight back to the wait, which sees more at once
            } else {
                fd_set set = SetOf(hWatched, hWake);
                timeval now = {0, 0};
                int nReady = os::select(0, &set, nullptr, nullptr, &now);
                if (nReady > 0 && IsIn(hWake, set)) {
                    bWakeAlive = TakeWakes(hWake);
                    continue;
                }
                if (nReady > 0) {
                    u_long ulNow = Unread(hWatched);
                    bool bStuck = bLeftKnown && ulNow == ulLeft;
                    bLeftKnown = true;
                    ulLeft = ulNow;
                    if (bStuck) {
                        bWakeAlive = Pause(hWake, CX_SOCKET_UNREAD_PAUSE_MS);
                        continue;
                    }
                } else {
                    bLeftKnown = false;
                }
            }
        }
        bRaised = false;

        fd_set set = SetOf(hWatched, hWake);
        int nResult = SOCKET_ERROR;
        int nError = WSAENOTSOCK;
        // A socket closed under the listener may already name a new socket:
        // never wait on it again.
        if (hWatched != INVALID_SOCKET && !Gone(link)) {
            nResult = os::select(0, &set, nullptr, nullptr, nullptr);
            if (nResult <= 0) nError = Gone(link) ? WSAENOTSOCK : os::WSAGetLastError();
        }
        if (nResult > 0) {
            dwPause = 0;
            if (IsIn(hWake, set)) {
                bWakeAlive = TakeWakes(hWake);
                continue;
            }
            if (!Gone(link) && IsIn(hWatched, set)) {
                Target target = GetTarget();
                lReceivesAtReport = link->receives.load(std::memory_order_acquire);
                if (target.pfnProc) {
                    target.pfnProc(target.pParam, AsHandleArgument(hWatched), CX_EVENT_DATA_READY);
                }
                bRaised = true;
            } else {
                Trace(L"socket inputbuffer has no data.\n");
            }
            continue;
        }
        Trace(L"socket select failed. err code = %d.\n", nError);
        if (nError == WSAENOTSOCK) break;
        // A lasting failure: wait longer each time, and leave when woken.
        dwPause = quorvel::listener::NextPause(dwPause);
        bWakeAlive = Pause(hWake, dwPause);
    }
    SharedLink::Release(link);
    Trace(L"The thread 0x%X(CxSocket::OnListen) has exited.\n", dwThreadId);
}
