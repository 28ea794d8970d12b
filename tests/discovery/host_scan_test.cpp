// Every test here scans a simulated subnet: HostNet replaces SendARP, so no
// probe ever leaves the process.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "quorvel/quorvel.h"
#include "tests/sim/sim_hosts.h"
#include "tests/support/os_hook.h"

namespace os = quorvel::os;
using qvtest::Hook;

namespace {

struct Sockets {
    Sockets() { EXPECT_EQ(1, SocketInit()); }
    ~Sockets() { SocketUnInit(); }
};

// Shows the scan's flags to the tests.
class ScanView : public CxNetworkHostFind {
public:
    unsigned char Flag(unsigned octet) const { return m_byHostFound[octet]; }
    HANDLE Thread(int i) const { return m_hThreads[i]; }
};

NET_HOST_INFO Info(CxNetworkHostFind& find) {
    NET_HOST_INFO info;
    std::memset(&info, 0x55, sizeof info);
    find.GetHostInfo(&info);
    return info;
}

}  // namespace

TEST(HostScan, ReportsAnsweringHostsInOrderWithMacNameAndAddress) {
    Sockets sockets;
    qvsim::HostNet net({"10.77.5.23"});
    net.AddHost(200, 0x0000CCBBAA020100ULL, "printer.lan", 5);
    net.AddHost(5, 0x0000665544332211ULL, "alpha.lan");
    net.AddHost(9, 0x00000000000000FFULL, "");  // no reverse name
    std::string longName(300, 'h');
    net.AddHost(100, 0x0000000000000064ULL, longName);

    CxNetworkHostFind find;
    NET_HOST_INFO info = Info(find);
    EXPECT_STREQ(L"", info.szMacAddress);
    EXPECT_STREQ(L"", info.szHostName);
    EXPECT_STREQ(L"", info.szIPAddress);
    EXPECT_EQ(0, find.FindNextHost());  // nothing scanned yet

    ASSERT_EQ(1, find.FindHost());
    info = Info(find);
    EXPECT_STREQ(L"11-22-33-44-55-66", info.szMacAddress);
    EXPECT_STREQ(L"alpha.lan", info.szHostName);
    EXPECT_STREQ(L"10.77.5.5", info.szIPAddress);

    ASSERT_EQ(1, find.FindNextHost());
    info = Info(find);
    EXPECT_STREQ(L"FF-00-00-00-00-00", info.szMacAddress);
    EXPECT_STREQ(L"", info.szHostName);  // not alpha.lan
    EXPECT_STREQ(L"10.77.5.9", info.szIPAddress);

    ASSERT_EQ(1, find.FindNextHost());
    info = Info(find);
    EXPECT_EQ(std::wstring(255, L'h'), info.szHostName);  // cut, terminated
    EXPECT_STREQ(L"10.77.5.100", info.szIPAddress);

    ASSERT_EQ(1, find.FindNextHost());
    info = Info(find);
    EXPECT_STREQ(L"00-01-02-AA-BB-CC", info.szMacAddress);
    EXPECT_STREQ(L"printer.lan", info.szHostName);
    EXPECT_STREQ(L"10.77.5.200", info.szIPAddress);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(0, find.FindNextHost());
    EXPECT_STREQ(L"10.77.5.200", Info(find).szIPAddress);

    // Octets 1 to 254 probed once in the scan, answering hosts once more;
    // the network and broadcast addresses never.
    EXPECT_EQ(0, net.Probes(0));
    EXPECT_EQ(0, net.Probes(255));
    for (unsigned octet : {1u, 3u, 4u, 23u, 252u, 254u}) EXPECT_EQ(1, net.Probes(octet)) << octet;
    EXPECT_EQ(2, net.Probes(5));
    EXPECT_EQ(254 + 4, net.TotalProbes());
    EXPECT_EQ(0, net.ForeignProbes());
    EXPECT_GT(net.MaxConcurrentProbes(), 1);  // the workers ran side by side
}

TEST(HostScan, SkipsHostsGoneSinceTheScanAndCopiesWalkOnTheirOwn) {
    Sockets sockets;
    {
    qvsim::HostNet net({"192.168.40.7", "10.1.1.1"});  // the first address decides the subnet
    net.AddHost(5, 0x05, "five");
    net.LimitAnswers(5, 1);  // answers the scan, not the second probe
    net.AddHost(9, 0x09, "nine");
    net.AddHost(200, 0xC8, "two-hundred");

    ScanView find;
    ASSERT_EQ(1, find.FindHost());
    EXPECT_STREQ(L"192.168.40.9", Info(find).szIPAddress);
    EXPECT_EQ(CxNetworkHostFind::kHostAnswered, find.Flag(5));
    for (int i = 0; i < 64; ++i) EXPECT_EQ(nullptr, find.Thread(i));

    CxNetworkHostFind copy(find);
    ASSERT_EQ(1, copy.FindNextHost());
    EXPECT_STREQ(L"192.168.40.200", Info(copy).szIPAddress);
    EXPECT_STREQ(L"two-hundred", Info(copy).szHostName);
    EXPECT_EQ(0, copy.FindNextHost());
    EXPECT_STREQ(L"192.168.40.9", Info(find).szIPAddress);  // the source did not move
    ASSERT_EQ(1, find.FindNextHost());
    EXPECT_STREQ(L"192.168.40.200", Info(find).szIPAddress);

    // A new scan starts over; closing ends the walk.
    ASSERT_EQ(1, find.FindHost());
    EXPECT_STREQ(L"192.168.40.9", Info(find).szIPAddress);
    find.FindHostClose();
    EXPECT_EQ(0, find.FindNextHost());
    EXPECT_STREQ(L"192.168.40.9", Info(find).szIPAddress);
    find.GetHostInfo(nullptr);
    }

    // No host answers: FALSE.
    qvsim::HostNet quiet({"172.16.3.3"});
    CxNetworkHostFind none;
    EXPECT_EQ(0, none.FindHost());
    EXPECT_EQ(254, quiet.TotalProbes());
}

