// RFCOMM connections over the simulated stack; the data runs on real
// loopback sockets, so the inherited TCP behaviour is tested for real.
#include <gtest/gtest.h>

#include "tests/bluetooth/bth_fixture.h"
#include "tests/support/message_window.h"
#include "tests/support/os_hook.h"

TEST_F(Bluetooth, RfcommConnectsByChannelAcceptsAndCarriesDataBothWays) {
    ASSERT_EQ(1, SocketInit());
    TwoRadios();
    CxBthClientSocket client;
    wchar_t text[48] = L"-";
    EXPECT_EQ(0, client.IsConnected());
    EXPECT_EQ(0, client.GetPeerAddress(text) + client.GetSockAddress(text));
    EXPECT_STREQ(L"-", text);
    EXPECT_EQ(0, client.Connect(Text(kRadioB).c_str(), nullptr, 9, 0));  // nobody listens
    EXPECT_EQ(static_cast<unsigned long>(WSAECONNREFUSED), SocketGetLastError());
    EXPECT_EQ(nullptr, client.GetSafeHandle());

    long lMask = -1;
    qvtest::Hook<quorvel::os::WSAAsyncSelect> hook([&](SOCKET s, HWND w, u_int m, long mask) {
        lMask = mask;
        return hook.Real()(s, w, m, mask);
    });
    qvtest::MessageWindow window;
    CxBthServerSocket server;
    server.SetWndMsgProc(window.hwnd(), WM_APP + 3, nullptr, nullptr);
    EXPECT_EQ(0, server.ListenConnection(L"(00:00:00:00:00:09)", nullptr, 5));  // no such radio
    EXPECT_EQ(0, server.IsListenningConnection());
    ASSERT_EQ(1, server.ListenConnection(Text(kRadioB).c_str(), nullptr, 5));
    EXPECT_EQ(1, server.IsListenningConnection());
    EXPECT_EQ(0x28, lMask);
    EXPECT_EQ(1, stack.RfcommSockets());  // the unbound socket was closed first

    GUID service = CX_BTH_SERIAL_PORT_SERVICE_CLASS;
    ASSERT_EQ(1, client.Connect(Text(kRadioB).c_str(), &service, 5, 0));
    SOCKADDR_BTH handed = stack.LastConnectAddress();
    EXPECT_EQ(kRadioB, handed.btAddr);
    EXPECT_EQ(5u, handed.port);
    EXPECT_TRUE(IsEqualGUID(service, handed.serviceClassId));
    MSG msg;
    ASSERT_TRUE(window.WaitFor(WM_APP + 3, &msg));
    EXPECT_EQ(CX_SOCKET_ACCEPT, WSAGETSELECTEVENT(msg.lParam));
    CxBthClientSocket accepted;
    accepted.Attach(server.AcceptConnection());
    ASSERT_NE(nullptr, accepted.GetSafeHandle());
    EXPECT_EQ(1, accepted.IsConnected());
    unsigned char hello[] = "hello", got[6] = {};
    ASSERT_EQ(1, client.Send(hello, 6, 0));
    ASSERT_EQ(1, accepted.Recv(got, 6, 0));
    EXPECT_STREQ("hello", reinterpret_cast<char*>(got));
    ASSERT_EQ(1, accepted.Send(hello + 1, 4, 0));
    ASSERT_EQ(1, client.Recv(got, 4, 0));
    EXPECT_EQ(0, std::memcmp("ello", got, 4));

    EXPECT_EQ(1, client.GetSockAddress(text));
    EXPECT_EQ(Text(kRadioA), text);
    EXPECT_EQ(1, accepted.GetPeerAddress(text));
    EXPECT_EQ(Text(kRadioA), text);
    EXPECT_EQ(1, accepted.GetSockAddress(text));
    EXPECT_EQ(Text(kRadioB) + L":5", text);
    EXPECT_EQ(1, client.GetPeerAddress(text));
    EXPECT_EQ(Text(kRadioB) + L":5", text);
    // What the address operations write is taken back wherever text is parsed.
    CxBthClientSocket second;
    {
        // A listener that cannot start fails the connection, which is closed.
        qvtest::Hook<quorvel::os::CreateThread> noThread(
            [](LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
               LPDWORD) -> HANDLE {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return nullptr;
            });
        int sockets = stack.RfcommSockets();
        EXPECT_EQ(0, second.Connect(text, nullptr, 5, 1));
        EXPECT_EQ(static_cast<unsigned long>(ERROR_NOT_ENOUGH_MEMORY), SocketGetLastError());
        EXPECT_EQ(nullptr, second.GetSafeHandle());
        EXPECT_EQ(sockets, stack.RfcommSockets());
        if (SOCKET waiting = server.AcceptConnection(); waiting != INVALID_SOCKET) {
            CxBthClientSocket dropped;
            dropped.Attach(waiting);
            dropped.DisConnect();
        }
    }
    ASSERT_EQ(1, second.Connect(text, nullptr, 5, 1));
    EXPECT_EQ(1, second.IsListening());
    CxBthRadio radio;
    EXPECT_EQ(1, radio.Open(text));
    radio.Close();
    second.DisConnect();
    client.DisConnect();
    accepted.DisConnect();
    server.DisListenConnection();
    EXPECT_EQ(0, stack.RfcommSockets() + stack.Listeners());
    EXPECT_EQ(0, server.ListenConnection(nullptr, nullptr, 5));
    SocketUnInit();
}
