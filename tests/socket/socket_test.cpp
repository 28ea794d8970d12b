#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "quorvel/quorvel.h"
#include "tests/socket/socket_support.h"
#include "tests/support/message_window.h"
#include "tests/support/os_hook.h"
#include "tests/support/trace_capture.h"

namespace os = quorvel::os;
using qvtest::Hook;
using namespace qvtest::sockets;

namespace {

const UINT kMsg = WM_APP + 30;

// Reaches the protected listener operations.
struct ProbeClient : CxClientSocket {
    using CxSocket::DisListenEvent;
    using CxSocket::IsListenningEvent;
    using CxSocket::ListenEvent;
    void* ListenerHandle() { return m_ListenThread.GetSafeHandle(); }
};

bool WaitForEvent(qvtest::MessageWindow& window, WPARAM wParam, long lEvent,
                  std::vector<std::pair<WPARAM, long>>* seen) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
        MSG msg;
        if (window.WaitFor(kMsg, &msg, 100)) {
            seen->emplace_back(msg.wParam, static_cast<long>(LOWORD(msg.lParam)));
            if (msg.wParam == wParam && LOWORD(msg.lParam) == lEvent) return true;
        }
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

class Sockets : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(1, SocketInit()); }
    void TearDown() override { EXPECT_EQ(1, SocketUnInit()); }
};

}  // namespace

TEST(SocketStartup, NestsAndReportsThePlatformsErrors) {
    CxClientSocket client;  // constructing needs no start-up
    EXPECT_EQ(0, client.Connect(L"127.0.0.1", 9, 0));
    EXPECT_EQ(static_cast<unsigned long>(WSANOTINITIALISED), SocketGetLastError());

    ASSERT_EQ(1, SocketInit());
    ASSERT_EQ(1, SocketInit());
    EXPECT_EQ(1, SocketUnInit());
    SOCKET s = os::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);  // still started
    EXPECT_NE(INVALID_SOCKET, s);
    os::closesocket(s);
    EXPECT_EQ(1, SocketUnInit());
    EXPECT_EQ(0, SocketUnInit());
    EXPECT_EQ(static_cast<unsigned long>(WSANOTINITIALISED), SocketGetLastError());

    // A platform that grants another version is no start-up.
    int cleanups = 0;
    Hook<os::WSAStartup> startup([](WORD, LPWSADATA data) {
        data->wVersion = MAKEWORD(1, 1);
        return 0;
    });
    Hook<os::WSACleanup> cleanup([&] { return ++cleanups, 0; });
    EXPECT_EQ(0, SocketInit());
    EXPECT_EQ(1, cleanups);
}

