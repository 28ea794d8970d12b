// Every scan here runs against simulated hosts: HostNet replaces SendARP, so
// no probe ever leaves the process.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "quorvel/quorvel.h"
#include "sim/sim_hosts.h"
#include "tests/support/os_hook.h"

namespace os = quorvel::os;
using qvtest::Hook;

namespace {

// Shows the scan's flags and worker slots to the tests.
class ScanView : public CxNetworkHostFind {
public:
    unsigned char Flag(unsigned octet) const { return m_byHostFound[octet]; }
    bool NoThreads() const {
        for (HANDLE h : m_hThreads) if (h) return false;
        return true;
    }
};

// "address|MAC|name" of the current host.
std::wstring Host(CxNetworkHostFind& find) {
    NET_HOST_INFO info;
    std::memset(&info, 0x55, sizeof info);
    find.GetHostInfo(&info);
    return std::wstring(info.szIPAddress) + L"|" + info.szMacAddress + L"|" + info.szHostName;
}

using ThreadStart = Hook<os::CreateThread>;

}  // namespace

TEST(HostScan, ReportsAnsweringHostsInOrderWithMacNameAndAddress) {
    qvsim::Sockets sockets;
    qvsim::HostNet net({"10.77.5.23"});
    net.AddHost(200, 0x0000CCBBAA020100ULL, "printer.lan", 5);
    net.AddHost(5, 0x0000665544332211ULL, "alpha.lan");
    net.AddHost(9, 0xFF, "");  // its reverse lookup fails
    net.AddHost(100, 0x64, std::string(300, 'h'));

    ScanView find;
    EXPECT_EQ(L"||", Host(find));
    EXPECT_EQ(0, find.FindNextHost());  // nothing scanned yet
    ASSERT_EQ(1, find.FindHost());
    EXPECT_TRUE(find.NoThreads());
    EXPECT_EQ(L"10.77.5.5|11-22-33-44-55-66|alpha.lan", Host(find));
    CxNetworkHostFind copy(find);  // goes on from here by itself
    ASSERT_EQ(1, find.FindNextHost());
    EXPECT_EQ(L"10.77.5.9|FF-00-00-00-00-00|", Host(find));  // not alpha.lan
    ASSERT_EQ(1, find.FindNextHost());
    EXPECT_EQ(L"10.77.5.100|64-00-00-00-00-00|" + std::wstring(255, L'h'), Host(find));
    ASSERT_EQ(1, find.FindNextHost());
    EXPECT_EQ(L"10.77.5.200|00-01-02-AA-BB-CC|printer.lan", Host(find));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(0, find.FindNextHost());
    EXPECT_EQ(L"10.77.5.200|00-01-02-AA-BB-CC|printer.lan", Host(find));

    // 1 to 254 probed once by the scan, the hosts once more; never 0 or 255.
    EXPECT_EQ(0, net.Probes(0));
    EXPECT_EQ(0, net.Probes(255));
    for (unsigned octet : {1u, 3u, 4u, 23u, 252u, 254u}) EXPECT_EQ(1, net.Probes(octet)) << octet;
    EXPECT_EQ(2, net.Probes(5));
    EXPECT_EQ(254 + 4, net.TotalProbes());
    EXPECT_EQ(0, net.ForeignProbes());
    EXPECT_GT(net.ProbingThreads(), 1);  // workers probed, not the caller alone

    ASSERT_EQ(1, copy.FindNextHost());
    EXPECT_EQ(L"10.77.5.9|FF-00-00-00-00-00|", Host(copy));
    EXPECT_EQ(L"10.77.5.200|00-01-02-AA-BB-CC|printer.lan", Host(find));
}

