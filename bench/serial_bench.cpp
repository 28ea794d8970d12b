// Serial port figures against a simulated port:
//  - the time from bytes arriving on the line to the host's callback
//    (median and 99th percentile over many single-byte bursts);
//  - the process's CPU time while a port is open and idle for 2 s (the
//    listener blocks in its wait, so the goal is none);
//  - the time Close takes, idle and with a Recv waiting on another thread
//    (which the close ends and waits for).
// Run: wine bench_serial.exe [rounds]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "quorvel/quorvel.h"
#include "sim/sim_serial.h"

namespace {

struct Probe {
    HANDLE called = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    LARGE_INTEGER at{};
};

long CALLBACK OnData(void* pParam, unsigned int, long) {
    auto* probe = static_cast<Probe*>(pParam);
    QueryPerformanceCounter(&probe->at);
    SetEvent(probe->called);
    return 0;
}

double CpuMilliseconds() {
    FILETIME creation, exit, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user);
    auto ms = [](FILETIME t) {
        return (static_cast<double>(t.dwHighDateTime) * 4294967296.0 + t.dwLowDateTime) / 1e4;
    };
    return ms(kernel) + ms(user);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (rounds < 10) rounds = 10;
    qvsim::SerialBus bus;
    qvsim::SerialPort& port = bus.Add(L"COM7");
    CxSerial serial;
    if (!serial.Open(L"COM7", 1)) {
        std::fprintf(stderr, "cannot open the simulated port\n");
        return 1;
    }
    Probe probe;
    serial.SetWndMsgProc(nullptr, 0, &OnData, &probe);
    Sleep(100);  // let the listener reach its first wait

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> micros;
    micros.reserve(rounds);
    for (int i = 0; i < rounds; ++i) {
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        port.Arrive("x");
        if (WaitForSingleObject(probe.called, 5000) != WAIT_OBJECT_0) {
            std::fprintf(stderr, "no callback within 5 s in round %d\n", i);
            return 1;
        }
        micros.push_back((probe.at.QuadPart - start.QuadPart) * 1e6 / frequency.QuadPart);
        serial.ClearBuffer(1);
    }
    std::sort(micros.begin(), micros.end());
    std::printf("arrival to callback over %d bursts: median %.1f us, p99 %.1f us, max %.1f us\n",
                rounds, micros[micros.size() / 2], micros[micros.size() * 99 / 100],
                micros.back());
    std::printf("ROW serial: arrival to callback, median / p99|%.1f us / %.1f us|under 1 ms\n",
                micros[micros.size() / 2], micros[micros.size() * 99 / 100]);

    double before = CpuMilliseconds();
    Sleep(2000);
    double idle = CpuMilliseconds() - before;
    std::printf("CPU time of the process over 2 s with the port open and idle: %.1f ms\n", idle);
    std::printf("ROW serial: CPU over 2 s with an idle open port|%.1f ms|0 (the listener blocks)\n",
                idle);
    serial.Close();
    CloseHandle(probe.called);

    std::vector<double> quiet, waiting;
    for (int i = 0; i < 200; ++i) {
        for (bool withRecv : {false, true}) {
            if (!serial.Open(L"COM7", 1)) return 1;
            std::thread receiver;
            if (withRecv) {
                receiver = std::thread([&] {
                    unsigned char byte;
                    serial.Recv(&byte, 1, INFINITE);
                });
                Sleep(5);  // the Recv waits by now
            }
            LARGE_INTEGER start, end;
            QueryPerformanceCounter(&start);
            serial.Close();
            QueryPerformanceCounter(&end);
            (withRecv ? waiting : quiet).push_back((end.QuadPart - start.QuadPart) * 1e6 /
                                                  frequency.QuadPart);
            if (receiver.joinable()) receiver.join();
        }
    }
    for (auto* times : {&quiet, &waiting}) {
        std::sort(times->begin(), times->end());
        std::printf("ROW serial: Close, %s, median / p99|%.0f us / %.0f us|under 1 ms\n",
                    times == &quiet ? "idle" : "a Recv waiting on another thread",
                    (*times)[times->size() / 2], (*times)[times->size() * 99 / 100]);
    }
    return 0;
}
