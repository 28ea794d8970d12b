// Life cycles that hosts use, on every endpoint with a listener: opening
// again after the handle was closed under the listener or from the
// endpoint's own callback, a listener whose first step comes late, calls
// under way while another thread closes, and a stop whose listener takes the
// wake at the worst moment.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quorvel/quorvel.h"
#include "sim/sim_bluetooth.h"
#include "sim/sim_serial.h"
#include "tests/support/close_log.h"
#include "tests/support/guarded_object.h"
#include "tests/support/message_window.h"
#include "tests/support/os_hook.h"
#include "tests/support/wait_until.h"

namespace os = quorvel::os;
using qvtest::FinishesWithin;
using qvtest::Hook;
using qvtest::WaitUntil;

namespace {

constexpr BTH_ADDR kRadio = 0x00AABBCCDDEEull;

SOCKADDR_IN Loopback(int port) {
    SOCKADDR_IN addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int LocalPort(SOCKET s) {
    SOCKADDR_IN addr = {};
    int length = sizeof addr;
    getsockname(s, reinterpret_cast<SOCKADDR*>(&addr), &length);
    return ntohs(addr.sin_port);
}

// A handle of our own on an endpoint's listener thread, to wait for its end.
template <class T>
HANDLE ListenerOf(T& endpoint) {
    struct Peek : T {
        static HANDLE Of(T& e) { return static_cast<Peek&>(e).m_ListenThread.GetSafeHandle(); }
    };
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), Peek::Of(endpoint), GetCurrentProcess(), &copy, SYNCHRONIZE,
                    FALSE, 0);
    return copy;
}

bool Ended(HANDLE thread) { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }

// What a test does to an endpoint of one kind.
struct Endpoint {
    const char* name;
    CxComm* comm;
    CxSocket* socket;  // nullptr for the serial port
    std::function<int()> open;  // with the listener
    std::function<void()> close;
    std::function<void()> feed;  // data arrives for it
};

// Counts events; the first one may close and open the endpoint again.
struct Host {
    Endpoint* endpoint;
    std::atomic<bool> reopen{false};
    std::atomic<int> events{0}, reopened{-1};
    std::atomic<DWORD> error{0};
    static long CALLBACK Proc(void* p, unsigned int, long) {
        Host* h = static_cast<Host*>(p);
        if (h->reopen.exchange(false)) {
            h->endpoint->close();
            h->reopened = h->endpoint->open();
            h->error = GetLastError();
        }
        ++h->events;
        return 0;
    }
};

// A thread routine held back until go is set, as when another module's
// thread attach holds every new thread: a CreateThread hook starts Late::Start
// with a new Late in place of the routine it was given.
struct Late {
    LPTHREAD_START_ROUTINE routine;
    void* param;
    HANDLE go;
    static DWORD WINAPI Start(void* p) {
        Late late = *static_cast<Late*>(p);
        delete static_cast<Late*>(p);
        WaitForSingleObject(late.go, 10000);
        return late.routine(late.param);
    }
};

