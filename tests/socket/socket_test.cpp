#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "tests/socket/socket_support.h"
#include "tests/support/message_window.h"
#include "tests/support/os_hook.h"
#include "tests/support/trace_capture.h"

namespace os = quorvel::os;
using qvtest::Hook;
using namespace qvtest::sockets;

namespace {

const UINT kMsg = WM_APP + 30;

struct ProbeClient : CxClientSocket {  // reaches the listener operations
    using CxSocket::DisListenEvent;
    using CxSocket::IsListenningEvent;
    using CxSocket::ListenEvent;
    void* ListenerHandle() { return m_ListenThread.GetSafeHandle(); }
};

int LastError() { return static_cast<int>(SocketGetLastError()); }

bool WaitForEvent(qvtest::MessageWindow& window, SOCKET s, long lEvent) {
    MSG msg;
    while (window.WaitFor(kMsg, &msg)) {
        if (msg.wParam == static_cast<WPARAM>(s) && msg.lParam == lEvent) return true;
    }
    return false;
}

class Sockets : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(1, SocketInit()); }
    void TearDown() override { EXPECT_EQ(1, SocketUnInit()); }
};

}  // namespace

TEST(SocketStartup, NestsAndLeavesThePlatformsErrors) {
    CxClientSocket client;
    // A listener that an earlier test's close let go of holds Windows
    // Sockets started until it has ended, soon after.
    EXPECT_TRUE(WaitUntil([&] {
        return client.Connect(L"127.0.0.1", 9, 0) == 0 && LastError() == WSANOTINITIALISED;
    }));
    ASSERT_EQ(1, SocketInit());
    ASSERT_EQ(1, SocketInit());
    EXPECT_EQ(1, SocketUnInit());
    CxUdpSocket udp;  // still started
    EXPECT_EQ(1, udp.Bind(0, 0));
    EXPECT_EQ(1, udp.Disbind());
    EXPECT_EQ(1, SocketUnInit());
    EXPECT_EQ(0, SocketUnInit());
}

TEST_F(Sockets, ExactCountsBothWaysWaitInsteadOfSpinningAndAShortPeer) {
    qvtest::MessageWindow window;
    Loopback pair;
    ASSERT_TRUE(pair.Open());
    for (CxClientSocket* end : {&pair.client, &pair.peer}) {  // non-blocking ends
        end->SetWndMsgProc(window.hwnd(), kMsg, nullptr, nullptr);
        ASSERT_EQ(1, end->SelectEvent(CX_SOCKET_EVENTS_NO_LISTENER));
    }
    std::atomic<int> wouldBlock{0}, waits{0}, recvWouldBlock{0}, readWaits{0};
    Hook<os::select> countWaits([&](int n, fd_set* r, fd_set* w, fd_set* e, timeval* t) {
        if (r) ++readWaits;
        return ++waits, countWaits.Real()(n, r, w, e, t);
    });
    Hook<os::send> countSend([&](SOCKET s, const char* b, int n, int f) {
        int r = countSend.Real()(s, b, n, f);
        if (r == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) ++wouldBlock;
        return r;
    });
    Hook<os::recv> countRecv([&](SOCKET s, char* b, int n, int f) {
        int r = countRecv.Real()(s, b, n, f);
        if (r == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) ++recvWouldBlock;
        return r;
    });
    const unsigned long kBig = 16 * 1024 * 1024;  // far more than the socket buffers hold
    std::vector<unsigned char> out = Pattern(kBig, 3), in(kBig), back(kBig);
    int received = -1;
    std::thread reader([&] { received = (Sleep(200), pair.peer.Recv(in.data(), kBig, 0)); });
    EXPECT_EQ(1, pair.client.Send(out.data(), kBig, 0));
    reader.join();
    std::thread writer([&] { pair.peer.Send(in.data(), kBig, 0); });
    EXPECT_EQ(1, (Sleep(200), pair.client.Recv(back.data(), kBig, 0)));
    writer.join();
    EXPECT_EQ(1, received);
    EXPECT_TRUE(in == out && back == out);
    EXPECT_GT(wouldBlock.load(), 0);
    EXPECT_LE(wouldBlock.load(), waits.load());  // each would-block waits first
    // A Recv that starts before its data comes waits for it too.
    std::thread late([&] { Sleep(200), pair.peer.Send(out.data(), 4, 0); });
    EXPECT_EQ(1, pair.client.Recv(back.data(), 4, 0));
    late.join();
    EXPECT_GT(recvWouldBlock.load(), 0);
    EXPECT_LE(recvWouldBlock.load(), readWaits.load());

    // The peer sends 5 of 10 bytes and closes.
    unsigned char buffer[12];
    std::memset(buffer, 0xEE, sizeof buffer);
    ASSERT_EQ(1, pair.peer.Send(out.data(), 5, 0));
    pair.peer.DisConnect();
    EXPECT_EQ(0, pair.client.Recv(buffer, 10, 0));
    EXPECT_EQ(0, std::memcmp(buffer, out.data(), 5));
    EXPECT_EQ(std::string("\0\0\0\0\0\xEE\xEE", 7), std::string((char*)buffer + 5, 7));
    EXPECT_TRUE(WaitForEvent(window, pair.client.GetSocket(), CX_EVENT_CONNECTION_CLOSED));
}

