// CxSerialPortFind against device-map values and COM-port device nodes made
// in the real registry and SetupAPI.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "quorvel/quorvel.h"
#include "tests/sim/sim_devices.h"
#include "tests/support/os_hook.h"

namespace os = quorvel::os;
using qvsim::DeviceMapValue;
using qvsim::DeviceSpec;
using qvsim::SimDevice;
using qvtest::Hook;

namespace {

DeviceSpec ComPort(const std::wstring& name) {
    DeviceSpec spec;
    spec.interfaceClass = QV_GUID_DEVINTERFACE_COMPORT;
    spec.setupClass = qvsim::kPortsSetupClass;
    spec.name = name;
    return spec;
}

struct Entry {
    std::wstring name, path, friendly, hardware, instance, serial;
    int source = 0;
    int usb = 0;
    unsigned short vid = 0, pid = 0;
};

Entry Read(CxSerialPortFind& find) {
    wchar_t text[260];
    Entry e;
    find.GetPortName(text), e.name = text;
    find.GetDevicePath(text), e.path = text;
    find.GetFriendlyName(text), e.friendly = text;
    find.GetHardwareID(text), e.hardware = text;
    find.GetInstanceID(text), e.instance = text;
    find.GetSerialNumber(text), e.serial = text;
    e.source = find.GetSource();
    e.usb = find.GetUsbIds(&e.vid, &e.pid);
    return e;
}

// Every port listed, in order.
std::vector<Entry> Walk(CxSerialPortFind& find) {
    std::vector<Entry> all;
    for (int ok = find.FindPort(); ok; ok = find.FindNextPort()) all.push_back(Read(find));
    return all;
}

// Our fixtures' ports; the machine may list ports of its own besides.
class Ports : public testing::Test {
protected:
    void SetUp() override {
        for (const auto* value : {&com2, &com9, &com10}) ASSERT_TRUE(value->Ok());
        for (const SimDevice* device : {&usb, &plain, &noName, &byFriendly}) {
            ASSERT_TRUE(device->Ok()) << device->Error();
        }
    }
    std::vector<Entry> Ours(const std::vector<Entry>& all) {
        std::vector<Entry> ours;
        for (const Entry& e : all) {
            bool named = false;
            for (const wchar_t* name : {L"COM2", L"COM9", L"COM10", L"COM31", L"COM47"}) {
                named = named || _wcsicmp(e.name.c_str(), name) == 0;
            }
            if (named || _wcsicmp(e.path.c_str(), noName.Path().c_str()) == 0) ours.push_back(e);
        }
        return ours;
    }
    static DeviceSpec Usb() {
        DeviceSpec spec = ComPort(L"QVPORTUSB");
        spec.instanceId = L"USB\\VID_0403&PID_6001\\A50285BI";
        spec.hardwareIds = {L"USB\\VID_0403&PID_6001&REV_0600", L"USB\\VID_0403&PID_6001"};
        spec.friendlyName = L"USB Serial Port (COM9)";
        spec.portName = L"COM9";
        return spec;
    }
    static DeviceSpec Plain() {
        DeviceSpec spec = ComPort(L"QVPORTPLAIN");
        spec.hardwareIds = {L"ACPI\\PNP0501"};
        spec.friendlyName = L"Communications Port (COM31)";
        spec.portName = L"com31";
        return spec;
    }
    static DeviceSpec NoName() {
        DeviceSpec spec = ComPort(L"QVPORTNONAME");
        spec.hardwareIds = {L"USB\\VID_10C4&PID_EA60"};
        return spec;
    }
    static DeviceSpec ByFriendly() {
        DeviceSpec spec = ComPort(L"QVPORTFRIENDLY");
        spec.instanceId = L"USB\\VID_067B&PID_2303\\5&1A2B3C4D&0&2";
        spec.friendlyName = L"Prolific Port (COM47)";
        return spec;
    }

    DeviceMapValue com2{L"SERIALCOMM", L"\\Device\\QvTestSerial2", L"COM2"};
    DeviceMapValue com10{L"SERIALCOMM", L"\\Device\\QvTestSerial10", L"COM10"};
    DeviceMapValue com9{L"SERIALCOMM", L"\\Device\\QvTestSerial9", L"COM9"};
    SimDevice usb{Usb()};
    SimDevice plain{Plain()};
    SimDevice noName{NoName()};
    SimDevice byFriendly{ByFriendly()};
};

}  // namespace

