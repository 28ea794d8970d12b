// Subnet scan figures against simulated hosts: the time of FindHost when an
// unanswered probe takes L milliseconds, for 0, 3 and 254 answering hosts.
// The 64 workers probe at most four addresses each, so a scan should take
// about 4 L rather than the 254 L of one probe after another. SendARP is
// simulated throughout: nothing leaves the process.
// Run: wine bench_discovery.exe [L-ms] [rounds]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "quorvel/quorvel.h"
#include "bench/clock.h"
#include "sim/sim_hosts.h"

int main(int argc, char** argv) {
    // 100 ms by default: long enough that the workers' start-up (a few tens
    // of milliseconds) does not hide the parallel probing, short of the
    // seconds a real unanswered probe takes.
    DWORD latency = argc > 1 ? static_cast<DWORD>(std::atoi(argv[1])) : 100;
    int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    if (!SocketInit()) {
        std::printf("Windows Sockets cannot start\n");
        return 1;
    }
    std::printf("unanswered probe L = %lu ms, %d rounds each (median, worst)\n",
                static_cast<unsigned long>(latency), rounds);
    double base = 0;
    for (int answering : {-1, 0, 3, 254}) {
        // The first run (no delay at all) measures the cost of starting and
        // joining the 64 workers, which every scan pays on top of its probes.
        bool baseline = answering < 0;
        if (baseline) answering = 0;
        qvsim::HostNet net({"10.99.0.10"});
        net.SetMissDelay(baseline ? 0 : latency);
        for (int i = 0; i < answering; ++i) {
            unsigned octet = answering == 3 ? (i == 0   ? 5u
                                               : i == 1 ? 9u
                                                        : 200u)
                                            : static_cast<unsigned>(i + 1);
            net.AddHost(octet, 0x0000AA0000000000ULL | octet, "", 1);
        }
        std::vector<double> ms;
        for (int r = 0; r < rounds; ++r) {
            CxNetworkHostFind find;
            double start = qvbench::NowMs();
            int found = find.FindHost();
            ms.push_back(qvbench::NowMs() - start);
            if (found != (answering ? 1 : 0)) std::printf("  unexpected result %d\n", found);
        }
        std::sort(ms.begin(), ms.end());
        double median = ms[ms.size() / 2];
        if (baseline) {
            base = median;
            std::printf("workers alone (L = 0): FindHost %7.1f ms, worst %7.1f ms\n", median,
                        ms.back());
            std::printf("ROW discovery: host scan with instant probes (64 workers started and "
                        "joined)|%.0f ms|the platform's thread start-up\n",
                        median);
            continue;
        }
        double beyond = std::max(0.0, median - base) / latency;
        std::printf(
            "%3d answering: FindHost %7.1f ms = %.1f L (%.1f L beyond the workers' cost), "
            "worst %7.1f ms; one probe after another: 254 L = %lu ms\n",
            answering, median, median / latency, beyond, ms.back(),
            static_cast<unsigned long>(254 * latency));
        std::printf("ROW discovery: host scan, %d answering (L = %lu ms unanswered probe)|"
                    "%.0f ms = %.1f L (%.1f L beyond the workers' start-up)|"
                    "about 4 L (64 workers), not 254 L\n",
                    answering, static_cast<unsigned long>(latency), median, median / latency,
                    beyond);
    }
    SocketUnInit();
    return 0;
}
