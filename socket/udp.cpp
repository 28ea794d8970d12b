#include <cstring>

#include "core/error.h"
#include "core/lifecycle_check.h"
#include "platform/os.h"
#include "quorvel/socket.h"
#include "core/shared_link.h"
#include "core/text_guard.h"
#include "socket/socket_util.h"

namespace os = quorvel::os;
using namespace quorvel::socket_util;
using quorvel::SocketAccess;
using TextGuard = quorvel::TextGuard<quorvel::SocketExtra>;

namespace {

// Where a datagram goes, once the call may go ahead: numeric IPv4 text, at
// the port written in it, else at the bound port. Text that does not parse
// would mean 0.0.0.0, which is this very host on some systems, and a port
// written as 0 is no place either: send nothing rather than to an unmeant
// place. 0 with the reason otherwise.
int Destination(SOCKET hSocket, const wchar_t* pszAddress, int nBoundPort,
                const unsigned char* pData, unsigned long ulLength, SOCKADDR_IN* pAddr) {
    if (!quorvel::RequireSocket(hSocket != INVALID_SOCKET)) return 0;
    if (ulLength && !pData) return quorvel::FailSocket(WSAEFAULT);
    if (ParseAddress(pszAddress, pAddr) != Text::kParsed) return quorvel::FailSocket(WSAEINVAL);
    if (pAddr->sin_port == 0) {
        // Parsed text holds a colon only before a port.
        for (const wchar_t* p = pszAddress; *p; ++p) {
            if (*p == L':') return quorvel::FailSocket(WSAEINVAL);
        }
        pAddr->sin_port = os::htons(static_cast<u_short>(nBoundPort & 0xFFFF));
    }
    return 1;
}

}  // namespace

CxUdpSocket::CxUdpSocket() : m_nPort(0) {
    std::memset(m_szPeerAddress, 0, sizeof m_szPeerAddress);
}

CxUdpSocket::CxUdpSocket(const CxUdpSocket& other) : CxSocket(other), m_nPort(other.m_nPort) {
    TextGuard guard(SocketAccess::Record(other));
    std::memcpy(m_szPeerAddress, other.m_szPeerAddress, sizeof m_szPeerAddress);
}

CxUdpSocket& CxUdpSocket::operator=(const CxUdpSocket& other) {
    if (this != &other) {
        CxSocket::operator=(other);
        m_nPort = other.m_nPort;
        wchar_t szPeer[64];
        {
            TextGuard guard(SocketAccess::Record(other));
            std::memcpy(szPeer, other.m_szPeerAddress, sizeof szPeer);
        }
        TextGuard guard(SocketAccess::Record(*this));
        std::memcpy(m_szPeerAddress, szPeer, sizeof m_szPeerAddress);
    }
    return *this;
}

CxUdpSocket::~CxUdpSocket() = default;

