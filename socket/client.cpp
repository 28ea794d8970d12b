#include <cstring>

#include "core/deadline.h"
#include "core/error.h"
#include "core/lifecycle_check.h"
#include "core/shared_link.h"
#include "core/thread_record.h"
#include "platform/os.h"
#include "quorvel/socket.h"
#include "socket/socket_util.h"

namespace os = quorvel::os;
using namespace quorvel::socket_util;

namespace {

// Data to read, or the wait for it within dwMilliseconds: what waits is
// asked first, which costs less than a wait where data is there already.
bool DataReady(SOCKET hSocket, DWORD dwMilliseconds) {
    u_long ulWaiting = 0;
    if (os::ioctlsocket(hSocket, FIONREAD, &ulWaiting) == 0 && ulWaiting) return true;
    return WaitReady(hSocket, false, dwMilliseconds);
}

bool IsConnectionGone(int nError) {
    return nError == WSAECONNABORTED || nError == WSAECONNRESET || nError == WSAENOTCONN;
}

}  // namespace

CxClientSocket::CxClientSocket() = default;
CxClientSocket::CxClientSocket(const CxClientSocket& other) = default;
CxClientSocket& CxClientSocket::operator=(const CxClientSocket& other) = default;
CxClientSocket::~CxClientSocket() = default;

int CxClientSocket::Connect(const wchar_t* pszAddress, int nPort, int bListen) {
    return Connect(pszAddress, nPort, bListen, INFINITE);
}