TEST(HostScan, LocalAddressDecidesWhetherAndWhereItScans) {
    Sockets sockets;
    std::atomic<int> threads{0};
    Hook<os::CreateThread> count([&](LPSECURITY_ATTRIBUTES sa, SIZE_T stack,
                                     LPTHREAD_START_ROUTINE proc, LPVOID param, DWORD flags,
                                     LPDWORD id) {
        ++threads;
        return count.Real()(sa, stack, proc, param, flags, id);
    });
    qvsim::HostNet net(std::vector<std::string>{});
    CxNetworkHostFind find;
    EXPECT_EQ(0, find.FindHost());  // no local address: no worker, no probe
    EXPECT_EQ(0, threads.load());
    EXPECT_EQ(0, net.TotalProbes());

    // A loopback first address scans 127.0.0.x (simulated, like every scan).
    net.SetLocalAddresses({"127.0.0.1"});
    net.AddHost(77, 0x4D, "");
    ASSERT_EQ(1, find.FindHost());
    EXPECT_STREQ(L"127.0.0.77", Info(find).szIPAddress);
    EXPECT_EQ(64, threads.load());
    EXPECT_EQ(0, net.ForeignProbes());
}

TEST(HostScan, WorkersThatCannotStartLeaveTheirSliceMarkedUnprobed) {
    Sockets sockets;
    qvsim::HostNet net({"10.20.30.40"});
    net.AddHost(2, 0x02, "in-worker-0");
    net.AddHost(6, 0x06, "in-worker-1");
    net.AddHost(254, 0xFE, "in-worker-63");

    std::atomic<int> calls{0};
    std::atomic<int> ended{0};
    Hook<os::CreateThread> flaky([&](LPSECURITY_ATTRIBUTES sa, SIZE_T stack,
                                     LPTHREAD_START_ROUTINE proc, LPVOID param, DWORD flags,
                                     LPDWORD id) -> HANDLE {
        if (calls++ % 2 == 0) {  // workers 0, 2, 4, ... cannot start
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        return flaky.Real()(sa, stack, proc, param, flags, id);
    });
    Hook<os::CloseHandle> closing([&](HANDLE h) {
        DWORD code = 0;
        if (GetExitCodeThread(h, &code) && code != STILL_ACTIVE) ++ended;
        return closing.Real()(h);
    });

    ScanView find;
    ASSERT_EQ(1, find.FindHost());
    EXPECT_STREQ(L"10.20.30.6", Info(find).szIPAddress);  // worker 1's slice
    ASSERT_EQ(1, find.FindNextHost());  // worker 63 started
    EXPECT_STREQ(L"10.20.30.254", Info(find).szIPAddress);
    EXPECT_EQ(0, find.FindNextHost());
    EXPECT_EQ(32, ended.load());  // every started worker had ended when its handle closed
    for (unsigned octet = 1; octet < 4; ++octet) {
        EXPECT_EQ(CxNetworkHostFind::kHostNotProbed, find.Flag(octet)) << octet;
    }
    EXPECT_EQ(0, net.Probes(2));
    EXPECT_EQ(CxNetworkHostFind::kHostAnswered, find.Flag(6));
    EXPECT_EQ(0, find.Flag(7));
    for (int i = 0; i < 64; ++i) EXPECT_EQ(nullptr, find.Thread(i));
}

TEST(HostScan, NoWorkerAtAllFailsTheScan) {
    Sockets sockets;
    qvsim::HostNet net({"10.20.30.40"});
    net.AddHost(6, 0x06, "six");
    Hook<os::CreateThread> none([](LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID,
                                   DWORD, LPDWORD) -> HANDLE { return nullptr; });
    ScanView find;
    EXPECT_EQ(0, find.FindHost());
    EXPECT_EQ(0, net.TotalProbes());
    EXPECT_EQ(CxNetworkHostFind::kHostNotProbed, find.Flag(6));
    EXPECT_EQ(0, find.FindNextHost());
}
