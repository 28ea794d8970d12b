// qvtool tcp and udp in-process against python3's loopback peer (peer.py),
// which ctest starts before this suite: a TCP echo server, a TCP server that
// says "bye" and closes at once, and a UDP peer that echoes each datagram to
// its sender's port and on request sends from its own port or connects.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <string>

#include "platform/os.h"
#include "quorvel/quorvel.h"
#include "tests/qvtool/tool_run.h"
#include "tests/support/os_hook.h"
#include "tools/qvtool/commands.h"

using qvtest::RunTool;
using qvtest::ToolRun;

namespace {

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
    return bytes;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The number after "port " in the first line that has it.
int PortIn(const std::string& text) {
    size_t at = text.find("port ");
    return at == std::string::npos ? 0 : std::atoi(text.c_str() + at + 5);
}

class Peer : public testing::Test {
protected:
    void SetUp() override {
        FILE* file = std::fopen("socket_peer.txt", "r");
        if (!file ||
            std::fscanf(file, "tcp %d udp %d close %d", &tcpPort, &udpPort, &closePort) != 3) {
            if (file) std::fclose(file);
            GTEST_SKIP() << "no peer: run through ctest, which starts peer.sh";
        }
        std::fclose(file);
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsa));
        started = true;
    }
    void TearDown() override {
        if (started) WSACleanup();
    }
    // A datagram to the UDP peer from a socket of the test's own.
    void TellPeer(const std::string& text) {
        SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        SOCKADDR_IN to = {};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<u_short>(udpPort));
        sendto(s, text.data(), static_cast<int>(text.size()), 0, reinterpret_cast<SOCKADDR*>(&to),
               sizeof to);
        closesocket(s);
    }
    std::string Hex(const std::string& bytes) {
        return qvtool::Hex(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    }

    WSADATA wsa = {};
    bool started = false;
    int tcpPort = 0, udpPort = 0, closePort = 0;
};

}  // namespace

TEST_F(Peer, TcpConnectSaysWhereAndCarriesAnyBytesUntilThePeersEnd) {
    std::string target = "127.0.0.1:" + std::to_string(tcpPort);
    ToolRun run({"tcp", "connect", "127.0.0.1", std::to_string(tcpPort)});
    ASSERT_TRUE(run.WaitErr([&](const std::string& e) { return Contains(e, "connected to " + target); }))
        << run.Err();
    const std::string data = RandomBytes(300000, 3);
    run.Write(data);
    ASSERT_TRUE(run.WaitOut([&](const std::string& o) { return o.size() >= data.size(); }));
    EXPECT_TRUE(run.Out() == data);
    run.CloseInput();  // our end shut: the echo server closes, and that ends it
    EXPECT_EQ(qvtool::kSuccess, run.Finish());
    EXPECT_TRUE(Contains(run.Err(), target + " closed the connection")) << run.Err();
}

TEST_F(Peer, TcpEndsWhenThePeerClosesWithoutWaitingForStdin) {
    std::string target = "127.0.0.1:" + std::to_string(closePort);
    ToolRun connect({"tcp", "connect", "127.0.0.1", std::to_string(closePort)});
    EXPECT_EQ(qvtool::kSuccess, connect.Code());  // stdin is still open
    connect.Finish();
    EXPECT_EQ("bye", connect.Out());
    EXPECT_TRUE(Contains(connect.Err(), target + " closed the connection")) << connect.Err();

    // Listening on any free port, which it shows; the peer connects to it.
    ToolRun listen({"tcp", "listen", "127.0.0.1", "0"});
    ASSERT_TRUE(listen.WaitErr([](const std::string& e) { return PortIn(e) > 0; })) << listen.Err();
    TellPeer("CONNECT " + std::to_string(PortIn(listen.Err())));
    EXPECT_EQ(qvtool::kSuccess, listen.Code());
    listen.Finish();
    EXPECT_EQ("hello from the peer", listen.Out());
    EXPECT_TRUE(Contains(listen.Err(), "connection from 127.0.0.1:")) << listen.Err();
    EXPECT_TRUE(Contains(listen.Err(), "closed the connection")) << listen.Err();
}

