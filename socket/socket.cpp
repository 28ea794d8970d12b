#include "quorvel/socket.h"

#include "core/shared_link.h"
#include "core/trace.h"
#include "platform/os.h"
#include "socket/socket_util.h"

using quorvel::SharedLink;
using quorvel::Trace;
using quorvel::socket_util::IsIn;
using quorvel::socket_util::SetOf;
using quorvel::socket_util::WsaErrorKeeper;
namespace os = quorvel::os;

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

constexpr DWORD kFirstFailurePause = 10;  // ms, after select first fails
constexpr DWORD kLongestFailurePause = 1000;

// The listener's wake-up: a UDP socket on the loopback interface that its
// starter sends one-byte datagrams to, kStop to end the listener and
// kRecheck when the socket was closed under it.
constexpr char kStop = 'S';
constexpr char kRecheck = 'R';

SOCKET MakeWakeSocket() {
    SOCKET hWake = os::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (hWake == INVALID_SOCKET) return INVALID_SOCKET;
    SOCKADDR_IN addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = os::htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (os::bind(hWake, reinterpret_cast<SOCKADDR*>(&addr), sizeof addr) == SOCKET_ERROR) {
        WsaErrorKeeper keep;
        os::closesocket(hWake);
        return INVALID_SOCKET;
    }
    return hWake;
}

enum class Wake { kNone, kStop, kRecheck };

// Takes one datagram from a readable wake socket. A wake socket that is gone
// or failing means stop.
Wake TakeWake(SOCKET hWake) {
    char cWake = 0;
    return os::recv(hWake, &cWake, 1, 0) == 1 && cWake == kRecheck ? Wake::kRecheck : Wake::kStop;
}

// Waits up to dwMilliseconds for a wake-up and takes it. Never returns early
// on a failure, so a caller that pauses with it cannot spin.
Wake Pause(SOCKET hWake, DWORD dwMilliseconds) {
    fd_set set = SetOf(hWake);
    timeval limit;
    limit.tv_sec = static_cast<long>(dwMilliseconds / 1000);
    limit.tv_usec = static_cast<long>((dwMilliseconds % 1000) * 1000);
    int nResult = os::select(0, &set, nullptr, nullptr, &limit);
    if (nResult > 0) return TakeWake(hWake);
    if (nResult == SOCKET_ERROR) {
        if (os::WSAGetLastError() == WSAENOTSOCK) return Wake::kStop;
        os::Sleep(dwMilliseconds);
    }
    return Wake::kNone;
}

// Bytes waiting to be read; all bits set when the platform cannot tell.
u_long Unread(SOCKET hSocket) {
    u_long ulWaiting = 0;
    return os::ioctlsocket(hSocket, FIONREAD, &ulWaiting) == 0 ? ulWaiting : ~0UL;
}

unsigned int AsHandleArgument(SOCKET hSocket) { return static_cast<unsigned int>(hSocket); }

}  // namespace

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
    SOCKET hSocket = other.m_hSocket;
    if (hSocket == INVALID_SOCKET || (other.m_pLink && !other.m_pLink->live)) return;
    // The first copy makes the record that tells the copies who owns the
    // socket and whether it is still held.
    if (!other.m_pLink) other.m_pLink = SharedLink::Create(&other);
    m_pLink = SharedLink::Share(other.m_pLink);
    if (m_pLink) m_hSocket = hSocket;
}

bool CxSocket::OwnsSocket() const { return !m_pLink || m_pLink->owner == this; }

void CxSocket::LetGo() {
    if (m_pLink) {
        if (m_pLink->owner == this) m_pLink->live = false;
        SharedLink::Release(m_pLink);
    }
    m_hSocket = INVALID_SOCKET;
}

void CxSocket::Attach(SOCKET s) {
    LetGo();
    m_hSocket = s;
}

SOCKET CxSocket::Detach() {
    DisListenEvent();
    SOCKET hSocket = GetSocket();
    bool bOwner = OwnsSocket();
    LetGo();
    return bOwner ? hSocket : INVALID_SOCKET;
}

SOCKET CxSocket::GetSocket() {
    if (m_pLink && !m_pLink->live) LetGo();  // the original has let go of it
    return m_hSocket;
}

void* CxSocket::GetSafeHandle() {
    SOCKET hSocket = GetSocket();
    return hSocket == INVALID_SOCKET ? nullptr : reinterpret_cast<void*>(hSocket);
}

