// The serial port watch: the time from a simulated arrival (a COM port
// registered in the real registry and SetupAPI) to the host's report in its
// callback, with a simulated device notification and with none (the
// re-read alone, at the default period, the arrivals spread over it).
// Run: wine bench_port_watch.exe [rounds]
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "quorvel/quorvel.h"
#include "bench/clock.h"
#include "sim/sim_devices.h"

namespace {

struct Host {
    CxSerialPortWatch watch;
    std::atomic<int> arrived{0}, removed{0};
    std::atomic<double> at{0};
};

long CALLBACK OnEvent(void* pParam, unsigned int, long) {
    Host* host = static_cast<Host*>(pParam);
    CxSerialPortFind port;
    long event = 0;
    while (host->watch.TakeReport(&event, &port)) {
        wchar_t name[QV_DEVICE_TEXT_CCH];
        port.GetPortName(name);
        if (lstrcmpW(name, L"COM240") != 0) continue;
        if (event == CX_EVENT_PORT_ARRIVED) {
            host->at = qvbench::NowMs();
            ++host->arrived;
        } else {
            ++host->removed;
        }
    }
    return 0;
}

bool WaitFor(const std::atomic<int>& count, int value, DWORD ms) {
    for (DWORD waited = 0; count < value; waited += 1) {
        if (waited > ms) return false;
        Sleep(1);
    }
    return true;
}

// Median and worst of the arrivals, with a notification (notify) or without.
bool Measure(bool notify, int rounds, unsigned long period) {
    qvsim::DeviceNotifier notifier;
    Host host;
    host.watch.SetRescanPeriod(period);
    host.watch.SetWndMsgProc(nullptr, 0, &OnEvent, &host);
    if (!host.watch.Start(0)) {
        std::printf("cannot start the watch (error %lu)\n", GetLastError());
        return false;
    }
    std::vector<double> ms;
    for (int r = 0; r < rounds; ++r) {
        // Without notifications, arrivals spread evenly over the period: each
        // round would otherwise start right after the read that told the
        // last removal, a whole period before the next.
        if (!notify) Sleep(static_cast<DWORD>(period * r / rounds));
        auto port =
            std::make_unique<qvsim::ComPortNode>(L"COM240", L"USB\\VID_0403&PID_6001\\QVBENCHW");
        if (!port->Ok()) {
            std::printf("cannot create the port (error %lu)\n", port->Error());
            return false;
        }
        double start = qvbench::NowMs();
        if (notify) notifier.Send(true);
        if (!WaitFor(host.arrived, r + 1, 10000 + period)) {
            std::printf("no report of the arrival\n");
            return false;
        }
        ms.push_back(host.at - start);
        port.reset();
        if (notify) notifier.Send(false);
        if (!WaitFor(host.removed, r + 1, 10000 + period)) {
            std::printf("no report of the removal\n");
            return false;
        }
    }
    host.watch.Stop();
    std::sort(ms.begin(), ms.end());
    double median = ms[ms.size() / 2];
    if (notify) {
        std::printf("ROW ports watch: a simulated arrival to the host's report, with a device "
                    "notification|median %.0f ms, worst %.0f ms (%d rounds)|about the 50 ms "
                    "debounce and one read of the list\n",
                    median, ms.back(), rounds);
    } else {
        std::printf("ROW ports watch: a simulated arrival to the host's report, without "
                    "notifications (re-read every %lu ms)|median %.0f ms, worst %.0f ms (%d "
                    "rounds over the period)|half the period on average, at most the period, "
                    "and one read of the list\n",
                    period, median, ms.back(), rounds);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    bool ok = Measure(true, rounds, 0) && Measure(false, rounds, CX_PORT_WATCH_RESCAN_DEFAULT);
    return ok ? 0 : 1;
}