TEST_F(Sockets, WindowsGetThePlatformsEventsAndTheListenerCallsBackPaced) {
    std::mutex mutex;
    std::map<SOCKET, long> masks;  // the last selection of each socket
    Hook<os::WSAAsyncSelect> selecting([&](SOCKET s, HWND w, UINT m, long e) {
        std::lock_guard<std::mutex> lock(mutex);
        return masks[s] = e, selecting.Real()(s, w, m, e);
    });
    auto maskOf = [&](SOCKET s) { std::lock_guard<std::mutex> lock(mutex); return masks[s]; };
    qvtest::MessageWindow window;
    CxServerSocket server;
    server.SetWndMsgProc(window.hwnd(), kMsg, nullptr, nullptr);
    ASSERT_EQ(1, server.ListenConnection(L"127.0.0.1", 0));
    EXPECT_EQ(FD_READ | FD_ACCEPT | FD_CLOSE, maskOf(server.GetSocket()));
    int port = LocalPort(server.GetSocket());
    unsigned char data[3] = {1, 2, 3};
    for (int listen : {0, 1}) {
        Calls calls;
        ProbeClient client;
        client.SetWndMsgProc(window.hwnd(), kMsg, &Calls::Proc, &calls);
        ASSERT_EQ(1, client.Connect(L"127.0.0.1", port, listen));
        EXPECT_EQ(listen ? FD_CLOSE : FD_READ | FD_CLOSE, maskOf(client.GetSocket()));
        ASSERT_TRUE(WaitForEvent(window, server.GetSocket(), FD_ACCEPT));
        CxClientSocket peer;
        peer.Attach(server.AcceptConnection());
        EXPECT_EQ(INVALID_SOCKET, server.AcceptConnection());  // non-blocking: none waits
        ASSERT_EQ(1, client.Send(data, 3, 0));  // accepted sockets inherit the selection
        ASSERT_TRUE(WaitForEvent(window, peer.GetSocket(), FD_READ));
        ASSERT_EQ(1, peer.Send(data, 3, 0));
        if (!listen) {
            ASSERT_TRUE(WaitForEvent(window, client.GetSocket(), FD_READ));
            EXPECT_EQ(0u, calls.Count());
        } else {
            // To the callback on the listener's thread, again while unread,
            // but paced: a spin makes thousands of calls.
            ASSERT_TRUE(WaitUntil([&] { return calls.Count() >= 3; }));
            size_t before = calls.Count();
            Sleep(500);
            EXPECT_LT(calls.Count() - before, 100u);
            std::lock_guard<std::mutex> lock(calls.mutex);
            EXPECT_EQ(CX_EVENT_DATA_READY, calls.events[0]);
            EXPECT_EQ(static_cast<unsigned int>(client.GetSocket()), calls.handle);
            EXPECT_EQ(&calls, calls.param);
            EXPECT_EQ(0u, calls.threads.count(GetCurrentThreadId()));
        }
        SOCKET s = client.GetSocket();
        peer.DisConnect();
        ASSERT_TRUE(WaitForEvent(window, s, FD_CLOSE));
        client.DisConnect();
        EXPECT_EQ(0, client.IsListenningEvent());
    }
}