class LifeCycle : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(1, SocketInit());
        sender = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        stack.AddRadio(kRadio, L"radio", 0x1C010C);
        ASSERT_EQ(1, server.ListenConnection(L"127.0.0.1", 0));
        ASSERT_EQ(1, bthServer.ListenConnection(qvsim::BthText(kRadio).c_str(), nullptr, 5));
    }
    void TearDown() override {
        closesocket(sender);
        EXPECT_EQ(1, SocketUnInit());
    }
    // A connection's result, its far end taken from the server.
    int Accepted(CxClientSocket& peer, CxServerSocket& from, int connected) {
        peer.DisConnect();
        peer.Attach(from.AcceptConnection());
        return connected;
    }
    int Listening(const Endpoint& e) { return e.socket ? e.socket->IsListening() : serial.IsListening(); }
    std::vector<Endpoint> Endpoints() {
        int tcpPort = LocalPort(server.GetSocket());
        std::wstring radio = qvsim::BthText(kRadio);
        return {
            {"tcp", &tcp, &tcp,
             [=] { return Accepted(tcpPeer, server, tcp.Connect(L"127.0.0.1", tcpPort, 1)); },
             [this] { tcp.DisConnect(); }, [this] { tcpPeer.Send(byte, 1, 0); }},
            {"udp", &udp, &udp, [this] { return udp.Bind(0, 1); }, [this] { udp.Disbind(); },
             [this] {
                 SOCKADDR_IN to = Loopback(LocalPort(udp.GetSocket()));
                 sendto(sender, "x", 1, 0, reinterpret_cast<SOCKADDR*>(&to), sizeof to);
             }},
            {"rfcomm", &bth, &bth,
             [=] { return Accepted(bthPeer, bthServer, bth.Connect(radio.c_str(), nullptr, 5, 1)); },
             [this] { bth.DisConnect(); }, [this] { bthPeer.Send(byte, 1, 0); }},
            {"serial", &serial, nullptr, [this] { return serial.Open(L"COM7", 1); },
             [this] { serial.Close(); }, [this] { port.Arrive("x"); }},
        };
    }

    qvsim::SerialBus bus;
    qvsim::SerialPort& port = bus.Add(L"COM7");
    qvsim::BluetoothStack stack;
    unsigned char byte[1] = {'x'};
    SOCKET sender = INVALID_SOCKET;
    CxServerSocket server;
    CxClientSocket tcp, tcpPeer;
    CxUdpSocket udp;
    CxBthServerSocket bthServer;
    CxBthClientSocket bth, bthPeer;
    CxSerial serial;
};

}  // namespace

// A start succeeds only with a listener that runs and reports: after the
// handle was closed under the listener (which then ended by itself), and
// when the endpoint's own callback closes and opens it again.
TEST_F(LifeCycle, EveryStartRunsAListenerAfterAClosedHandleAndFromTheCallback) {
    for (Endpoint& e : Endpoints()) {
        SCOPED_TRACE(e.name);
        Host host{&e};
        e.comm->SetWndMsgProc(nullptr, 0, &Host::Proc, &host);
        if (e.socket) {
            ASSERT_EQ(1, e.open());
            ASSERT_EQ(1, e.socket->CloseSocket());
            ASSERT_TRUE(WaitUntil([&] { return Listening(e) == 0; }));
            ASSERT_EQ(1, e.open());
            EXPECT_EQ(1, Listening(e));
            e.feed();
            EXPECT_TRUE(WaitUntil([&] { return host.events > 0; })) << "no listener after the start";
            e.close();
        }
        host.events = 0;
        host.reopen = true;
        ASSERT_EQ(1, e.open());
        e.feed();
        ASSERT_TRUE(WaitUntil([&] { return host.reopened != -1; }));
        EXPECT_EQ(1, host.reopened.load()) << "error " << host.error.load();
        EXPECT_EQ(1, Listening(e));
        int before = host.events;
        e.feed();
        EXPECT_TRUE(WaitUntil([&] { return host.events > before; })) << "no listener after reopening";
        e.close();
    }
}

// A listener's first step may come long after its start (another module's
// thread attach holds every new thread): by then the socket may be closed
// and its value given to a new socket. The listener never acts on it.
TEST_F(LifeCycle, ALateListenerNeverActsOnTheSocketClosedBeforeItsFirstStep) {
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Hook<os::CreateThread> late([&](LPSECURITY_ATTRIBUTES a, SIZE_T n, LPTHREAD_START_ROUTINE r,
                                    LPVOID p, DWORD f, LPDWORD id) {
        return late.Real()(a, n, &Late::Start, new Late{r, p, go}, f, id);
    });
    std::atomic<SOCKET> watched{INVALID_SOCKET};
    std::atomic<bool> closed{false};
    std::atomic<int> actsOnClosed{0};
    Hook<os::closesocket> closing([&](SOCKET s) {
        closed = closed || s == watched;
        return closing.Real()(s);
    });
    Hook<os::WSAAsyncSelect> selecting([&](SOCKET s, HWND w, u_int m, long mask) {
        actsOnClosed += closed && s == watched;
        return selecting.Real()(s, w, m, mask);
    });
    qvtest::MessageWindow window;
    tcp.SetWndMsgProc(window.hwnd(), WM_APP + 9, nullptr, nullptr);
    ASSERT_EQ(1, tcp.Connect(L"127.0.0.1", LocalPort(server.GetSocket()), 1));
    closesocket(server.AcceptConnection());
    HANDLE listener = ListenerOf(tcp);
    watched = tcp.GetSocket();
    ASSERT_EQ(1, tcp.CloseSocket());
    SOCKET reuse = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);  // may well get the value
    SetEvent(go);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(listener, 10000));
    EXPECT_EQ(0, actsOnClosed.load());
    tcp.DisConnect();
    closesocket(reuse);
    CloseHandle(listener);
    CloseHandle(go);
}

