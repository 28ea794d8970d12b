#include "core/error.h"
#include "platform/os.h"
#include "quorvel/socket.h"
#include "socket/socket_util.h"

namespace os = quorvel::os;
using namespace quorvel::socket_util;

CxServerSocket::CxServerSocket() = default;
CxServerSocket::CxServerSocket(const CxServerSocket& other) = default;
CxServerSocket& CxServerSocket::operator=(const CxServerSocket& other) = default;
CxServerSocket::~CxServerSocket() = default;

int CxServerSocket::ListenConnection(const wchar_t* pszAddress, int nPort) {
    DisListenConnection();
    SOCKADDR_IN addr;
    // NULL and the empty text mean every local interface, as 0.0.0.0 does.
    // Any other text must be an address: a name or a typing mistake read as
    // 0.0.0.0 would expose the service on every network the host is on.
    Text parsed = ParseAddress(pszAddress, &addr);
    bool bEveryInterface = !pszAddress || !pszAddress[0];
    if (parsed != Text::kParsed && !bEveryInterface) return quorvel::FailSocket(WSAEINVAL);
    addr.sin_port = os::htons(static_cast<u_short>(nPort & 0xFFFF));

    SOCKET hSocket = SocketOrNew(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (hSocket == INVALID_SOCKET) return 0;
    if (os::bind(hSocket, reinterpret_cast<SOCKADDR*>(&addr), sizeof addr) == SOCKET_ERROR) {
        return quorvel::FailedCall("bind");  // the socket stays held, unbound
    }
    if (os::listen(hSocket, SOMAXCONN) == SOCKET_ERROR) {
        quorvel::FailedCall("listen");
        quorvel::ErrorKeeper keep;
        DisListenConnection();
        return 0;
    }
    SelectEvent(CX_SOCKET_EVENTS_SERVER);
    return 1;
}

int CxServerSocket::ListenConnection(const wchar_t* pszAddress, int nPort, int bListen) {
    if (!ListenConnection(pszAddress, nPort)) return 0;
    if (bListen && !ListenEvent()) {
        quorvel::ErrorKeeper keep;
        DisListenConnection();
        return 0;
    }
    return 1;
}

SOCKET CxServerSocket::AcceptConnection() { return AcceptConnection(INFINITE); }

SOCKET CxServerSocket::AcceptConnection(unsigned long ulWait) {
    quorvel::SocketCall call(*this);
    if (!quorvel::RequireSocket(call.Socket() != INVALID_SOCKET)) return INVALID_SOCKET;
    if (ulWait != INFINITE && !WaitReady(call.Socket(), false, ulWait)) {
        call.Interrupted();  // closed meanwhile: WSAEINTR
        return INVALID_SOCKET;
    }
    SOCKET hAccepted = os::accept(call.Socket(), nullptr, nullptr);
    if (hAccepted == INVALID_SOCKET) {
        if (!call.Interrupted()) quorvel::FailedCall("accept");  // closed meanwhile: WSAEINTR
        return INVALID_SOCKET;
    }
    call.CountReceive();  // the listener's pacing: the callback took what waited
    return hAccepted;
}

int CxServerSocket::IsListenningConnection() {
    quorvel::SocketCall call(*this);
    return HasLocalName(call.Socket());
}

int CxServerSocket::DisListenConnection() { return CloseSocket(); }

// A listening socket carries no data.
int CxServerSocket::Send(unsigned char*, unsigned long, unsigned long) {
    if (!quorvel::RequireSocket(GetSocket() != INVALID_SOCKET)) return 0;
    return quorvel::FailSocket(WSAENOTCONN);
}

int CxServerSocket::Recv(unsigned char*, unsigned long, unsigned long) {
    if (!quorvel::RequireSocket(GetSocket() != INVALID_SOCKET)) return 0;
    return quorvel::FailSocket(WSAENOTCONN);
}
