// CxSerialPortFind against device-map values and COM-port device nodes made
// in the real registry and SetupAPI.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quorvel/quorvel.h"
#include "sim/sim_devices.h"
#include "tests/support/os_hook.h"

using qvsim::DeviceMapValue;
using qvsim::DeviceDesc;
using qvsim::SimDevice;

namespace {

DeviceDesc ComPort(const wchar_t* name, const wchar_t* instanceId, std::vector<std::wstring> hwids,
                   const wchar_t* friendly, const wchar_t* portName) {
    DeviceDesc desc;
    desc.interfaceClass = QV_GUID_DEVINTERFACE_COMPORT;
    desc.setupClass = qvsim::kPortsSetupClass;
    desc.name = name;
    desc.instanceId = instanceId;
    desc.hardwareIds = hwids;
    if (friendly) desc.friendlyName = friendly;
    if (portName) desc.portName = portName;
    return desc;
}

struct Entry {
    std::wstring name, path, friendly, hardware, serial;
    int source = 0, usb = 0;
    unsigned short vid = 0, pid = 0;
};

Entry Read(CxSerialPortFind& find) {
    wchar_t text[QV_DEVICE_TEXT_CCH];
    Entry e;
    find.GetPortName(text), e.name = text;
    find.GetDevicePath(text), e.path = text;
    find.GetFriendlyName(text), e.friendly = text;
    find.GetHardwareID(text), e.hardware = text;
    find.GetSerialNumber(text), e.serial = text;
    e.source = find.GetSource();
    e.usb = find.GetUsbIds(&e.vid, &e.pid);
    return e;
}

// The ports of our fixtures, in the order listed; the machine may have its own.
std::vector<Entry> Ours(CxSerialPortFind& find, const std::wstring& unnamedPath) {
    std::vector<Entry> ours;
    for (int ok = find.FindPort(); ok; ok = find.FindNextPort()) {
        Entry e = Read(find);
        bool named = false;
        for (const wchar_t* name : {L"COM2", L"COM9", L"COM10", L"COM31", L"COM47"}) {
            named = named || _wcsicmp(e.name.c_str(), name) == 0;
        }
        if (named || _wcsicmp(e.path.c_str(), unnamedPath.c_str()) == 0) ours.push_back(e);
    }
    return ours;
}

}  // namespace