TEST_F(Sockets, AddressTextRulesAndBadArguments) {
    CxServerSocket server;
    for (const wchar_t* every : {L"0.0.0.0", L"", (const wchar_t*)nullptr}) {
        ASSERT_EQ(1, server.ListenConnection(every, 0));  // every interface
        EXPECT_EQ(0u, LocalAddress(server.GetSocket()));
    }
    int port = LocalPort(server.GetSocket());
    ASSERT_EQ(1, server.ListenConnection(L"127.0.0.1:1", port));  // the argument wins
    std::wstring tooLong(200, L'1');
    CxClientSocket client;
    ASSERT_EQ(1, client.Connect(L"127.0.0.1:1", 0x10000 + port, 0));  // low 16 bits
    SOCKET accepted = server.AcceptConnection();
    wchar_t text[32];
    std::memset(text, 0xAB, sizeof text);
    ASSERT_EQ(1, client.GetPeerAddress(text));
    EXPECT_STREQ(L"127.0.0.1", text);
    EXPECT_EQ(0xABAB, text[16]);  // nothing written beyond 16 characters
    EXPECT_EQ(0, client.Send(nullptr, 4, 0));
    EXPECT_EQ(WSAEFAULT, LastError());
    ASSERT_EQ(4, os::send(accepted, "data", 4, 0));
    EXPECT_EQ(0, client.Recv(nullptr, 4, 0));
    EXPECT_EQ(WSAEFAULT, LastError());
    // A listening socket carries no data; events need a window to go to.
    EXPECT_EQ(0, server.Send(reinterpret_cast<unsigned char*>(text), 1, 0));
    EXPECT_EQ(WSAENOTCONN, LastError());
    EXPECT_EQ(0, server.Recv(reinterpret_cast<unsigned char*>(text), 1, 0));
    EXPECT_EQ(WSAENOTCONN, LastError());
    EXPECT_EQ(0, client.SelectEvent(CX_SOCKET_READ));
    EXPECT_EQ(WSAEINVAL, LastError());

    // Text that does not parse is refused before any socket is made.
    int sockets = 0;
    Hook<os::socket> counting([&](int a, int t, int p) { return ++sockets, counting.Real()(a, t, p); });
    for (const wchar_t* bad : {L"abc", L"", L"256.1.1.1", tooLong.c_str(), (const wchar_t*)nullptr}) {
        EXPECT_EQ(0, client.Connect(bad, port, 0));
        EXPECT_EQ(WSAEINVAL, LastError());
        EXPECT_EQ(INVALID_SOCKET, client.GetSocket());
    }
    EXPECT_EQ(0, sockets);
    // A listen address that does not parse is refused too, not read as
    // every interface: the socket held before is closed, none is made.
    CxServerSocket listening;
    ASSERT_EQ(1, listening.ListenConnection(L"127.0.0.1", 0));
    int made = sockets;
    for (const wchar_t* bad : {L"localhost", L"no address", L" 127.0.0.1", L"256.1.1.1",
                               tooLong.c_str()}) {
        EXPECT_EQ(0, listening.ListenConnection(bad, 0)) << ::testing::PrintToString(bad);
        EXPECT_EQ(WSAEINVAL, LastError());
        EXPECT_EQ(INVALID_SOCKET, listening.GetSocket());
        EXPECT_EQ(0, listening.IsListenningConnection());
    }
    EXPECT_EQ(made, sockets);
    wcscpy(text, L"untouched");
    EXPECT_EQ(0, client.GetPeerAddress(text));
    EXPECT_STREQ(L"untouched", text);
    std::wstring longest(CX_SOCKET_ADDRESS_MAX, L'x');  // taken, and does not parse
    EXPECT_EQ(0, server.ListenConnection(longest.c_str(), 0));
    EXPECT_EQ(WSAEINVAL, LastError());
    EXPECT_EQ(0, server.ListenConnection((longest + L'x').c_str(), 0));
    EXPECT_EQ(WSAEINVAL, LastError());
    // Text over the limit never reaches the platform's parser.
    int parsed = 0;
    Hook<os::WSAStringToAddressW> parsing([&](LPWSTR t, INT f, LPWSAPROTOCOL_INFOW i, LPSOCKADDR a, LPINT n) {
        return ++parsed, parsing.Real()(t, f, i, a, n);
    });
    EXPECT_EQ(0, client.Connect((longest + L'x').c_str(), port, 0));
    EXPECT_EQ(0, parsed);
    EXPECT_EQ(0, client.Connect(longest.c_str(), port, 0));
    EXPECT_EQ(1, parsed);
    os::closesocket(accepted);
}