TEST_F(Ports, EachPortOnceTaggedWithItsSourcesInNaturalOrder) {
    CxSerialPortFind find;
    std::vector<Entry> all = Walk(find);
    std::vector<Entry> ours = Ours(all);
    ASSERT_EQ(6u, ours.size());
    std::vector<std::wstring> names;
    for (const Entry& e : ours) names.push_back(e.name);
    EXPECT_EQ((std::vector<std::wstring>{L"COM2", L"COM9", L"COM10", L"com31", L"COM47", L""}), names);

    // Map only: a name and the path to open, nothing else.
    const Entry& com2e = ours[0];
    EXPECT_EQ(CX_PORT_FROM_MAP, com2e.source);
    EXPECT_EQ(L"\\\\.\\COM2", com2e.path);
    EXPECT_EQ(L"", com2e.friendly);
    EXPECT_EQ(0, com2e.usb);

    // Both, matched through PortName; the USB identity from the IDs.
    const Entry& com9e = ours[1];
    EXPECT_EQ(CX_PORT_FROM_BOTH, com9e.source);
    EXPECT_EQ(L"\\\\.\\COM9", com9e.path);
    EXPECT_EQ(L"USB Serial Port (COM9)", com9e.friendly);
    EXPECT_EQ(L"USB\\VID_0403&PID_6001&REV_0600", com9e.hardware);
    EXPECT_EQ(L"USB\\VID_0403&PID_6001\\A50285BI", com9e.instance);
    EXPECT_EQ(1, com9e.usb);
    EXPECT_EQ(0x0403, com9e.vid);
    EXPECT_EQ(0x6001, com9e.pid);
    EXPECT_EQ(L"A50285BI", com9e.serial);

    EXPECT_EQ(CX_PORT_FROM_MAP, ours[2].source);  // COM10 after COM9

    // Interface only, PortName in another case; no USB identity.
    const Entry& com31 = ours[3];
    EXPECT_EQ(CX_PORT_FROM_INTERFACE, com31.source);
    EXPECT_EQ(L"\\\\.\\com31", com31.path);
    EXPECT_EQ(L"ACPI\\PNP0501", com31.hardware);
    EXPECT_EQ(0, com31.usb);
    EXPECT_EQ(0, com31.vid);
    EXPECT_EQ(L"", com31.serial);

    // Named by its friendly name; a made-up instance component is no serial
    // number, and the IDs come from the instance ID when the hardware ID is
    // missing.
    const Entry& com47 = ours[4];
    EXPECT_EQ(CX_PORT_FROM_INTERFACE, com47.source);
    EXPECT_EQ(L"", com47.hardware);
    EXPECT_EQ(1, com47.usb);
    EXPECT_EQ(0x067B, com47.vid);
    EXPECT_EQ(0x2303, com47.pid);
    EXPECT_EQ(L"", com47.serial);

    // No name at all: listed after the named ports, opened by its path.
    const Entry& unnamed = ours[5];
    EXPECT_EQ(CX_PORT_FROM_INTERFACE, unnamed.source);
    EXPECT_EQ(0, _wcsicmp(noName.Path().c_str(), unnamed.path.c_str()));
    EXPECT_EQ(1, unnamed.usb);
    EXPECT_EQ(0x10C4, unnamed.vid);
    EXPECT_EQ(0xEA60, unnamed.pid);
    for (size_t i = 1; i < all.size(); ++i) {
        EXPECT_FALSE(all[i - 1].name.empty() && !all[i].name.empty()) << "unnamed before named";
    }
}

TEST_F(Ports, WalkEndsCleanlyAndCopiesWalkOnTheirOwn) {
    CxSerialPortFind find;
    ASSERT_EQ(1, find.FindPort());
    Entry first = Read(find);
    CxSerialPortFind copy(find);
    size_t count = 1;
    while (find.FindNextPort()) ++count;
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
    Entry last = Read(find);
    EXPECT_EQ(0, find.FindNextPort());  // and after the end
    EXPECT_EQ(last.name, Read(find).name);
    EXPECT_EQ(last.path, Read(find).path);

    // The copy is still at the first port and walks the same list.
    EXPECT_EQ(first.path, Read(copy).path);
    size_t copied = 1;
    while (copy.FindNextPort()) ++copied;
    EXPECT_EQ(count, copied);

    // Closed: nothing more, the last port still readable; NULL is ignored.
    find.Close();
    find.Close();
    EXPECT_EQ(0, find.FindNextPort());
    EXPECT_EQ(last.path, Read(find).path);
    find.GetPortName(nullptr);
    find.GetDevicePath(nullptr);
    EXPECT_EQ(last.usb, find.GetUsbIds(nullptr, nullptr));

    CxSerialPortFind fresh;
    EXPECT_EQ(0, fresh.FindNextPort());
    EXPECT_EQ(L"", Read(fresh).name);
    EXPECT_EQ(0, Read(fresh).source);
    fresh = copy;
    EXPECT_EQ(last.path, Read(fresh).path);
}

TEST_F(Ports, OneSourceMissingStillListsTheOther) {
    CxSerialPortFind find;
    {
        Hook<os::RegOpenKeyExW> noMap([](HKEY, LPCWSTR, DWORD, REGSAM, PHKEY) -> LSTATUS {
            return ERROR_FILE_NOT_FOUND;
        });
        std::vector<Entry> ours = Ours(Walk(find));
        std::map<std::wstring, int> sources;
        for (const Entry& e : ours) sources[e.name] = e.source;
        EXPECT_EQ(0u, sources.count(L"COM2"));
        EXPECT_EQ(CX_PORT_FROM_INTERFACE, sources[L"COM9"]);
        EXPECT_EQ(CX_PORT_FROM_INTERFACE, sources[L"com31"]);
    }
    {
        Hook<os::SetupDiGetClassDevsW> noInterfaces(
            [](const GUID*, PCWSTR, HWND, DWORD) -> HDEVINFO { return INVALID_HANDLE_VALUE; });
        std::vector<Entry> ours = Ours(Walk(find));
        ASSERT_EQ(3u, ours.size());
        for (const Entry& e : ours) EXPECT_EQ(CX_PORT_FROM_MAP, e.source);
        EXPECT_EQ(L"", ours[1].friendly);  // COM9 without its interface
    }
}

TEST(PortsGone, FixturesRemovedAreNotListed) {
    std::wstring path;
    {
        SimDevice device(ComPort(L"QVPORTGONE"));
        ASSERT_TRUE(device.Ok()) << device.Error();
        DeviceMapValue value(L"SERIALCOMM", L"\\Device\\QvTestSerialGone", L"COM77");
        ASSERT_TRUE(value.Ok());
        path = device.Path();
    }
    CxSerialPortFind find;
    for (int ok = find.FindPort(); ok; ok = find.FindNextPort()) {
        Entry e = Read(find);
        EXPECT_NE(L"COM77", e.name);
        EXPECT_NE(0, _wcsicmp(path.c_str(), e.path.c_str()));
    }
}