TEST(Ports, EachPortOnceWithItsSourcesUsbIdentityAndNaturalOrder) {
    DeviceMapValue com2(L"SERIALCOMM", L"\\Device\\QvTestSerial2", L"COM2");
    DeviceMapValue com10(L"SERIALCOMM", L"\\Device\\QvTestSerial10", L"COM10");
    DeviceMapValue com9(L"SERIALCOMM", L"\\Device\\QvTestSerial9", L"COM9");
    SimDevice usb(ComPort(L"QVPORTUSB", L"USB\\VID_0403&PID_6001\\A50285BI",
                          {L"USB\\VID_0403&PID_6001&REV_0600", L"USB\\VID_0403&PID_6001"},
                          L"USB Serial Port (COM9)", L"COM9"));
    // Not USB, and five hex digits after "VID_" are no vendor ID; the
    // friendly name is as long as a getter hands out.
    std::wstring longFriendly = L"Port (COM31) " + std::wstring(259 - 13, L'x');
    SimDevice plain(ComPort(L"QVPORTPLAIN", L"ACPI\\VID_12345&PID_6789\\0", {L"ACPI\\PNP0501"},
                            longFriendly.c_str(), L"com31"));
    SimDevice noName(ComPort(L"QVPORTNONAME", L"", {L"USB\\VID_10C4&PID_EA60"}, nullptr, nullptr));
    // Named only by its friendly name; the system made up its last component.
    SimDevice byFriendly(ComPort(L"QVPORTFRIENDLY", L"USB\\VID_067B&PID_2303\\5&1A2B3C4D&0&2", {},
                                 L"Prolific Port (COM47)", nullptr));
    ASSERT_TRUE(com2.Ok() && com10.Ok() && com9.Ok());
    for (const SimDevice* d : {&usb, &plain, &noName, &byFriendly})
        ASSERT_TRUE(d->Ok()) << d->Error();

    CxSerialPortFind find;
    std::vector<Entry> ours = Ours(find, noName.Path());
    ASSERT_EQ(6u, ours.size());
    std::vector<std::wstring> names;
    for (const Entry& e : ours) names.push_back(e.name);
    EXPECT_EQ((std::vector<std::wstring>{L"COM2", L"COM9", L"COM10", L"com31", L"COM47", L""}),
              names);
    std::vector<int> sources;
    for (const Entry& e : ours) sources.push_back(e.source);
    EXPECT_EQ(
        (std::vector<int>{CX_PORT_FROM_MAP, CX_PORT_FROM_BOTH, CX_PORT_FROM_MAP,
                          CX_PORT_FROM_INTERFACE, CX_PORT_FROM_INTERFACE, CX_PORT_FROM_INTERFACE}),
        sources);

    EXPECT_EQ(L"\\\\.\\COM2", ours[0].path);  // map only: a name and a path
    EXPECT_EQ(L"", ours[0].friendly);
    EXPECT_EQ(0, ours[0].usb);
    const Entry& com9e = ours[1];
    EXPECT_EQ(L"USB Serial Port (COM9)", com9e.friendly);
    EXPECT_EQ(L"USB\\VID_0403&PID_6001&REV_0600", com9e.hardware);
    EXPECT_EQ(1, com9e.usb);
    EXPECT_EQ(0x0403, com9e.vid);
    EXPECT_EQ(0x6001, com9e.pid);
    EXPECT_EQ(L"A50285BI", com9e.serial);
    EXPECT_EQ(L"\\\\.\\com31", ours[3].path);
    EXPECT_EQ(0, ours[3].usb);  // no IDs: absent, not a failure
    EXPECT_EQ(0, ours[3].vid);
    EXPECT_EQ(L"", ours[3].serial);
    EXPECT_EQ(longFriendly, ours[3].friendly);
    EXPECT_EQ(1, ours[4].usb);  // from the instance ID, without a serial number
    EXPECT_EQ(0x067B, ours[4].vid);
    EXPECT_EQ(L"", ours[4].serial);
    EXPECT_EQ(0x10C4, ours[5].vid);  // unnamed: opened by its interface path
    EXPECT_EQ(0, _wcsicmp(noName.Path().c_str(), ours[5].path.c_str()));

    // One source missing: the other is listed all the same.
    {
        qvtest::Hook<quorvel::os::RegOpenKeyExW> noMap(
            [](HKEY, LPCWSTR, DWORD, REGSAM, PHKEY) -> LSTATUS { return ERROR_FILE_NOT_FOUND; });
        std::vector<Entry> left = Ours(find, noName.Path());
        ASSERT_EQ(4u, left.size());
        EXPECT_EQ(L"COM9", left[0].name);
        EXPECT_EQ(CX_PORT_FROM_INTERFACE, left[0].source);
    }
    {
        qvtest::Hook<quorvel::os::SetupDiGetClassDevsW> noInterfaces(
            [](const GUID*, PCWSTR, HWND, DWORD) { return INVALID_HANDLE_VALUE; });
        std::vector<Entry> left = Ours(find, noName.Path());
        ASSERT_EQ(3u, left.size());
        EXPECT_EQ(CX_PORT_FROM_MAP, left[1].source);
        EXPECT_EQ(L"", left[1].friendly);
    }
}