TEST_F(Sockets, ListenerEndsOnCloseDetachAndDestructionAndFailuresDoNotSpin) {
    qvtest::TraceCapture traces;
    CxServerSocket server;
    ASSERT_EQ(1, server.ListenConnection(L"127.0.0.1", 0));
    int port = LocalPort(server.GetSocket());
    CxClientSocket peer;

    // CloseSocket alone: the listener ends by itself. A start then reaps it:
    // with no socket it fails and holds nothing.
    ProbeClient client;
    ASSERT_EQ(1, client.Connect(L"127.0.0.1", port, 1));
    peer.Attach(server.AcceptConnection());
    ASSERT_TRUE(traces.WaitFor("The thread 0x"));
    EXPECT_EQ(1, client.CloseSocket());
    ASSERT_TRUE(traces.WaitFor("(CxSocket::OnListen) has exited.\n")) << ::testing::PrintToString(traces.Lines());
    EXPECT_EQ(1u, traces.Matching("socket select failed. err code = 10038.\n").size());
    EXPECT_TRUE(WaitUntil([&] { return client.IsListenningEvent() == 0; }));
    EXPECT_EQ(0, client.ListenEvent());
    EXPECT_EQ(WSAENOTSOCK, LastError());
    EXPECT_EQ(1u, traces.Matching("(CxSocket::OnListen) has entered.\n").size());
    EXPECT_EQ(nullptr, client.ListenerHandle());

    // A close just before the listener's wait begins, the handle value naming
    // another socket by the time it does: the listener is made to look again.
    {
        SOCKET standIn = os::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        std::atomic<SOCKET> watched{INVALID_SOCKET};
        std::atomic<int> step{0};  // 1: a wait is about to begin, 2: closed
        Hook<os::select> late([&](int n, fd_set* r, fd_set* w, fd_set* e, timeval* t) {
            int first = 0;
            if (!t && r && r->fd_count == 2 && step.compare_exchange_strong(first, 1)) {
                WaitUntil([&] { return step == 2; }, 5000);
                for (u_int i = 0; i < r->fd_count; ++i) {
                    if (r->fd_array[i] == watched) r->fd_array[i] = standIn;
                }
            }
            return late.Real()(n, r, w, e, t);
        });
        ASSERT_EQ(1, client.Connect(L"127.0.0.1", port, 1));
        peer.Attach(server.AcceptConnection());
        watched = client.GetSocket();
        ASSERT_TRUE(WaitUntil([&] { return step == 1; }));
        EXPECT_EQ(1, client.CloseSocket());
        step = 2;
        EXPECT_TRUE(WaitUntil([&] { return client.IsListenningEvent() == 0; }, 3000));
        client.DisListenEvent();
        os::closesocket(standIn);
    }

    // Detach and the destructor end a running listener at once; the socket
    // stays open.
    SOCKET taken = INVALID_SOCKET;
    for (bool destroy : {false, true}) {
        auto* scoped = new ProbeClient;
        ASSERT_EQ(1, scoped->Connect(L"127.0.0.1", port, 1));
        peer.Attach(server.AcceptConnection());
        ASSERT_TRUE(WaitUntil([&] { return scoped->IsListenningEvent() == 1; }));
        if (destroy) taken = scoped->GetSocket();
        ASSERT_TRUE(FinishesWithin([&] { destroy ? delete scoped : void(taken = scoped->Detach()); }, 10000));
        unsigned char got = 0;
        ASSERT_EQ(1, os::send(taken, "d", 1, 0));
        ASSERT_EQ(1, peer.Recv(&got, 1, 0));
        os::closesocket(taken);
        if (!destroy) delete scoped;
    }

    // A select failure that lasts is retried after growing pauses.
    std::atomic<int> failures{0};
    Hook<os::select> failing([&](int n, fd_set* r, fd_set* w, fd_set* e, timeval* t) {
        if (t) return failing.Real()(n, r, w, e, t);  // the pauses still wait
        WSASetLastError(WSAENETDOWN);
        return ++failures, SOCKET_ERROR;
    });
    ASSERT_EQ(1, client.Connect(L"127.0.0.1", port, 1));
    peer.Attach(server.AcceptConnection());
    Sleep(1000);
    EXPECT_GE(failures.load(), 2);
    EXPECT_LE(failures.load(), 20);  // a spin makes thousands
    EXPECT_LE(traces.Matching("err code = 10050.\n").size(), 20u);
    ASSERT_TRUE(FinishesWithin([&] { client.DisConnect(); }, 10000));
    peer.DisConnect();

    CxServerSocket busy;  // a busy port, and a refused connection
    EXPECT_EQ(0, busy.ListenConnection(L"127.0.0.1", port));
    EXPECT_EQ(WSAEADDRINUSE, LastError());
    EXPECT_EQ(0, busy.IsListenningConnection());
    ASSERT_EQ(1, server.DisListenConnection());
    EXPECT_EQ(0, client.Connect(L"127.0.0.1", port, 1));
    EXPECT_EQ(WSAECONNREFUSED, LastError());
    EXPECT_EQ(INVALID_SOCKET, client.GetSocket());
}

