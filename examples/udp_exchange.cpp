// UDP datagrams with the listener callback. A CxUdpSocket sends to its peer
// at its own bound port, so two hosts exchange on one agreed port; on one
// machine, datagrams to 127.0.0.1 come back to the sender itself.
//
//   udp_exchange [PORT [PEER]]     default 47998 and 127.0.0.1
#include <quorvel/quorvel.h>  // before <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Inbox {
    CxUdpSocket* socket;
    HANDLE arrived;
};

// Runs on the socket's listener thread for every datagram that waits.
long CALLBACK OnDatagram(void* pParam, unsigned int, long lEvent) {
    Inbox* inbox = static_cast<Inbox*>(pParam);
    if (lEvent != CX_EVENT_DATA_READY) return 0;
    wchar_t sender[64] = L"";
    unsigned char data[8];  // every datagram here is 8 bytes
    if (inbox->socket->RecvFrom(sender, data, sizeof data)) {
        std::printf("from %ls: %.8s\n", sender, reinterpret_cast<char*>(data));
        std::fflush(stdout);
        SetEvent(inbox->arrived);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int port = argc > 1 ? std::atoi(argv[1]) : 47998;
    wchar_t peer[64] = L"127.0.0.1";
    if (argc > 2) MultiByteToWideChar(CP_UTF8, 0, argv[2], -1, peer, 63);
    if (!SocketInit()) {
        std::fprintf(stderr, "udp_exchange: Windows Sockets cannot start\n");
        return 1;
    }
    CxUdpSocket udp;
    Inbox inbox = {&udp, CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    udp.SetWndMsgProc(nullptr, 0, &OnDatagram, &inbox);  // the target before the listener
    if (!udp.Bind(port, 1)) {
        std::fprintf(stderr, "udp_exchange: cannot bind port %d: error %lu\n", port,
                     SocketGetLastError());
        SocketUnInit();
        return 1;
    }
    udp.SetPeerAddress(peer);
    int received = 0;
    for (int i = 1; i <= 3; ++i) {
        char text[9];
        std::snprintf(text, sizeof text, "hello %d ", i);
        if (!udp.Send(reinterpret_cast<unsigned char*>(text), 8, 0)) {
            std::fprintf(stderr, "udp_exchange: send failed: error %lu\n", SocketGetLastError());
            break;
        }
        if (WaitForSingleObject(inbox.arrived, 5000) == WAIT_OBJECT_0) ++received;
    }
    udp.Disbind();  // closes the socket and stops the listener
    CloseHandle(inbox.arrived);
    SocketUnInit();
    std::printf("%d of 3 datagrams came back\n", received);
    return received == 3 ? 0 : 1;
}