// Names that differ only in letter case are one port: the map's "com57"
// and the interface's "COM57".
TEST(Ports, ANameInAnotherCaseIsTheSamePort) {
    DeviceMapValue mapped(L"SERIALCOMM", L"\\Device\\QvTestSerial57", L"com57");
    SimDevice device(ComPort(L"QVPORTCASE", L"USB\\VID_0403&PID_6001\\QVCASE57", {},
                             L"USB Serial Port (COM57)", L"COM57"));
    ASSERT_TRUE(mapped.Ok() && device.Ok());
    CxSerialPortFind find;
    int found = 0;
    for (int ok = find.FindPort(); ok; ok = find.FindNextPort()) {
        Entry e = Read(find);
        if (_wcsicmp(e.name.c_str(), L"COM57") != 0) continue;
        ++found;
        EXPECT_EQ(L"com57", e.name);  // the map's spelling
        EXPECT_EQ(CX_PORT_FROM_BOTH, e.source);
    }
    EXPECT_EQ(1, found);
}

TEST(Ports, WalkEndsCleanlyCopiesWalkOnTheirOwnAndRemovedPortsGo) {
    std::wstring gonePath;
    CxSerialPortFind find, copy;
    size_t count = 1;
    {
        DeviceMapValue value(L"SERIALCOMM", L"\\Device\\QvTestSerialGone", L"COM77");
        SimDevice device(ComPort(L"QVPORTGONE", L"", {}, nullptr, nullptr));
        ASSERT_TRUE(value.Ok() && device.Ok());
        gonePath = device.Path();
        EXPECT_EQ(0, find.FindNextPort());  // before FindPort
        EXPECT_EQ(0, find.GetSource());
        ASSERT_EQ(1, find.FindPort());
        copy = find;
        while (find.FindNextPort()) ++count;
        EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
    }
    Entry last = Read(find);
    EXPECT_EQ(0, find.FindNextPort());  // and after the end, the last port kept
    EXPECT_EQ(last.path, Read(find).path);
    find.Close();
    EXPECT_EQ(0, find.FindNextPort());
    EXPECT_EQ(last.path, Read(find).path);
    find.GetPortName(nullptr);
    EXPECT_EQ(last.usb, find.GetUsbIds(nullptr, nullptr));

    // The copy walks the same snapshot from where it was.
    size_t copied = 1;
    while (copy.FindNextPort()) ++copied;
    EXPECT_EQ(count, copied);

    // A new walk does not list what has been removed.
    for (int ok = find.FindPort(); ok; ok = find.FindNextPort()) {
        Entry e = Read(find);
        EXPECT_NE(L"COM77", e.name);
        EXPECT_NE(0, _wcsicmp(gonePath.c_str(), e.path.c_str()));
    }
}

TEST(Ports, TextsTooLongForAGetterAreCutNotDropped) {
    // A friendly name of 300 characters, and a hardware ID list whose first
    // ID is short but which holds more than 260 characters in all.
    std::wstring friendly = std::wstring(293, L'n') + L"(COM58)";
    std::vector<std::wstring> hwids = {L"USB\\VID_1A86&PID_7523&REV_0254",
                                       L"USB\\VID_1A86&PID_7523"};
    while (hwids.size() < 12) hwids.push_back(L"QV\\FILLER_" + std::wstring(20, L'h'));
    SimDevice longTexts(ComPort(L"QVPORTLONG", L"USB\\VID_1A86&PID_7523\\7&2B0E4C&0&1", hwids,
                                friendly.c_str(), L"COM58"));
    ASSERT_TRUE(longTexts.Ok()) << longTexts.Error();

    CxSerialPortFind find;
    bool found = false;
    for (int ok = find.FindPort(); ok; ok = find.FindNextPort()) {
        wchar_t text[QV_DEVICE_TEXT_CCH + 1];
        text[QV_DEVICE_TEXT_CCH] = L'Z';
        find.GetPortName(text);
        if (std::wstring(text) != L"COM58") continue;
        found = true;
        find.GetFriendlyName(text);
        EXPECT_EQ(friendly.substr(0, QV_DEVICE_TEXT_CCH - 1), text);
        EXPECT_EQ(L'Z', text[QV_DEVICE_TEXT_CCH]);
        find.GetHardwareID(text);
        EXPECT_EQ(hwids[0], text);
        unsigned short vid = 0, pid = 0;
        EXPECT_EQ(1, find.GetUsbIds(&vid, &pid));
        EXPECT_EQ(0x1A86, vid);
        EXPECT_EQ(0x7523, pid);
    }
    EXPECT_TRUE(found);
}

