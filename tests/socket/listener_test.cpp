// The socket listener in a hostile world: strangers on the same machine, a
// host that closes or deletes its endpoint from the callback or from another
// thread, streams that must not be paced, and a listener that cannot start.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "tests/socket/socket_support.h"
#include "tests/support/guarded_object.h"
#include "tests/support/message_window.h"
#include "tests/support/os_hook.h"

namespace os = quorvel::os;
using qvtest::GuardedObject;
using qvtest::Hook;
using namespace qvtest::sockets;

namespace {

int LastError() { return static_cast<int>(SocketGetLastError()); }

class Listener : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(1, SocketInit()); }
    void TearDown() override { EXPECT_EQ(1, SocketUnInit()); }
};

// Every socket the library creates, and whether it has been closed.
struct SocketLedger {
    std::mutex mutex;
    std::set<SOCKET> open, made;
    Hook<os::socket> create{[this](int af, int type, int protocol) {
        SOCKET s = create.Real()(af, type, protocol);
        std::lock_guard<std::mutex> lock(mutex);
        if (s != INVALID_SOCKET) open.insert(s), made.insert(s);
        return s;
    }};
    std::atomic<int> failed{0};  // closes of a socket it made that the system refused
    Hook<os::closesocket> close{[this](SOCKET s) {
        int result = close.Real()(s);
        std::lock_guard<std::mutex> lock(mutex);
        if (result == 0) open.erase(s);
        else if (made.count(s)) ++failed;
        return result;
    }};
    size_t Open() {
        std::lock_guard<std::mutex> lock(mutex);
        return open.size();
    }
};

// A thread handle of our own for the listener, to wait for its end.
HANDLE ListenerThreadOf(CxSocket& socket) {
    struct Peek : CxSocket {
        static void* Handle(CxSocket& s) { return static_cast<Peek&>(s).m_ListenThread.GetSafeHandle(); }
    };
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), Peek::Handle(socket), GetCurrentProcess(), &copy,
                    SYNCHRONIZE, FALSE, 0);
    return copy;
}

// Waits that only pause the listener, counted while the test runs: a select
// on its wake socket alone with a time limit, or the wait for a host's read
// (the unread-data pause).
struct PauseCounter {
    std::atomic<int> pauses{0};
    Hook<os::select> hook{[this](int n, fd_set* r, fd_set* w, fd_set* e, timeval* t) {
        if (t && (t->tv_sec || t->tv_usec) && r && r->fd_count == 1 && !w && !e) ++pauses;
        return hook.Real()(n, r, w, e, t);
    }};
    Hook<os::WaitForSingleObject> forRead{[this](HANDLE h, DWORD ms) {
        if (ms == CX_SOCKET_UNREAD_PAUSE_MS) ++pauses;
        return forRead.Real()(h, ms);
    }};
};


// Sends nCount equal datagrams to a callback that takes each as it comes
// (with RecvDatagram, which carries the sender's port, or with RecvFrom).
// They go in bursts that the socket's queue holds whole, so that nothing is
// lost however slowly this machine runs the listener, while the callback
// still finds more of the same size waiting after each one: the listener
// must never pause.
void ExpectEqualDatagramsUnpaced(bool bWithPort, int nCount) {
    PauseCounter pauses;
    struct Taker {
        CxUdpSocket udp;
        bool bWithPort = false;
        std::atomic<int> taken{0};
        static long CALLBACK Proc(void* p, unsigned int, long) {
            Taker* t = static_cast<Taker*>(p);
            unsigned char datagram[100];
            unsigned long length = 0;
            int got = t->bWithPort ? t->udp.RecvDatagram(nullptr, datagram, sizeof datagram, &length)
                                   : t->udp.RecvFrom(nullptr, datagram, sizeof datagram);
            if (got) ++t->taken;
            return 0;
        }
    } taker;
    taker.bWithPort = bWithPort;
    taker.udp.SetWndMsgProc(nullptr, 0, &Taker::Proc, &taker);
    ASSERT_EQ(1, taker.udp.Bind(0, 1));
    SOCKET sender = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    SOCKADDR_IN to = Ipv4(L"127.0.0.1", LocalPort(taker.udp.GetSocket()));
    char payload[100];
    std::memset(payload, 'd', sizeof payload);
    for (int sent = 0; sent < nCount;) {
        for (int i = 0; i < 20; ++i, ++sent) {
            sendto(sender, payload, sizeof payload, 0, reinterpret_cast<SOCKADDR*>(&to), sizeof to);
        }
        ASSERT_TRUE(WaitUntil([&] { return taker.taken.load() == sent; }))
            << taker.taken.load() << " of " << sent;
    }
    EXPECT_EQ(0, pauses.pauses.load());
    taker.udp.Disbind();
    closesocket(sender);
}

}  // namespace

