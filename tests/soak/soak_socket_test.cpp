// Socket endpoints over loopback through many cycles, and closed from
// another thread while a call waits or data streams.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "quorvel/quorvel.h"
#include "tests/soak/soak.h"

namespace {

constexpr unsigned kBound = 10000;  // ms a call may take to come back

struct Sockets {
    Sockets() : ok(SocketInit() == 1) {}
    ~Sockets() {
        if (ok) SocketUnInit();
    }
    bool ok;
};

// Ports of this suite; a listening port is rotated so that no bind meets a
// connection of an earlier cycle in TIME_WAIT.
int Port(int i) { return 47000 + (GetCurrentProcessId() % 50) * 40 + i % 40; }

}  // namespace

TEST(Soak, TcpConnectTransferDisconnectAndServerAcceptClose) {
    Sockets sockets;
    ASSERT_TRUE(sockets.ok);
    CxServerSocket server;
    ASSERT_EQ(1, server.ListenConnection(L"127.0.0.1", Port(0)));
    qvsoak::Soak("tcp connect/transfer/disconnect", [&](int) -> std::string {
        CxClientSocket client;
        if (!client.Connect(L"127.0.0.1", Port(0), 1)) return "Connect failed";
        SOCKET accepted = server.AcceptConnection();
        if (accepted == INVALID_SOCKET) return "AcceptConnection failed";
        CxClientSocket peer;
        peer.Attach(accepted);
        unsigned char data[8] = {'0', '1', '2', '3', '4', '5', '6', '7'}, back[8];
        if (!client.Send(data, 8, 0) || !peer.Recv(back, 8, 0) || std::memcmp(data, back, 8)) {
            return "client to peer failed";
        }
        if (!peer.Send(data, 8, 0) || !client.Recv(back, 8, 0) || std::memcmp(data, back, 8)) {
            return "peer to client failed";
        }
        client.DisConnect();
        peer.DisConnect();
        return "";
    });
    server.DisListenConnection();

    qvsoak::Soak("tcp server listen/accept/close", [&](int i) -> std::string {
        CxServerSocket listener;
        if (!listener.ListenConnection(L"127.0.0.1", Port(i + 1))) return "ListenConnection failed";
        CxClientSocket client;
        if (!client.Connect(L"127.0.0.1", Port(i + 1), 0)) return "Connect failed";
        SOCKET accepted = listener.AcceptConnection();
        if (accepted == INVALID_SOCKET) return "AcceptConnection failed";
        client.DisConnect();  // the client's side keeps the TIME_WAIT
        closesocket(accepted);
        listener.DisListenConnection();
        return "";
    });
}

TEST(Soak, UdpBindExchangeClose) {
    Sockets sockets;
    ASSERT_TRUE(sockets.ok);
    qvsoak::Soak("udp bind/exchange/close", [&](int i) -> std::string {
        CxUdpSocket udp;
        if (!udp.Bind(Port(i), i % 2)) return "Bind failed";
        udp.SetPeerAddress(L"127.0.0.1");
        unsigned char data[16] = {}, back[16];
        data[0] = static_cast<unsigned char>(i);
        if (!udp.Send(data, 16, 0) || !udp.Recv(back, 16, 0) || back[0] != data[0]) {
            return "exchange failed";
        }
        udp.Disbind();
        return "";
    });
}

// Another thread closes the endpoint while a receive or an accept waits, or
// while data streams in; the waiting call returns failure and nothing hangs.
TEST(Soak, SocketsClosedFromAnotherThreadWhileBusy) {
    Sockets sockets;
    ASSERT_TRUE(sockets.ok);
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        CxServerSocket server;
        ASSERT_EQ(1, server.ListenConnection(L"127.0.0.1", Port(round)));
        CxClientSocket client;
        ASSERT_EQ(1, client.Connect(L"127.0.0.1", Port(round), round % 2));
        CxClientSocket peer;
        peer.Attach(server.AcceptConnection());
        ASSERT_NE(INVALID_SOCKET, peer.GetSocket());

        // A Recv that waits.
        std::atomic<int> result{-1};
        std::thread reader([&] {
            unsigned char buffer[4];
            result = client.Recv(buffer, 4, 0);
        });
        Sleep(50);
        EXPECT_TRUE(qvsoak::EndsWithin(kBound, [&] { client.DisConnect(); }));
        EXPECT_TRUE(qvsoak::EndsWithin(kBound, [&] { reader.join(); }));
        EXPECT_EQ(0, result.load());

        // Data streaming in while the receiving side is closed.
        std::atomic<bool> stop{false};
        CxClientSocket receiver;
        ASSERT_EQ(1, receiver.Connect(L"127.0.0.1", Port(round), 0));
        CxClientSocket sender;
        sender.Attach(server.AcceptConnection());
        std::thread feeder([&] {
            unsigned char chunk[1024] = {};
            while (!stop && sender.Send(chunk, sizeof chunk, 0)) {
            }
        });
        std::atomic<int> last{-1};
        std::thread streamReader([&] {
            unsigned char chunk[512];
            for (;;) {
                int r = receiver.Recv(chunk, sizeof chunk, 0);
                last = r;
                if (!r) break;
            }
        });
        Sleep(30);
        EXPECT_TRUE(qvsoak::EndsWithin(kBound, [&] { receiver.DisConnect(); }));
        EXPECT_TRUE(qvsoak::EndsWithin(kBound, [&] { streamReader.join(); }));
        stop = true;
        EXPECT_TRUE(qvsoak::EndsWithin(kBound, [&] { sender.DisConnect(); feeder.join(); }));
        EXPECT_EQ(0, last.load());

        // An accept that waits.
        SOCKET acceptedLate = 0;
        std::thread acceptor([&] { acceptedLate = server.AcceptConnection(); });
        Sleep(50);
        EXPECT_TRUE(qvsoak::EndsWithin(kBound, [&] { server.DisListenConnection(); }));
        EXPECT_TRUE(qvsoak::EndsWithin(kBound, [&] { acceptor.join(); }));
        EXPECT_EQ(INVALID_SOCKET, acceptedLate);

        // A UDP Recv that waits.
        CxUdpSocket udp;
        ASSERT_EQ(1, udp.Bind(Port(round) + 1000, round % 2));
        std::atomic<int> udpResult{-1};
        std::thread udpReader([&] {
            unsigned char buffer[4];
            udpResult = udp.Recv(buffer, 4, 0);
        });
        Sleep(50);
        EXPECT_TRUE(qvsoak::EndsWithin(kBound, [&] { udp.Disbind(); }));
        EXPECT_TRUE(qvsoak::EndsWithin(kBound, [&] { udpReader.join(); }));
        EXPECT_EQ(0, udpResult.load());
        peer.DisConnect();
        if (HasFailure()) return;
    }
}
