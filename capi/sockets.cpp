// TCP, UDP and RFCOMM endpoints through the C interface: the C++ socket
// classes reporting their events to this layer, each with a Windows Sockets
// start-up of its own. A socket's listener starts when the host first asks
// for events.
#include <new>

#include "bluetooth/common.h"
#include "capi/common.h"
#include "capi/sockets.h"
#include "socket/socket_util.h"

namespace capi = quorvel::capi;
using capi::Call;
using capi::KindBit;

namespace quorvel::capi {
namespace {

// The text and port of an IPv4 or Bluetooth socket address.
DWORD AddressText(const SOCKADDR_STORAGE& address, wchar_t (&szText)[64], DWORD* pdwPort) {
    if (address.ss_family == AF_INET) {
        const SOCKADDR_IN& in = reinterpret_cast<const SOCKADDR_IN&>(address);
        *pdwPort = os::ntohs(in.sin_port);
        return socket_util::FormatAddress(in, szText) ? ERROR_SUCCESS : LastError();
    }
    if (address.ss_family == AF_BTH) {
        const SOCKADDR_BTH& bth = reinterpret_cast<const SOCKADDR_BTH&>(address);
        *pdwPort = bth.port;
        return bth::AddressToText(bth.btAddr, szText) ? ERROR_SUCCESS : LastError();
    }
    return WSAEAFNOSUPPORT;
}

}  // namespace

DWORD SocketEndpoint::Address(const Call& call, bool bPeer, wchar_t (&szText)[64],
                              DWORD* pdwPort) {
    SOCKADDR_STORAGE address = {};
    int nLength = sizeof address;
    if (!Socket().GetName(bPeer, reinterpret_cast<SOCKADDR*>(&address), &nLength)) {
        return call.Failed();
    }
    return AddressText(address, szText, pdwPort);
}

bool Connection::Translate(long lEvent, DWORD* pdwEvent, DWORD*) {
    if (lEvent != CX_EVENT_DATA_READY) return false;
    *pdwEvent = QV_EVENT_DATA_READY;
    // Readable with nothing to read is the end of the connection. Asked only
    // when the listener tells again and nothing was received since it told
    // last (what a closed connection looks like), so that the usual report
    // costs no call of the platform.
    SharedLink* link = SocketAccess::LinkOf(m_socket);
    LONG lReceives = SocketAccess::Receives(link);
    bool bAgain = m_bTold && lReceives == m_lReceivesWhenTold;
    m_bTold = true;
    m_lReceivesWhenTold = lReceives;
    if (!bAgain) return true;
    unsigned long ulWaiting = 0;
    int bClosed = 0;
    if (!m_socket.GetRecvCount(&ulWaiting, &bClosed)) return false;
    if (bClosed) {
        if (m_bClosedTold.exchange(true)) return false;
        *pdwEvent = QV_EVENT_CLOSED;
        return true;
    }
    return ulWaiting != 0;
}

bool Server::Translate(long lEvent, DWORD* pdwEvent, DWORD*) {
    *pdwEvent = QV_EVENT_CONNECTION_WAITING;
    return lEvent == CX_EVENT_CONNECTION_WAITING || lEvent == CX_EVENT_DATA_READY;
}

bool Datagrams::Translate(long lEvent, DWORD* pdwEvent, DWORD*) {
    *pdwEvent = QV_EVENT_DATA_READY;
    return lEvent == CX_EVENT_DATA_READY;
}

// Registers an endpoint whose open step (1, or 0 with the last error) ran.
DWORD Opened(SocketEndpoint* endpoint, int nResult, qv_handle* pHandle) {
    if (nResult) nResult = endpoint->Ready();
    if (!nResult) {
        DWORD dwStatus = LastError();
        endpoint->Release();
        return dwStatus;
    }
    return Register(endpoint, pHandle);
}

}  // namespace quorvel::capi

