// Every finder through many find/walk/close cycles.
#include <gtest/gtest.h>

#include "quorvel/quorvel.h"
#include "tests/sim/sim_adapters.h"
#include "tests/sim/sim_devices.h"
#include "tests/sim/sim_hosts.h"
#include "tests/soak/soak.h"

namespace {

// {2C6F8B1A-93D4-4F0E-B7A5-1E2D3C4B5A69}: an interface class of this suite.
constexpr GUID kSoakClass = {
    0x2c6f8b1a, 0x93d4, 0x4f0e, {0xb7, 0xa5, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a, 0x69}};

DWORD WINAPI ReturnAtOnce(void*) { return 0; }

}  // namespace

TEST(Soak, DeviceInterfaceDeviceMapAndAdapterWalks) {
    qvsim::SimDevice a(qvsim::PortLikeDevice(L"QVSOAKA", kSoakClass));
    qvsim::SimDevice b(qvsim::PortLikeDevice(L"QVSOAKB", kSoakClass));
    ASSERT_TRUE(a.Ok() && b.Ok()) << a.Error();
    qvsoak::Soak("device interface find/walk/close", [](int) -> std::string {
        GUID cls = kSoakClass;
        CxDeviceFind find;
        int n = 0;
        wchar_t text[260];
        for (int ok = find.FindDevice(&cls); ok; ok = find.FindNextDevice()) {
            find.GetDevicePath(text);
            find.GetDeviceFriendlyName(text);
            ++n;
        }
        find.Close();
        return n == 2 ? "" : "the walk did not list both interfaces";
    });

    qvsim::DeviceMapValue s(L"SERIALCOMM", L"\\Device\\QvSoak0", L"COM45");
    ASSERT_TRUE(s.Ok());
    qvsoak::Soak("device map find/walk/close", [](int) -> std::string {
        GUID cls = QV_GUID_DEVINTERFACE_COMPORT;
        CxDeviceMapFind find;
        bool seen = false;
        wchar_t path[260];
        for (int ok = find.FindDeviceMap(&cls); ok; ok = find.FindNextDeviceMap()) {
            find.GetDevicePath(path);
            seen = seen || std::wcscmp(path, L"COM45") == 0;
        }
        find.Close();
        return seen ? "" : "the walk did not list COM45";
    });

    qvsim::SimDevice port(qvsim::PortLikeDevice(L"QVSOAKPORT", QV_GUID_DEVINTERFACE_COMPORT));
    ASSERT_TRUE(port.Ok()) << port.Error();
    qvsoak::Soak("serial port list find/walk/close", [](int) -> std::string {
        CxSerialPortFind find;
        bool seen = false;
        wchar_t name[260];
        for (int ok = find.FindPort(); ok; ok = find.FindNextPort()) {
            find.GetPortName(name);
            seen = seen || std::wcscmp(name, L"COM45") == 0;
        }
        find.Close();
        return seen ? "" : "the port list did not list COM45";
    });

    qvsim::AdapterList list(3, sizeof(IP_ADAPTER_INFO));
    qvsoak::Soak("adapter find/walk/close", [](int) -> std::string {
        CxAdapterFind find;
        int n = 0;
        IP_ADAPTER_INFO info;
        for (int ok = find.FindAdapter(); ok; ok = find.FindNextAdapter()) {
            find.GetAdapterInfo(&info);
            ++n;
        }
        find.FindAdapterClose();
        return n == 3 ? "" : "the walk did not list three adapters";
    });
}

TEST(Soak, LocalAddressesAndHostScan) {
    qvsim::Sockets sockets;
    ASSERT_TRUE(sockets.ok);
    qvsim::HostNet net({"10.77.5.23", "192.168.9.4"});
    net.AddHost(5, 0x0000665544332211ULL, "alpha.lan");
    net.AddHost(200, 0x0000000000000042ULL, "");
    qvsoak::Soak("local address find/walk/close", [](int) -> std::string {
        CxLocalHostIPAddrFind find;
        int n = 0;
        wchar_t address[64];
        for (int ok = find.FindIPAddr(); ok; ok = find.FindNextIPAddr()) {
            find.GetIPAddr(address);
            ++n;
        }
        find.FindIPAddrClose();
        return n == 2 ? "" : "the walk did not list both addresses";
    });
    // First 64 bare threads started and joined, as a scan starts its
    // workers: the platform's own thread bookkeeping grows over the first
    // thousand or so of these and then levels off. Run first, it takes that
    // growth, so that the scan's figures after it show the scan's own.
    qvsoak::Soak("64 bare threads (baseline)", [](int i) -> std::string {
        if (i % 20) return "";
        HANDLE threads[64];
        DWORD started = 0;
        for (auto& thread : threads) {
            thread = CreateThread(nullptr, 0, &ReturnAtOnce, nullptr, 0, nullptr);
            if (thread) ++started;
        }
        if (started != 64) return "a thread did not start";
        WaitForMultipleObjects(started, threads, TRUE, INFINITE);
        for (HANDLE thread : threads) CloseHandle(thread);
        return "";
    });
    // A scan runs one cycle in 20 of the others. The simulated network
    // remembers every thread that probed, so its counts are cleared after
    // each scan to keep its own memory out of the figures.
    qvsoak::Soak("host scan find/walk/close", [&net](int i) -> std::string {
        if (i % 20) return "";
        CxNetworkHostFind find;
        int n = 0;
        NET_HOST_INFO info;
        for (int ok = find.FindHost(); ok; ok = find.FindNextHost()) {
            find.GetHostInfo(&info);
            ++n;
        }
        find.FindHostClose();
        net.ResetCounts();
        return n == 2 ? "" : "the scan did not list both hosts";
    });
}
