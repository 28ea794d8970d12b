// Bluetooth figures against the simulated stack, with an inquiry that takes
// no time, so what is measured is the library's own share:
//  - BthFindDevice over 2 radios with N devices each, the sought device the
//    last one (per call, median over the rounds);
//  - the name-space lookup: time per device read, each read taking the
//    short-buffer answer and the retry on a heap buffer.
// Run: wine bench_bluetooth.exe [rounds] [devices]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "quorvel/quorvel.h"
#include "bench/clock.h"
#include "sim/sim_bluetooth.h"

namespace {

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 50;
    int devices = argc > 2 ? std::atoi(argv[2]) : 50;
    if (rounds < 1 || devices < 1) return 2;

    qvsim::BluetoothStack stack;
    stack.SetInquiryTime(0);
    stack.AddRadio(0x001122334455ull, L"first", 0);
    stack.AddRadio(0x00AABBCCDDEEull, L"second", 0);
    for (int r = 0; r < 2; ++r) {
        for (int i = 0; i < devices; ++i) {
            qvsim::BthDevice d;
            d.address = 0x0A0000000000ull + r * 0x10000 + i;
            d.name = (r == 1 && i == devices - 1) ? L"target" : L"device " + std::to_wstring(i);
            stack.AddDevice(r, d);
        }
    }

    std::vector<double> find;
    wchar_t radio[48], device[48];
    for (int i = 0; i < rounds; ++i) {
        double t0 = qvbench::NowMs();
        if (!BthFindDevice(L"TARGET", radio, device, 0, 0, nullptr)) return 1;
        find.push_back(qvbench::NowMs() - t0);
    }
    std::printf("BthFindDevice, 2 radios x %d devices: median %.3f ms per call\n", devices,
                Median(find));
    std::printf("ROW bluetooth: BthFindDevice over 2 radios x %d devices (simulated, instant "
                "inquiry)|%.3f ms|no more than the walk it makes\n", devices, Median(find));

    std::vector<double> lookup;
    for (int i = 0; i < rounds; ++i) {
        CxBthRemoteDeviceFind f;
        int n = 0;
        double t0 = qvbench::NowMs();
        for (int more = f.FindDevice(); more; more = f.FindNextDevice()) ++n;
        double t = qvbench::NowMs() - t0;
        if (n != 2 * devices) return 1;
        lookup.push_back(t * 1e3 / n);
    }
    std::printf("name-space lookup: median %.1f us per device (short buffer and retry)\n",
                Median(lookup));
    std::printf("ROW bluetooth: name-space lookup per device (short buffer and retry)|%.1f us|"
                "one retry per device\n", Median(lookup));
    return 0;
}