int CxSocket::CloseSocket() {
    SOCKET hSocket = GetSocket();
    if (hSocket == INVALID_SOCKET) return 1;
    if (!OwnsSocket()) {  // a copy: only its view goes
        LetGo();
        return 1;
    }
    // Cleared first, so the listener never reports a socket being closed.
    m_hSocket = INVALID_SOCKET;
    if (os::closesocket(hSocket) == SOCKET_ERROR) {
        m_hSocket = hSocket;
        return 0;
    }
    LetGo();
    // Closing ends a select that waits on the socket, but not one that is
    // just about to begin: have a running listener look again.
    if (m_hWakeSocket != INVALID_SOCKET && m_ListenThread.GetSafeHandle()) {
        WsaErrorKeeper keep;
        WakeListener(kRecheck);
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
    if (m_hWakeSocket == INVALID_SOCKET) {
        m_hWakeSocket = MakeWakeSocket();
        if (m_hWakeSocket == INVALID_SOCKET) return 0;
    }
    m_hListenSocket = m_hSocket;
    if (!m_ListenThread.CreateThread(nullptr, 0, &CxSocket::ListenEventProc, this, 0, 0)) {
        WsaErrorKeeper keep;
        CloseOwnSocket(m_hWakeSocket);
        m_hWakeSocket = INVALID_SOCKET;
        return 0;
    }
    return 1;
}

void CxSocket::WakeListener(char cWhy) {
    SOCKADDR_IN addr = {};
    int nLength = sizeof addr;
    if (os::getsockname(m_hWakeSocket, reinterpret_cast<SOCKADDR*>(&addr), &nLength) == 0) {
        os::sendto(m_hWakeSocket, &cWhy, 1, 0, reinterpret_cast<SOCKADDR*>(&addr), nLength);
    }
}

void CxSocket::DisListenEvent() {
    WsaErrorKeeper keep;  // stopping the listener never hides the caller's error
    bool bStarter = m_hWakeSocket != INVALID_SOCKET;
    if (bStarter && m_ListenThread.GetSafeHandle()) WakeListener(kStop);
    m_ListenThread.CloseThread(INFINITE);
    if (bStarter) {
        CloseOwnSocket(m_hWakeSocket);
        m_hWakeSocket = INVALID_SOCKET;
    }
}

int CxSocket::IsListenningEvent() { return m_ListenThread.IsThreadRunning(); }

void CxSocket::StartEvents(int bListen) {
    long lMask = CX_SOCKET_EVENTS_NO_LISTENER;
    if (bListen) {
        ListenEvent();
        lMask = CX_SOCKET_EVENTS_WITH_LISTENER;
    }
    SelectEvent(lMask);
}

void CxSocket::DropFailedSocket(SOCKET hSocket) {
    WsaErrorKeeper keep;
    m_hSocket = INVALID_SOCKET;
    os::closesocket(hSocket);
    Attach(INVALID_SOCKET);  // also tells any copies the socket is gone
}

unsigned long WINAPI CxSocket::ListenEventProc(void* pThread) {
    CxThread* pListenThread = static_cast<CxThread*>(pThread);
    CxSocket* pSocket = static_cast<CxSocket*>(pListenThread->GetParamPtr());
    if (pSocket) pSocket->OnListenEvent(pListenThread);
    return 0;
}

void CxSocket::OnListenEvent(CxThread* pThread) {
    DWORD dwThreadId = os::GetCurrentThreadId();
    Trace(L"The thread 0x%X(CxSocket::OnListen) has entered.\n", dwThreadId);
    // Both are fixed for the life of this thread by its starter: the socket
    // it watches (the socket may be closed before this thread even runs) and
    // the wake-up.
    const SOCKET hWatched = m_hListenSocket;
    const SOCKET hWake = m_hWakeSocket;
    SelectOn(hWatched, FD_CLOSE);  // reads are the listener's from now on
    pThread->SetThreadStartedEvent();

    DWORD dwPause = 0;
    bool bRaised = false;
    bool bLeftKnown = false;  // whether ulLeft holds the count after the last report
    u_long ulLeft = 0;
    Wake wake = Wake::kNone;
    while (wake != Wake::kStop && !pThread->ToExitThread()) {
        wake = Wake::kNone;
        if (bRaised) {
            // Data the callback left unread makes the socket readable again at
            // once. When two reports in a row leave the same number of bytes
            // waiting (nothing read, nothing new; a closed connection
            // included), the next comes only after a pause. Data that keeps
            // coming or going is reported at once.
            bRaised = false;
            fd_set set = SetOf(hWatched, hWake);
            timeval now = {0, 0};
            int nReady = os::select(0, &set, nullptr, nullptr, &now);
            if (nReady > 0 && IsIn(hWake, set)) {
                wake = TakeWake(hWake);
                continue;
            }
            if (nReady > 0) {
                u_long ulNow = Unread(hWatched);
                bool bStuck = bLeftKnown && ulNow == ulLeft;
                bLeftKnown = true;
                ulLeft = ulNow;
                if (bStuck) {
                    wake = Pause(hWake, CX_SOCKET_UNREAD_PAUSE_MS);
                    continue;
                }
            } else {
                bLeftKnown = false;
            }
        }

        fd_set set = SetOf(hWatched, hWake);
        int nResult = SOCKET_ERROR;
        int nError = WSAENOTSOCK;
        // A socket closed under the listener may already name a new socket:
        // never wait on it again.
        if (hWatched != INVALID_SOCKET && m_hSocket == hWatched) {
            nResult = os::select(0, &set, nullptr, nullptr, nullptr);
            if (nResult <= 0) nError = os::WSAGetLastError();
        }
        if (nResult > 0) {
            dwPause = 0;
            if (IsIn(hWake, set)) {
                wake = TakeWake(hWake);
                continue;
            }
            SOCKET hSocket = m_hSocket;
            if (hSocket != INVALID_SOCKET && hSocket == hWatched && IsIn(hSocket, set)) {
                Target target = GetTarget();
                if (target.pfnProc) {
                    target.pfnProc(target.pParam, AsHandleArgument(hSocket), CX_EVENT_DATA_READY);
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
        dwPause = dwPause ? (dwPause * 2 > kLongestFailurePause ? kLongestFailurePause : dwPause * 2)
                          : kFirstFailurePause;
        wake = Pause(hWake, dwPause);
    }
    Trace(L"The thread 0x%X(CxSocket::OnListen) has exited.\n", dwThreadId);
}
