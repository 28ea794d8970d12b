// What C++ hosts gained with the C interface: transfers with one time
// limit, receiving what has arrived, the count waiting and the end of a
// connection without ioctlsocket, connect and accept with limits, and a
// server whose listener tells of waiting connections.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/socket/socket_support.h"

using namespace qvtest::sockets;

namespace {

unsigned long LastError() { return SocketGetLastError(); }

class Timed : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(1, SocketInit()); }
    void TearDown() override { SocketUnInit(); }
};

}  // namespace

TEST_F(Timed, LimitsCountsAndTheEndOfAConnection) {
    Loopback pair;
    ASSERT_TRUE(pair.Open());
    unsigned char buffer[16] = {};
    unsigned long n = 99, waiting = 0;
    int closed = 1;
    EXPECT_EQ(0, pair.client.RecvSome(buffer, sizeof buffer, 0, &n));
    EXPECT_EQ(static_cast<unsigned long>(WAIT_TIMEOUT), LastError());
    EXPECT_EQ(0u, n);
    ASSERT_EQ(1, pair.client.GetRecvCount(&waiting, &closed));
    EXPECT_EQ(0u, waiting);
    EXPECT_EQ(0, closed);

    const unsigned char hello[] = "hello";
    ASSERT_EQ(1, pair.peer.SendExact(hello, 5, 1000, &n));
    EXPECT_EQ(5u, n);
    ASSERT_TRUE(WaitUntil([&] { return pair.client.GetRecvCount(&waiting, &closed) && waiting == 5; }, 2000));
    EXPECT_EQ(0, pair.client.RecvExact(buffer, 8, 200, &n));  // three more never come
    EXPECT_EQ(static_cast<unsigned long>(WAIT_TIMEOUT), LastError());
    EXPECT_EQ(5u, n);
    EXPECT_EQ(0, std::memcmp(buffer, "hello\0\0\0", 8));

    // The peer goes: what it sent is read first, then its end is told.
    ASSERT_EQ(1, pair.peer.SendExact(hello, 2, 1000, nullptr));
    pair.peer.DisConnect();
    ASSERT_EQ(1, pair.client.RecvSome(buffer, sizeof buffer, 1000, &n));
    EXPECT_EQ(2u, n);
    ASSERT_TRUE(WaitUntil([&] { return pair.client.GetRecvCount(&waiting, &closed) && closed; }, 2000));
    EXPECT_EQ(0, pair.client.RecvSome(buffer, sizeof buffer, 1000, &n));
    EXPECT_EQ(static_cast<unsigned long>(WSAEDISCON), LastError());
    EXPECT_EQ(0, pair.client.Recv(buffer, 1, 0));  // the three-argument form says so too
    EXPECT_EQ(static_cast<unsigned long>(WSAEDISCON), LastError());
}

TEST_F(Timed, ConnectAcceptAndAServerThatTellsOfConnections) {
    CxServerSocket server;
    Calls calls;
    server.SetWndMsgProc(nullptr, 0, &Calls::Proc, &calls);
    ASSERT_EQ(1, server.ListenConnection(L"127.0.0.1", 0, 1));
    EXPECT_EQ(1, server.IsListening());
    EXPECT_EQ(INVALID_SOCKET, server.AcceptConnection(0));
    EXPECT_EQ(static_cast<unsigned long>(WAIT_TIMEOUT), LastError());

    int port = LocalPort(server.GetSocket());
    CxClientSocket client;
    ASSERT_EQ(1, client.Connect(L"127.0.0.1", port, 0, 2000));
    ASSERT_TRUE(WaitUntil([&] { return calls.Count() > 0; }, 2000));
    {
        std::lock_guard<std::mutex> lock(calls.mutex);
        EXPECT_EQ(CX_EVENT_CONNECTION_WAITING, calls.events[0]);
    }
    CxClientSocket peer;
    peer.Attach(server.AcceptConnection(2000));
    EXPECT_EQ(1, peer.IsConnected());
    server.DisListenConnection();
    // Refused through the limited connect's own wait.
    CxClientSocket refused;
    EXPECT_EQ(0, refused.Connect(L"127.0.0.1", port, 0, 2000));
    EXPECT_EQ(static_cast<unsigned long>(WSAECONNREFUSED), LastError());
    EXPECT_EQ(INVALID_SOCKET, refused.GetSocket());

    CxUdpSocket udp;
    ASSERT_EQ(1, udp.Bind(0, 0));
    unsigned long length = 9;
    wchar_t sender[32] = L"x";
    EXPECT_EQ(0, udp.RecvDatagram(sender, nullptr, 0, &length, 50));
    EXPECT_EQ(static_cast<unsigned long>(WAIT_TIMEOUT), LastError());
    EXPECT_EQ(0u, length);
    EXPECT_EQ(L'\0', sender[0]);
    client.DisConnect();
    peer.DisConnect();
}