TEST_F(Sockets, NewObjectsAndBadArgumentsFailClearly) {
    int selects = 0;
    Hook<os::WSAAsyncSelect> counting([&](SOCKET, HWND, u_int, long) { return ++selects, 0; });
    ProbeClient client;
    unsigned char byte = 0;
    wchar_t text[64] = L"untouched";
    EXPECT_EQ(INVALID_SOCKET, client.GetSocket());
    EXPECT_EQ(nullptr, client.GetSafeHandle());
    EXPECT_EQ(1, client.CloseSocket());
    EXPECT_EQ(0, client.SelectEvent(CX_SOCKET_EVENTS_NO_LISTENER));
    EXPECT_EQ(0, client.IsListenningEvent());
    EXPECT_EQ(0, client.Send(&byte, 1, 0));
    EXPECT_EQ(0, client.Recv(&byte, 1, 0));
    EXPECT_EQ(0, client.IsConnected());
    EXPECT_EQ(0, client.GetPeerAddress(text));
    EXPECT_EQ(0, client.GetSockAddress(text));
    EXPECT_STREQ(L"untouched", text);
    EXPECT_EQ(1, client.DisConnect());
    EXPECT_EQ(INVALID_SOCKET, client.Detach());

    CxServerSocket server;
    EXPECT_EQ(INVALID_SOCKET, server.AcceptConnection());
    EXPECT_EQ(0, server.IsListenningConnection());
    EXPECT_EQ(1, server.DisListenConnection());
    EXPECT_EQ(0, server.Send(&byte, 1, 0));

    CxUdpSocket udp;
    udp.GetPeerAddress(text);
    EXPECT_STREQ(L"", text);
    EXPECT_EQ(0, udp.IsBinded());
    EXPECT_EQ(0, udp.Send(&byte, 1, 0));
    EXPECT_EQ(0, udp.SendTo(L"127.0.0.1", &byte, 1));
    EXPECT_EQ(0, udp.Recv(&byte, 1, 0));
    EXPECT_EQ(0, udp.RecvFrom(text, &byte, 1));
    EXPECT_EQ(0, selects);

    // Null buffers and over-long texts on live sockets.
    Loopback pair;
    ASSERT_TRUE(pair.Open());
    EXPECT_EQ(0, pair.client.Send(nullptr, 4, 0));
    EXPECT_EQ(WSAEFAULT, static_cast<int>(SocketGetLastError()));
    EXPECT_EQ(0, pair.client.Recv(nullptr, 4, 0));
    EXPECT_EQ(1, pair.client.Send(nullptr, 0, 0));  // count 0: nothing to do
    EXPECT_EQ(1, pair.client.Recv(nullptr, 0, 0));
    EXPECT_EQ(0, pair.client.GetPeerAddress(nullptr));
    std::wstring tooLong(200, L'1');
    EXPECT_EQ(0, server.ListenConnection(tooLong.c_str(), 0));
    EXPECT_EQ(WSAEINVAL, static_cast<int>(SocketGetLastError()));
    EXPECT_EQ(INVALID_SOCKET, server.GetSocket());
    ASSERT_EQ(1, udp.Bind(0, 0));
    udp.SetPeerAddress(L"127.0.0.1");
    udp.SetPeerAddress(tooLong.c_str());
    EXPECT_EQ(WSAEINVAL, static_cast<int>(SocketGetLastError()));
    udp.SetPeerAddress(nullptr);
    udp.GetPeerAddress(text);
    EXPECT_STREQ(L"127.0.0.1", text);
    EXPECT_EQ(0, udp.Recv(nullptr, 3, 0));
    EXPECT_EQ(WSAEFAULT, static_cast<int>(SocketGetLastError()));
    EXPECT_EQ(1, udp.Disbind());
}

TEST_F(Sockets, ExactCountsBothWaysAndAShortPeer) {
    for (bool selected : {false, true}) {
        SCOPED_TRACE(selected ? "events selected (non-blocking)" : "blocking");
        qvtest::MessageWindow window;
        Loopback pair;
        ASSERT_TRUE(pair.Open());
        std::atomic<int> wouldBlock{0}, waits{0};
        if (selected) {
            // Both ends non-blocking: every would-block result must be
            // followed by a wait, not by another call at once.
            pair.client.SetWndMsgProc(window.hwnd(), kMsg, nullptr, nullptr);
            pair.peer.SetWndMsgProc(window.hwnd(), kMsg, nullptr, nullptr);
            ASSERT_EQ(1, pair.client.SelectEvent(CX_SOCKET_EVENTS_NO_LISTENER));
            ASSERT_EQ(1, pair.peer.SelectEvent(CX_SOCKET_EVENTS_NO_LISTENER));
        }
        Hook<os::send> countSend([&](SOCKET s, const char* b, int n, int f) {
            int r = countSend.Real()(s, b, n, f);
            if (r == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) ++wouldBlock;
            return r;
        });
        Hook<os::select> countWaits([&](int n, fd_set* r, fd_set* w, fd_set* e, timeval* t) {
            ++waits;
            return countWaits.Real()(n, r, w, e, t);
        });
        Hook<os::recv> countRecv([&](SOCKET s, char* b, int n, int f) {
            int r = countRecv.Real()(s, b, n, f);
            if (r == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) ++wouldBlock;
            return r;
        });

        const unsigned long kBig = 6 * 1024 * 1024;  // far more than one send moves
        std::vector<unsigned char> out = Pattern(kBig, 3), in(kBig), back(kBig);
        std::atomic<int> received{-1};
        std::thread reader([&] { received = pair.peer.Recv(in.data(), kBig, 0); });
        EXPECT_EQ(1, pair.client.Send(out.data(), kBig, 0));
        reader.join();
        EXPECT_EQ(1, received.load());
        EXPECT_TRUE(in == out);

        std::thread writer([&] { received = pair.peer.Send(in.data(), kBig, 0); });
        EXPECT_EQ(1, pair.client.Recv(back.data(), kBig, 0));
        writer.join();
        EXPECT_EQ(1, received.load());
        EXPECT_TRUE(back == out);
        // Each would-block result is followed by a wait, never by a retry at once.
        EXPECT_LE(wouldBlock.load(), waits.load());
        if (!selected) {
            EXPECT_EQ(0, wouldBlock.load());
        }
    }

    // The peer sends fewer bytes and closes: zeros after what came, and the
    // window hears of the closure from Recv itself (no events selected here).
    qvtest::MessageWindow window;
    Loopback pair;
    ASSERT_TRUE(pair.Open());
    pair.client.SetWndMsgProc(window.hwnd(), kMsg, nullptr, nullptr);
    unsigned char five[5] = {'h', 'e', 'l', 'l', 'o'};
    ASSERT_EQ(1, pair.peer.Send(five, 5, 0));
    pair.peer.DisConnect();
    unsigned char buffer[12];
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(0, pair.client.Recv(buffer, 10, 0));
    EXPECT_EQ(std::string("hello\0\0\0\0\0\xEE\xEE", 12),
              std::string(reinterpret_cast<char*>(buffer), 12));
    MSG msg;
    ASSERT_TRUE(window.WaitFor(kMsg, &msg));
    EXPECT_EQ(static_cast<WPARAM>(pair.client.GetSocket()), msg.wParam);
    EXPECT_EQ(CX_EVENT_CONNECTION_CLOSED, msg.lParam);
    EXPECT_EQ(1, pair.client.DisConnect());
}

