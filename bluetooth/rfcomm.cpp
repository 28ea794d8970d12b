#include <cstring>

#include "bluetooth/common.h"
#include "socket/socket_util.h"

namespace os = quorvel::os;
namespace bth = quorvel::bth;
using quorvel::FailSocket;
using quorvel::RequireSocket;

namespace {

// The RFCOMM socket address for address text, a service class (or none) and
// a channel. Text that does not parse leaves the device address 0.
SOCKADDR_BTH SocketAddress(const wchar_t* pszAddress, const GUID* pServiceClass,
                           unsigned long ulPort) {
    SOCKADDR_BTH sa;
    bth::ParseAddress(pszAddress, &sa);
    if (pServiceClass) sa.serviceClassId = *pServiceClass;
    sa.port = ulPort;
    return sa;
}

// getpeername or getsockname as a 30-byte Bluetooth socket address.
bool QueryName(SOCKET hSocket, bool bPeer, SOCKADDR_BTH* sa) {
    std::memset(sa, 0, sizeof *sa);
    if (!RequireSocket(hSocket != INVALID_SOCKET)) return false;
    int nLength = bth::kSockaddrLength;
    auto pfnQuery = bPeer ? os::getpeername : os::getsockname;
    if (pfnQuery(hSocket, reinterpret_cast<SOCKADDR*>(sa), &nLength) != SOCKET_ERROR) return true;
    return quorvel::FailedCall(bPeer ? "getpeername" : "getsockname");
}

int AddressText(SOCKET hSocket, bool bPeer, wchar_t* pszAddress) {
    if (!pszAddress) return FailSocket(WSAEFAULT);
    SOCKADDR_BTH sa;
    if (!QueryName(hSocket, bPeer, &sa)) return 0;
    wchar_t szMacAddr[bth::kAddressCapacity];
    bool bConverted = bth::SocketAddressToText(sa, szMacAddr);
    std::memcpy(pszAddress, szMacAddr, (quorvel::BoundedLength(szMacAddr, bth::kAddressCapacity) + 1) *
                                           sizeof(wchar_t));
    return bConverted ? 1 : quorvel::FailedCall("WSAAddressToStringW");
}

}  // namespace

CxBthClientSocket::CxBthClientSocket() {}
CxBthClientSocket::CxBthClientSocket(const CxBthClientSocket& other) : CxClientSocket(other) {}
CxBthClientSocket& CxBthClientSocket::operator=(const CxBthClientSocket& other) {
    CxClientSocket::operator=(other);
    return *this;
}
CxBthClientSocket::~CxBthClientSocket() {}

int CxBthClientSocket::Connect(const wchar_t* pszAddress, GUID* pServiceClass,
                               unsigned long ulPort, int bListen) {
    return Connect(pszAddress, pServiceClass, ulPort, bListen, INFINITE);
}

int CxBthClientSocket::Connect(const wchar_t* pszAddress, GUID* pServiceClass,
                               unsigned long ulPort, int bListen, unsigned long ulWait) {
    DisConnect();
    if (!pszAddress) return FailSocket(WSAEINVAL);
    SOCKADDR_BTH sa = SocketAddress(pszAddress, pServiceClass, ulPort);

    SOCKET hSocket = SocketOrNew(AF_BTH, SOCK_STREAM, BTHPROTO_RFCOMM);
    if (hSocket == INVALID_SOCKET) return 0;
    if (!quorvel::socket_util::ConnectWithin(hSocket, reinterpret_cast<SOCKADDR*>(&sa),
                                             bth::kSockaddrLength, ulWait) ||
        !StartEvents(bListen)) {
        DropFailedSocket(hSocket);
        return 0;
    }
    return 1;
}

int CxBthClientSocket::IsConnected() {
    quorvel::SocketCall call(*this);
    SOCKADDR_BTH sa;
    return QueryName(call.Socket(), true, &sa) ? 1 : 0;
}

int CxBthClientSocket::GetPeerAddress(wchar_t* pszAddress) {
    quorvel::SocketCall call(*this);
    return AddressText(call.Socket(), true, pszAddress);
}

int CxBthClientSocket::GetSockAddress(wchar_t* pszAddress) {
    quorvel::SocketCall call(*this);
    return AddressText(call.Socket(), false, pszAddress);
}

CxBthServerSocket::CxBthServerSocket() {}
CxBthServerSocket::CxBthServerSocket(const CxBthServerSocket& other) : CxServerSocket(other) {}
CxBthServerSocket& CxBthServerSocket::operator=(const CxBthServerSocket& other) {
    CxServerSocket::operator=(other);
    return *this;
}
CxBthServerSocket::~CxBthServerSocket() {}

int CxBthServerSocket::ListenConnection(const wchar_t* pszAddress, GUID* pServiceClass,
                                        unsigned long ulPort) {
    DisListenConnection();
    if (!pszAddress) return FailSocket(WSAEINVAL);
    SOCKADDR_BTH sa = SocketAddress(pszAddress, pServiceClass, ulPort);

    SOCKET hSocket = SocketOrNew(AF_BTH, SOCK_STREAM, BTHPROTO_RFCOMM);
    if (hSocket == INVALID_SOCKET) return 0;
    if (os::bind(hSocket, reinterpret_cast<SOCKADDR*>(&sa), bth::kSockaddrLength) ==
        SOCKET_ERROR) {
        return quorvel::FailedCall("bind");  // the socket stays held, unbound
    }
    if (os::listen(hSocket, SOMAXCONN) == SOCKET_ERROR) {
        quorvel::FailedCall("listen");
        quorvel::ErrorKeeper keep;
        DisListenConnection();
        return 0;
    }
    // No FD_READ: a listening RFCOMM socket carries no data.
    SelectEvent(CX_SOCKET_ACCEPT | CX_SOCKET_CLOSE);
    return 1;
}

int CxBthServerSocket::IsListenningConnection() {
    quorvel::SocketCall call(*this);
    SOCKADDR_BTH sa;
    return QueryName(call.Socket(), false, &sa) ? 1 : 0;
}
