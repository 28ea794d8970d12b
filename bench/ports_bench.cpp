// The merged serial port list against fixtures in the real registry and
// SetupAPI: the time of one FindPort and walk (median and slowest) with N
// ports in the device map, N COM-port interfaces (half of them matching a
// map entry) and the machine's own ports.
// Run: wine bench_ports.exe [ports] [rounds]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "quorvel/quorvel.h"
#include "sim/sim_devices.h"

int main(int argc, char** argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 16;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 50;
    count = std::max(1, std::min(count, 200));
    rounds = std::max(1, rounds);

    std::vector<std::unique_ptr<qvsim::DeviceMapValue>> values;
    std::vector<std::unique_ptr<qvsim::SimDevice>> devices;
    for (int i = 0; i < count; ++i) {
        std::wstring port = L"COM" + std::to_wstring(200 + i);
        values.emplace_back(new qvsim::DeviceMapValue(
            L"SERIALCOMM", L"\\Device\\QvBenchSerial" + std::to_wstring(i), port));
        qvsim::DeviceDesc desc;
        desc.interfaceClass = QV_GUID_DEVINTERFACE_COMPORT;
        desc.setupClass = qvsim::kPortsSetupClass;
        desc.name = L"QVBENCHPORT";
        desc.hardwareIds = {L"USB\\VID_0403&PID_6001&REV_0600"};
        desc.friendlyName = L"Bench Port (" + port + L")";
        // Half match a map entry, half name ports the map does not have.
        desc.portName = i % 2 ? port : L"COM" + std::to_wstring(600 + i);
        devices.emplace_back(new qvsim::SimDevice(desc));
        if (!values.back()->Ok() || !devices.back()->Ok()) {
            std::fprintf(stderr, "cannot create the fixtures (error %lu)\n",
                         devices.back()->Error());
            return 1;
        }
    }

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> millis;
    int listed = 0;
    for (int r = 0; r < rounds; ++r) {
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        CxSerialPortFind find;
        listed = 0;
        for (int ok = find.FindPort(); ok; ok = find.FindNextPort()) ++listed;
        QueryPerformanceCounter(&end);
        millis.push_back(1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                         static_cast<double>(frequency.QuadPart));
    }
    std::sort(millis.begin(), millis.end());
    std::printf("serial port list: %d map values, %d interfaces, %d ports listed\n", count, count,
                listed);
    std::printf("one FindPort and walk: median %.2f ms, slowest %.2f ms over %d rounds\n",
                millis[millis.size() / 2], millis.back(), rounds);
    return 0;
}
