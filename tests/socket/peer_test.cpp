// The library against a loopback peer it did not write: a TCP echo server and
// a UDP peer run by python3 on the Linux side (peer.py). The test harness
// starts the peer before this suite and stops it afterwards; the suite reads
// the peer's ports from socket_peer.txt in its working directory.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "quorvel/quorvel.h"
#include "tests/socket/socket_support.h"

using namespace qvtest::sockets;

namespace {

struct PeerPorts {
    int tcp = 0;
    int udp = 0;
};

bool ReadPeerPorts(PeerPorts* ports) {
    FILE* file = std::fopen("socket_peer.txt", "r");
    if (!file) return false;
    char kind[8];
    int port = 0;
    while (std::fscanf(file, "%7s %d", kind, &port) == 2) {
        if (std::strcmp(kind, "tcp") == 0) ports->tcp = port;
        if (std::strcmp(kind, "udp") == 0) ports->udp = port;
    }
    std::fclose(file);
    return ports->tcp && ports->udp;
}

class ForeignPeer : public testing::Test {
protected:
    void SetUp() override {
        if (!ReadPeerPorts(&ports)) GTEST_SKIP() << "no peer: run through ctest (peer.sh)";
        ASSERT_EQ(1, SocketInit());
        started = true;
    }
    void TearDown() override {
        if (started) {
            EXPECT_EQ(1, SocketUnInit());
        }
    }
    PeerPorts ports;
    bool started = false;
};

}  // namespace

TEST_F(ForeignPeer, TcpEchoOfExactCountsWithAndWithoutTheListener) {
    for (int listen : {0, 1}) {
        SCOPED_TRACE(listen ? "with the listener" : "without");
        Calls calls;
        CxClientSocket client;
        client.SetWndMsgProc(nullptr, 0, &Calls::Proc, &calls);
        ASSERT_EQ(1, client.Connect(L"127.0.0.1", ports.tcp, listen));
        EXPECT_EQ(1, client.IsConnected());
        wchar_t text[16];
        ASSERT_EQ(1, client.GetPeerAddress(text));
        EXPECT_STREQ(L"127.0.0.1", text);

        const unsigned long kSize = 3 * 1024 * 1024 + 17;
        std::vector<unsigned char> out = Pattern(kSize, 11 + listen), in(kSize);
        int received = -1;
        std::thread reader([&] { received = client.Recv(in.data(), kSize, 0); });
        EXPECT_EQ(1, client.Send(out.data(), kSize, 0));
        reader.join();
        EXPECT_EQ(1, received);
        EXPECT_TRUE(in == out);
        if (listen) {
            EXPECT_GE(calls.Count(), 1u);
        } else {
            EXPECT_EQ(0u, calls.Count());
        }
        EXPECT_EQ(1, client.DisConnect());
    }
}

TEST_F(ForeignPeer, UdpPeerIsTheLastSenderAndAnswersGoToTheBoundPort) {
    CxUdpSocket udp;
    ASSERT_EQ(1, udp.Bind(0, 0));
    int port = LocalPort(udp.GetSocket());
    ASSERT_EQ(1, udp.Bind(port, 0));

    // Ask the peer (from a plain socket) to send "hello" to our port.
    SOCKET raw = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    SOCKADDR_IN to = Ipv4(L"127.0.0.1", ports.udp);
    std::string ask = "PORT " + std::to_string(port);
    ASSERT_EQ(static_cast<int>(ask.size()),
              sendto(raw, ask.data(), static_cast<int>(ask.size()), 0,
                     reinterpret_cast<SOCKADDR*>(&to), sizeof to));
    unsigned char buffer[5];
    wchar_t text[64];
    ASSERT_EQ(1, udp.RecvFrom(text, buffer, 5));
    EXPECT_EQ("hello", std::string(reinterpret_cast<char*>(buffer), 5));
    EXPECT_STREQ(L"127.0.0.1", text);

    // Recv makes the sender the peer; Send answers at the bound port (this
    // very socket), not at the port the peer sent from.
    ASSERT_EQ(static_cast<int>(ask.size()),
              sendto(raw, ask.data(), static_cast<int>(ask.size()), 0,
                     reinterpret_cast<SOCKADDR*>(&to), sizeof to));
    udp.SetPeerAddress(L"");
    ASSERT_EQ(1, udp.Recv(buffer, 5, 0));
    udp.GetPeerAddress(text);
    EXPECT_STREQ(L"127.0.0.1", text);
    unsigned char reply[3] = {'a', 'c', 'k'};
    ASSERT_EQ(1, udp.Send(reply, 3, 0));
    ASSERT_EQ(1, udp.Recv(buffer, 3, 0));
    EXPECT_EQ(0, std::memcmp(buffer, reply, 3));
    closesocket(raw);
    EXPECT_EQ(1, udp.Disbind());
}