// Any program on the machine can send datagrams to any loopback port: none of
// them may stop the listener or make it lose an event, or take the port of
// its wake-up.
TEST_F(Listener, StrangersDatagramsToEveryPortItOpenedChangeNothing) {
    std::mutex mutex;
    std::vector<u_short> ports;  // every datagram port the library binds
    std::map<u_short, SOCKET> wakes;  // and its socket
    Hook<os::bind> binding([&](SOCKET s, const sockaddr* a, int n) {
        int result = binding.Real()(s, a, n);
        int type = 0, length = sizeof type;
        getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length);
        if (result == 0 && type == SOCK_DGRAM) {
            std::lock_guard<std::mutex> lock(mutex);
            ports.push_back(static_cast<u_short>(LocalPort(s)));
            wakes[ports.back()] = s;
        }
        return result;
    });
    Calls calls;
    Loopback pair;
    pair.client.SetWndMsgProc(nullptr, 0, &Calls::Proc, &calls);
    ASSERT_TRUE(pair.Open(1));
    CxUdpSocket udp;
    udp.SetWndMsgProc(nullptr, 0, &Calls::Proc, &calls);
    ASSERT_EQ(1, udp.Bind(0, 1));
    ASSERT_GE(ports.size(), 3u);  // two wake-ups and the UDP socket

    // Nor can one take a wake-up's port over, even asking to share it: the
    // wake-up holds its port for its own use alone (Windows lets a socket
    // that asks to share take a port from one that did not forbid it).
    for (auto [port, wake] : wakes) {
        if (port == LocalPort(udp.GetSocket())) continue;
        SOCKET thief = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        BOOL yes = TRUE;
        setsockopt(thief, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<char*>(&yes), sizeof yes);
        SOCKADDR_IN at = Ipv4(L"127.0.0.1", port);
        EXPECT_EQ(SOCKET_ERROR, bind(thief, reinterpret_cast<SOCKADDR*>(&at), sizeof at)) << port;
        closesocket(thief);
        BOOL exclusive = FALSE;
        int length = sizeof exclusive;
        getsockopt(wake, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<char*>(&exclusive), &length);
        EXPECT_TRUE(exclusive) << port;
    }
    SOCKET stranger = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    const std::vector<std::string> junk = {"", "S", "R", std::string(1, '\0'), "RS",
                                           std::string(1000, 'x')};
    for (u_short port : ports) {
        if (port == LocalPort(udp.GetSocket())) continue;  // the endpoint's own data port
        SOCKADDR_IN to = Ipv4(L"127.0.0.1", port);
        for (const std::string& d : junk) {
            sendto(stranger, d.data(), static_cast<int>(d.size()), 0,
                   reinterpret_cast<SOCKADDR*>(&to), sizeof to);
        }
    }
    closesocket(stranger);
    Sleep(200);
    EXPECT_EQ(1, pair.client.IsListening());
    EXPECT_EQ(1, udp.IsListening());

    unsigned char data[4] = {1, 2, 3, 4};
    size_t before = calls.Count();
    ASSERT_EQ(1, pair.peer.Send(data, sizeof data, 0));
    ASSERT_TRUE(WaitUntil([&] { return calls.Count() > before; }));
    unsigned char got[4] = {};
    ASSERT_EQ(1, pair.client.Recv(got, sizeof got, 0));
    EXPECT_EQ(0, std::memcmp(data, got, sizeof got));
    udp.Disbind();
}