namespace {

bool ValidPort(DWORD dwPort) { return dwPort <= 0xFFFF; }

constexpr DWORD kSenderCch = QV_UDP_SENDER_CCH;  // "255.255.255.255" and its terminator

DWORD PutAddress(qv_handle socket, bool bPeer, wchar_t* text, DWORD capacity, DWORD* length,
                 DWORD* port) {
    if (length) *length = 0;
    if (port) *port = 0;
    Call call(socket, capi::kSockets);
    if (call.Status()) return call.Status();
    if (!text && capacity) return capi::Refuse(ERROR_INVALID_PARAMETER);
    wchar_t szText[64] = {};
    DWORD dwPort = 0;
    if (DWORD dwStatus = call.Get<capi::SocketEndpoint>()->Address(call, bPeer, szText, &dwPort)) {
        return dwStatus;
    }
    if (port) *port = dwPort;
    return capi::PutText(szText, 64, text, capacity, length);
}

}  // namespace

extern "C" {

DWORD WINAPI qv_tcp_connect(const wchar_t* address, DWORD port, DWORD timeout_ms,
                            qv_handle* connection) {
    if (!connection) return capi::Refuse(ERROR_INVALID_PARAMETER);
    *connection = nullptr;
    if (!address || !port || !ValidPort(port)) return capi::Refuse(ERROR_INVALID_PARAMETER);
    DWORD dwStatus = 0;
    auto* endpoint = capi::MakeSocketEndpoint<capi::Connection>(&dwStatus, QV_KIND_TCP);
    if (!endpoint) return dwStatus;
    return capi::Opened(endpoint,
                        static_cast<CxClientSocket&>(endpoint->Client())
                            .Connect(address, static_cast<int>(port), 0, timeout_ms),
                        connection);
}

DWORD WINAPI qv_tcp_listen(const wchar_t* address, DWORD port, qv_handle* server) {
    if (!server) return capi::Refuse(ERROR_INVALID_PARAMETER);
    *server = nullptr;
    if (!ValidPort(port)) return capi::Refuse(ERROR_INVALID_PARAMETER);
    DWORD dwStatus = 0;
    auto* endpoint = capi::MakeSocketEndpoint<capi::Server>(&dwStatus, QV_KIND_TCP_SERVER);
    if (!endpoint) return dwStatus;
    return capi::Opened(endpoint,
                        static_cast<CxServerSocket&>(endpoint->Listener())
                            .ListenConnection(address, static_cast<int>(port)),
                        server);
}

DWORD WINAPI qv_accept(qv_handle server, DWORD timeout_ms, qv_handle* connection) {
    if (connection) *connection = nullptr;
    Call call(server, capi::kServers);
    if (call.Status()) return call.Status();
    if (!connection) return capi::Refuse(ERROR_INVALID_PARAMETER);
    capi::Server* listener = call.Get<capi::Server>();
    DWORD dwKind = listener->Kind() == QV_KIND_TCP_SERVER ? QV_KIND_TCP : QV_KIND_RFCOMM;
    // Made first, so that an accepted connection always has its owner.
    DWORD dwStatus = 0;
    auto* endpoint = capi::MakeSocketEndpoint<capi::Connection>(&dwStatus, dwKind);
    if (!endpoint) return dwStatus;
    SOCKET hAccepted = listener->Listener().AcceptConnection(timeout_ms);
    if (hAccepted == INVALID_SOCKET) {
        dwStatus = call.Failed();
        endpoint->Release();
        return dwStatus;
    }
    endpoint->Client().Attach(hAccepted);  // closes it should memory run out
    if (endpoint->Client().GetSocket() == INVALID_SOCKET) {
        endpoint->Release();
        return capi::Refuse(ERROR_NOT_ENOUGH_MEMORY);
    }
    return capi::Opened(endpoint, 1, connection);
}

DWORD WINAPI qv_local_address(qv_handle socket, wchar_t* text, DWORD capacity, DWORD* length,
                              DWORD* port) {
    return PutAddress(socket, false, text, capacity, length, port);
}

DWORD WINAPI qv_peer_address(qv_handle socket, wchar_t* text, DWORD capacity, DWORD* length,
                             DWORD* port) {
    return PutAddress(socket, true, text, capacity, length, port);
}

DWORD WINAPI qv_udp_open(DWORD port, qv_handle* udp) {
    if (!udp) return capi::Refuse(ERROR_INVALID_PARAMETER);
    *udp = nullptr;
    if (!ValidPort(port)) return capi::Refuse(ERROR_INVALID_PARAMETER);
    DWORD dwStatus = 0;
    auto* endpoint = capi::MakeSocketEndpoint<capi::Datagrams>(&dwStatus);
    if (!endpoint) return dwStatus;
    return capi::Opened(endpoint, endpoint->Udp().Bind(static_cast<int>(port), 0), udp);
}

DWORD WINAPI qv_udp_send_to(qv_handle udp, const wchar_t* address, DWORD port, const void* data,
                            DWORD length) {
    Call call(udp, KindBit(QV_KIND_UDP));
    if (call.Status()) return call.Status();
    if (!address || (!data && length) || !ValidPort(port) || length > QV_UDP_MAX_DATAGRAM) {
        return capi::Refuse(ERROR_INVALID_PARAMETER);
    }
    // "a.b.c.d:port" as the C++ class takes it; a port in the text and
    // another in the argument would be two answers to one question.
    wchar_t szDestination[CX_SOCKET_ADDRESS_MAX + 8];
    size_t cch = quorvel::BoundedLength(address, CX_SOCKET_ADDRESS_MAX + 1);
    if (cch > CX_SOCKET_ADDRESS_MAX) return WSAEINVAL;
    std::memcpy(szDestination, address, cch * sizeof(wchar_t));
    szDestination[cch] = L'\0';
    if (port) {
        for (size_t i = 0; i < cch; ++i) {
            if (address[i] == L':') return capi::Refuse(ERROR_INVALID_PARAMETER);
        }
        quorvel::os::wsprintfW(szDestination + cch, L":%lu", port);
    }
    unsigned char cNothing = 0;
    return capi::Result(call, call.Get<capi::Datagrams>()->Udp().SendDatagramTo(
                                  szDestination,
                                  data ? static_cast<unsigned char*>(const_cast<void*>(data))
                                       : &cNothing,
                                  length));
}

DWORD WINAPI qv_udp_recv_from(qv_handle udp, void* buffer, DWORD size, DWORD timeout_ms,
                              DWORD* length, wchar_t* sender, DWORD sender_capacity,
                              DWORD* sender_port) {
    if (length) *length = 0;
    if (sender_port) *sender_port = 0;
    if (sender && sender_capacity) sender[0] = L'\0';
    Call call(udp, KindBit(QV_KIND_UDP));
    if (call.Status()) return call.Status();
    if (!length || (!buffer && size) || (!sender && sender_capacity)) {
        return capi::Refuse(ERROR_INVALID_PARAMETER);
    }
    // Room for any sender, asked before a datagram is taken.
    if (sender_capacity && sender_capacity < kSenderCch) {
        *length = kSenderCch - 1;  // the length any sender's text may need
        return capi::Refuse(ERROR_INSUFFICIENT_BUFFER);
    }
    wchar_t szFrom[64] = {};
    unsigned long ulLength = 0;
    unsigned char cNothing = 0;
    if (!call.Get<capi::Datagrams>()->Udp().RecvDatagram(
            szFrom, buffer ? static_cast<unsigned char*>(buffer) : &cNothing, size, &ulLength,
            timeout_ms)) {
        return call.Failed();
    }
    *length = ulLength;
    // "a.b.c.d:port": the address to the host's buffer, the port apart.
    size_t cchAddress = 0;
    while (szFrom[cchAddress] && szFrom[cchAddress] != L':') ++cchAddress;
    DWORD dwPort = 0;
    for (size_t i = cchAddress + 1; szFrom[cchAddress] && szFrom[i]; ++i) {
        dwPort = dwPort * 10 + static_cast<DWORD>(szFrom[i] - L'0');
    }
    szFrom[cchAddress] = L'\0';
    if (sender_port) *sender_port = dwPort;
    return sender_capacity ? capi::PutText(szFrom, 64, sender, sender_capacity, nullptr)
                           : ERROR_SUCCESS;
}

}  // extern "C"
