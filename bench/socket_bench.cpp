// Socket figures over loopback:
//  - TCP throughput through CxClientSocket::Send/Recv against the same
//    transfer with plain send/recv calls, as a ratio (goal: 0.95 or more);
//  - the time from the peer's send to the listener's callback, against a
//    thread of its own waiting in select (median and 99th percentile);
//  - the CPU time of a Recv that waits 2 s on an event-selected socket for a
//    silent peer (goal: near zero);
//  - a stream of 100-byte datagrams at about 4,000 a second sent to a
//    CxUdpSocket whose callback takes one datagram per call and, in the same
//    run, to a plain select thread: datagrams taken, as a ratio (goal: 0.95
//    or more);
//  - 100-byte TCP frames sent every millisecond, from the peer's send to the
//    end of the callback's Recv of the frame, against a plain select thread;
//  - the time DisConnect of a client whose listener waits takes, idle and
//    with a Recv waiting on another thread (which the close ends and waits
//    for), against the same steps in plain calls for plain threads.
// Run: wine bench_socket.exe [megabytes] [rounds] [datagrams]; with QV_BENCH_CLOSE
// set, only the close times, over [rounds] rounds.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "quorvel/quorvel.h"
#include "socket_pair.h"

namespace {

constexpr unsigned long kBlock = 256 * 1024;  // bytes per Send or Recv call

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / frequency.QuadPart;
}

double Milliseconds(FILETIME t) {
    return (static_cast<double>(t.dwHighDateTime) * 4294967296.0 + t.dwLowDateTime) / 1e4;
}

double ProcessCpuMilliseconds() {
    FILETIME creation, exit, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user);
    return Milliseconds(kernel) + Milliseconds(user);
}

double ThreadCpuMilliseconds(HANDLE thread) {
    FILETIME creation, exit, kernel, user;
    GetThreadTimes(thread, &creation, &exit, &kernel, &user);
    return Milliseconds(kernel) + Milliseconds(user);
}

// Seconds to move total bytes from one end to the other, block by block.
double TransferLibrary(Pair& pair, std::vector<unsigned char>& data, unsigned long total) {
    std::vector<unsigned char> in(kBlock);
    double start = Now();
    std::thread reader([&] {
        for (unsigned long done = 0; done < total; done += kBlock) pair.peer.Recv(in.data(), kBlock, 0);
    });
    for (unsigned long done = 0; done < total; done += kBlock) pair.client.Send(data.data(), kBlock, 0);
    reader.join();
    return Now() - start;
}

bool SendAll(SOCKET s, const char* data, int length) {
    while (length > 0) {
        int n = send(s, data, length, 0);
        if (n == SOCKET_ERROR) return false;
        data += n;
        length -= n;
    }
    return true;
}

bool RecvAll(SOCKET s, char* data, int length) {
    while (length > 0) {
        int n = recv(s, data, length, 0);
        if (n <= 0) return false;
        data += n;
        length -= n;
    }
    return true;
}

double TransferRaw(Pair& pair, std::vector<unsigned char>& data, unsigned long total) {
    std::vector<char> in(kBlock);
    SOCKET from = pair.client.GetSocket(), to = pair.peer.GetSocket();
    double start = Now();
    std::thread reader([&] {
        for (unsigned long done = 0; done < total; done += kBlock) RecvAll(to, in.data(), kBlock);
    });
    for (unsigned long done = 0; done < total; done += kBlock) {
        SendAll(from, reinterpret_cast<char*>(data.data()), kBlock);
    }
    reader.join();
    return Now() - start;
}

struct Probe {
    CxClientSocket* client;
    HANDLE called = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    double at = 0;
};

long CALLBACK OnData(void* pParam, unsigned int, long) {
    Probe* probe = static_cast<Probe*>(pParam);
    probe->at = Now();
    unsigned char byte;
    probe->client->Recv(&byte, 1, 0);
    SetEvent(probe->called);
    return 0;
}