int CxUdpSocket::Bind(int nPort, int bListen) {
    Disbind();
    SOCKET hSocket = SocketOrNew(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (hSocket == INVALID_SOCKET) return 0;
    SOCKADDR_IN addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = os::htonl(INADDR_ANY);
    addr.sin_port = os::htons(static_cast<u_short>(nPort & 0xFFFF));
    if (os::bind(hSocket, reinterpret_cast<SOCKADDR*>(&addr), sizeof addr) == SOCKET_ERROR) {
        quorvel::FailedCall("bind");
        quorvel::ErrorKeeper keep;
        Disbind();
        return 0;
    }
    // The port bound: the one asked for, or the one the system chose for 0,
    // where datagrams to the peer "at the bound port" go.
    SOCKADDR_IN bound;
    int nBoundLength = sizeof bound;
    if (os::getsockname(hSocket, reinterpret_cast<SOCKADDR*>(&bound), &nBoundLength) == 0) {
        m_nPort = os::ntohs(bound.sin_port);
    } else {
        m_nPort = nPort & 0xFFFF;
    }
    if (!StartEvents(bListen)) {  // no listener although one was asked for
        DropFailedSocket(hSocket);
        m_nPort = 0;
        return 0;
    }
    return 1;
}

int CxUdpSocket::Disbind() {
    int nResult = CloseSocket();
    if (nResult) {
        m_nPort = 0;
        DisListenEvent();
        QV_CHECK_CLOSE_LISTENER(m_ListenThread, "UDP socket");
    }
    return nResult;
}

int CxUdpSocket::IsBinded() {
    quorvel::SocketCall call(*this);
    return HasLocalName(call.Socket());
}

void CxUdpSocket::SetPeerAddress(const wchar_t* pszAddress) {
    if (!pszAddress) {
        quorvel::FailSocket(WSAEINVAL);
        return;
    }
    int n = 0;
    while (n <= CX_SOCKET_ADDRESS_MAX && pszAddress[n]) ++n;
    if (n > CX_SOCKET_ADDRESS_MAX) {  // would not fit: keep the text we have
        quorvel::FailSocket(WSAEINVAL);
        return;
    }
    TextGuard guard(SocketAccess::Record(*this));
    CopyText(m_szPeerAddress, pszAddress, 64);
}

void CxUdpSocket::GetPeerAddress(wchar_t* pszAddress) {
    if (!pszAddress) return;
    TextGuard guard(SocketAccess::Record(*this));
    CopyText(pszAddress, m_szPeerAddress, 64);
}

// The peer text may be rewritten meanwhile by a Recv in the listener's
// callback: the datagram goes to the text as it was when Send began.
int CxUdpSocket::Send(unsigned char* pData, unsigned long ulLength, unsigned long) {
    wchar_t szPeer[64];
    {
        TextGuard guard(SocketAccess::Record(*this));
        CopyText(szPeer, m_szPeerAddress, 64);
    }
    return SendDatagram(szPeer, pData, ulLength);
}

int CxUdpSocket::SendTo(const wchar_t* pszAddress, unsigned char* pData, unsigned long ulLength) {
    return SendDatagram(pszAddress, pData, ulLength);
}

int CxUdpSocket::SendDatagram(const wchar_t* pszAddress, unsigned char* pData,
                              unsigned long ulLength) {
    quorvel::SocketCall call(*this);
    SOCKET hSocket = call.Socket();
    SOCKADDR_IN addr;
    if (!Destination(hSocket, pszAddress, m_nPort, pData, ulLength, &addr)) return 0;
    unsigned long ulDone = 0;
    while (ulDone != ulLength && !call.Interrupted()) {
        int nSent = os::sendto(hSocket, reinterpret_cast<const char*>(pData) + ulDone,
                               Chunk(ulLength - ulDone), 0, reinterpret_cast<SOCKADDR*>(&addr),
                               sizeof addr);
        if (nSent <= 0) {
            if (!call.Interrupted()) quorvel::FailedCall("sendto");  // closed meanwhile: WSAEINTR
            break;
        }
        ulDone += static_cast<unsigned long>(nSent);
    }
    return ulDone == ulLength ? 1 : 0;
}

int CxUdpSocket::Recv(unsigned char* pBuffer, unsigned long ulLength, unsigned long) {
    wchar_t szSender[64];
    int nResult = ReceiveDatagrams(szSender, pBuffer, ulLength);
    if (szSender[0]) {  // the sender is the peer now
        quorvel::ErrorKeeper keep;
        TextGuard guard(SocketAccess::Record(*this));
        CopyText(m_szPeerAddress, szSender, 64);
    }
    return nResult;
}

int CxUdpSocket::RecvFrom(wchar_t* pszAddress, unsigned char* pBuffer, unsigned long ulLength) {
    wchar_t szIPAddr[64];
    int nResult = ReceiveDatagrams(szIPAddr, pBuffer, ulLength);
    if (pszAddress) CopyText(pszAddress, szIPAddr, 16);
    return nResult;
}

// Whole datagrams into the buffer until the count is met; the last sender's
// address (empty when nothing came) into szSender, 64 characters.
int CxUdpSocket::ReceiveDatagrams(wchar_t* pszSender, unsigned char* pBuffer,
                                  unsigned long ulLength) {
    pszSender[0] = L'\0';
    quorvel::SocketCall call(*this);
    SOCKET hSocket = call.Socket();
    if (!quorvel::RequireSocket(hSocket != INVALID_SOCKET)) return 0;
    if (ulLength && !pBuffer) return quorvel::FailSocket(WSAEFAULT);
    SOCKADDR_IN source;
    std::memset(&source, 0, sizeof source);
    int nSourceLength = sizeof source;
    unsigned long ulDone = 0;
    while (ulDone != ulLength && !call.Interrupted()) {
        int nReceived = os::recvfrom(hSocket, reinterpret_cast<char*>(pBuffer) + ulDone,
                                     Chunk(ulLength - ulDone), 0,
                                     reinterpret_cast<SOCKADDR*>(&source), &nSourceLength);
        if (nReceived < 0) {
            if (!call.Interrupted()) quorvel::FailedCall("recvfrom");  // closed meanwhile: WSAEINTR
            break;
        }
        // An empty datagram adds no bytes: it is taken and the count goes on.
        ulDone += static_cast<unsigned long>(nReceived);
    }
    if (ulDone) call.CountReceive();
    if (source.sin_family != 0) {
        quorvel::ErrorKeeper keep;  // the receive's error is the one to report
        wchar_t szText[64];
        if (FormatAddress(source, szText)) CopyText(pszSender, szText, 64);
    }
    return ulDone == ulLength ? 1 : 0;
}

int CxUdpSocket::RecvDatagram(wchar_t* pszSender, unsigned char* pBuffer, unsigned long ulSize,
                              unsigned long* pulLength) {
    if (pszSender) pszSender[0] = L'\0';
    if (pulLength) *pulLength = 0;
    quorvel::SocketCall call(*this);
    SOCKET hSocket = call.Socket();
    if (!quorvel::RequireSocket(hSocket != INVALID_SOCKET)) return 0;
    if (!pulLength || (ulSize && !pBuffer)) return quorvel::FailSocket(WSAEFAULT);
    SOCKADDR_IN source;
    std::memset(&source, 0, sizeof source);
    int nSourceLength = sizeof source;
    // One call takes one datagram whole, an empty one included.
    char cNothing = 0;
    int nReceived = os::recvfrom(hSocket, ulSize ? reinterpret_cast<char*>(pBuffer) : &cNothing,
                                 Chunk(ulSize), 0, reinterpret_cast<SOCKADDR*>(&source),
                                 &nSourceLength);
    if (nReceived < 0) {
        if (!call.Interrupted()) quorvel::FailedCall("recvfrom");  // closed meanwhile: WSAEINTR
        return 0;
    }
    call.CountReceive();
    *pulLength = static_cast<unsigned long>(nReceived);
    if (pszSender && source.sin_family == AF_INET) {
        quorvel::ErrorKeeper keep;
        // With its port, as SendDatagramTo takes it back.
        wchar_t szText[64] = {};
        DWORD dwLength = 64;
        if (os::WSAAddressToStringW(reinterpret_cast<SOCKADDR*>(&source), sizeof source, nullptr,
                                    szText, &dwLength) == 0) {
            CopyText(pszSender, szText, 22);
        }
    }
    return 1;
}

int CxUdpSocket::RecvDatagram(wchar_t* pszSender, unsigned char* pBuffer, unsigned long ulSize,
                              unsigned long* pulLength, unsigned long ulWait) {
    if (ulWait != INFINITE) {
        quorvel::SocketCall call(*this);
        if (call.Socket() != INVALID_SOCKET && !WaitReady(call.Socket(), false, ulWait)) {
            call.Interrupted();  // closed meanwhile: WSAEINTR
            if (pszSender) pszSender[0] = L'\0';
            if (pulLength) *pulLength = 0;
            return 0;
        }
    }
    return RecvDatagram(pszSender, pBuffer, ulSize, pulLength);
}

int CxUdpSocket::SendDatagramTo(const wchar_t* pszAddress, unsigned char* pData,
                                unsigned long ulLength) {
    quorvel::SocketCall call(*this);
    SOCKET hSocket = call.Socket();
    SOCKADDR_IN addr;
    if (!Destination(hSocket, pszAddress, m_nPort, pData, ulLength, &addr)) return 0;
    if (ulLength > static_cast<unsigned long>(INT_MAX)) return quorvel::FailSocket(WSAEMSGSIZE);
    char cNothing = 0;
    int nSent = os::sendto(hSocket, ulLength ? reinterpret_cast<const char*>(pData) : &cNothing,
                           static_cast<int>(ulLength), 0, reinterpret_cast<SOCKADDR*>(&addr),
                           sizeof addr);
    if (nSent < 0) {
        if (!call.Interrupted()) quorvel::FailedCall("sendto");  // closed meanwhile: WSAEINTR
        return 0;
    }
    return static_cast<unsigned long>(nSent) == ulLength ? 1 : 0;
}
