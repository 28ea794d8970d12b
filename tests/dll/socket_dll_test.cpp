// A TCP exchange through quorvel.dll's exported socket classes.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "quorvel/quorvel.h"

TEST(DllSockets, TcpExchangeOverLoopback) {
    ASSERT_EQ(1, SocketInit());
    CxServerSocket server;
    ASSERT_EQ(1, server.ListenConnection(L"127.0.0.1", 0));
    // This program links only quorvel.dll; the DLL has Windows Sockets loaded.
    auto getName = reinterpret_cast<int(WSAAPI*)(SOCKET, sockaddr*, int*)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ws2_32.dll"), "getsockname")));
    SOCKADDR_IN local = {};
    int length = sizeof local;
    ASSERT_EQ(0, getName(server.GetSocket(), reinterpret_cast<sockaddr*>(&local), &length));
    CxClientSocket client, peer;
    ASSERT_EQ(1, client.Connect(L"127.0.0.1", (local.sin_port & 0xFF) << 8 | local.sin_port >> 8, 1));
    peer.Attach(server.AcceptConnection());

    unsigned char out[64 * 1024], in[sizeof out];
    for (size_t i = 0; i < sizeof out; ++i) out[i] = static_cast<unsigned char>(i * 13);
    int received = 0;
    std::thread reader([&] { received = peer.Recv(in, sizeof in, 0); });
    CxComm* endpoint = &client;  // the shared interface reaches the same object
    EXPECT_EQ(1, endpoint->Send(out, sizeof out, 0));
    reader.join();
    EXPECT_EQ(1, received);
    EXPECT_EQ(0, std::memcmp(out, in, sizeof in));
    wchar_t text[16];
    ASSERT_EQ(1, client.GetPeerAddress(text));
    EXPECT_STREQ(L"127.0.0.1", text);
    EXPECT_EQ(1, client.DisConnect());
    EXPECT_EQ(1, peer.DisConnect());
    EXPECT_EQ(1, server.DisListenConnection());
    EXPECT_EQ(1, SocketUnInit());
}