TEST_F(Sockets, WindowsHearThePlatformsEventsForEachMask) {
    qvtest::MessageWindow window;
    CxServerSocket server;
    server.SetWndMsgProc(window.hwnd(), kMsg, nullptr, nullptr);
    ASSERT_EQ(1, server.ListenConnection(L"127.0.0.1", 0));
    int port = LocalPort(server.GetSocket());

    // A client without the listener hears of reads and closure.
    CxClientSocket client;
    client.SetWndMsgProc(window.hwnd(), kMsg, nullptr, nullptr);
    ASSERT_EQ(1, client.Connect(L"127.0.0.1", port, 0));
    std::vector<std::pair<WPARAM, long>> seen;
    ASSERT_TRUE(WaitForEvent(window, server.GetSocket(), FD_ACCEPT, &seen));
    SOCKET accepted = server.AcceptConnection();
    ASSERT_NE(INVALID_SOCKET, accepted);
    EXPECT_EQ(INVALID_SOCKET, server.AcceptConnection());  // non-blocking, none waits
    EXPECT_EQ(WSAEWOULDBLOCK, static_cast<int>(SocketGetLastError()));
    CxClientSocket peer;
    peer.Attach(accepted);
    peer.SetWndMsgProc(window.hwnd(), kMsg, nullptr, nullptr);

    unsigned char data[3] = {1, 2, 3};
    ASSERT_EQ(1, peer.Send(data, 3, 0));
    ASSERT_TRUE(WaitForEvent(window, client.GetSocket(), FD_READ, &seen));
    ASSERT_EQ(1, client.Send(data, 3, 0));
    // The accepted socket inherited the server's selection.
    ASSERT_TRUE(WaitForEvent(window, accepted, FD_READ, &seen));
    SOCKET clientSocket = client.GetSocket();
    ASSERT_EQ(1, peer.DisConnect());
    ASSERT_TRUE(WaitForEvent(window, clientSocket, FD_CLOSE, &seen));
    client.DisConnect();

    // With the listener, reads go to the callback on the listener's thread
    // and the window hears only of closure.
    seen.clear();  // handle values of closed sockets come back at once
    Calls calls;
    ProbeClient listening;
    listening.SetWndMsgProc(window.hwnd(), kMsg, &Calls::Proc, &calls);
    ASSERT_EQ(1, listening.Connect(L"127.0.0.1", port, 1));
    ASSERT_TRUE(WaitForEvent(window, server.GetSocket(), FD_ACCEPT, &seen));
    peer.Attach(server.AcceptConnection());
    EXPECT_EQ(1, listening.IsListenningEvent());
    ASSERT_EQ(1, peer.Send(data, 3, 0));
    ASSERT_TRUE(WaitUntil([&] { return calls.Count() >= 1; }));
    {
        std::lock_guard<std::mutex> lock(calls.mutex);
        EXPECT_EQ(CX_EVENT_DATA_READY, calls.events[0]);
        EXPECT_EQ(static_cast<unsigned int>(listening.GetSocket()), calls.handle);
        EXPECT_EQ(&calls, calls.param);
        EXPECT_EQ(0u, calls.threads.count(GetCurrentThreadId()));
    }
    // Left unread, the data is reported again, paced rather than in a spin.
    ASSERT_TRUE(WaitUntil([&] { return calls.Count() >= 3; }));
    Sleep(300);
    size_t before = calls.Count();
    Sleep(300);
    EXPECT_LT(calls.Count() - before, 100u);
    unsigned char got[3];
    ASSERT_EQ(1, listening.Recv(got, 3, 0));
    Sleep(100);
    before = calls.Count();
    Sleep(200);
    EXPECT_EQ(before, calls.Count());  // nothing unread: no more calls

    SOCKET listeningSocket = listening.GetSocket();
    ASSERT_EQ(1, peer.DisConnect());
    ASSERT_TRUE(WaitForEvent(window, listeningSocket, FD_CLOSE, &seen));
    for (const auto& event : seen) {
        EXPECT_FALSE(event.first == listeningSocket && event.second == FD_READ);
    }
    listening.DisConnect();
    EXPECT_EQ(0, listening.IsListenningEvent());
    EXPECT_EQ(1, server.DisListenConnection());
}

