// Every single platform failure while TCP and UDP endpoints work over
// loopback: listen, connect, accept, send, receive, disconnect; bind,
// exchange, close.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "quorvel/quorvel.h"
#include "tests/fault/fault_runner.h"

namespace {

void ExpectClean(const qvfault::Outcome& outcome, long stride = 1) {
    EXPECT_GT(outcome.calls, 0);
    EXPECT_GE(outcome.injected, outcome.calls / stride * 3 / 4);
    for (const std::string& finding : outcome.findings) ADD_FAILURE() << finding;
}

long CALLBACK CountEvents(void* pParam, unsigned int, long) {
    ++*static_cast<std::atomic<int>*>(pParam);
    return 0;
}

// A fresh loopback port for every run, so that no run meets the remains of
// the one before (a connection in TIME_WAIT).
int NextPort() {
    static int next = 0;
    return 43000 + (GetCurrentProcessId() % 97) * 20 + (next++ % 1500);
}

struct Sockets {
    Sockets() : ok(SocketInit() == 1) {}
    ~Sockets() {
        if (ok) SocketUnInit();
    }
    bool ok;
};

}  // namespace

TEST(Fault, TcpListenConnectAcceptTransferDisconnect) {
    Sockets sockets;  // started outside the runs: its own failures are the next scenario's
    ASSERT_TRUE(sockets.ok);
    ExpectClean(qvfault::RunUnderFaults("tcp listen/connect/accept/transfer", []() -> std::string {
        int port = NextPort();
        CxServerSocket server;
        if (!server.ListenConnection(L"127.0.0.1", port)) {
            // A failed bind keeps the socket until then; a refused close, after.
            if (!server.DisListenConnection() && !server.DisListenConnection()) {
                return "a second close failed";
            }
            return "";
        }
        std::atomic<int> events{0};
        CxClientSocket client;
        client.SetWndMsgProc(nullptr, 0, &CountEvents, &events);
        if (!client.Connect(L"127.0.0.1", port, 1)) {
            if (!server.DisListenConnection()) server.DisListenConnection();
            if (client.GetSocket() != INVALID_SOCKET) return "Connect failed but holds a socket";
            return "";
        }
        SOCKET accepted = server.AcceptConnection();
        if (accepted == INVALID_SOCKET) {
            client.DisConnect();
            if (client.GetSocket() != INVALID_SOCKET) client.CloseSocket();
            if (!server.DisListenConnection()) server.DisListenConnection();
            return "";
        }
        CxClientSocket peer;
        peer.Attach(accepted);
        unsigned char hello[5] = {'h', 'e', 'l', 'l', 'o'}, buffer[5] = {};
        // A receive follows only a send that succeeded: it would wait for ever.
        if (client.Send(hello, 5, 0)) {
            if (peer.Recv(buffer, 5, 0) && std::memcmp(buffer, "hello", 5) != 0) {
                return "Recv succeeded with other bytes than were sent";
            }
        }
        unsigned char world[5] = {'w', 'o', 'r', 'l', 'd'};
        if (peer.Send(world, 5, 0)) {
            if (client.Recv(buffer, 5, 0) && std::memcmp(buffer, "world", 5) != 0) {
                return "Recv succeeded with other bytes than were sent";
            }
        }
        wchar_t address[16];
        if (client.GetPeerAddress(address) && std::wcscmp(address, L"127.0.0.1") != 0) {
            return "GetPeerAddress succeeded with another address";
        }
        client.IsConnected();
        CxClientSocket copy(client);
        copy.DisConnect();
        // A close the platform refused keeps the socket: the host closes again.
        for (CxSocket* endpoint : {static_cast<CxSocket*>(&client), static_cast<CxSocket*>(&peer)}) {
            static_cast<CxClientSocket*>(endpoint)->DisConnect();
            if (endpoint->GetSocket() != INVALID_SOCKET && !endpoint->CloseSocket()) {
                return "a second close failed";
            }
        }
        if (!server.DisListenConnection() && !server.DisListenConnection()) {
            return "a second close failed";
        }
        return "";
    }));
}

TEST(Fault, SocketStartUpAndUdpBindExchangeClose) {
    ExpectClean(qvfault::RunUnderFaults("socket start-up and clean-up", []() -> std::string {
        if (!SocketInit()) return "";
        CxUdpSocket udp;  // nothing bound: fails cleanly
        unsigned char byte = 0;
        if (udp.Send(&byte, 1, 0)) return "Send without a socket succeeded";
        SocketUnInit();
        return "";
    }));

    Sockets sockets;
    ASSERT_TRUE(sockets.ok);
    ExpectClean(qvfault::RunUnderFaults("udp bind/exchange/close", []() -> std::string {
        int port = NextPort();
        std::atomic<int> events{0};
        CxUdpSocket udp;
        udp.SetWndMsgProc(nullptr, 0, &CountEvents, &events);
        if (!udp.Bind(port, 1)) {
            if (udp.IsBinded()) return "Bind failed but the socket is bound";
            return "";
        }
        // Datagrams go to the peer at the bound port: here, to this socket.
        udp.SetPeerAddress(L"127.0.0.1");
        unsigned char ping[4] = {'p', 'i', 'n', 'g'}, buffer[4] = {};
        if (udp.Send(ping, 4, 0)) {
            if (udp.Recv(buffer, 4, 0) && std::memcmp(buffer, "ping", 4) != 0) {
                return "Recv succeeded with another datagram";
            }
        }
        wchar_t sender[64] = {};
        if (udp.SendTo(L"127.0.0.1", ping, 4)) {
            // A sender that cannot be written as text reads as empty; the
            // datagram is still delivered.
            if (udp.RecvFrom(sender, buffer, 4) && sender[0] &&
                std::wcscmp(sender, L"127.0.0.1") != 0) {
                return "RecvFrom succeeded with another sender";
            }
        }
        udp.GetPeerAddress(sender);
        CxUdpSocket copy(udp);
        copy.Disbind();
        if (!udp.Disbind() && !udp.Disbind()) return "a second close failed";
        return "";
    }));
}