TEST_F(Peer, TcpTimeoutsForAcceptAndConnect) {
    qvtest::ToolResult accept = RunTool({"tcp", "listen", "127.0.0.1", "0", "--timeout", "1"});
    EXPECT_EQ(qvtool::kFailure, accept.code);
    EXPECT_TRUE(Contains(accept.err, "no connection within 1 s")) << accept.err;

    // A connect that the system holds up outlasts the limit.
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> inside{0};
    {
        qvtest::Hook<quorvel::os::connect> slow([&](SOCKET, const sockaddr*, int) {
            ++inside;
            WaitForSingleObject(release, 30000);
            WSASetLastError(WSAETIMEDOUT);
            --inside;
            return SOCKET_ERROR;
        });
        DWORD start = GetTickCount();
        qvtest::ToolResult connect =
            RunTool({"tcp", "connect", "127.0.0.1", std::to_string(tcpPort), "--timeout", "1"});
        EXPECT_LT(GetTickCount() - start, 10000u);
        EXPECT_EQ(qvtool::kFailure, connect.code);
        EXPECT_TRUE(Contains(connect.err, "cannot connect to 127.0.0.1:" + std::to_string(tcpPort) +
                                              " within 1 s"))
            << connect.err;
        SetEvent(release);
        for (int i = 0; i < 500 && inside.load(); ++i) Sleep(10);
        Sleep(50);  // out of the hook before it goes
    }
    CloseHandle(release);
}

TEST_F(Peer, UdpHexCarriesAMegabyteOfDatagramsOfAnySizeUnchanged) {
    // Sizes from empty to the largest, 1 MB in all; the peer sends each back.
    std::mt19937 random(17);
    std::vector<std::string> datagrams = {"", RandomBytes(65507, 1), std::string(1, '\0'),
                                          "\x1a\r\n"};
    size_t total = 65510;
    while (total < (1u << 20)) {
        size_t size = std::min<size_t>(random() % 65508, (1u << 20) - total);
        datagrams.push_back(RandomBytes(size, static_cast<unsigned>(datagrams.size())));
        total += size;
    }
    ToolRun run({"udp", "0", "--hex", "--peer", "127.0.0.1:" + std::to_string(udpPort), "--count",
                 std::to_string(datagrams.size())});
    ASSERT_TRUE(run.WaitErr([](const std::string& e) { return PortIn(e) > 0; })) << run.Err();
    std::string expected;
    size_t lines = 0;
    for (const std::string& datagram : datagrams) {
        // One at a time, so that no datagram is dropped for want of room.
        expected += Hex(datagram) + "\n";
        run.Write(Hex(datagram) + "\n");
        ++lines;
        ASSERT_TRUE(run.WaitOut([&](const std::string& o) {
            return static_cast<size_t>(std::count(o.begin(), o.end(), '\n')) >= lines;
        })) << "datagram " << lines << " of " << datagram.size() << " bytes; " << run.Err();
    }
    run.CloseInput();
    EXPECT_EQ(qvtool::kSuccess, run.Finish()) << run.Err();
    EXPECT_TRUE(run.Out() == expected);
    EXPECT_GE(total, 1u << 20);
}

TEST_F(Peer, UdpAnswersTheSendersOwnPortAndShowsDatagramsAsJson) {
    qvtest::ToolResult early = RunTool({"udp", "0", "--json"}, "68690a\n");
    EXPECT_EQ(qvtool::kFailure, early.code);
    EXPECT_TRUE(Contains(early.err, "no peer yet: give --peer or wait for a datagram")) << early.err;

    ToolRun run({"udp", "0", "--json", "--count", "3"});
    ASSERT_TRUE(run.WaitErr([](const std::string& e) { return PortIn(e) > 0; })) << run.Err();
    TellPeer("PORT " + std::to_string(PortIn(run.Err())));  // "hello" from the peer's port
    std::string from = "{\"from\": \"127.0.0.1\", \"port\": " + std::to_string(udpPort);
    std::string hello = from + ", \"size\": 5, \"data\": \"68656c6c6f\"}\n";
    ASSERT_TRUE(run.WaitOut([&](const std::string& o) { return o == hello; })) << run.Out();
    run.Write("00ff\n\n");  // answered at the peer's port, which sends each back
    std::string echoed = from + ", \"size\": 2, \"data\": \"00ff\"}\n" + from +
                         ", \"size\": 0, \"data\": \"\"}\n";
    ASSERT_TRUE(run.WaitOut([&](const std::string& o) { return o == hello + echoed; })) << run.Out();
    run.CloseInput();
    EXPECT_EQ(qvtool::kSuccess, run.Finish());
}