// A stop that comes before the listener's thread has taken its first step
// does not wait for that step (a thread's start can take long): the thread
// then ends without running the listener or reading the endpoint, which may
// be gone by then; the endpoint opens again with a listener that works.
TEST_F(LifeCycle, AStopBeforeTheListenersFirstStepNeitherWaitsNorRunsIt) {
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> holding{true};
    Hook<os::CreateThread> late([&](LPSECURITY_ATTRIBUTES a, SIZE_T n, LPTHREAD_START_ROUTINE r,
                                    LPVOID p, DWORD f, LPDWORD id) {
        return holding ? late.Real()(a, n, &Late::Start, new Late{r, p, go}, f, id)
                       : late.Real()(a, n, r, p, f, id);
    });
    std::vector<HANDLE> held;
    for (Endpoint& e : Endpoints()) {
        SCOPED_TRACE(e.name);
        ASSERT_EQ(1, e.open());
        held.push_back(e.socket ? ListenerOf(*e.socket) : ListenerOf(serial));
        EXPECT_TRUE(FinishesWithin(e.close, 2000)) << "the close waited for the listener's start";
    }
    // One whose object is gone before its thread's first step.
    qvtest::GuardedObject<CxClientSocket> gone;
    ASSERT_EQ(1, gone->Connect(L"127.0.0.1", LocalPort(server.GetSocket()), 1));
    closesocket(server.AcceptConnection());
    held.push_back(ListenerOf(*gone));
    gone->DisConnect();
    gone.Destroy();
    // A port watch: what its thread would have let go of goes with the stop
    // (its state, and the wake in it).
    std::vector<HANDLE> made;
    std::mutex madeLock;
    qvtest::CloseLog closed;
    {
        Hook<os::CreateEventW> making([&](LPSECURITY_ATTRIBUTES a, BOOL m, BOOL i, LPCWSTR n) {
            HANDLE h = making.Real()(a, m, i, n);
            std::lock_guard<std::mutex> hold(madeLock);
            made.push_back(h);
            return h;
        });
        CxSerialPortWatch watch;
        ASSERT_EQ(1, watch.Start(0));
        HANDLE thread = nullptr;
        DuplicateHandle(GetCurrentProcess(), watch.GetSafeHandle(), GetCurrentProcess(), &thread,
                        SYNCHRONIZE, FALSE, 0);
        held.push_back(thread);
        watch.Stop();
    }
    holding = false;
    SetEvent(go);
    for (HANDLE thread : held) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
        CloseHandle(thread);
    }
    ASSERT_FALSE(made.empty());
    for (HANDLE h : made) EXPECT_EQ(1u, closed.Count(h)) << "the watch's state was never let go of";
    for (Endpoint& e : Endpoints()) {
        SCOPED_TRACE(e.name);
        Host host{&e};
        e.comm->SetWndMsgProc(nullptr, 0, &Host::Proc, &host);
        ASSERT_EQ(1, e.open());
        e.feed();
        EXPECT_TRUE(WaitUntil([&] { return host.events > 0; }));
        e.close();
        e.comm->SetWndMsgProc(nullptr, 0, nullptr, nullptr);
    }
    CloseHandle(go);
}