int CxClientSocket::Connect(const wchar_t* pszAddress, int nPort, int bListen,
                            unsigned long ulWait) {
    DisConnect();
    SOCKADDR_IN addr;
    // Text that does not parse would mean 0.0.0.0, which reaches this very
    // host on some systems: refuse it rather than connect somewhere unmeant.
    if (ParseAddress(pszAddress, &addr) != Text::kParsed) return quorvel::FailSocket(WSAEINVAL);
    addr.sin_port = os::htons(static_cast<u_short>(nPort & 0xFFFF));

    SOCKET hSocket = SocketOrNew(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (hSocket == INVALID_SOCKET) return 0;
    if (!ConnectWithin(hSocket, reinterpret_cast<SOCKADDR*>(&addr), sizeof addr, ulWait) ||
        !StartEvents(bListen)) {
        DropFailedSocket(hSocket);
        return 0;
    }
    return 1;
}

int CxClientSocket::DisConnect() {
    SOCKET hSocket = GetSocket();
    // Asked first, so that a listener the shutdown wakes leaves at once.
    quorvel::ThreadAccess::RequestExit(m_ListenThread);
    if (hSocket != INVALID_SOCKET && OwnsSocket()) {
        os::shutdown(hSocket, SD_BOTH);  // a copy leaves the connection alone
        quorvel::SocketAccess::BeginClose(*this);
    }
    // A listener that waits is let go of, not waited for (meanwhile the
    // transfers just cancelled leave); one in its callback is woken now and
    // waited for after the close, which ends a transfer its callback may
    // wait in.
    quorvel::SocketAccess::LetGoListener(*this);
    if (hSocket != INVALID_SOCKET) {
        CloseSocket();
    }
    // A listener that was in its callback, or one that ended when the
    // socket was closed before, goes too.
    DisListenEvent();
    QV_CHECK_CLOSE_LISTENER(m_ListenThread, "TCP client socket");
    return 1;
}

int CxClientSocket::IsConnected() {
    quorvel::SocketCall call(*this);
    SOCKADDR_IN addr;
    std::memset(&addr, 0, sizeof addr);
    int nLength = sizeof addr;
    return call.Socket() != INVALID_SOCKET &&
                   os::getpeername(call.Socket(), reinterpret_cast<SOCKADDR*>(&addr), &nLength) !=
                       SOCKET_ERROR
               ? 1
               : 0;
}

void CxClientSocket::PostClosed(SOCKET hSocket) {
    quorvel::ErrorKeeper keep;
    Target target = GetTarget();
    if (target.hWnd && target.uMsg) {
        os::PostMessageW(target.hWnd, target.uMsg, static_cast<WPARAM>(hSocket),
                         CX_EVENT_CONNECTION_CLOSED);
    }
}

int CxClientSocket::Send(unsigned char* pData, unsigned long ulLength, unsigned long) {
    return SendExact(pData, ulLength, INFINITE, nullptr);
}

int CxClientSocket::Recv(unsigned char* pBuffer, unsigned long ulLength, unsigned long) {
    return RecvExact(pBuffer, ulLength, INFINITE, nullptr);
}

// Without a limit a blocking socket waits in the transfer itself, and only a
// socket with selected events (which would block) waits in select; with a
// limit every piece waits in select first, for what remains of the limit.
int CxClientSocket::SendExact(const unsigned char* pData, unsigned long ulLength,
                              unsigned long ulWait, unsigned long* pulSent) {
    if (pulSent) *pulSent = 0;
    quorvel::SocketCall call(*this);
    SOCKET hSocket = call.Socket();
    if (!quorvel::RequireSocket(hSocket != INVALID_SOCKET)) return 0;
    if (ulLength && !pData) return quorvel::FailSocket(WSAEFAULT);
    quorvel::Deadline deadline(ulWait);
    // With a limit, on a socket that blocks: pieces small enough that the
    // platform takes each at once, each once the socket can take more. One
    // that does not block takes what it can, and says when it is full.
    constexpr unsigned long kLimitedPiece = 64 * 1024;
    const bool bLooked = !deadline.Infinite() && !call.NonBlocking();
    bool bWait = bLooked;
    unsigned long ulDone = 0;
    while (ulDone != ulLength && !call.Interrupted()) {
        if (bWait && !WaitReady(hSocket, true, deadline.Remaining())) {
            call.Interrupted();  // closed from another thread: WSAEINTR
            break;
        }
        unsigned long ulPiece = ulLength - ulDone;
        if (bLooked && ulPiece > kLimitedPiece) ulPiece = kLimitedPiece;
        int nSent = os::send(hSocket, reinterpret_cast<const char*>(pData) + ulDone, Chunk(ulPiece),
                             0);
        if (nSent != SOCKET_ERROR) {
            ulDone += static_cast<unsigned long>(nSent);
            bWait = bLooked;
            continue;
        }
        int nError = os::WSAGetLastError();
        // A non-blocking socket that is full: wait until it takes more.
        if (nError == WSAEWOULDBLOCK) {
            bWait = true;
            continue;
        }
        if (call.Interrupted()) break;  // closed from another thread
        if (IsConnectionGone(nError)) PostClosed(hSocket);
        quorvel::FailedCall("send");
        break;
    }
    if (pulSent) *pulSent = ulDone;
    return ulDone == ulLength ? 1 : 0;
}

int CxClientSocket::RecvExact(unsigned char* pBuffer, unsigned long ulLength,
                              unsigned long ulWait, unsigned long* pulReceived) {
    if (pulReceived) *pulReceived = 0;
    quorvel::SocketCall call(*this);
    SOCKET hSocket = call.Socket();
    if (!quorvel::RequireSocket(hSocket != INVALID_SOCKET)) return 0;
    if (ulLength && !pBuffer) return quorvel::FailSocket(WSAEFAULT);
    quorvel::Deadline deadline(ulWait);
    // A socket that does not block is asked first (it says when it is empty).
    const bool bLooked = !deadline.Infinite() && !call.NonBlocking();
    bool bWait = bLooked;
    bool bBlocked = false;  // the platform said it would block: wait in select
    unsigned long ulDone = 0;
    while (ulDone != ulLength && !call.Interrupted()) {
        if (bWait && !(bBlocked ? WaitReady(hSocket, false, deadline.Remaining())
                                : DataReady(hSocket, deadline.Remaining()))) {
            call.Interrupted();  // closed from another thread: WSAEINTR
            break;
        }
        int nReceived = os::recv(hSocket, reinterpret_cast<char*>(pBuffer) + ulDone,
                                 Chunk(ulLength - ulDone), 0);
        if (nReceived > 0) {
            ulDone += static_cast<unsigned long>(nReceived);
            bWait = bLooked;
            continue;
        }
        if (nReceived == 0) {  // the peer has closed the connection
            PostClosed(hSocket);
            quorvel::FailSocket(WSAEDISCON);
            break;
        }
        int nError = os::WSAGetLastError();
        // A non-blocking socket with nothing yet: wait until data comes.
        if (nError == WSAEWOULDBLOCK) {
            bWait = bBlocked = true;
            continue;
        }
        if (call.Interrupted()) break;  // closed from another thread
        if (IsConnectionGone(nError)) PostClosed(hSocket);
        quorvel::FailedCall("recv");
        break;
    }
    if (ulDone) call.CountReceive();
    // The part that did not come reads as zeros. Only this part is cleared, so
    // a transfer that succeeds costs no second pass over the buffer.
    if (ulDone != ulLength) std::memset(pBuffer + ulDone, 0, ulLength - ulDone);
    if (pulReceived) *pulReceived = ulDone;
    return ulDone == ulLength ? 1 : 0;
}

int CxClientSocket::RecvSome(unsigned char* pBuffer, unsigned long ulSize, unsigned long ulWait,
                             unsigned long* pulReceived) {
    if (pulReceived) *pulReceived = 0;
    quorvel::SocketCall call(*this);
    SOCKET hSocket = call.Socket();
    if (!quorvel::RequireSocket(hSocket != INVALID_SOCKET)) return 0;
    if (!ulSize) return 1;
    if (!pBuffer) return quorvel::FailSocket(WSAEFAULT);
    quorvel::Deadline deadline(ulWait);
    bool bWait = !deadline.Infinite() && !call.NonBlocking();  // as in RecvExact
    bool bBlocked = false;
    while (!call.Interrupted()) {
        if (bWait && !(bBlocked ? WaitReady(hSocket, false, deadline.Remaining())
                                : DataReady(hSocket, deadline.Remaining()))) {
            call.Interrupted();
            return 0;
        }
        int nReceived = os::recv(hSocket, reinterpret_cast<char*>(pBuffer), Chunk(ulSize), 0);
        if (nReceived > 0) {
            call.CountReceive();
            if (pulReceived) *pulReceived = static_cast<unsigned long>(nReceived);
            return 1;
        }
        if (nReceived == 0) {
            PostClosed(hSocket);
            return quorvel::FailSocket(WSAEDISCON);
        }
        int nError = os::WSAGetLastError();
        if (nError == WSAEWOULDBLOCK) {
            bWait = bBlocked = true;
            continue;
        }
        if (call.Interrupted()) return 0;
        if (IsConnectionGone(nError)) PostClosed(hSocket);
        return quorvel::FailedCall("recv");
    }
    return 0;
}

int CxClientSocket::GetRecvCount(unsigned long* pulCount, int* pbClosed) {
    if (pbClosed) *pbClosed = 0;
    quorvel::SocketCall call(*this);
    SOCKET hSocket = call.Socket();
    if (!quorvel::RequireSocket(hSocket != INVALID_SOCKET)) return 0;
    if (!pulCount) return quorvel::FailSocket(WSAEFAULT);
    u_long ulWaiting = 0;
    if (os::ioctlsocket(hSocket, FIONREAD, &ulWaiting) == SOCKET_ERROR) {
        return quorvel::FailedCall("ioctlsocket");
    }
    *pulCount = ulWaiting;
    if (ulWaiting || !pbClosed) return 1;
    // Readable with nothing to read is the end of the connection, unless a
    // receive took the data in between: decided only while this is the one
    // call on the socket and no receive completed meanwhile.
    quorvel::SharedLink* link = call.Link();
    if (!link) return 1;
    LONG lReceives = quorvel::SocketAccess::Receives(link);
    if (link->busy.load(std::memory_order_seq_cst) != 1) return 1;
    bool bReadable = WaitReady(hSocket, false, 0);
    if (os::ioctlsocket(hSocket, FIONREAD, &ulWaiting) == SOCKET_ERROR) {
        return quorvel::FailedCall("ioctlsocket");
    }
    *pbClosed = bReadable && ulWaiting == 0 &&
                link->busy.load(std::memory_order_seq_cst) == 1 &&
                quorvel::SocketAccess::Receives(link) == lReceives;
    return 1;
}

int CxClientSocket::GetPeerAddress(wchar_t* pszAddress) { return GetAddress(true, pszAddress); }

int CxClientSocket::GetSockAddress(wchar_t* pszAddress) { return GetAddress(false, pszAddress); }

int CxClientSocket::GetAddress(bool bPeer, wchar_t* pszAddress) {
    if (!pszAddress) return quorvel::FailSocket(WSAEFAULT);
    SOCKADDR_IN addr;
    std::memset(&addr, 0, sizeof addr);
    int nLength = sizeof addr;
    quorvel::SocketCall call(*this);
    SOCKET hSocket = call.Socket();
    if (!quorvel::RequireSocket(hSocket != INVALID_SOCKET)) return 0;
    int nResult = bPeer ? os::getpeername(hSocket, reinterpret_cast<SOCKADDR*>(&addr), &nLength)
                        : os::getsockname(hSocket, reinterpret_cast<SOCKADDR*>(&addr), &nLength);
    if (nResult == SOCKET_ERROR) return quorvel::FailedCall(bPeer ? "getpeername" : "getsockname");
    wchar_t szIPAddr[64];
    bool bConverted = FormatAddress(addr, szIPAddr);
    CopyText(pszAddress, szIPAddr, 16);
    return bConverted ? 1 : quorvel::FailedCall("FormatAddress");
}