TEST_F(Sockets, CopiesNeverCloseTheSocketOrStopTheListener) {
    std::multiset<SOCKET> closed;
    std::mutex mutex;
    Hook<os::closesocket> logging([&](SOCKET s) {
        std::lock_guard<std::mutex> lock(mutex);
        closed.insert(s);
        return logging.Real()(s);
    });
    Loopback pair;
    ASSERT_TRUE(pair.Open(1));
    ProbeClient& original = static_cast<ProbeClient&>(pair.client);
    SOCKET s = original.GetSocket();
    {
        CxClientSocket copy(original), assigned;
        assigned = original;
        EXPECT_EQ(s, assigned.GetSocket());
        EXPECT_EQ(1, assigned.DisConnect());  // lets go of its view only
        EXPECT_EQ(1, copy.CloseSocket());
        EXPECT_EQ(INVALID_SOCKET, copy.Detach());
    }
    EXPECT_EQ(0u, closed.count(s));
    EXPECT_EQ(1, original.IsListenningEvent());
    unsigned char byte = 5;
    EXPECT_EQ(1, original.Send(&byte, 1, 0));
    CxClientSocket late(original);
    original.DisConnect();
    EXPECT_EQ(INVALID_SOCKET, late.GetSocket());  // never a stale handle value
    late.DisConnect();
    EXPECT_EQ(1u, closed.count(s));
}