namespace {

// Holds one thread's calls inside the platform operations hooked with it,
// until released.
struct Parker {
    std::atomic<DWORD> thread{0};
    HANDLE parked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    void Park() {
        if (GetCurrentThreadId() != thread) return;
        SetEvent(parked);
        WaitForSingleObject(release, 10000);
    }
};

template <auto& Slot>
struct ParkIn {
    Parker& parker;
    Hook<Slot> hook;
    explicit ParkIn(Parker& p)
        : parker(p), hook([this](auto... a) { return parker.Park(), hook.Real()(a...); }) {}
};

}  // namespace

// Every operation that reaches the handle counts as a call: held inside the
// platform while another thread closes, the close waits for it without
// polling and releases the handle only once it has left.
TEST_F(LifeCycle, ACloseWaitsForEveryCallOnTheHandleAndIsToldWhenTheLastLeaves) {
    Parker parker;
    ParkIn<os::GetCommState> p1{parker};
    ParkIn<os::SetCommState> p2{parker};
    ParkIn<os::SetupComm> p3{parker};
    ParkIn<os::GetCommProperties> p4{parker};
    ParkIn<os::ClearCommError> p5{parker};
    ParkIn<os::PurgeComm> p6{parker};
    ParkIn<os::GetCommMask> p7{parker};
    ParkIn<os::WriteFile> p8{parker};
    ParkIn<os::getpeername> p9{parker};
    ParkIn<os::getsockname> p10{parker};
    ParkIn<os::WSAAsyncSelect> p11{parker};
    std::atomic<DWORD> closer{0};
    std::atomic<bool> cancelled{false};
    std::atomic<int> sleeps{0};
    Hook<os::CancelIoEx> cancelling([&](HANDLE h, LPOVERLAPPED o) {
        if (!o && GetCurrentThreadId() == closer) cancelled = true;  // the close waits
        return cancelling.Real()(h, o);
    });
    Hook<os::Sleep> sleeping([&](DWORD ms) {
        if (ms && GetCurrentThreadId() == closer) ++sleeps;
        sleeping.Real()(ms);
    });
    qvtest::MessageWindow window;
    tcp.SetWndMsgProc(window.hwnd(), WM_APP + 1, nullptr, nullptr);
    DCB dcb = {};
    unsigned long n1 = 0, n2 = 0;
    wchar_t text[64];
    struct Case {
        const char* name;
        CxComm* object;
        std::function<void()> call;
    };
    for (const Case& c : std::vector<Case>{
             {"GetSettings", &serial, [&] { serial.GetSettings(&dcb); }},
             {"SetSettings", &serial, [&] { serial.SetSettings(&dcb); }},
             {"SetBufferSize", &serial, [&] { serial.SetBufferSize(100, 100); }},
             {"GetBufferSize", &serial, [&] { serial.GetBufferSize(&n1, &n2); }},
             {"GetBufferCount", &serial, [&] { serial.GetBufferCount(&n1, &n2); }},
             {"ClearBuffer", &serial, [&] { serial.ClearBuffer(1); }},
             {"SetLineErrorEvent", &serial, [&] { serial.SetLineErrorEvent(1); }},
             {"Send", &serial, [&] { serial.Send(byte, 1, 1000); }},
             {"IsConnected", &tcp, [&] { tcp.IsConnected(); }},
             {"GetPeerAddress", &tcp, [&] { tcp.GetPeerAddress(text); }},
             {"GetSockAddress", &tcp, [&] { tcp.GetSockAddress(text); }},
             {"SelectEvent", &tcp, [&] { tcp.SelectEvent(CX_SOCKET_READ); }},
             {"IsBinded", &udp, [&] { udp.IsBinded(); }},
         }) {
        SCOPED_TRACE(c.name);
        int opened = c.object == &serial ? serial.Open(L"COM7", 1)
                     : c.object == &udp  ? udp.Bind(0, 0)
                                         : tcp.Connect(L"127.0.0.1", LocalPort(server.GetSocket()), 0);
        ASSERT_EQ(1, opened);
        if (c.object == &tcp) closesocket(server.AcceptConnection());
        cancelled = false;
        sleeps = 0;
        ResetEvent(parker.parked);
        ResetEvent(parker.release);
        std::thread caller([&] {
            parker.thread = GetCurrentThreadId();
            c.call();
            parker.thread = 0;
        });
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(parker.parked, 10000));
        std::thread closing([&] {
            closer = GetCurrentThreadId();
            c.object == &serial ? void(serial.Close()) : void(static_cast<CxSocket*>(c.object)->CloseSocket());
        });
        WaitUntil([&] { return cancelled || !c.object->GetSafeHandle(); });
        EXPECT_TRUE(c.object->GetSafeHandle()) << "the handle went while a call used it";
        SetEvent(parker.release);
        caller.join();
        EXPECT_TRUE(WaitUntil([&] { return !c.object->GetSafeHandle(); })) << "the close did not end";
        closing.join();
        EXPECT_EQ(0, sleeps.load()) << "the close polls";
    }
}

