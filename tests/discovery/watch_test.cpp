// CxSerialPortWatch against COM ports made and removed in the real registry
// and SetupAPI while it runs, with the system's device notifications
// simulated (Wine delivers none).
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quorvel/quorvel.h"
#include "sim/sim_devices.h"
#include "tests/support/guarded_object.h"
#include "tests/support/message_window.h"
#include "tests/support/os_hook.h"
#include "tests/support/wait_until.h"

using qvsim::ComPortNode;
using qvtest::WaitUntil;

namespace {

const wchar_t kAdapter[] = L"USB\\VID_0403&PID_6001\\QVWATCH01";

// Every report that the watch's callback takes, as "+COM43 QVWATCH01
// 0403:6001" ('-' for a removal), of the ports COM4x and COM5x (the machine
// may have its own).
class Reports {
public:
    explicit Reports(CxSerialPortWatch* w) : watch(w) {
        w->SetWndMsgProc(nullptr, 0, &Reports::OnEvent, this);
    }
    static long CALLBACK OnEvent(void* pParam, unsigned int, long lEvent) {
        auto* self = static_cast<Reports*>(pParam);
        if (self->onEvent) self->onEvent(lEvent);
        CxSerialPortFind port;
        while (self->watch && self->watch->TakeReport(&lEvent, &port)) {
            wchar_t name[QV_DEVICE_TEXT_CCH], serial[QV_DEVICE_TEXT_CCH], text[600];
            unsigned short vid = 0, pid = 0;
            port.GetPortName(name);
            port.GetSerialNumber(serial);
            port.GetUsbIds(&vid, &pid);
            swprintf(text, 600, L"%lc%ls %ls %04X:%04X",
                     lEvent == CX_EVENT_PORT_ARRIVED ? L'+' : L'-', name, serial, vid, pid);
            std::lock_guard<std::mutex> held(self->m_lock);
            if (wcslen(name) != 5 || (name[3] != L'4' && name[3] != L'5')) continue;
            self->m_seen.push_back(text);
        }
        return 0;
    }
    std::vector<std::wstring> Seen() {
        std::lock_guard<std::mutex> held(m_lock);
        return m_seen;
    }
    bool WaitFor(size_t count) {
        return WaitUntil([&] { return Seen().size() >= count; }, 20000);
    }

    CxSerialPortWatch* watch;  // nullptr: take nothing
    std::function<void(long)> onEvent;

private:
    std::mutex m_lock;
    std::vector<std::wstring> m_seen;
};

std::wstring FoundAt(unsigned short vid, unsigned short pid, const wchar_t* serial) {
    CxSerialPortFind find;
    wchar_t name[QV_DEVICE_TEXT_CCH] = L"";
    if (!find.FindUsbPort(vid, pid, serial)) return L"(none)";
    find.GetPortName(name);
    if (find.FindNextPort()) return L"(more than one)";
    return name;
}

// A handle of our own on the watch's thread, to wait for its end.
HANDLE ThreadOf(CxSerialPortWatch& watch) {
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), watch.GetSafeHandle(), GetCurrentProcess(), &copy,
                    SYNCHRONIZE, FALSE, 0);
    return copy;
}

}  // namespace