TEST_F(Sockets, UdpDatagramsPeersAndPorts) {
    CxUdpSocket udp;
    ASSERT_EQ(1, udp.Bind(0, 0));
    int port = LocalPort(udp.GetSocket());
    ASSERT_EQ(1, udp.Bind(port + 0x10000, 0));  // binds the low 16 bits
    EXPECT_EQ(port, LocalPort(udp.GetSocket()));
    unsigned char byte = 7;
    EXPECT_EQ(0, udp.Send(&byte, 1, 0));  // no peer yet: empty text
    EXPECT_EQ(WSAEINVAL, LastError());
    EXPECT_EQ(0, udp.SendTo(L"not an address", &byte, 1));
    ASSERT_EQ(1, udp.SendTo(L"127.0.0.1", &byte, 1));
    int reads = 0;
    {
        Hook<os::recvfrom> counting([&](SOCKET s, char* b, int n, int f, SOCKADDR* a, int* l) {
            return ++reads, counting.Real()(s, b, n, f, a, l);
        });
        EXPECT_EQ(0, udp.Recv(nullptr, 1, 0));  // refused before any receive
        EXPECT_EQ(WSAEFAULT, LastError());
    }
    EXPECT_EQ(0, reads);
    ASSERT_EQ(1, udp.Recv(&byte, 1, 0));  // the datagram still waits

    // 10 and 6 bytes into one Recv of 16, an empty datagram before each
    // pair adding nothing; the port in the text is this very socket's.
    std::vector<unsigned char> ten = Pattern(10, 1), six = Pattern(6, 50);
    std::wstring self = L"127.0.0.1:" + std::to_wstring(port);
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_EQ(1, udp.SendDatagramTo(self.c_str(), nullptr, 0));
        ASSERT_EQ(1, udp.SendTo(self.c_str(), ten.data(), 10));
        ASSERT_EQ(1, udp.SendTo(L"127.0.0.1", six.data(), 6));
    }
    unsigned char buffer[16];
    ASSERT_EQ(1, udp.Recv(buffer, 16, 0));
    EXPECT_TRUE(std::equal(ten.begin(), ten.end(), buffer) && std::equal(six.begin(), six.end(), buffer + 10));
    EXPECT_EQ(0, udp.Recv(buffer, 8, 0));  // larger than the room left: its rest is gone
    EXPECT_EQ(WSAEMSGSIZE, LastError());
    EXPECT_TRUE(std::equal(ten.begin(), ten.begin() + 8, buffer));
    wchar_t text[64];
    ASSERT_EQ(1, udp.RecvFrom(text, buffer, 6));
    EXPECT_TRUE(std::equal(six.begin(), six.end(), buffer));
    EXPECT_STREQ(L"127.0.0.1", text);

    // A port written in the text wins, for SendTo and for Send to the peer;
    // a port written as 0 is refused.
    SOCKET raw = os::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    SOCKADDR_IN to = Ipv4(L"127.0.0.1", 0);
    ASSERT_EQ(0, os::bind(raw, reinterpret_cast<SOCKADDR*>(&to), sizeof to));
    DWORD limit = 5000;  // ms: a datagram that went elsewhere fails the test, not hangs it
    setsockopt(raw, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
    std::wstring other = L"127.0.0.1:" + std::to_wstring(LocalPort(raw));
    ASSERT_EQ(1, udp.SendTo(other.c_str(), ten.data(), 3));
    udp.SetPeerAddress(other.c_str());
    ASSERT_EQ(1, udp.Send(six.data(), 2, 0));
    char got[8] = {};
    EXPECT_EQ(3, os::recv(raw, got, sizeof got, 0));
    EXPECT_EQ(2, os::recv(raw, got + 3, sizeof got, 0));
    EXPECT_TRUE(std::equal(ten.begin(), ten.begin() + 3, got) && std::equal(six.begin(), six.begin() + 2, got + 3));
    {
        // Windows reads a written port 0 as port 0 (Wine refuses the text).
        Hook<os::WSAStringToAddressW> zero([&](LPWSTR t, INT f, LPWSAPROTOCOL_INFOW i, LPSOCKADDR a, LPINT n) {
            std::wstring text(t);
            if (text.size() > 2 && text.compare(text.size() - 2, 2, L":0") == 0) text.resize(text.size() - 2);
            return zero.Real()(&text[0], f, i, a, n);
        });
        EXPECT_EQ(0, udp.SendTo(L"127.0.0.1:0", &byte, 1));
        EXPECT_EQ(WSAEINVAL, LastError());
    }

    // A sender on another port becomes the peer; Send answers at the bound port.
    to = Ipv4(L"127.0.0.1", port);
    udp.SetPeerAddress(L"10.9.9.9");
    udp.SetPeerAddress(std::wstring(200, L'1').c_str());  // refused: does not fit
    std::wstring longest(CX_SOCKET_ADDRESS_MAX, L'1');
    udp.SetPeerAddress(longest.c_str());
    udp.SetPeerAddress((longest + L'1').c_str());  // refused: keeps the text it has
    udp.GetPeerAddress(text);
    EXPECT_EQ(longest, text);
    ASSERT_EQ(3, os::sendto(raw, "abc", 3, 0, reinterpret_cast<SOCKADDR*>(&to), sizeof to));
    ASSERT_EQ(1, udp.Recv(buffer, 3, 0));
    udp.GetPeerAddress(text);
    EXPECT_STREQ(L"127.0.0.1", text);
    ASSERT_EQ(1, udp.Send(six.data(), 6, 0));
    ASSERT_EQ(1, udp.Recv(buffer, 6, 0));
    EXPECT_TRUE(std::equal(six.begin(), six.end(), buffer));
    os::closesocket(raw);

    Calls calls;  // with the listener, a waiting datagram reaches the callback
    udp.SetWndMsgProc(nullptr, 0, &Calls::Proc, &calls);
    ASSERT_EQ(1, udp.Bind(port, 1));
    ASSERT_EQ(1, udp.SendTo(L"127.0.0.1", six.data(), 6));
    ASSERT_TRUE(WaitUntil([&] { return calls.Count() >= 1; }));
    EXPECT_EQ(1, udp.Disbind());
    EXPECT_EQ(0, udp.IsBinded());
    udp.GetPeerAddress(text);
    EXPECT_STREQ(L"127.0.0.1", text);  // the peer survives Disbind
}