// A stop asks the listener to exit before it wakes it: a listener that
// takes the wake finds the request, however the two threads interleave. The
// wake is held until the listener has taken it and either ended or waits
// again; destroying or detaching the endpoint must still end at once.
TEST_F(LifeCycle, AStopEndsTheListenerWhateverMomentItTakesTheWake) {
    std::atomic<HANDLE> listener{nullptr};
    std::atomic<bool> taken{false}, waitsAgain{false};
    auto heldUntilTaken = [&] {
        WaitUntil([&] { return waitsAgain || Ended(listener); }, 2000);
    };
    auto dgram = [](SOCKET s) {
        int type = 0, length = sizeof type;
        getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length);
        return type == SOCK_DGRAM;
    };
    Hook<os::send> waking([&](SOCKET s, const char* b, int n, int f) {
        int result = waking.Real()(s, b, n, f);
        if (dgram(s)) heldUntilTaken();
        return result;
    });
    Hook<os::recv> draining([&](SOCKET s, char* b, int n, int f) {
        int result = draining.Real()(s, b, n, f);
        if (result > 0 && dgram(s)) taken = true;
        return result;
    });
    std::atomic<bool> inSelect{false};
    Hook<os::select> waiting([&](int n, fd_set* r, fd_set* w, fd_set* e, timeval* t) {
        if (taken && !t) waitsAgain = true;
        if (!t) inSelect = true;
        return waiting.Real()(n, r, w, e, t);
    });
    std::atomic<HANDLE> wake{nullptr};
    Hook<os::SetEvent> setting([&](HANDLE h) {
        BOOL result = setting.Real()(h);
        if (h == wake) heldUntilTaken();
        return result;
    });
    Hook<os::WaitForMultipleObjects> waitingForEvents([&](DWORD n, const HANDLE* h, BOOL all, DWORD ms) {
        if (ms != INFINITE) return waitingForEvents.Real()(n, h, all, ms);  // not the listener's
        if (taken) waitsAgain = true;
        wake = h[0];
        DWORD result = waitingForEvents.Real()(n, h, all, ms);
        if (result == WAIT_OBJECT_0) taken = true;
        return result;
    });
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round == 0 ? "socket destroyed" : round == 1 ? "socket detached" : "serial destroyed");
        taken = waitsAgain = inSelect = false;
        auto* client = new CxClientSocket;
        auto* port = new CxSerial;
        SOCKET accepted = INVALID_SOCKET;  // open: the listener has nothing to read
        if (round < 2) {
            ASSERT_EQ(1, client->Connect(L"127.0.0.1", LocalPort(server.GetSocket()), 1));
            accepted = server.AcceptConnection();
            listener = ListenerOf(*client);
            ASSERT_TRUE(WaitUntil([&] { return inSelect.load(); }));  // it runs, and waits
        } else {
            ASSERT_EQ(1, port->Open(L"COM7", 1));
            listener = ListenerOf(*port);
            ASSERT_TRUE(WaitUntil([&] { return wake != nullptr; }));
        }
        SOCKET detached = INVALID_SOCKET;
        bool ended = FinishesWithin(
            [&] {
                if (round == 1) detached = client->Detach();
                delete client;
                delete port;
            },
            5000);
        ASSERT_TRUE(ended) << "the listener took the wake before its exit request and waits again";
        // Its routine has returned; the thread ends on its own right after.
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(listener, 5000));
        CloseHandle(listener);
        closesocket(detached);
        closesocket(accepted);
    }
}
