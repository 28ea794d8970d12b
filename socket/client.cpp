#include <cstring>

#include "core/error.h"
#include "platform/os.h"
#include "quorvel/socket.h"
#include "socket/socket_util.h"

namespace os = quorvel::os;
using namespace quorvel::socket_util;

namespace {

// Waits without a time limit until the socket can take more data (bWrite) or
// has data; false when the wait itself fails (the socket was closed).
bool WaitUntilReady(SOCKET hSocket, bool bWrite) {
    fd_set set = SetOf(hSocket);
    return os::select(0, bWrite ? nullptr : &set, bWrite ? &set : nullptr, nullptr, nullptr) > 0;
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
    DisConnect();
    SOCKADDR_IN addr;
    // Text that does not parse would mean 0.0.0.0, which reaches this very
    // host on some systems: refuse it rather than connect somewhere unmeant.
    if (ParseAddress(pszAddress, &addr) != Text::kParsed) return quorvel::FailSocket(WSAEINVAL);
    addr.sin_port = os::htons(static_cast<u_short>(nPort & 0xFFFF));

    SOCKET hSocket = SocketOrNew(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (hSocket == INVALID_SOCKET) return 0;
    if (os::connect(hSocket, reinterpret_cast<SOCKADDR*>(&addr), sizeof addr) == SOCKET_ERROR ||
        !StartEvents(bListen)) {
        DropFailedSocket(hSocket);
        return 0;
    }
    return 1;
}

int CxClientSocket::DisConnect() {
    SOCKET hSocket = GetSocket();
    if (hSocket != INVALID_SOCKET) {
        if (OwnsSocket()) os::shutdown(hSocket, SD_BOTH);  // a copy leaves the connection alone
        CloseSocket();
    }
    // The closed socket has already ended the listener's wait; one that
    // ended when the socket was closed before goes too.
    DisListenEvent();
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
    quorvel::SocketCall call(*this);
    SOCKET hSocket = call.Socket();
    if (hSocket == INVALID_SOCKET) return 0;
    if (ulLength && !pData) return quorvel::FailSocket(WSAEFAULT);
    unsigned long ulDone = 0;
    while (ulDone != ulLength && !call.Interrupted()) {
        int nSent = os::send(hSocket, reinterpret_cast<const char*>(pData) + ulDone,
                             Chunk(ulLength - ulDone), 0);
        if (nSent != SOCKET_ERROR) {
            ulDone += static_cast<unsigned long>(nSent);
            continue;
        }
        int nError = os::WSAGetLastError();
        // A non-blocking socket that is full: wait until it takes more.
        if (nError == WSAEWOULDBLOCK && WaitUntilReady(hSocket, true)) continue;
        if (call.Interrupted()) break;  // closed from another thread
        if (IsConnectionGone(nError)) PostClosed(hSocket);
        break;
    }
    return ulDone == ulLength ? 1 : 0;
}

int CxClientSocket::Recv(unsigned char* pBuffer, unsigned long ulLength, unsigned long) {
    quorvel::SocketCall call(*this);
    SOCKET hSocket = call.Socket();
    if (hSocket == INVALID_SOCKET) return 0;
    if (ulLength && !pBuffer) return quorvel::FailSocket(WSAEFAULT);
    unsigned long ulDone = 0;
    while (ulDone != ulLength && !call.Interrupted()) {
        int nReceived = os::recv(hSocket, reinterpret_cast<char*>(pBuffer) + ulDone,
                                 Chunk(ulLength - ulDone), 0);
        if (nReceived > 0) {
            ulDone += static_cast<unsigned long>(nReceived);
            continue;
        }
        if (nReceived == 0) {  // the peer has closed the connection
            PostClosed(hSocket);
            break;
        }
        int nError = os::WSAGetLastError();
        // A non-blocking socket with nothing yet: wait until data comes.
        if (nError == WSAEWOULDBLOCK && WaitUntilReady(hSocket, false)) continue;
        if (call.Interrupted()) break;  // closed from another thread
        if (IsConnectionGone(nError)) PostClosed(hSocket);
        break;
    }
    if (ulDone) call.CountReceive();
    // The part that did not come reads as zeros. Only this part is cleared, so
    // a transfer that succeeds costs no second pass over the buffer.
    if (ulDone != ulLength) std::memset(pBuffer + ulDone, 0, ulLength - ulDone);
    return ulDone == ulLength ? 1 : 0;
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
    if (hSocket == INVALID_SOCKET) return 0;
    int nResult = bPeer ? os::getpeername(hSocket, reinterpret_cast<SOCKADDR*>(&addr), &nLength)
                        : os::getsockname(hSocket, reinterpret_cast<SOCKADDR*>(&addr), &nLength);
    if (nResult == SOCKET_ERROR) return 0;
    wchar_t szIPAddr[64];
    bool bConverted = FormatAddress(addr, szIPAddr);
    CopyText(pszAddress, szIPAddr, 16);
    return bConverted ? 1 : 0;
}