void Report(const char* what, std::vector<double>& micros) {
    std::sort(micros.begin(), micros.end());
    std::printf("%s: median %.1f us, p99 %.1f us\n", what, micros[micros.size() / 2],
                micros[micros.size() * 99 / 100]);
    std::printf("ROW sockets: %s, median / p99|%.1f us / %.1f us|under 1 ms\n", what,
                micros[micros.size() / 2], micros[micros.size() * 99 / 100]);
}

LRESULT CALLBACK Ignore(HWND hwnd, UINT msg, WPARAM w, LPARAM l) { return DefWindowProcW(hwnd, msg, w, l); }

// A datagram port taken by the library's listener: the callback takes one
// datagram per call.
struct DatagramTaker {
    CxUdpSocket udp;
    std::atomic<long> taken{0};
    static long CALLBACK Proc(void* p, unsigned int, long) {
        DatagramTaker* t = static_cast<DatagramTaker*>(p);
        unsigned char datagram[100];
        wchar_t from[16];
        if (t->udp.RecvFrom(from, datagram, sizeof datagram)) ++t->taken;
        return 0;
    }
};

// Datagrams taken by the listener's callback and by a plain select thread
// from one stream sent to both, datagram for datagram.
void DatagramStream(long count) {
    DatagramTaker library;
    library.udp.SetWndMsgProc(nullptr, 0, &DatagramTaker::Proc, &library);
    if (!library.udp.Bind(0, 1)) {
        std::fprintf(stderr, "cannot bind the UDP endpoint\n");
        return;
    }
    SOCKET plain = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    SOCKADDR_IN any = {};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(plain, reinterpret_cast<SOCKADDR*>(&any), sizeof any);
    std::atomic<long> plainTaken{0};
    std::atomic<bool> stop{false};
    std::thread watcher([&] {
        char datagram[100];
        while (!stop) {
            fd_set set;
            set.fd_count = 1;
            set.fd_array[0] = plain;
            timeval limit = {0, 100000};
            if (select(0, &set, nullptr, nullptr, &limit) > 0 &&
                recv(plain, datagram, sizeof datagram, 0) > 0) {
                ++plainTaken;
            }
        }
    });
    SOCKADDR_IN toLibrary = {}, toPlain = {};
    toLibrary.sin_family = toPlain.sin_family = AF_INET;
    toLibrary.sin_addr.s_addr = toPlain.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    toLibrary.sin_port = htons(static_cast<u_short>(Port(library.udp.GetSocket())));
    toPlain.sin_port = htons(static_cast<u_short>(Port(plain)));
    SOCKET sender = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    char payload[100] = {};
    double start = Now();
    for (long i = 0; i < count; ++i) {
        sendto(sender, payload, sizeof payload, 0, reinterpret_cast<SOCKADDR*>(&toLibrary),
               sizeof toLibrary);
        sendto(sender, payload, sizeof payload, 0, reinterpret_cast<SOCKADDR*>(&toPlain),
               sizeof toPlain);
        // About 4,000 a second: hold back whenever ahead of that pace.
        while (Now() - start < (i + 1) / 4000.0) Sleep(1);
    }
    double seconds = Now() - start;
    Sleep(1000);  // what is still queued
    stop = true;
    watcher.join();
    long byLibrary = library.taken.load(), byPlain = plainTaken.load();
    std::printf("UDP stream of %ld datagrams of 100 bytes in %.1f s: listener callback took %ld, "
                "plain select thread %ld\n", count, seconds, byLibrary, byPlain);
    std::printf("ROW sockets: UDP stream at 4,000/s, taken by the callback against a plain "
                "thread|%ld / %ld = %.3f|0.95 or more\n", byLibrary, byPlain,
                byPlain ? static_cast<double>(byLibrary) / byPlain : 0.0);
    library.udp.Disbind();
    closesocket(plain);
    closesocket(sender);
}