TEST_F(Sockets, AddressTextRules) {
    CxServerSocket server;
    ASSERT_EQ(1, server.ListenConnection(L"", 0));  // every interface
    EXPECT_EQ(1, server.IsListenningConnection());
    EXPECT_EQ(0u, LocalAddress(server.GetSocket()));
    int port = LocalPort(server.GetSocket());
    ASSERT_EQ(1, server.ListenConnection(L"no address", 0));
    EXPECT_EQ(0u, LocalAddress(server.GetSocket()));
    ASSERT_EQ(1, server.ListenConnection(L"127.0.0.1:1", port));  // the argument wins
    EXPECT_EQ(port, LocalPort(server.GetSocket()));

    CxClientSocket client;
    ASSERT_EQ(1, client.Connect(L"127.0.0.1:1", port, 0));
    EXPECT_EQ(1, client.IsConnected());
    SOCKET first = server.AcceptConnection();
    ASSERT_EQ(1, client.Connect(L"127.0.0.1", 0x10000 + port, 0));  // low 16 bits only
    SOCKET second = server.AcceptConnection();
    wchar_t text[32];
    std::memset(text, 0xAB, sizeof text);
    ASSERT_EQ(1, client.GetPeerAddress(text));
    EXPECT_STREQ(L"127.0.0.1", text);
    ASSERT_EQ(1, client.GetSockAddress(text));
    EXPECT_STREQ(L"127.0.0.1", text);
    EXPECT_EQ(static_cast<wchar_t>(0xABAB), text[16]);  // never beyond 16 characters

    // Text that does not parse is refused before any socket is made.
    int sockets = 0;
    {
        Hook<os::socket> counting([&](int af, int type, int proto) {
            ++sockets;
            return counting.Real()(af, type, proto);
        });
        for (const wchar_t* bad : {L"abc", L"", L"256.1.1.1", L" 10.0.0.1", static_cast<const wchar_t*>(nullptr)}) {
            EXPECT_EQ(0, client.Connect(bad, port, 0));
            EXPECT_EQ(WSAEINVAL, static_cast<int>(SocketGetLastError()));
            EXPECT_EQ(INVALID_SOCKET, client.GetSocket());
        }
    }
    EXPECT_EQ(0, sockets);
    wcscpy(text, L"untouched");
    EXPECT_EQ(0, client.GetPeerAddress(text));
    EXPECT_STREQ(L"untouched", text);

    CxUdpSocket udp;
    ASSERT_EQ(1, udp.Bind(0, 0));
    unsigned char byte = 7;
    EXPECT_EQ(0, udp.Send(&byte, 1, 0));  // no peer yet: empty text
    EXPECT_EQ(WSAEINVAL, static_cast<int>(SocketGetLastError()));
    EXPECT_EQ(0, udp.SendTo(L"not an address", &byte, 1));
    EXPECT_EQ(WSAEINVAL, static_cast<int>(SocketGetLastError()));
    EXPECT_EQ(1, udp.Disbind());
    closesocket(first);
    closesocket(second);
}

