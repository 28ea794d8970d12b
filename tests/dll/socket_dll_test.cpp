// A TCP exchange through quorvel.dll's exported socket classes.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "quorvel/quorvel.h"
#include "tests/support/message_window.h"

namespace {

// The port a socket is bound to. This program links only quorvel.dll, which
// has Windows Sockets loaded already.
int LocalPort(SOCKET s) {
    using GetSockName = int(WSAAPI*)(SOCKET, sockaddr*, int*);
    auto getName = reinterpret_cast<GetSockName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ws2_32.dll"), "getsockname")));
    SOCKADDR_IN local = {};
    int length = sizeof local;
    if (!getName || getName(s, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    return (static_cast<unsigned char>(local.sin_port & 0xFF) << 8) | (local.sin_port >> 8);
}

}  // namespace

TEST(DllSockets, TcpExchangeOverLoopback) {
    ASSERT_EQ(1, SocketInit());
    qvtest::MessageWindow window;
    const UINT kMsg = WM_APP + 40;
    CxServerSocket server;
    ASSERT_EQ(1, server.ListenConnection(L"127.0.0.1", 0));
    EXPECT_EQ(1, server.IsListenningConnection());
    int port = LocalPort(server.GetSocket());
    ASSERT_NE(0, port);

    CxClientSocket client;
    client.SetWndMsgProc(window.hwnd(), kMsg, nullptr, nullptr);
    ASSERT_EQ(1, client.Connect(L"127.0.0.1", port, 0));
    CxClientSocket peer;
    peer.Attach(server.AcceptConnection());
    ASSERT_NE(nullptr, peer.GetSafeHandle());

    unsigned char out[64 * 1024], in[sizeof out];
    for (size_t i = 0; i < sizeof out; ++i) out[i] = static_cast<unsigned char>(i * 13);
    int received = 0;
    std::thread reader([&] { received = peer.Recv(in, sizeof in, 0); });
    EXPECT_EQ(1, client.Send(out, sizeof out, 0));
    reader.join();
    EXPECT_EQ(1, received);
    EXPECT_EQ(0, std::memcmp(out, in, sizeof in));

    CxComm* endpoint = &peer;  // the shared interface reaches the same object
    unsigned char byte = 42;
    ASSERT_EQ(1, endpoint->Send(&byte, 1, 0));
    MSG msg;
    ASSERT_TRUE(window.WaitFor(kMsg, &msg));
    EXPECT_EQ(static_cast<WPARAM>(client.GetSocket()), msg.wParam);
    EXPECT_EQ(CX_SOCKET_READ, static_cast<long>(LOWORD(msg.lParam)));
    ASSERT_EQ(1, client.Recv(&byte, 1, 0));
    EXPECT_EQ(42, byte);

    wchar_t text[16];
    ASSERT_EQ(1, client.GetPeerAddress(text));
    EXPECT_STREQ(L"127.0.0.1", text);
    EXPECT_EQ(1, client.DisConnect());
    EXPECT_EQ(1, peer.DisConnect());
    EXPECT_EQ(1, server.DisListenConnection());

    CxUdpSocket udp;
    ASSERT_EQ(1, udp.Bind(0, 0));
    EXPECT_EQ(1, udp.IsBinded());
    EXPECT_EQ(1, udp.Disbind());
    EXPECT_EQ(1, SocketUnInit());
}