struct FrameReader {
    CxClientSocket* client;
    std::atomic<double> at{0};
    HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    static long CALLBACK Proc(void* p, unsigned int, long) {
        FrameReader* r = static_cast<FrameReader*>(p);
        unsigned char frame[100];
        if (r->client->Recv(frame, sizeof frame, 0)) {
            r->at = Now();
            SetEvent(r->done);
        }
        return 0;
    }
};

// 100-byte frames every millisecond: the peer's send to the frame read
// whole, through the listener's callback and through a plain select thread.
void FrameLatency(int frames) {
    std::vector<double> library, plain;
    {
        Pair pair;
        FrameReader reader;
        reader.client = &pair.client;
        pair.client.SetWndMsgProc(nullptr, 0, &FrameReader::Proc, &reader);
        if (!pair.Open(1)) return;
        Sleep(100);
        unsigned char frame[100] = {};
        for (int i = 0; i < frames; ++i) {
            double start = Now();
            pair.peer.Send(frame, sizeof frame, 0);
            if (WaitForSingleObject(reader.done, 5000) != WAIT_OBJECT_0) break;
            library.push_back((reader.at.load() - start) * 1e6);
            while (Now() - start < 0.001) Sleep(0);
        }
        pair.client.DisConnect();
        CloseHandle(reader.done);
    }
    {
        Pair pair;
        if (!pair.Open(0)) return;
        SOCKET s = pair.client.GetSocket();
        HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        std::atomic<double> at{0};
        std::thread watcher([&] {
            char frame[100];
            for (;;) {
                fd_set set;
                set.fd_count = 1;
                set.fd_array[0] = s;
                if (select(0, &set, nullptr, nullptr, nullptr) <= 0) return;
                if (!RecvAll(s, frame, sizeof frame)) return;
                at = Now();
                SetEvent(done);
            }
        });
        Sleep(100);
        unsigned char frame[100] = {};
        for (int i = 0; i < frames; ++i) {
            double start = Now();
            pair.peer.Send(frame, sizeof frame, 0);
            if (WaitForSingleObject(done, 5000) != WAIT_OBJECT_0) break;
            plain.push_back((at.load() - start) * 1e6);
            while (Now() - start < 0.001) Sleep(0);
        }
        pair.peer.DisConnect();
        watcher.join();
        CloseHandle(done);
    }
    if (library.empty() || plain.empty()) {
        std::fprintf(stderr, "the frame stream stalled\n");
        return;
    }
    Report("100-byte frames every ms, send to callback's Recv", library);
    Report("100-byte frames every ms, send to plain thread's recv", plain);
}

// A UDP socket connected to itself, as the library's wake-up is.
SOCKET PlainWake() {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    SOCKADDR_IN addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof addr;
    bind(s, reinterpret_cast<SOCKADDR*>(&addr), sizeof addr);
    getsockname(s, reinterpret_cast<SOCKADDR*>(&addr), &length);
    connect(s, reinterpret_cast<SOCKADDR*>(&addr), length);
    return s;
}

// The same close in plain calls, for a plain thread waiting in select on the
// socket and a wake-up and, withRecv, a plain recv on another thread, which
// the close cancels and waits for before it closes the socket: the floor of
// this machine for what DisConnect does.
double PlainClose(bool withRecv) {
    Pair pair;
    if (!pair.Open(0)) return -1;
    SOCKET s = pair.client.Detach(), wake = PlainWake();
    std::thread watcher([s, wake] {
        fd_set set;
        set.fd_count = 2;
        set.fd_array[0] = s;
        set.fd_array[1] = wake;
        select(0, &set, nullptr, nullptr, nullptr);
    });
    HANDLE left = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::thread receiver;
    if (withRecv) {
        receiver = std::thread([s, left] {
            char byte;
            recv(s, &byte, 1, 0);
            SetEvent(left);
        });
    }
    Sleep(5);  // both wait by now
    double start = Now();
    shutdown(s, SD_BOTH);
    if (withRecv) CancelIoEx(reinterpret_cast<HANDLE>(s), nullptr);
    send(wake, "", 1, 0);
    if (withRecv) WaitForSingleObject(left, INFINITE);
    closesocket(s);
    double took = (Now() - start) * 1e6;
    watcher.join();
    if (receiver.joinable()) receiver.join();
    closesocket(wake);
    CloseHandle(left);
    return took;
}

