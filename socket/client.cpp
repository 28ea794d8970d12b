#include <cstring>

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
    if (ParseAddress(pszAddress, &addr) != Text::kParsed) return Refuse(WSAEINVAL);
    addr.sin_port = os::htons(static_cast<u_short>(nPort & 0xFFFF));

    SOCKET hSocket = GetSocket();  // still held if closing it was refused
    if (hSocket == INVALID_SOCKET) {
        hSocket = os::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (hSocket == INVALID_SOCKET) return 0;
        m_hSocket = hSocket;
    }
    if (os::connect(hSocket, reinterpret_cast<SOCKADDR*>(&addr), sizeof addr) == SOCKET_ERROR ||
        !StartEvents(bListen)) {
        DropFailedSocket(hSocket);
        return 0;
    }
    return 1;
}

int CxClientSocket::DisConnect() {
    SOCKET hSocket = GetSocket();
    if (hSocket == INVALID_SOCKET) return 1;
    if (OwnsSocket()) os::shutdown(hSocket, SD_BOTH);  // a copy leaves the connection alone
    CloseSocket();
    DisListenEvent();  // the closed socket has already ended its wait
    return 1;
}

int CxClientSocket::IsConnected() {
    SOCKADDR_IN addr;
    std::memset(&addr, 0, sizeof addr);
    int nLength = sizeof addr;
    return os::getpeername(GetSocket(), reinterpret_cast<SOCKADDR*>(&addr), &nLength) ==
                   SOCKET_ERROR
               ? 0
               : 1;
}

void CxClientSocket::PostClosed(SOCKET hSocket) {
    WsaErrorKeeper keep;
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
    if (ulLength && !pData) return Refuse(WSAEFAULT);
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
    if (ulLength && !pBuffer) return Refuse(WSAEFAULT);
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
    if (!pszAddress) return Refuse(WSAEFAULT);
    SOCKADDR_IN addr;
    std::memset(&addr, 0, sizeof addr);
    int nLength = sizeof addr;
    SOCKET hSocket = GetSocket();
    int nResult = bPeer ? os::getpeername(hSocket, reinterpret_cast<SOCKADDR*>(&addr), &nLength)
                        : os::getsockname(hSocket, reinterpret_cast<SOCKADDR*>(&addr), &nLength);
    if (nResult == SOCKET_ERROR) return 0;
    wchar_t szIPAddr[64];
    bool bConverted = FormatAddress(addr, szIPAddr);
    CopyText(pszAddress, szIPAddr, 16);
    return bConverted ? 1 : 0;
}