TEST_F(Sockets, ListenerLifecycleCloseDetachAndFailures) {
    qvtest::TraceCapture traces;
    CxServerSocket server;
    ASSERT_EQ(1, server.ListenConnection(L"127.0.0.1", 0));
    int port = LocalPort(server.GetSocket());

    // CloseSocket alone: the listener ends by itself and keeps its handle.
    ProbeClient client;
    ASSERT_EQ(1, client.Connect(L"127.0.0.1", port, 1));
    CxClientSocket peer;
    peer.Attach(server.AcceptConnection());
    ASSERT_TRUE(traces.WaitFor("(CxSocket::OnListen) has entered."));
    EXPECT_EQ(1, client.CloseSocket());
    ASSERT_TRUE(traces.WaitFor("(CxSocket::OnListen) has exited."));
    EXPECT_EQ(1u, traces.Matching("socket select failed. err code = 10038.\n").size());
    EXPECT_TRUE(WaitUntil([&] { return client.IsListenningEvent() == 0; }));
    EXPECT_NE(nullptr, client.ListenerHandle());
    EXPECT_EQ(1, client.ListenEvent());  // starts nothing while the handle is held
    Sleep(100);
    EXPECT_EQ(1u, traces.Matching("has entered").size());
    // Connect with the listener flag: connected, but no new listener yet.
    ASSERT_EQ(1, client.Connect(L"127.0.0.1", port, 1));
    peer.Attach(server.AcceptConnection());
    EXPECT_EQ(0, client.IsListenningEvent());
    client.DisListenEvent();
    EXPECT_EQ(nullptr, client.ListenerHandle());
    char expected[80];
    std::snprintf(expected, sizeof expected, "(CxSocket::OnListen) has entered.\n");
    ASSERT_EQ(1u, traces.Matching(expected).size());
    EXPECT_EQ(0u, traces.Matching(expected)[0].find("The thread 0x"));

    // Detach ends a running listener at once; the socket stays open.
    ASSERT_EQ(1, client.Connect(L"127.0.0.1", port, 1));
    CxClientSocket other;
    other.Attach(server.AcceptConnection());
    ASSERT_TRUE(WaitUntil([&] { return client.IsListenningEvent() == 1; }));
    SOCKET taken = INVALID_SOCKET;
    ASSERT_TRUE(FinishesWithin([&] { taken = client.Detach(); }, 10000));
    ASSERT_NE(INVALID_SOCKET, taken);
    EXPECT_EQ(nullptr, client.GetSafeHandle());
    EXPECT_EQ(0, client.IsListenningEvent());
    unsigned char data[4] = {9, 8, 7, 6}, got[4] = {};
    EXPECT_EQ(4, os::send(taken, reinterpret_cast<char*>(data), 4, 0));
    ASSERT_EQ(1, other.Recv(got, 4, 0));
    EXPECT_EQ(0, std::memcmp(data, got, 4));
    os::closesocket(taken);
    other.DisConnect();
    peer.DisConnect();

    // The destructor ends the listener too, with the socket open.
    traces.Clear();
    auto* scoped = new CxClientSocket;
    ASSERT_EQ(1, scoped->Connect(L"127.0.0.1", port, 1));
    peer.Attach(server.AcceptConnection());
    SOCKET kept = scoped->GetSocket();
    ASSERT_TRUE(traces.WaitFor("has entered"));
    ASSERT_TRUE(FinishesWithin([scoped] { delete scoped; }, 10000));
    EXPECT_EQ(1, os::send(kept, "x", 1, 0));
    os::closesocket(kept);
    peer.DisConnect();

    // A busy port and a refused connection.
    CxServerSocket busy;
    EXPECT_EQ(0, busy.ListenConnection(L"127.0.0.1", port));
    EXPECT_EQ(WSAEADDRINUSE, static_cast<int>(SocketGetLastError()));
    EXPECT_EQ(0, busy.IsListenningConnection());
    EXPECT_EQ(1, busy.DisListenConnection());
    ASSERT_EQ(1, server.DisListenConnection());
    EXPECT_EQ(0, client.Connect(L"127.0.0.1", port, 1));
    EXPECT_EQ(static_cast<unsigned long>(WSAECONNREFUSED), SocketGetLastError());
    EXPECT_EQ(INVALID_SOCKET, client.GetSocket());
    EXPECT_EQ(nullptr, client.ListenerHandle());
}