// A host answers an event by closing, or deleting, the endpoint from inside
// its callback. The callback's call must work, leave no thread or socket
// behind, and the listener must never touch the object again: its memory is
// made inaccessible the moment it is destroyed.
TEST_F(Listener, CloseOrDeleteFromTheCallback) {
    enum Mode { kClose, kDelete, kCloseThenDelete };
    CxServerSocket server;
    ASSERT_EQ(1, server.ListenConnection(L"127.0.0.1", 0));
    for (Mode mode : {kClose, kDelete, kCloseThenDelete}) {
        for (bool udp : {false, true}) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << (udp ? " udp" : " tcp"));
            SocketLedger ledger;
            struct Host {
                Mode mode;
                bool udp;
                GuardedObject<CxClientSocket>* tcp;
                GuardedObject<CxUdpSocket>* dgram;
                std::atomic<int> calls{0};
                std::atomic<int> result{-1};

                static long CALLBACK Proc(void* p, unsigned int, long) {
                    Host* h = static_cast<Host*>(p);
                    if (h->calls++) return 0;
                    unsigned char byte = 0;
                    if (h->udp) {
                        wchar_t from[16];
                        (*h->dgram)->RecvFrom(from, &byte, 1);
                        if (h->mode != kDelete) h->result = (*h->dgram)->Disbind();
                        if (h->mode != kClose) h->dgram->Destroy();
                    } else {
                        (*h->tcp)->Recv(&byte, 1, 0);
                        if (h->mode != kDelete) h->result = (*h->tcp)->DisConnect();
                        if (h->mode != kClose) h->tcp->Destroy();
                    }
                    return 0;
                }
            };
            GuardedObject<CxClientSocket> tcp;
            GuardedObject<CxUdpSocket> dgram;
            Host host{mode, udp, &tcp, &dgram};
            CX_COMM_PROC callback = &Host::Proc;

            CxClientSocket peer;
            SOCKET sender = INVALID_SOCKET;
            HANDLE listener = nullptr;
            if (udp) {
                dgram->SetWndMsgProc(nullptr, 0, callback, &host);
                ASSERT_EQ(1, dgram->Bind(0, 1));
                listener = ListenerThreadOf(*dgram);
                sender = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
                SOCKADDR_IN to = Ipv4(L"127.0.0.1", LocalPort(dgram->GetSocket()));
                ASSERT_EQ(1, sendto(sender, "x", 1, 0, reinterpret_cast<SOCKADDR*>(&to), sizeof to));
            } else {
                tcp->SetWndMsgProc(nullptr, 0, callback, &host);
                ASSERT_EQ(1, tcp->Connect(L"127.0.0.1", LocalPort(server.GetSocket()), 1));
                peer.Attach(server.AcceptConnection());
                listener = ListenerThreadOf(*tcp);
                unsigned char byte = 'x';
                ASSERT_EQ(1, peer.Send(&byte, 1, 0));
            }
            ASSERT_NE(nullptr, listener);
            // The listener ends by itself once the callback has returned.
            ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(listener, 10000));
            CloseHandle(listener);
            EXPECT_EQ(1, host.calls.load());
            if (mode != kDelete) {
                EXPECT_EQ(1, host.result.load());
            }
            if (mode == kClose) {
                EXPECT_EQ(0, udp ? dgram->IsListening() : tcp->IsListening());
                EXPECT_EQ(nullptr, udp ? dgram->GetSafeHandle() : tcp->GetSafeHandle());
            }
            // A deleted endpoint never closed its socket (the destructor does
            // not); everything else the library opened is closed.
            size_t expected = mode == kDelete ? 1 : 0;
            EXPECT_EQ(expected, ledger.Open());
            if (mode == kDelete) {
                std::lock_guard<std::mutex> lock(ledger.mutex);
                for (SOCKET s : ledger.open) closesocket(s);
            }
            if (sender != INVALID_SOCKET) closesocket(sender);
            peer.DisConnect();
        }
    }
}