TEST(HostScan, SkipsHostsGoneSinceTheScanAndStopsWhereTold) {
    qvsim::Sockets sockets;
    qvsim::HostNet net({"192.168.40.7", "10.1.1.1"});  // the first address decides
    net.AddHost(5, 0x05, "five");
    net.LimitAnswers(5, 1);  // answers the scan, not the second probe
    net.AddHost(9, 0x09, "nine");

    ScanView find;
    ASSERT_EQ(1, find.FindHost());
    EXPECT_EQ(CxNetworkHostFind::kHostAnswered, find.Flag(5));
    EXPECT_EQ(L"192.168.40.9|09-00-00-00-00-00|nine", Host(find));
    EXPECT_EQ(0, find.FindNextHost());
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
    net.LimitAnswers(5, -1);
    ASSERT_EQ(1, find.FindHost());  // a new scan starts over
    EXPECT_EQ(L"192.168.40.5|05-00-00-00-00-00|five", Host(find));
    find.FindHostClose();  // ends the walk, keeps the record
    EXPECT_EQ(0, find.FindNextHost());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(L"192.168.40.5|05-00-00-00-00-00|five", Host(find));
    find.GetHostInfo(nullptr);

    net.LimitAnswers(5, 0);  // nobody answers
    net.LimitAnswers(9, 0);
    EXPECT_EQ(0, find.FindHost());
    EXPECT_EQ(0, find.FindNextHost());

    net.SetLocalAddresses({"127.0.0.1"});  // loopback first: 127.0.0.x, simulated too
    net.AddHost(77, 0x4D, "");
    ASSERT_EQ(1, find.FindHost());
    EXPECT_EQ(L"127.0.0.77|4D-00-00-00-00-00|", Host(find));
    net.SetLocalAddresses({});  // no local address: no probe at all
    int probes = net.TotalProbes();
    EXPECT_EQ(0, find.FindHost());
    EXPECT_EQ(probes, net.TotalProbes());
    EXPECT_EQ(0, find.FindNextHost());  // a failed scan leaves no walk open
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST(HostScan, WorkersThatCannotStartLeaveTheirSliceMarkedUnprobed) {
    qvsim::Sockets sockets;
    qvsim::HostNet net({"10.20.30.40"});
    net.AddHost(2, 0x02, "in-worker-0");
    net.AddHost(6, 0x06, "in-worker-1");
    net.AddHost(254, 0xFE, "in-worker-63");

    std::atomic<int> calls{0}, ended{0};
    bool none = false;
    ThreadStart flaky([&](LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE proc,
                          LPVOID param, DWORD flags, LPDWORD id) -> HANDLE {
        if (none || calls++ % 2 == 0) return nullptr;  // workers 0, 2, 4, ... fail
        return flaky.Real()(sa, stack, proc, param, flags, id);
    });
    Hook<os::CloseHandle> closing([&](HANDLE h) {
        DWORD code = 0;
        if (GetExitCodeThread(h, &code) && code != STILL_ACTIVE) ++ended;
        return closing.Real()(h);
    });

    ScanView find;
    ASSERT_EQ(1, find.FindHost());
    EXPECT_EQ(32, ended.load());  // every started worker had ended
    EXPECT_TRUE(find.NoThreads());
    EXPECT_EQ(L"10.20.30.6|06-00-00-00-00-00|in-worker-1", Host(find));
    ASSERT_EQ(1, find.FindNextHost());
    EXPECT_EQ(L"10.20.30.254|FE-00-00-00-00-00|in-worker-63", Host(find));
    EXPECT_EQ(0, find.FindNextHost());
    for (unsigned octet : {1u, 2u, 3u, 8u, 11u}) {
        EXPECT_EQ(CxNetworkHostFind::kHostNotProbed, find.Flag(octet)) << octet;
    }
    EXPECT_EQ(0, find.Flag(7));
    EXPECT_EQ(0, net.Probes(2));

    // Every probe the started half makes fails: the scan fails with that
    // error; the slices never probed are no sign of an empty network.
    net.LimitAnswers(6, 0);
    net.LimitAnswers(254, 0);
    net.SetMissError(ERROR_NOT_SUPPORTED);
    calls = 0;
    SetLastError(0);
    EXPECT_EQ(0, find.FindHost());
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), GetLastError());
    net.SetMissError(ERROR_BAD_NET_NAME);
    net.LimitAnswers(6, -1);
    net.LimitAnswers(254, -1);

    none = true;  // no worker at all: the scan fails, nothing probed
    int probes = net.TotalProbes();
    EXPECT_EQ(0, find.FindHost());
    EXPECT_EQ(probes, net.TotalProbes());
    EXPECT_EQ(CxNetworkHostFind::kHostNotProbed, find.Flag(6));
    EXPECT_EQ(0, find.FindNextHost());

    none = false;  // the joint wait fails: each worker is still waited for
    calls = 0;
    ended = 0;
    Hook<os::WaitForMultipleObjects> failing(
        [](DWORD, const HANDLE*, BOOL, DWORD) -> DWORD { return WAIT_FAILED; });
    ASSERT_EQ(1, find.FindHost());
    EXPECT_EQ(32, ended.load());
    EXPECT_EQ(L"10.20.30.6|06-00-00-00-00-00|in-worker-1", Host(find));
}