// No notification ever comes: the re-read alone finds a USB adapter that
// leaves and comes back under another name, and the search by its serial
// number follows it.
TEST(PortWatch, AnAdapterThatComesBackUnderAnotherNameIsFoundAgainWithoutNotifications) {
    qvsim::DeviceNotifier notifier;  // registers, and never delivers
    CxSerialPortWatch watch;
    long lEvent = 0;
    CxSerialPortFind port;
    EXPECT_EQ(0, watch.TakeReport(&lEvent, &port));  // before Start
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    for (unsigned long bad : {1ul, 99ul, CX_PORT_WATCH_RESCAN_MAX + 1}) {
        EXPECT_EQ(0, watch.SetRescanPeriod(bad));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    }
    EXPECT_EQ(CX_PORT_WATCH_RESCAN_DEFAULT, watch.GetRescanPeriod());
    ASSERT_EQ(1, watch.SetRescanPeriod(CX_PORT_WATCH_RESCAN_MIN));
    Reports reports(&watch);
    ASSERT_EQ(1, watch.Start(0));
    EXPECT_NE(0, watch.IsWatching());
    EXPECT_EQ(0, watch.TakeReport(&lEvent, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

    auto com43 = std::make_unique<ComPortNode>(L"COM43", kAdapter);
    ASSERT_TRUE(com43->Ok()) << com43->Error();
    ASSERT_TRUE(reports.WaitFor(1)) << "no arrival report for COM43";
    EXPECT_EQ(L"COM43", FoundAt(0x0403, 0x6001, L"qvwatch01"));
    com43.reset();
    ASSERT_TRUE(reports.WaitFor(2)) << "no removal report for COM43";
    EXPECT_EQ(L"(none)", FoundAt(0x0403, 0x6001, L"QVWATCH01"));
    ComPortNode com52(L"COM52", kAdapter);
    ASSERT_TRUE(com52.Ok());
    ASSERT_TRUE(reports.WaitFor(3)) << "no arrival report for COM52";
    EXPECT_EQ(L"COM52", FoundAt(0x0403, 0x6001, L"QVWATCH01"));
    EXPECT_EQ(L"COM52", FoundAt(0x0403, 0x6001, nullptr));
    EXPECT_EQ(L"(none)", FoundAt(0x0403, 0x6002, L"QVWATCH01"));
    EXPECT_EQ(L"(none)", FoundAt(0x0403, 0x6001, L"QVWATCH0"));
    EXPECT_EQ((std::vector<std::wstring>{L"+COM43 QVWATCH01 0403:6001",
                                         L"-COM43 QVWATCH01 0403:6001",
                                         L"+COM52 QVWATCH01 0403:6001"}),
              reports.Seen());
    EXPECT_EQ(0, port.FindUsbPort(0x0403, 0x6001, std::wstring(QV_DEVICE_TEXT_CCH, L'A').c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

    // A copy shares the watch and lets go of it alone.
    {
        CxSerialPortWatch copy(watch);
        EXPECT_EQ(watch.GetSafeHandle(), copy.GetSafeHandle());
        copy.Stop();
        EXPECT_EQ(0, copy.TakeReport(&lEvent, &port));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    }
    EXPECT_NE(0, watch.IsWatching());
    ASSERT_EQ(1u, notifier.Registrations().size());
    watch.Stop();
    EXPECT_EQ(0, watch.IsWatching());
    EXPECT_EQ(1, notifier.Unregistered());
    EXPECT_EQ(0, notifier.Bad());
    EXPECT_EQ(0, watch.TakeReport(&lEvent, &port));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

// With notifications only, a notification starts a re-read at once; a burst
// of them is read once; a message another program could post (WM_CLOSE,
// WM_QUIT) does not end the watch; and registration that the system refuses
// leaves the re-reads.
TEST(PortWatch, NotificationsAreReadAtOnceABurstOnceAndOnlyTheOwnerEndsTheWatch) {
    std::atomic<int> reads{0};
    qvtest::Hook<quorvel::os::SetupDiGetClassDevsW> counting(
        [&](const GUID* g, PCWSTR e, HWND w, DWORD f) {
            ++reads;
            return counting.Real()(g, e, w, f);
        });
    ComPortNode present(L"COM45", kAdapter);
    ASSERT_TRUE(present.Ok());
    qvsim::DeviceNotifier notifier;
    CxSerialPortWatch watch;
    ASSERT_EQ(1, watch.SetRescanPeriod(0));
    Reports reports(&watch);
    ASSERT_EQ(1, watch.Start(1));  // the ports present are reported first
    ASSERT_TRUE(reports.WaitFor(1));
    EXPECT_EQ(L"+COM45 QVWATCH01 0403:6001", reports.Seen()[0]);
    ASSERT_TRUE(WaitUntil([&] { return notifier.Registrations().size() == 1; }));
    qvsim::DeviceNotifier::Registration r = notifier.Registrations()[0];
    EXPECT_EQ(static_cast<DWORD>(DEVICE_NOTIFY_WINDOW_HANDLE), r.flags);
    EXPECT_EQ(static_cast<DWORD>(DBT_DEVTYP_DEVICEINTERFACE), r.deviceType);
    EXPECT_TRUE(IsEqualGUID(QV_GUID_DEVINTERFACE_COMPORT, r.interfaceClass));
    qvtest::MessageWindow messageOnly;  // whose parent all message-only windows share
    EXPECT_EQ(GetAncestor(messageOnly.hwnd(), GA_PARENT), GetAncestor(r.hwnd, GA_PARENT));
    // The read after the registration, for what came before it.
    ASSERT_TRUE(WaitUntil([&] { return reads >= 2; })) << "no read after the registration";

    ComPortNode com46(L"COM46", L"USB\\VID_0403&PID_6001\\QVWATCH02");
    ASSERT_TRUE(com46.Ok());
    EXPECT_EQ(1, notifier.Send(true));
    ASSERT_TRUE(reports.WaitFor(2)) << "the notification started no re-read";
    EXPECT_EQ(L"+COM46 QVWATCH02 0403:6001", reports.Seen()[1]);

    PostMessageW(r.hwnd, WM_CLOSE, 0, 0);
    PostMessageW(r.hwnd, WM_QUIT, 0, 0);
    int before = reads;
    com46.Remove();
    for (int i = 0; i < 20; ++i) EXPECT_EQ(1, notifier.Send(false));
    ASSERT_TRUE(reports.WaitFor(3)) << "the watch ended, or read nothing after the burst";
    EXPECT_EQ(L"-COM46 QVWATCH02 0403:6001", reports.Seen()[2]);
    EXPECT_LE(reads - before, 3) << "a burst of notifications is read once";
    EXPECT_TRUE(IsWindow(r.hwnd));

    watch.Stop();
    EXPECT_FALSE(IsWindow(r.hwnd));
    EXPECT_EQ(1, notifier.Unregistered());
    EXPECT_EQ(0, notifier.Bad());

    // Where the system refuses notifications, the re-reads find the change.
    notifier.Refuse(ERROR_SERVICE_NOT_ACTIVE);
    ASSERT_EQ(1, watch.SetRescanPeriod(CX_PORT_WATCH_RESCAN_MIN));
    ASSERT_EQ(1, watch.Start(0));
    present.Remove();
    ASSERT_TRUE(reports.WaitFor(4)) << "no re-read without notifications";
    EXPECT_EQ(L"-COM45 QVWATCH01 0403:6001", reports.Seen()[3]);
    watch.Stop();
}

// A re-read that cannot read the interfaces reports nothing (the port is
// not gone) and is tried again until it can.
TEST(PortWatch, AReadThatFailsReportsNothingAndIsTriedAgain) {
    std::atomic<bool> failing{false};
    std::atomic<int> reads{0}, failed{0};
    qvtest::Hook<quorvel::os::SetupDiGetClassDevsW> hook([&](const GUID* g, PCWSTR e, HWND w,
                                                             DWORD f) {
        ++reads;
        if (!failing) return hook.Real()(g, e, w, f);
        ++failed;
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return static_cast<HDEVINFO>(INVALID_HANDLE_VALUE);
    });
    auto com47 = std::make_unique<ComPortNode>(L"COM47", kAdapter, false);  // no map value
    ASSERT_TRUE(com47->Ok());
    qvsim::DeviceNotifier notifier;
    CxSerialPortWatch watch;
    watch.SetRescanPeriod(0);
    Reports reports(&watch);
    ASSERT_EQ(1, watch.Start(0));
    ASSERT_TRUE(WaitUntil([&] { return reads >= 2; })) << "no read after the registration";
    failing = true;
    // A running watch takes a new period at once: one read, then the retries.
    watch.SetRescanPeriod(CX_PORT_WATCH_RESCAN_MIN);
    ASSERT_TRUE(WaitUntil([&] { return failed >= 3; })) << "a failed read is not tried again";
    EXPECT_TRUE(reports.Seen().empty()) << "a failed read reported the port gone";
    failing = false;
    com47.reset();
    ASSERT_TRUE(reports.WaitFor(1));
    EXPECT_EQ(L"-COM47 QVWATCH01 0403:6001", reports.Seen()[0]);
    watch.Stop();

    // Start reads the list itself: it watches while one source can be read
    // whole, and fails with the error of the reading when none can.
    failing = true;
    EXPECT_EQ(1, watch.Start(0));
    watch.Stop();
    qvtest::Hook<quorvel::os::RegOpenKeyExW> noMap(
        [](HKEY, LPCWSTR, DWORD, REGSAM, PHKEY) -> LSTATUS { return ERROR_ACCESS_DENIED; });
    EXPECT_EQ(0, watch.Start(0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_EQ(0, watch.IsWatching());
}

// One port's interface cannot be read: the watch still reports the others
// (a removal among them), and holds that port rather than report it gone.
// A device that keeps its instance ID but takes another name between two
// readings is a removal and an arrival.
TEST(PortWatch, AnUnreadableInterfaceAndADeviceThatTakesAnotherName) {
    auto com53 = std::make_unique<ComPortNode>(L"COM53", L"USB\\VID_0403&PID_6001\\QVWATCH53");
    ComPortNode com54(L"COM54", L"USB\\VID_0403&PID_6001\\QVWATCH54", false);  // no map value
    ASSERT_TRUE(com53->Ok() && com54.Ok());
    std::atomic<bool> unreadable{false};
    qvtest::Hook<quorvel::os::SetupDiGetDeviceInterfaceDetailW> detail(
        [&](HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_W out,
            DWORD size, PDWORD needed, PSP_DEVINFO_DATA device) {
            BOOL ok = detail.Real()(set, data, out, size, needed, device);
            if (ok && out && unreadable && _wcsicmp(out->DevicePath, com54.Device().Path().c_str()) == 0) {
                SetLastError(ERROR_ACCESS_DENIED);
                return FALSE;
            }
            return ok;
        });
    qvsim::DeviceNotifier notifier;
    notifier.Refuse(ERROR_SERVICE_NOT_ACTIVE);  // no reading but the ones the test asks for
    CxSerialPortWatch watch;
    ASSERT_EQ(1, watch.SetRescanPeriod(0));
    Reports reports(&watch);
    unreadable = true;
    ASSERT_EQ(1, watch.Start(1));  // COM54 unseen
    ASSERT_TRUE(reports.WaitFor(1));
    watch.Stop();
    unreadable = false;
    ASSERT_EQ(1, watch.Start(0));  // COM54 seen
    unreadable = true;
    com53.reset();
    ASSERT_EQ(1, watch.SetRescanPeriod(CX_PORT_WATCH_RESCAN_MIN));
    ASSERT_TRUE(reports.WaitFor(2));
    Sleep(300);
    EXPECT_EQ((std::vector<std::wstring>{L"+COM53 QVWATCH53 0403:6001",
                                         L"-COM53 QVWATCH53 0403:6001"}),
              reports.Seen());
    unreadable = false;

    ASSERT_EQ(1, watch.SetRescanPeriod(0));
    auto renamed = std::make_unique<ComPortNode>(L"COM55", L"USB\\VID_0403&PID_6001\\QVWATCH55");
    ASSERT_TRUE(renamed->Ok());
    ASSERT_EQ(1, watch.SetRescanPeriod(CX_PORT_WATCH_RESCAN_MIN));
    ASSERT_TRUE(reports.WaitFor(3));
    ASSERT_EQ(1, watch.SetRescanPeriod(0));
    Sleep(200);  // no reading from here until the period is set again
    renamed.reset();
    renamed = std::make_unique<ComPortNode>(L"COM56", L"USB\\VID_0403&PID_6001\\QVWATCH55");
    ASSERT_TRUE(renamed->Ok());
    ASSERT_EQ(1, watch.SetRescanPeriod(CX_PORT_WATCH_RESCAN_MIN));
    ASSERT_TRUE(reports.WaitFor(5)) << "a new name under the same instance went unreported";
    EXPECT_EQ(L"-COM55 QVWATCH55 0403:6001", reports.Seen()[3]);
    EXPECT_EQ(L"+COM56 QVWATCH55 0403:6001", reports.Seen()[4]);
    watch.Stop();
}

// The host deletes the watch from its own callback (the thread ends without
// touching it), or stops it from another thread while the callback runs
// (the stop returns once the callback has).
TEST(PortWatch, StoppedFromItsOwnCallbackOrFromAnotherThreadMidCallback) {
    ComPortNode present(L"COM48", kAdapter);
    ASSERT_TRUE(present.Ok());
    {
        qvtest::GuardedObject<CxSerialPortWatch> watch;
        Reports reports(watch.get());
        reports.watch = nullptr;
        HANDLE thread = nullptr;
        reports.onEvent = [&](long) {
            if (!watch.Destroyed()) watch.Destroy();
        };
        ASSERT_EQ(1, watch->Start(1));
        thread = ThreadOf(*watch);
        ASSERT_TRUE(WaitUntil([&] { return watch.Destroyed(); }));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000)) << "the thread did not end";
        CloseHandle(thread);
    }
    {
        CxSerialPortWatch watch;
        Reports reports(&watch);
        HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::atomic<bool> inside{false}, returned{false};
        reports.onEvent = [&](long) {
            inside = true;
            WaitForSingleObject(release, 20000);
            returned = true;
        };
        ASSERT_EQ(1, watch.Start(1));
        ASSERT_TRUE(WaitUntil([&] { return inside.load(); }));
        std::atomic<bool> stoppedAfterReturn{false};
        std::thread stopper([&] {
            watch.Stop();
            stoppedAfterReturn = returned.load();
        });
        Sleep(50);
        SetEvent(release);
        stopper.join();
        EXPECT_TRUE(stoppedAfterReturn) << "Stop returned while the callback ran";
        EXPECT_EQ(0, watch.IsWatching());
        CloseHandle(release);
    }
}