// Another thread closes the connection while a Recv waits on it: the Recv
// ends with WSAEINTR, the close waits for it, and no call ever reaches the
// socket's handle value after the close released it, even when the value
// names a new socket by then and the Recv is held up just before its call.
TEST_F(Listener, CloseFromAnotherThreadEndsARecvAndNeverReachesAReusedHandle) {
    for (bool nonBlocking : {false, true}) {
        SCOPED_TRACE(nonBlocking ? "events selected" : "blocking");
        qvtest::sockets::Loopback pair;
        GuardedObject<CxClientSocket> client;
        ASSERT_TRUE(pair.Open());
        client->Attach(pair.client.Detach());
        qvtest::MessageWindow window;
        if (nonBlocking) {
            client->SetWndMsgProc(window.hwnd(), WM_APP + 40, nullptr, nullptr);
            ASSERT_EQ(1, client->SelectEvent(CX_SOCKET_EVENTS_NO_LISTENER));
        }
        SOCKET watched = client->GetSocket();

        std::atomic<DWORD> readerId{0};
        std::atomic<bool> readerInside{false}, closed{false};
        std::atomic<int> afterClose{0};
        Hook<os::recv> reading([&](SOCKET s, char* b, int n, int f) {
            if (GetCurrentThreadId() == readerId.load()) {
                if (!readerInside.exchange(true)) Sleep(200);  // held up before its call
                if (s == watched && closed.load()) ++afterClose;
            }
            return reading.Real()(s, b, n, f);
        });
        Hook<os::select> waiting([&](int n, fd_set* r, fd_set* w, fd_set* e, timeval* t) {
            if (GetCurrentThreadId() == readerId.load() && closed.load()) {
                for (u_int i = 0; r && i < r->fd_count; ++i) afterClose += r->fd_array[i] == watched;
            }
            return waiting.Real()(n, r, w, e, t);
        });
        Hook<os::closesocket> closing([&](SOCKET s) {
            int result = closing.Real()(s);
            if (s == watched) closed = true;
            return result;
        });

        std::atomic<int> result{-1};
        std::atomic<int> error{0};
        std::thread reader([&] {
            readerId = GetCurrentThreadId();
            unsigned char buffer[16];
            result = client->Recv(buffer, sizeof buffer, 0);
            error = LastError();
        });
        ASSERT_TRUE(WaitUntil([&] { return readerInside.load(); }));
        // The value is free once closed: a socket made now may well get it.
        ASSERT_TRUE(FinishesWithin([&] { client->CloseSocket(); }, 10000));
        SOCKET reuse = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        client.Destroy();
        reader.join();
        EXPECT_EQ(0, result.load());
        EXPECT_EQ(WSAEINTR, error.load());
        EXPECT_EQ(0, afterClose.load());
        closesocket(reuse);
    }
}