TEST(HostScan, ProbesThatCannotBeMadeFailTheScanInsteadOfShowingAnEmptyNetwork) {
    qvsim::Sockets sockets;
    qvsim::HostNet net({"10.44.0.9"});
    ScanView find;

    SetLastError(0);
    EXPECT_EQ(0, find.FindHost());  // nobody there: an empty network
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
    net.SetMissError(ERROR_GEN_FAILURE);  // an older system's "no answer"
    EXPECT_EQ(0, find.FindHost());
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());

    net.SetMissError(ERROR_NOT_SUPPORTED);  // as Wine answers every probe
    EXPECT_EQ(0, find.FindHost());
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), GetLastError());
    EXPECT_EQ(0, find.FindNextHost());
    net.SetMissError(1, ERROR_ACCESS_DENIED);  // the lowest address's error is told
    EXPECT_EQ(0, find.FindHost());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());

    net.SetMissError(200, ERROR_BAD_NET_NAME);  // one address could be asked: empty
    EXPECT_EQ(0, find.FindHost());
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
    net.SetMissError(200, ERROR_NOT_SUPPORTED);
    net.AddHost(130, 0x82, "still-found");  // one answer among failures is a result
    ASSERT_EQ(1, find.FindHost());
    EXPECT_EQ(L"10.44.0.130|82-00-00-00-00-00|still-found", Host(find));
    EXPECT_EQ(0, find.FindNextHost());
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());

    net.SetLocalAddresses({});  // not scanned at all: never "nobody answered"
    SetLastError(ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(0, find.FindHost());
    EXPECT_NE(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
}

TEST(HostScan, ProgressIsToldOnTheCallingThreadWhileTheWorkersRun) {
    qvsim::Sockets sockets;
    qvsim::HostNet net({"10.55.1.1"});
    net.AddHost(3, 0x03, "three");
    net.AddHost(77, 0x4D, "seventy-seven", 120);
    net.AddHost(254, 0xFE, "last");
    net.SetMissDelay(60);  // four misses in a row: a scan of about 250 ms

    struct Report {
        DWORD thread;
        unsigned long probed, answered;
    };
    struct Reports {
        std::vector<Report> list;
        static void CALLBACK Proc(void* pParam, unsigned long ulProbed, unsigned long ulAnswered) {
            static_cast<Reports*>(pParam)->list.push_back({GetCurrentThreadId(), ulProbed, ulAnswered});
        }
    } reports;

    ScanView find;
    ASSERT_EQ(1, find.FindHost(&Reports::Proc, &reports));
    EXPECT_EQ(L"10.55.1.3|03-00-00-00-00-00|three", Host(find));
    ASSERT_GE(reports.list.size(), 2u);  // some while running, one at the end
    for (size_t i = 0; i < reports.list.size(); ++i) {
        EXPECT_EQ(GetCurrentThreadId(), reports.list[i].thread);
        EXPECT_LE(reports.list[i].answered, reports.list[i].probed);
        if (i) {
            EXPECT_GE(reports.list[i].probed, reports.list[i - 1].probed);
        }
    }
    EXPECT_LT(reports.list.front().probed, 254u);
    EXPECT_EQ(254u, reports.list.back().probed);
    EXPECT_EQ(3u, reports.list.back().answered);

    // A scan that cannot probe reports its probes and then fails; one that
    // never starts reports nothing; no callback is the plain scan.
    net.SetMissDelay(0);
    net.LimitAnswers(3, 0);
    net.LimitAnswers(77, 0);
    net.LimitAnswers(254, 0);
    net.SetMissError(ERROR_NOT_SUPPORTED);
    reports.list.clear();
    EXPECT_EQ(0, find.FindHost(&Reports::Proc, &reports));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), GetLastError());
    ASSERT_FALSE(reports.list.empty());
    EXPECT_EQ(254u, reports.list.back().probed);
    EXPECT_EQ(0u, reports.list.back().answered);
    net.SetLocalAddresses({});
    reports.list.clear();
    EXPECT_EQ(0, find.FindHost(&Reports::Proc, &reports));
    EXPECT_TRUE(reports.list.empty());
    EXPECT_EQ(0, find.FindHost(nullptr, nullptr));
}