TEST_F(Sockets, ALastingSelectFailureIsPacedAndCopiesNeverCloseTwice) {
    CxServerSocket server;
    ASSERT_EQ(1, server.ListenConnection(L"127.0.0.1", 0));
    int port = LocalPort(server.GetSocket());
    {
        qvtest::TraceCapture traces;
        std::atomic<int> failures{0};
        Hook<os::select> failing([&](int n, fd_set* r, fd_set* w, fd_set* e, timeval* t) {
            if (t) return failing.Real()(n, r, w, e, t);  // the pauses still wait
            ++failures;
            WSASetLastError(WSAENETDOWN);
            return SOCKET_ERROR;
        });
        ProbeClient client;
        ASSERT_EQ(1, client.Connect(L"127.0.0.1", port, 1));
        SOCKET accepted = server.AcceptConnection();
        Sleep(1000);
        EXPECT_GE(failures.load(), 2);
        EXPECT_LE(failures.load(), 20);  // a spin makes thousands
        EXPECT_LE(traces.Matching("socket select failed. err code = 10050.\n").size(), 20u);
        EXPECT_EQ(1, client.IsListenningEvent());
        ASSERT_TRUE(FinishesWithin([&] { client.DisConnect(); }, 10000));
        EXPECT_EQ(0, client.IsListenningEvent());
        closesocket(accepted);
    }

    // Copies share the socket and the listener but never close them.
    std::multiset<SOCKET> closed;
    std::mutex mutex;
    Hook<os::closesocket> logging([&](SOCKET s) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            closed.insert(s);
        }
        return logging.Real()(s);
    });
    ProbeClient original;
    ASSERT_EQ(1, original.Connect(L"127.0.0.1", port, 1));
    CxClientSocket peer;
    peer.Attach(server.AcceptConnection());
    SOCKET s = original.GetSocket();
    {
        CxClientSocket copy(original);
        EXPECT_EQ(s, copy.GetSocket());
        CxClientSocket assigned;
        assigned = original;
        EXPECT_EQ(s, assigned.GetSocket());
        EXPECT_EQ(1, assigned.DisConnect());  // lets go of its view only
        EXPECT_EQ(INVALID_SOCKET, assigned.GetSocket());
        EXPECT_EQ(1, copy.CloseSocket());
        EXPECT_EQ(INVALID_SOCKET, copy.Detach());
    }
    EXPECT_EQ(0u, closed.count(s));
    EXPECT_EQ(1, original.IsListenningEvent());
    unsigned char byte = 5;
    EXPECT_EQ(1, original.Send(&byte, 1, 0));
    CxClientSocket late(original);
    original.DisConnect();
    EXPECT_EQ(1u, closed.count(s));
    EXPECT_EQ(INVALID_SOCKET, late.GetSocket());  // the original let go
    EXPECT_EQ(0, late.Send(&byte, 1, 0));
    late.DisConnect();
    EXPECT_EQ(1u, closed.count(s));
    peer.DisConnect();
}