TEST_F(Sockets, UdpDatagramsWithTheSendersPortAnswerAPeerOnAnyPort) {
    CxUdpSocket udp;
    ASSERT_EQ(1, udp.Bind(0, 0));  // the port the system chooses is the bound port
    int port = LocalPort(udp.GetSocket());
    udp.SetPeerAddress(L"10.9.9.9");  // neither call reads or changes it
    SOCKET raw = os::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    SOCKADDR_IN rawAddr = Ipv4(L"127.0.0.1", 0);
    ASSERT_EQ(0, os::bind(raw, reinterpret_cast<SOCKADDR*>(&rawAddr), sizeof rawAddr));
    int rawPort = LocalPort(raw);
    ASSERT_NE(port, rawPort);
    DWORD limit = 5000;  // ms: a datagram that went elsewhere fails the test, not hangs it
    for (SOCKET s : {raw, udp.GetSocket()}) {
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
    }
    SOCKADDR_IN to = Ipv4(L"127.0.0.1", port);
    auto rawSend = [&](const std::string& data) {
        return os::sendto(raw, data.data(), static_cast<int>(data.size()), 0,
                          reinterpret_cast<SOCKADDR*>(&to), sizeof to);
    };
    auto rawRecv = [&] {
        char buffer[16];
        int n = os::recv(raw, buffer, sizeof buffer, 0);
        return n < 0 ? std::string("<failed>") : std::string(buffer, n);
    };

    // The sender's port is learnt, and an answer to that text goes there.
    ASSERT_EQ(3, rawSend("abc"));
    wchar_t sender[64];
    std::memset(sender, 0xAB, sizeof sender);
    std::vector<unsigned char> buffer(70000);
    unsigned long length = 99;
    ASSERT_EQ(1, udp.RecvDatagram(sender, buffer.data(), 100, &length));
    EXPECT_EQ(3u, length);
    EXPECT_EQ("abc", std::string(buffer.begin(), buffer.begin() + 3));
    std::wstring expected = L"127.0.0.1:" + std::to_wstring(rawPort);
    EXPECT_EQ(expected, sender);
    EXPECT_EQ(0xABAB, sender[22]);  // nothing written beyond 22 characters
    unsigned char xyz[] = {'x', 'y', 'z'};
    ASSERT_EQ(1, udp.SendDatagramTo(sender, xyz, 3));
    EXPECT_EQ("xyz", rawRecv());

    // Empty datagrams both ways.
    ASSERT_EQ(1, udp.SendDatagramTo(sender, nullptr, 0));
    EXPECT_EQ("", rawRecv());
    ASSERT_EQ(0, rawSend(""));
    length = 99;
    ASSERT_EQ(1, udp.RecvDatagram(sender, nullptr, 0, &length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ(expected, sender);

    // Without a port the bound port, as SendTo: this very socket.
    ASSERT_EQ(1, udp.SendDatagramTo(L"127.0.0.1", xyz, 2));
    ASSERT_EQ(1, udp.RecvDatagram(sender, buffer.data(), 100, &length));
    EXPECT_EQ(2u, length);
    EXPECT_EQ(L"127.0.0.1:" + std::to_wstring(port), sender);

    // The largest datagram goes whole; one byte more is refused; a datagram
    // larger than the room fails and does not hold up the next.
    std::vector<unsigned char> largest = Pattern(65507, 3);
    ASSERT_EQ(1, udp.SendDatagramTo(L"127.0.0.1", largest.data(), 65507));
    ASSERT_EQ(1, udp.RecvDatagram(nullptr, buffer.data(), 70000, &length));
    ASSERT_EQ(65507u, length);
    EXPECT_TRUE(std::equal(largest.begin(), largest.end(), buffer.begin()));
    largest.push_back(0);
    EXPECT_EQ(0, udp.SendDatagramTo(L"127.0.0.1", largest.data(), 65508));
    EXPECT_EQ(WSAEMSGSIZE, LastError());
    ASSERT_EQ(10, rawSend("0123456789"));
    ASSERT_EQ(2, rawSend("ok"));
    EXPECT_EQ(0, udp.RecvDatagram(sender, buffer.data(), 8, &length));
    EXPECT_EQ(WSAEMSGSIZE, LastError());
    EXPECT_EQ(0u, length);
    EXPECT_STREQ(L"", sender);
    ASSERT_EQ(1, udp.RecvDatagram(sender, buffer.data(), 8, &length));
    EXPECT_EQ("ok", std::string(buffer.begin(), buffer.begin() + length));

    // Bad arguments are refused before anything is sent or received.
    EXPECT_EQ(0, udp.RecvDatagram(sender, buffer.data(), 8, nullptr));
    EXPECT_EQ(WSAEFAULT, LastError());
    EXPECT_EQ(0, udp.RecvDatagram(sender, nullptr, 8, &length));
    EXPECT_EQ(WSAEFAULT, LastError());
    EXPECT_EQ(0, udp.SendDatagramTo(L"127.0.0.1", nullptr, 1));
    EXPECT_EQ(WSAEFAULT, LastError());
    for (const wchar_t* bad : {L"localhost:5000", L"", L"127.0.0.1:99999", L"127.0.0.1:0",
                               (const wchar_t*)nullptr}) {
        EXPECT_EQ(0, udp.SendDatagramTo(bad, xyz, 1));
        EXPECT_EQ(WSAEINVAL, LastError());
    }
    wchar_t peer[64];
    udp.GetPeerAddress(peer);
    EXPECT_STREQ(L"10.9.9.9", peer);

    // With events selected an empty queue fails at once.
    qvtest::MessageWindow window;
    udp.SetWndMsgProc(window.hwnd(), kMsg, nullptr, nullptr);
    ASSERT_EQ(1, udp.Bind(port, 0));
    EXPECT_EQ(0, udp.RecvDatagram(sender, buffer.data(), 8, &length));
    EXPECT_EQ(WSAEWOULDBLOCK, LastError());
    EXPECT_EQ(1, udp.Disbind());
    EXPECT_EQ(0, udp.RecvDatagram(sender, buffer.data(), 8, &length));  // no socket
    EXPECT_EQ(0, udp.SendDatagramTo(L"127.0.0.1", xyz, 1));
    os::closesocket(raw);
}