// A close from another thread waits for a callback under way, but not for a
// listener that waits: held inside its wait, that one is let go of, its
// endpoint destroyed (its memory made inaccessible), and only then does it
// go on; it must end without touching the endpoint, closing the wake-up
// socket it was handed once and giving back its hold on Windows Sockets.
// Closes that race a stream of events never see a callback after them.
TEST_F(Listener, ACloseFromAnotherThreadWaitsForACallbackButNeverForAWaitingListener) {
    CxServerSocket server;
    ASSERT_EQ(1, server.ListenConnection(L"127.0.0.1", 0));
    struct Host {
        std::atomic<int> calls{0}, afterClose{0};
        std::atomic<bool> closed{false};
        std::atomic<DWORD> linger{0};
        std::function<void()> take;  // reads what came, when set
        static long CALLBACK Proc(void* p, unsigned int, long) {
            Host* h = static_cast<Host*>(p);
            if (h->closed) ++h->afterClose;
            if (h->take) h->take();
            ++h->calls;
            Sleep(h->linger);
            if (h->closed) ++h->afterClose;  // the close returned while this ran
            return 0;
        }
    };
    std::atomic<bool> hold{false};
    std::atomic<int> held{0};
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Hook<os::select> waiting([&](int n, fd_set* r, fd_set* w, fd_set* e, timeval* t) {
        int result = waiting.Real()(n, r, w, e, t);
        if (!t && hold) {  // the listener's wait, ended by the close
            ++held;
            WaitForSingleObject(release, 10000);
        }
        return result;
    });
    std::atomic<int> started{0}, cleaned{0};
    Hook<os::WSAStartup> starting([&](WORD v, LPWSADATA d) { return ++started, starting.Real()(v, d); });
    Hook<os::WSACleanup> cleaning([&] { return ++cleaned, cleaning.Real()(); });
    for (bool udp : {false, true}) {
        SCOPED_TRACE(udp ? "udp" : "tcp");
        Host host;
        CxClientSocket peer;
        SOCKET sender = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        SOCKADDR_IN to = {};
        auto open = [&](CxSocket& e) {
            e.SetWndMsgProc(nullptr, 0, &Host::Proc, &host);
            if (udp) {
                if (!static_cast<CxUdpSocket&>(e).Bind(0, 1)) return false;
                to = Ipv4(L"127.0.0.1", LocalPort(e.GetSocket()));
                return true;
            }
            if (!static_cast<CxClientSocket&>(e).Connect(L"127.0.0.1", LocalPort(server.GetSocket()), 1)) {
                return false;
            }
            peer.DisConnect();
            peer.Attach(server.AcceptConnection());
            return true;
        };
        auto close = [&](CxSocket& e) {
            if (udp) static_cast<CxUdpSocket&>(e).Disbind();
            else static_cast<CxClientSocket&>(e).DisConnect();
        };
        auto feed = [&] {
            if (udp) sendto(sender, "x", 1, 0, reinterpret_cast<SOCKADDR*>(&to), sizeof to);
            else peer.Send(reinterpret_cast<unsigned char*>(const_cast<char*>("x")), 1, 0);
        };
        auto make = [&]() -> CxSocket* { return udp ? static_cast<CxSocket*>(new CxUdpSocket) : new CxClientSocket; };
        SocketLedger ledger;
        {
            GuardedObject<CxUdpSocket> dgram;
            GuardedObject<CxClientSocket> tcp;
            CxSocket& e = udp ? static_cast<CxSocket&>(*dgram) : *tcp;
            ASSERT_TRUE(open(e));
            HANDLE listener = ListenerThreadOf(e);
            unsigned char byte = 0;
            wchar_t from[32];
            host.take = [&] {
                if (udp) dgram->RecvFrom(from, &byte, 1);
                else tcp->Recv(&byte, 1, 0);
            };
            feed();
            ASSERT_TRUE(WaitUntil([&] { return host.calls > 0; }));
            // Back in its wait, with nothing left to read; held once woken:
            // the close goes on without it.
            Sleep(50);
            host.take = nullptr;
            hold = true;
            EXPECT_TRUE(FinishesWithin([&] { close(e); }, 3000)) << "the close waited for the listener";
            if (udp) dgram.Destroy();
            else tcp.Destroy();
            ASSERT_TRUE(WaitUntil([&] { return held > 0; }));
            hold = false;
            SetEvent(release);
            ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(listener, 10000));
            CloseHandle(listener);
            EXPECT_EQ(0u, ledger.Open()) << "the wake-up socket was never closed";
            ResetEvent(release);
        }
        {
            // In the callback: the close waits for it to return.
            CxSocket* e = make();
            ASSERT_TRUE(open(*e));
            host.linger = 300;
            int before = host.calls;
            feed();
            ASSERT_TRUE(WaitUntil([&] { return host.calls > before; }));
            close(*e);
            host.closed = true;
            delete e;
            Sleep(350);
            EXPECT_EQ(0, host.afterClose.load());
        }
        // Closes at any moment of a stream of events.
        host.linger = 0;
        for (int round = 0; round < 100; ++round) {
            host.closed = false;
            CxSocket* e = make();
            ASSERT_TRUE(open(*e));
            for (int i = 0; i < round % 4; ++i) feed();
            if (round % 2) Sleep(1);
            close(*e);
            host.closed = true;
            delete e;
        }
        // Every wake-up socket closed once, by the listener or its endpoint,
        // once the listeners let go of have ended.
        EXPECT_TRUE(WaitUntil([&] { return ledger.Open() == 0 && started == cleaned; }))
            << ledger.Open() << " sockets open, " << started - cleaned << " holds on Windows Sockets";
        EXPECT_EQ(0, ledger.failed.load()) << "a socket closed twice";
        EXPECT_EQ(0, host.afterClose.load());
        closesocket(sender);
        peer.DisConnect();
    }
    CloseHandle(release);
}

// Detach hands the socket over with its listener stopped: nothing is
// reported for it any more, whatever arrives.
TEST_F(Listener, DetachStopsTheListenerBeforeItHandsTheSocketOver) {
    Calls calls;
    Loopback pair;
    pair.client.SetWndMsgProc(nullptr, 0, &Calls::Proc, &calls);
    ASSERT_TRUE(pair.Open(1));
    ASSERT_EQ(1, pair.client.IsListening());
    HANDLE listener = ListenerThreadOf(pair.client);
    SOCKET taken = pair.client.Detach();
    ASSERT_NE(INVALID_SOCKET, taken);
    EXPECT_EQ(0, pair.client.IsListening());
    // Its routine has returned; the thread ends on its own right after.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(listener, 5000));
    CloseHandle(listener);
    unsigned char byte = 'x';
    ASSERT_EQ(1, pair.peer.Send(&byte, 1, 0));
    Sleep(200);
    EXPECT_EQ(0u, calls.Count());
    closesocket(taken);
}