TEST(Ports, AMapValueIsReadOnlyAsFarAsItsData) {
    // No terminator (the 'x' after the data keeps the registry from counting
    // one in), and non-zero bytes after the data in the walk's buffers.
    const wchar_t bare[] = {L'C', L'O', L'M', L'8', L'8', L'x'};
    DeviceMapValue value(L"SERIALCOMM", L"\\Device\\QvTestSerialBare", bare, 5 * sizeof(wchar_t),
                         REG_SZ);
    ASSERT_TRUE(value.Ok());
    qvsim::RegistryFiller filler;
    CxSerialPortFind find;
    int found = 0;
    for (int ok = find.FindPort(); ok; ok = find.FindNextPort()) {
        Entry e = Read(find);
        if (e.name.rfind(L"COM88", 0) == 0) {
            ++found;
            EXPECT_EQ(L"COM88", e.name);
            EXPECT_EQ(L"\\\\.\\COM88", e.path);
        }
    }
    EXPECT_EQ(1, found);
    EXPECT_GT(filler.Filled(), 0);
}

TEST(Ports, ABluetoothProfilePortNamesItsRemoteDevice) {
    const std::wstring spp = L"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\";
    // An outgoing port, with the stack's record of its device; one whose
    // device has no record; a port for incoming connections (no device);
    // and another enumerator with the same shape of instance ID.
    qvsim::ComPortNode named(L"COM53", spp + L"7&2A3B4C5D&0&0012AB34CD56_C00000000", true,
                             L"Standard Serial over Bluetooth link");
    qvsim::ComPortNode unnamed(L"COM54", spp + L"7&2A3B4C5D&0&001122334455_C00000000");
    qvsim::ComPortNode incoming(L"COM55", spp + L"7&2A3B4C5D&0&000000000000_00000000");
    qvsim::ComPortNode other(L"COM56", L"ACPI\\QVBT\\7&1&0&0012AB34CD56_C0");
    qvsim::BluetoothDeviceRecord record(0x0012AB34CD56ull, "Sensor \xC3\xBC\xE2\x82\xAC");
    for (const qvsim::ComPortNode* n : {&named, &unnamed, &incoming, &other}) {
        ASSERT_TRUE(n->Ok()) << n->Error();
    }
    ASSERT_TRUE(record.Ok());

    struct Bt {
        int is;
        unsigned long long address;
        std::wstring name;
    };
    std::vector<Bt> seen;
    CxSerialPortFind find;
    for (int ok = find.FindPort(); ok; ok = find.FindNextPort()) {
        wchar_t text[QV_DEVICE_TEXT_CCH];
        find.GetPortName(text);
        std::wstring port = text;
        if (port < L"COM53" || port > L"COM56" || port.size() != 5) continue;
        Bt bt = {0, 99, L""};
        bt.is = find.GetBluetoothAddress(&bt.address);
        find.GetBluetoothName(text);
        bt.name = text;
        seen.push_back(bt);
    }
    ASSERT_EQ(4u, seen.size());
    EXPECT_EQ(1, seen[0].is);
    EXPECT_EQ(0x0012AB34CD56ull, seen[0].address);
    EXPECT_EQ(L"Sensor \u00FC\u20AC", seen[0].name);
    EXPECT_EQ(1, seen[1].is);
    EXPECT_EQ(0x001122334455ull, seen[1].address);
    EXPECT_EQ(L"", seen[1].name);
    for (size_t i = 2; i < 4; ++i) {
        EXPECT_EQ(0, seen[i].is) << i;
        EXPECT_EQ(0ull, seen[i].address) << i;
        EXPECT_EQ(L"", seen[i].name) << i;
    }
}