void CloseTimes(int rounds) {
    std::vector<double> times[4];  // idle, with a Recv; then the same in plain calls
    for (int i = 0; i < rounds; ++i) {
        for (bool withRecv : {false, true}) {
            Pair pair;
            if (!pair.Open(1)) return;
            std::thread receiver;
            if (withRecv) {
                receiver = std::thread([&] {
                    unsigned char byte;
                    pair.client.Recv(&byte, 1, 0);
                });
            }
            Sleep(5);  // the listener (and the Recv) wait by now
            double start = Now();
            pair.client.DisConnect();
            times[withRecv].push_back((Now() - start) * 1e6);
            if (receiver.joinable()) receiver.join();
            double plain = PlainClose(withRecv);
            if (plain < 0) return;
            times[2 + withRecv].push_back(plain);
        }
    }
    const char* names[] = {"DisConnect with the listener, idle",
                           "DisConnect with the listener, a Recv waiting on another thread",
                           "the same in plain calls, idle",
                           "the same in plain calls, a recv waiting on another thread"};
    for (int k = 0; k < 4; ++k) {
        std::sort(times[k].begin(), times[k].end());
        std::printf("ROW sockets: %s, median / p99|%.0f us / %.0f us|%s\n", names[k],
                    times[k][times[k].size() / 2], times[k][times[k].size() * 99 / 100],
                    k < 2 ? "under 1 ms" : "this machine's floor");
    }
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 1000;
    long datagrams = argc > 3 ? std::atol(argv[3]) : 20000;
    if (megabytes < 4) megabytes = 4;
    if (rounds < 10) rounds = 10;
    if (!SocketInit()) {
        std::fprintf(stderr, "cannot start Windows Sockets\n");
        return 1;
    }
    // Only the close times: QV_BENCH_CLOSE set.
    if (std::getenv("QV_BENCH_CLOSE")) {
        CloseTimes(rounds);
        return 0;
    }

    // Throughput: library and plain calls on the same connection, in turns.
    {
        Pair pair;
        if (!pair.Open(0)) {
            std::fprintf(stderr, "cannot open a loopback connection\n");
            return 1;
        }
        unsigned long total = megabytes * 1024 * 1024 / kBlock * kBlock;
        std::vector<unsigned char> data(kBlock, 0x5A);
        double library = 1e9, raw = 1e9;
        for (int turn = 0; turn < 8; ++turn) {  // best of eight each, in turns
            if (turn % 2) {
                raw = std::min(raw, TransferRaw(pair, data, total));
                library = std::min(library, TransferLibrary(pair, data, total));
            } else {
                library = std::min(library, TransferLibrary(pair, data, total));
                raw = std::min(raw, TransferRaw(pair, data, total));
            }
        }
        double mb = total / 1048576.0;
        std::printf("TCP throughput over loopback, %lu MB in %lu KB calls (best of 8):\n"
                    "  Send/Recv %.0f MB/s, plain send/recv %.0f MB/s, ratio %.3f\n",
                    static_cast<unsigned long>(mb), kBlock / 1024, mb / library, mb / raw,
                    raw / library);
        std::printf("ROW sockets: TCP throughput, Send/Recv against plain send/recv|%.0f MB/s, "
                    "ratio %.3f|ratio near 1\n", mb / library, raw / library);
    }

    // Latency: peer's send to the listener's callback, and to a raw select thread.
    {
        Pair pair;
        if (!pair.Open(1)) return 1;
        Probe probe;
        probe.client = &pair.client;
        pair.client.SetWndMsgProc(nullptr, 0, &OnData, &probe);
        Sleep(100);
        std::vector<double> micros;
        unsigned char byte = 1;
        for (int i = 0; i < rounds; ++i) {
            double start = Now();
            pair.peer.Send(&byte, 1, 0);
            if (WaitForSingleObject(probe.called, 5000) != WAIT_OBJECT_0) {
                std::fprintf(stderr, "no callback within 5 s in round %d\n", i);
                return 1;
            }
            micros.push_back((probe.at - start) * 1e6);
        }
        Report("peer's send to the listener's callback", micros);
        pair.client.DisConnect();
        CloseHandle(probe.called);
    }
    {
        Pair pair;
        if (!pair.Open(0)) return 1;
        SOCKET s = pair.client.GetSocket();
        HANDLE called = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        std::atomic<double> at{0};
        std::atomic<bool> stop{false};
        std::thread watcher([&] {
            while (!stop) {
                fd_set set;
                set.fd_count = 1;
                set.fd_array[0] = s;
                if (select(0, &set, nullptr, nullptr, nullptr) <= 0) return;
                at = Now();
                char byte;
                if (recv(s, &byte, 1, 0) <= 0) return;
                SetEvent(called);
            }
        });
        Sleep(100);
        std::vector<double> micros;
        unsigned char byte = 1;
        for (int i = 0; i < rounds; ++i) {
            double start = Now();
            pair.peer.Send(&byte, 1, 0);
            if (WaitForSingleObject(called, 5000) != WAIT_OBJECT_0) return 1;
            micros.push_back((at.load() - start) * 1e6);
        }
        Report("peer's send to a plain select thread      ", micros);
        stop = true;
        pair.peer.DisConnect();  // the watcher's recv sees the end
        watcher.join();
        CloseHandle(called);
    }

    // CPU time of a Recv waiting 2 s on an event-selected (non-blocking) socket.
    {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = &Ignore;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"quorvel-bench-socket";
        RegisterClassW(&wc);
        HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    wc.hInstance, nullptr);
        Pair pair;
        if (!pair.Open(0)) return 1;
        pair.client.SetWndMsgProc(hwnd, WM_APP + 1, nullptr, nullptr);
        if (!pair.client.SelectEvent(CX_SOCKET_EVENTS_NO_LISTENER)) {
            std::fprintf(stderr, "cannot select events\n");
            return 1;
        }
        HANDLE thread = nullptr;
        std::atomic<bool> ready{false};
        double process = 0;
        std::thread receiver([&] {
            DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread, 0,
                            FALSE, DUPLICATE_SAME_ACCESS);
            ready = true;
            unsigned char byte;
            pair.client.Recv(&byte, 1, 0);
        });
        while (!ready) Sleep(1);
        Sleep(50);
        double before = ThreadCpuMilliseconds(thread);
        double processBefore = ProcessCpuMilliseconds();
        Sleep(2000);
        double spent = ThreadCpuMilliseconds(thread) - before;
        process = ProcessCpuMilliseconds() - processBefore;
        unsigned char byte = 1;
        pair.peer.Send(&byte, 1, 0);
        receiver.join();
        CloseHandle(thread);
        std::printf("CPU time of a Recv waiting 2 s for a silent peer (events selected): "
                    "thread %.1f ms, process %.1f ms\n", spent, process);
        std::printf("ROW sockets: CPU of a Recv waiting 2 s (thread / process)|%.1f ms / %.1f ms|"
                    "0 (blocked in select)\n", spent, process);
        DestroyWindow(hwnd);
    }

    DatagramStream(datagrams);
    FrameLatency(rounds);
    CloseTimes(rounds < 200 ? rounds : 200);
    SocketUnInit();
    return 0;
}