// A callback that takes each datagram or frame as it comes is called again at
// once, however alike the sizes: no pause, nothing lost. One that never reads
// hears of each arrival at once, and is paced while nothing arrives.
TEST_F(Listener, StreamsAreNotPacedButACallbackThatNeverReadsIsOnceNothingArrives) {
    ExpectEqualDatagramsUnpaced(false, 400);
    {
        // The peer keeps up: each frame taken is followed at once by the
        // next, so the count waiting after every report is the same.
        PauseCounter pauses;
        struct Reader {
            Loopback pair;
            std::atomic<int> frames{0};
            static long CALLBACK Proc(void* p, unsigned int, long) {
                Reader* r = static_cast<Reader*>(p);
                unsigned char frame[100];
                if (!r->pair.client.Recv(frame, sizeof frame, 0)) return 0;
                if (++r->frames < 100) r->pair.peer.Send(frame, sizeof frame, 0);
                return 0;
            }
        } reader;
        reader.pair.client.SetWndMsgProc(nullptr, 0, &Reader::Proc, &reader);
        ASSERT_TRUE(reader.pair.Open(1));
        unsigned char frame[100];
        std::memset(frame, 'f', sizeof frame);
        ASSERT_EQ(1, reader.pair.peer.Send(frame, sizeof frame, 0));
        ASSERT_EQ(1, reader.pair.peer.Send(frame, sizeof frame, 0));
        EXPECT_TRUE(WaitUntil([&] { return reader.frames.load() == 101; }))
            << reader.frames.load();
        EXPECT_EQ(0, pauses.pauses.load());
    }
    {
        // A callback that never reads is told of each arrival at once while
        // the peer keeps sending (here, one byte during each call), and is
        // paced once the peer stops.
        PauseCounter pauses;
        struct Hoarder {
            Loopback pair;
            PauseCounter* pauses;
            std::atomic<int> calls{0}, pausesWhileSending{-1};
            static long CALLBACK Proc(void* p, unsigned int, long) {
                Hoarder* h = static_cast<Hoarder*>(p);
                if (++h->calls > 50) {
                    if (h->calls == 51) h->pausesWhileSending = h->pauses->pauses.load();
                    return 0;
                }
                SOCKET s = h->pair.client.GetSocket();
                u_long before = 0, now = 0;
                ioctlsocket(s, FIONREAD, &before);
                unsigned char byte = 'h';
                h->pair.peer.Send(&byte, 1, 0);
                WaitUntil([&] { return ioctlsocket(s, FIONREAD, &now) == 0 && now > before; });
                return 0;
            }
        } hoarder;
        hoarder.pauses = &pauses;
        hoarder.pair.client.SetWndMsgProc(nullptr, 0, &Hoarder::Proc, &hoarder);
        ASSERT_TRUE(hoarder.pair.Open(1));
        BOOL noDelay = TRUE;  // each byte goes out at once
        setsockopt(hoarder.pair.peer.GetSocket(), IPPROTO_TCP, TCP_NODELAY,
                   reinterpret_cast<char*>(&noDelay), sizeof noDelay);
        unsigned char byte = 'h';
        ASSERT_EQ(1, hoarder.pair.peer.Send(&byte, 1, 0));
        ASSERT_TRUE(WaitUntil([&] { return hoarder.pausesWhileSending.load() != -1; }));
        EXPECT_EQ(0, hoarder.pausesWhileSending.load()) << "paced while data kept arriving";
        ASSERT_TRUE(WaitUntil([&] { return pauses.pauses.load() >= 5; }));
        EXPECT_LT(hoarder.calls.load(), 51 + 20);  // about one call a pause, not a spin
    }
}