TEST_F(Sockets, UdpDatagramsPeersAndPorts) {
    CxUdpSocket udp;
    ASSERT_EQ(1, udp.Bind(0, 0));
    EXPECT_EQ(1, udp.IsBinded());
    int port = LocalPort(udp.GetSocket());
    ASSERT_EQ(1, udp.Bind(port + 0x10000, 0));  // stores the argument, binds its low 16 bits
    EXPECT_EQ(port, LocalPort(udp.GetSocket()));

    // Datagrams of 10 and 6 bytes into one Recv of 16; the port in the text
    // is replaced by the bound port, so these reach this very socket.
    std::vector<unsigned char> ten = Pattern(10, 1), six = Pattern(6, 50);
    ASSERT_EQ(1, udp.SendTo(L"127.0.0.1:9", ten.data(), 10));
    ASSERT_EQ(1, udp.SendTo(L"127.0.0.1", six.data(), 6));
    unsigned char buffer[16];
    ASSERT_EQ(1, udp.Recv(buffer, 16, 0));
    EXPECT_EQ(0, std::memcmp(buffer, ten.data(), 10));
    EXPECT_EQ(0, std::memcmp(buffer + 10, six.data(), 6));
    wchar_t text[64];
    udp.GetPeerAddress(text);
    EXPECT_STREQ(L"127.0.0.1", text);

    // A datagram larger than the room left fails; its rest is gone.
    ASSERT_EQ(1, udp.SendTo(L"127.0.0.1", ten.data(), 10));
    ASSERT_EQ(1, udp.SendTo(L"127.0.0.1", six.data(), 6));
    std::memset(buffer, 0, sizeof buffer);
    EXPECT_EQ(0, udp.Recv(buffer, 8, 0));
    EXPECT_EQ(WSAEMSGSIZE, static_cast<int>(SocketGetLastError()));
    EXPECT_EQ(0, std::memcmp(buffer, ten.data(), 8));
    ASSERT_EQ(1, udp.RecvFrom(text, buffer, 6));
    EXPECT_EQ(0, std::memcmp(buffer, six.data(), 6));
    EXPECT_STREQ(L"127.0.0.1", text);

    // A sender on another port becomes the peer; Send answers at the bound
    // port, not at the sender's port.
    SOCKET raw = os::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    SOCKADDR_IN to = Ipv4(L"127.0.0.1", port);
    udp.SetPeerAddress(L"10.9.9.9");
    ASSERT_EQ(3, os::sendto(raw, "abc", 3, 0, reinterpret_cast<SOCKADDR*>(&to), sizeof to));
    ASSERT_EQ(1, udp.Recv(buffer, 3, 0));
    udp.GetPeerAddress(text);
    EXPECT_STREQ(L"127.0.0.1", text);
    ASSERT_EQ(1, udp.Send(six.data(), 6, 0));
    ASSERT_EQ(1, udp.Recv(buffer, 6, 0));  // came back to the bound port
    EXPECT_EQ(0, std::memcmp(buffer, six.data(), 6));
    os::closesocket(raw);
    EXPECT_EQ(1, udp.Send(nullptr, 0, 0));
    EXPECT_EQ(1, udp.Recv(nullptr, 0, 0));

    // A busy port; Disbind keeps the peer text.
    CxUdpSocket busy;
    EXPECT_EQ(0, busy.Bind(port, 0));
    EXPECT_EQ(WSAEADDRINUSE, static_cast<int>(SocketGetLastError()));
    EXPECT_EQ(INVALID_SOCKET, busy.GetSocket());
    EXPECT_EQ(1, udp.Disbind());
    EXPECT_EQ(0, udp.IsBinded());
    udp.GetPeerAddress(text);
    EXPECT_STREQ(L"127.0.0.1", text);

    // With the listener, each waiting datagram reaches the callback.
    Calls calls;
    udp.SetWndMsgProc(nullptr, 0, &Calls::Proc, &calls);
    ASSERT_EQ(1, udp.Bind(port, 1));
    ASSERT_EQ(1, udp.SendTo(L"127.0.0.1", six.data(), 6));
    ASSERT_TRUE(WaitUntil([&] { return calls.Count() >= 1; }));
    ASSERT_EQ(1, udp.Recv(buffer, 6, 0));
    EXPECT_EQ(1, udp.Disbind());
}
