// The library against a loopback peer it did not write: python3's TCP echo
// server and UDP peer (peer.py), which ctest starts before this suite and
// stops afterwards. Their ports are in socket_peer.txt in the working directory.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "tests/socket/socket_support.h"

using namespace qvtest::sockets;

namespace {

class ForeignPeer : public testing::Test {
protected:
    void SetUp() override {
        FILE* file = std::fopen("socket_peer.txt", "r");
        if (!file || std::fscanf(file, "tcp %d udp %d", &tcpPort, &udpPort) != 2) {
            if (file) std::fclose(file);
            GTEST_SKIP() << "no peer: run through ctest, which starts peer.sh";
        }
        std::fclose(file);
        ASSERT_EQ(1, SocketInit());
    }
    void TearDown() override {
        if (tcpPort) SocketUnInit();
    }
    int tcpPort = 0, udpPort = 0;
};

}  // namespace

TEST_F(ForeignPeer, TcpEchoOfExactCountsWithAndWithoutTheListener) {
    for (int listen : {0, 1}) {
        Calls calls;
        CxClientSocket client;
        client.SetWndMsgProc(nullptr, 0, &Calls::Proc, &calls);
        ASSERT_EQ(1, client.Connect(L"127.0.0.1", tcpPort, listen));
        const unsigned long kSize = 3 * 1024 * 1024 + 17;
        std::vector<unsigned char> out = Pattern(kSize, 11 + listen), in(kSize);
        int received = -1;
        std::thread reader([&] { received = client.Recv(in.data(), kSize, 0); });
        EXPECT_EQ(1, client.Send(out.data(), kSize, 0));
        reader.join();
        EXPECT_EQ(1, received);
        EXPECT_TRUE(in == out);
        EXPECT_EQ(listen != 0, calls.Count() > 0);
        EXPECT_EQ(1, client.DisConnect());
    }
}

TEST_F(ForeignPeer, UdpSenderBecomesThePeerAndAnswersGoToTheBoundPort) {
    CxUdpSocket udp;
    ASSERT_EQ(1, udp.Bind(0, 0));
    int port = LocalPort(udp.GetSocket());
    ASSERT_EQ(1, udp.Bind(port, 0));  // Send goes to the bound port number
    // Asked from a plain socket, the peer sends "hello" to our port.
    SOCKET raw = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    SOCKADDR_IN to = Ipv4(L"127.0.0.1", udpPort);
    std::string ask = "PORT " + std::to_string(port);
    for (int i = 0; i < 2; ++i) {
        sendto(raw, ask.data(), static_cast<int>(ask.size()), 0, (SOCKADDR*)&to, sizeof to);
    }
    unsigned char buffer[5];
    wchar_t text[64];
    ASSERT_EQ(1, udp.RecvFrom(text, buffer, 5));
    EXPECT_EQ("hello", std::string(reinterpret_cast<char*>(buffer), 5));
    EXPECT_STREQ(L"127.0.0.1", text);
    ASSERT_EQ(1, udp.Recv(buffer, 5, 0));
    udp.GetPeerAddress(text);
    EXPECT_STREQ(L"127.0.0.1", text);
    ASSERT_EQ(1, udp.Send(buffer, 3, 0));  // to the bound port: this very socket
    ASSERT_EQ(1, udp.Recv(buffer, 3, 0));
    EXPECT_EQ("hel", std::string(reinterpret_cast<char*>(buffer), 3));
    closesocket(raw);
    EXPECT_EQ(1, udp.Disbind());
}

TEST_F(ForeignPeer, UdpAnswersReachAPeerOnItsOwnPort) {
    // The peer answers from its own port, not ours: the sender's text with
    // its port is the way back to it.
    CxUdpSocket udp;
    ASSERT_EQ(1, udp.Bind(0, 0));
    DWORD limit = 5000;  // ms: an answer that never comes fails the test, not hangs it
    setsockopt(udp.GetSocket(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
               sizeof limit);
    std::wstring peer = L"127.0.0.1:" + std::to_wstring(udpPort);
    unsigned char ping[] = {'p', 'i', 'n', 'g'};
    ASSERT_EQ(1, udp.SendDatagramTo(peer.c_str(), ping, 4));
    wchar_t sender[64];
    unsigned char buffer[64];
    unsigned long length = 0;
    ASSERT_EQ(1, udp.RecvDatagram(sender, buffer, sizeof buffer, &length));
    EXPECT_EQ("ping", std::string(reinterpret_cast<char*>(buffer), length));
    EXPECT_EQ(peer, sender);
    unsigned char empty = 0;
    ASSERT_EQ(1, udp.SendDatagramTo(sender, &empty, 0));  // an empty one comes back empty
    ASSERT_EQ(1, udp.RecvDatagram(sender, buffer, sizeof buffer, &length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ(peer, sender);
    EXPECT_EQ(1, udp.Disbind());
}