// A host that reads after the report rather than in it (the C interface
// queues events, or posts them to a window) makes the listener pause, since
// it has not read yet; its read ends that pause at once, so that what comes
// next is told without waiting out the pause. The pause is stretched to 10 s
// here: only the read can end it in time.
TEST_F(Listener, APauseForAHostThatReadsLaterEndsWithItsRead) {
    Loopback pair;
    std::atomic<int> calls{0};
    std::atomic<DWORD> pauseEnd{0xFFFFFFFF};
    std::atomic<bool> pausing{false};
    Hook<os::WaitForSingleObject> stretched([&](HANDLE h, DWORD ms) {
        if (ms != CX_SOCKET_UNREAD_PAUSE_MS) return stretched.Real()(h, ms);
        pausing = true;
        DWORD result = stretched.Real()(h, 10000);
        pauseEnd = result;
        return result;
    });
    struct Later {
        static long CALLBACK Proc(void* p, unsigned int, long) {
            ++*static_cast<std::atomic<int>*>(p);  // told; reads later
            return 0;
        }
    };
    pair.client.SetWndMsgProc(nullptr, 0, &Later::Proc, &calls);
    ASSERT_TRUE(pair.Open(1));
    unsigned char frame[100];
    std::memset(frame, 'l', sizeof frame);
    ASSERT_EQ(1, pair.peer.Send(frame, sizeof frame, 0));
    ASSERT_TRUE(WaitUntil([&] { return pausing.load(); })) << "the listener did not pause";
    ULONGLONG start = GetTickCount64();
    ASSERT_EQ(1, pair.client.Recv(frame, sizeof frame, 0));
    ASSERT_TRUE(WaitUntil([&] { return pauseEnd.load() != 0xFFFFFFFF; }, 20000));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), pauseEnd.load())
        << "the pause ran out after " << GetTickCount64() - start << " ms instead of ending with the read";
    int told = calls.load();
    ASSERT_EQ(1, pair.peer.Send(frame, sizeof frame, 0));
    EXPECT_TRUE(WaitUntil([&] { return calls.load() > told; })) << "the next frame was not told";
}

// RecvDatagram, which carries the sender's port, counts as a receive for the
// listener's pacing and ends with WSAEINTR when another thread closes the
// socket under it, as the other transfers do.
TEST_F(Listener, DatagramsWithTheSendersPortArePacedAndClosedLikeTheOtherTransfers) {
    ExpectEqualDatagramsUnpaced(true, 200);
    CxUdpSocket udp;
    ASSERT_EQ(1, udp.Bind(0, 0));
    std::atomic<DWORD> readerId{0};
    std::atomic<bool> readerInside{false};
    Hook<os::recvfrom> receiving([&](SOCKET s, char* b, int n, int f, sockaddr* a, int* l) {
        if (GetCurrentThreadId() == readerId.load() && !readerInside.exchange(true)) {
            Sleep(100);  // held up just before its call
        }
        return receiving.Real()(s, b, n, f, a, l);
    });
    std::atomic<int> result{-1}, error{0};
    std::thread reader([&] {
        readerId = GetCurrentThreadId();
        unsigned char buffer[16];
        unsigned long length = 0;
        wchar_t sender[64];
        result = udp.RecvDatagram(sender, buffer, sizeof buffer, &length);
        error = LastError();
    });
    ASSERT_TRUE(WaitUntil([&] { return readerInside.load(); }));
    ASSERT_TRUE(FinishesWithin([&] { udp.Disbind(); }, 10000));
    reader.join();
    EXPECT_EQ(0, result.load());
    EXPECT_EQ(WSAEINTR, error.load());
    unsigned char byte = 1;
    EXPECT_EQ(0, udp.SendDatagramTo(L"127.0.0.1:9", &byte, 1));  // closed: nothing sent
}