TEST_F(Peer, UdpLinesAreRawBytesEvenOnATextStdoutAndBadLinesAreSkipped) {
    // LF, CR, NUL and Ctrl+Z come back byte for byte, although stdout starts
    // in text mode as in every program.
    std::string peer = "127.0.0.1:" + std::to_string(udpPort);
    ToolRun lines({"udp", "0", "--peer", peer, "--count", "3"}, qvtest::Stdout::kText);
    ASSERT_TRUE(lines.WaitErr([](const std::string& e) { return PortIn(e) > 0; }));
    std::string input("a\x00\x1a\r\n\n\r\r\x1a\n", 10);
    lines.Write(input);
    EXPECT_EQ(qvtool::kSuccess, lines.Finish()) << lines.Err();
    EXPECT_EQ(qvtool::Hex(reinterpret_cast<const unsigned char*>(input.data()), input.size()),
              Hex(lines.Out()));

    // The piece after the last line feed goes out too as stdin ends (seen
    // here by a socket of the test's own).
    SOCKET own = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    SOCKADDR_IN at = {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(own, reinterpret_cast<SOCKADDR*>(&at), sizeof at));
    int length = sizeof at;
    getsockname(own, reinterpret_cast<SOCKADDR*>(&at), &length);
    qvtest::ToolResult last = RunTool(
        {"udp", "0", "--peer", "127.0.0.1:" + std::to_string(ntohs(at.sin_port)), "--timeout", "1"},
        "line\nno line feed");
    EXPECT_EQ(qvtool::kSuccess, last.code) << last.err;
    DWORD limit = 10000;  // ms, should a datagram never come
    setsockopt(own, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
    auto take = [&] {
        char buffer[64];
        int n = recv(own, buffer, sizeof buffer, 0);
        return n < 0 ? std::string("<nothing>") : std::string(buffer, n);
    };
    EXPECT_EQ("line\n", take());
    EXPECT_EQ("no line feed", take());
    closesocket(own);

    // A line that cannot be a datagram is told and skipped; the lines after
    // it still go, and the run fails at its end.
    std::string tooLarge(65508, 'x');
    qvtest::ToolResult hex = RunTool({"udp", "0", "--hex", "--peer", peer, "--count", "2"},
                                     "12 3\n" + Hex(tooLarge) + "\n0102\n\n");
    EXPECT_EQ(qvtool::kFailure, hex.code);
    EXPECT_EQ("0102\n\n", hex.out);
    EXPECT_TRUE(Contains(hex.err, "not a line of hexadecimal digit pairs")) << hex.err;
    EXPECT_TRUE(Contains(hex.err, "a datagram of 65508 bytes is larger than the largest")) << hex.err;
    qvtest::ToolResult raw =
        RunTool({"udp", "0", "--peer", peer, "--count", "1"}, tooLarge + tooLarge + "\nok\n");
    EXPECT_EQ(qvtool::kFailure, raw.code);
    EXPECT_EQ("ok\n", raw.out);
    EXPECT_TRUE(Contains(raw.err, "65507 bytes")) << raw.err;  // however stdin comes in
}

TEST_F(Peer, UdpReceivesAfterStdinEndsUntilItsCountOrAQuietTime) {
    // A service or a log collector: stdin ends at once, what arrives shows.
    ToolRun run({"udp", "0", "--hex", "--count", "2"});
    run.CloseInput();
    ASSERT_TRUE(run.WaitErr([](const std::string& e) { return PortIn(e) > 0; })) << run.Err();
    for (int i = 0; i < 2; ++i) TellPeer("PORT " + std::to_string(PortIn(run.Err())));
    EXPECT_EQ(qvtool::kSuccess, run.Finish()) << run.Err();
    EXPECT_EQ(Hex("hello") + "\n" + Hex("hello") + "\n", run.Out());

    qvtest::ToolResult quiet = RunTool({"udp", "0", "--timeout", "1"});
    EXPECT_EQ(qvtool::kSuccess, quiet.code);
    EXPECT_TRUE(Contains(quiet.err, "nothing sent or received for 1 s")) << quiet.err;
    qvtest::ToolResult missing = RunTool({"udp", "0", "--count", "1", "--timeout", "1"});
    EXPECT_EQ(qvtool::kFailure, missing.code);
    EXPECT_TRUE(Contains(missing.err, "received 0 of 1 datagrams; nothing sent or received for 1 s"))
        << missing.err;
}
