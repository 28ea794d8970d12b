// Sockets from a Visual C++ host over 127.0.0.1: a TCP exchange and a UDP
// exchange whose received data reaches the host through the listener's
// CALLBACK function, which reads it with Recv on the listener's thread.
#include "host.h"

namespace {

struct Received {
    CxComm* pEndpoint;
    unsigned char data[16];
    unsigned long ulLength;  // bytes to read in one callback
    volatile LONG nCalls;
    volatile LONG nDone;
};

long CALLBACK OnData(void* pParam, unsigned int uHandle, long lEvent) {
    Received* pRx = static_cast<Received*>(pParam);
    InterlockedIncrement(&pRx->nCalls);
    if (lEvent == CX_EVENT_DATA_READY && !pRx->nDone &&
        uHandle == reinterpret_cast<UINT_PTR>(pRx->pEndpoint->GetSafeHandle()) &&
        pRx->pEndpoint->Recv(pRx->data, pRx->ulLength, 0)) {
        InterlockedExchange(&pRx->nDone, 1);
    }
    return 0;
}

unsigned short BoundPort(SOCKET s) {
    sockaddr_in addr;
    int cb = sizeof addr;
    memset(&addr, 0, sizeof addr);
    if (getsockname(s, reinterpret_cast<sockaddr*>(&addr), &cb) != 0) return 0;
    return ntohs(addr.sin_port);
}

void Tcp() {
    CxServerSocket server;
    CHECK(server.ListenConnection(L"127.0.0.1", 0) == 1);
    CHECK(server.IsListenningConnection() == 1);
    unsigned short uPort = BoundPort(server.GetSocket());
    CHECK(uPort != 0);

    CxClientSocket client;
    Received rx;
    memset(&rx, 0, sizeof rx);
    rx.pEndpoint = &client;
    rx.ulLength = 5;
    client.SetWndMsgProc(NULL, 0, &OnData, &rx);
    CHECK(client.Connect(L"127.0.0.1", uPort, 1) == 1);  // with the listener
    CHECK(client.IsConnected() == 1);

    SOCKET hAccepted = server.AcceptConnection();
    CHECK(hAccepted != INVALID_SOCKET);
    CxClientSocket peer;
    peer.Attach(hAccepted);
    wchar_t szPeer[64] = {0};
    CHECK(peer.GetPeerAddress(szPeer) == 1);
    CHECK(lstrcmpW(szPeer, L"127.0.0.1") == 0);

    unsigned char hello[5] = {'h', 'e', 'l', 'l', 'o'};
    CHECK(peer.Send(hello, sizeof hello, 0) == 1);
    CHECK(host::WaitFor(&rx.nDone, 10000));
    CHECK(memcmp(rx.data, hello, sizeof hello) == 0);

    unsigned char reply[6] = {'r', 'e', 'p', 'l', 'y', '!'};
    CHECK(client.Send(reply, sizeof reply, 0) == 1);
    unsigned char got[6] = {0};
    CHECK(peer.Recv(got, sizeof got, 0) == 1);
    CHECK(memcmp(got, reply, sizeof reply) == 0);

    CHECK(client.DisConnect() == 1);
    CHECK(peer.DisConnect() == 1);
    CHECK(server.DisListenConnection() == 1);
    CHECK(server.IsListenningConnection() == 0);
}

void Udp() {
    // UDP sends to the peer at the socket's own port number: over loopback a
    // socket talks to itself.
    CxUdpSocket udp;
    Received rx;
    memset(&rx, 0, sizeof rx);
    rx.pEndpoint = &udp;
    rx.ulLength = 8;
    udp.SetWndMsgProc(NULL, 0, &OnData, &rx);
    int nBound = 0;
    for (int nPort = 47310; nPort < 47330 && !nBound; ++nPort) nBound = udp.Bind(nPort, 1);
    if (!CHECK(nBound == 1)) return;
    CHECK(udp.IsBinded() == 1);
    udp.SetPeerAddress(L"127.0.0.1");
    unsigned char datagram[8] = {'d', 'a', 't', 'a', 'g', 'r', 'a', 'm'};
    CHECK(udp.Send(datagram, sizeof datagram, 0) == 1);
    CHECK(host::WaitFor(&rx.nDone, 10000));
    CHECK(memcmp(rx.data, datagram, sizeof datagram) == 0);
    wchar_t szPeer[64] = {0};
    udp.GetPeerAddress(szPeer);
    CHECK(lstrcmpW(szPeer, L"127.0.0.1") == 0);
    CHECK(udp.Disbind() == 1);
    CHECK(udp.IsBinded() == 0);
}

}  // namespace

int HostMain() {
    CHECK(SocketInit() == 1);
    Tcp();
    Udp();
    // Text that is not numeric IPv4 is refused, not read as 0.0.0.0.
    CxClientSocket client;
    CHECK(client.Connect(L"not-an-address", 80, 0) == 0);
    CHECK(SocketGetLastError() == WSAEINVAL);
    CHECK(SocketUnInit() == 1);
    return 0;
}