// The stack reserve reaches the system; a listener that cannot start fails
// the open that asked for it, which then holds no socket and leaks nothing.
TEST_F(Listener, StackReserveAndAListenerThatCannotStart) {
    std::atomic<SIZE_T> stack{1};
    std::atomic<DWORD> flags{0};
    std::atomic<bool> refuse{false};
    Hook<os::CreateThread> creating([&](LPSECURITY_ATTRIBUTES a, SIZE_T size,
                                        LPTHREAD_START_ROUTINE r, LPVOID p, DWORD f, LPDWORD id) {
        stack = size;
        flags = f;
        if (refuse) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return static_cast<HANDLE>(nullptr);
        }
        return creating.Real()(a, size, r, p, f, id);
    });
    CxServerSocket server;
    ASSERT_EQ(1, server.ListenConnection(L"127.0.0.1", 0));
    int port = LocalPort(server.GetSocket());

    CxClientSocket client;
    EXPECT_EQ(0u, client.GetListenerStackSize());
    ASSERT_EQ(1, client.Connect(L"127.0.0.1", port, 1));
    EXPECT_EQ(0u, stack.load());
    EXPECT_EQ(0u, flags.load() & STACK_SIZE_PARAM_IS_A_RESERVATION);
    client.DisConnect();
    closesocket(server.AcceptConnection());

    client.SetListenerStackSize(256 * 1024);
    // Later changes of the target leave the reserve alone, however many
    // (their count shares its word with it).
    for (UINT i = 0; i < 70000; ++i) client.SetWndMsgProc(nullptr, i, nullptr, nullptr);
    EXPECT_EQ(256u * 1024, client.GetListenerStackSize());
    ASSERT_EQ(1, client.Connect(L"127.0.0.1", port, 1));
    EXPECT_EQ(256u * 1024, stack.load());
    client.DisConnect();
    closesocket(server.AcceptConnection());
    CxClientSocket copy(client);
    EXPECT_EQ(256u * 1024, copy.GetListenerStackSize());
    ASSERT_EQ(1, copy.Connect(L"127.0.0.1", port, 1));
    EXPECT_EQ(256u * 1024, stack.load());
    EXPECT_NE(0u, flags.load() & STACK_SIZE_PARAM_IS_A_RESERVATION);
    copy.DisConnect();
    client.SetListenerStackSize(1);  // rounded up as the system rounds a reserve
    EXPECT_EQ(64u * 1024, client.GetListenerStackSize());
    client.SetListenerStackSize(0);
    EXPECT_EQ(0u, client.GetListenerStackSize());

    SocketLedger ledger;
    refuse = true;
    EXPECT_EQ(0, client.Connect(L"127.0.0.1", port, 1));
    EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, LastError());
    EXPECT_EQ(INVALID_SOCKET, client.GetSocket());
    EXPECT_EQ(0, client.IsListening());
    CxUdpSocket udp;
    EXPECT_EQ(0, udp.Bind(0, 1));
    EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, LastError());
    EXPECT_EQ(INVALID_SOCKET, udp.GetSocket());
    EXPECT_EQ(0, udp.IsBinded());
    EXPECT_EQ(0u, ledger.Open());
    // Without a listener nothing changes.
    EXPECT_EQ(1, udp.Bind(0, 0));
    EXPECT_EQ(0, udp.IsListening());
    udp.Disbind();
    refuse = false;
}

// The listener's callback stores each datagram's sender as the peer while
// the host sets and reads the peer text on its own thread: every read gives
// one whole text or the other, never a mix of both (which would send to an
// address nobody meant).
TEST_F(Listener, PeerTextWrittenByTheCallbackIsNeverReadTorn) {
    struct Host {
        CxUdpSocket udp;
        std::atomic<int> received{0};
        static long CALLBACK Proc(void* p, unsigned int, long) {
            Host* h = static_cast<Host*>(p);
            unsigned char datagram[8];
            if (h->udp.Recv(datagram, sizeof datagram, 0)) ++h->received;
            return 0;
        }
    } host;
    host.udp.SetWndMsgProc(nullptr, 0, &Host::Proc, &host);
    ASSERT_EQ(1, host.udp.Bind(0, 1));
    SOCKADDR_IN to = Ipv4(L"127.0.0.1", LocalPort(host.udp.GetSocket()));
    const wchar_t* const kSender = L"127.0.0.1";
    const wchar_t* const kSet = L"127.100.100.100";
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        while (!stop) {
            sendto(s, "12345678", 8, 0, reinterpret_cast<const SOCKADDR*>(&to), sizeof to);
            Sleep(0);
        }
        closesocket(s);
    });
    int torn = 0, reads = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < until) {
        host.udp.SetPeerAddress(kSet);
        wchar_t text[64];
        host.udp.GetPeerAddress(text);
        ++reads;
        if (wcscmp(text, kSender) && wcscmp(text, kSet)) {
            if (!torn++) ADD_FAILURE() << "peer text " << testing::PrintToString(std::wstring(text));
        }
    }
    stop = true;
    sender.join();
    EXPECT_GT(host.received.load(), 100);
    EXPECT_EQ(0, torn) << "of " << reads << " reads";
    host.udp.Disbind();
}
