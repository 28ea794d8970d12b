#include <gtest/gtest.h>

#include <algorithm>
#include <set>
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

// Interface classes of the tests' own, so the system's devices never mix in.
GUID kFullClass = {0x5a1c0e10, 0x7b2d, 0x4c61, {0x9e, 0x33, 0x10, 0x2f, 0x4b, 0x6a, 0x71, 0x01}};
GUID kBareClass = {0x5a1c0e10, 0x7b2d, 0x4c61, {0x9e, 0x33, 0x10, 0x2f, 0x4b, 0x6a, 0x71, 0x02}};
GUID kEmptyClass = {0x5a1c0e10, 0x7b2d, 0x4c61, {0x9e, 0x33, 0x10, 0x2f, 0x4b, 0x6a, 0x71, 0x03}};
// The setup class of ports (not an interface class).
GUID kPortsSetupClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

DeviceSpec Full(const std::wstring& name, const GUID& iface = kFullClass) {
    DeviceSpec spec;
    spec.interfaceClass = iface;
    spec.setupClass = kPortsSetupClass;
    spec.name = name;
    spec.hardwareIds = {L"QV\\" + name + L"_HW", L"QV\\SECOND"};
    spec.friendlyName = L"Friendly " + name;
    spec.locationInfo = L"Bay " + name;
    spec.description = L"Description " + name;
    return spec;
}

std::wstring Text(void (CxDeviceFind::*getter)(wchar_t*), CxDeviceFind& find) {
    wchar_t text[260];
    std::fill(std::begin(text), std::end(text), L'Z');
    (find.*getter)(text);
    return text;
}

bool SameGuid(const GUID& a, const GUID& b) { return IsEqualGUID(a, b) != 0; }

}  // namespace

TEST(DeviceFind, ListsEveryPresentInterfaceOnceWithItsTexts) {
    SimDevice a(Full(L"QVDEVA")), b(Full(L"QVDEVB")), c(Full(L"QVDEVC"));
    DeviceSpec hidden = Full(L"QVDEVH");
    hidden.linked = false;
    SimDevice h(hidden);
    ASSERT_TRUE(a.Ok()) << a.Error();
    ASSERT_TRUE(b.Ok() && c.Ok() && h.Ok());
    struct Named {
        const SimDevice* device;
        std::wstring name;
    } devices[] = {{&a, L"QVDEVA"}, {&b, L"QVDEVB"}, {&c, L"QVDEVC"}};

    CxDeviceFind find;
    std::set<std::wstring> seen;
    for (int ok = find.FindDevice(&kFullClass); ok; ok = find.FindNextDevice()) {
        std::wstring path = Text(&CxDeviceFind::GetDevicePath, find);
        EXPECT_TRUE(seen.insert(path).second) << "listed twice";
        auto it = std::find_if(std::begin(devices), std::end(devices),
                               [&](const Named& d) { return _wcsicmp(d.device->Path().c_str(), path.c_str()) == 0; });
        ASSERT_NE(std::end(devices), it) << "not one of ours";
        const std::wstring& name = it->name;
        EXPECT_EQ(it->device->InstanceId(), Text(&CxDeviceFind::GetDeviceInstanceID, find));
        EXPECT_EQ(L"QV\\" + name + L"_HW", Text(&CxDeviceFind::GetDeviceHardwareID, find));
        EXPECT_EQ(L"Friendly " + name, Text(&CxDeviceFind::GetDeviceFriendlyName, find));
        EXPECT_EQ(L"Bay " + name, Text(&CxDeviceFind::GetDeviceLocationInfo, find));
        EXPECT_EQ(L"Description " + name, Text(&CxDeviceFind::GetDeviceDescription, find));
        GUID guid = {};
        find.GetClassGuid(&guid);
        EXPECT_TRUE(SameGuid(kPortsSetupClass, guid));
        find.GetDeviceGuid(&guid);
        EXPECT_TRUE(SameGuid(kFullClass, guid));
    }
    EXPECT_EQ(3u, seen.size());  // the unlinked device is not present
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
    std::wstring last = Text(&CxDeviceFind::GetDevicePath, find);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(0, find.FindNextDevice());
    find.Close();
    find.Close();
    EXPECT_EQ(0, find.FindNextDevice());
    EXPECT_EQ(last, Text(&CxDeviceFind::GetDevicePath, find));

    // A new find starts over.
    EXPECT_EQ(1, find.FindDevice(&kFullClass));
    EXPECT_TRUE(seen.count(Text(&CxDeviceFind::GetDevicePath, find)));
}

TEST(DeviceFind, MissingPropertiesReadEmptyAndBadStatesFail) {
    DeviceSpec bare;
    bare.interfaceClass = kBareClass;
    bare.setupClass = kPortsSetupClass;
    bare.name = L"QVBARE";
    DeviceSpec longName = Full(L"QVLONG", kEmptyClass);
    longName.friendlyName = std::wstring(300, L'n');
    SimDevice full(Full(L"QVFULL")), empty(bare), wide(longName);
    ASSERT_TRUE(full.Ok() && empty.Ok() && wide.Ok());

    CxDeviceFind find;
    EXPECT_EQ(L"", Text(&CxDeviceFind::GetDeviceFriendlyName, find));
    EXPECT_EQ(0, find.FindNextDevice());  // before any find
    ASSERT_EQ(1, find.FindDevice(&kFullClass));
    EXPECT_EQ(L"Friendly QVFULL", Text(&CxDeviceFind::GetDeviceFriendlyName, find));
    // The bare device has none of the properties: never the previous device's.
    ASSERT_EQ(1, find.FindDevice(&kBareClass));
    EXPECT_EQ(_wcsicmp(empty.Path().c_str(), Text(&CxDeviceFind::GetDevicePath, find).c_str()), 0);
    EXPECT_EQ(L"", Text(&CxDeviceFind::GetDeviceFriendlyName, find));
    EXPECT_EQ(L"", Text(&CxDeviceFind::GetDeviceHardwareID, find));
    EXPECT_EQ(L"", Text(&CxDeviceFind::GetDeviceLocationInfo, find));
    EXPECT_EQ(empty.InstanceId(), Text(&CxDeviceFind::GetDeviceInstanceID, find));
    // A property longer than the buffer is cut, terminated.
    ASSERT_EQ(1, find.FindDevice(&kEmptyClass));
    EXPECT_EQ(std::wstring(259, L'n'), Text(&CxDeviceFind::GetDeviceFriendlyName, find));

    // A class without devices: FALSE, the end of the list as the last error,
    // the last interface's values kept, the GUID taken.
    GUID none = {0x5a1c0e10, 0x7b2d, 0x4c61, {0x9e, 0x33, 0x10, 0x2f, 0x4b, 0x6a, 0x71, 0x7f}};
    EXPECT_EQ(0, find.FindDevice(&none));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
    EXPECT_EQ(std::wstring(259, L'n'), Text(&CxDeviceFind::GetDeviceFriendlyName, find));
    GUID guid = {};
    find.GetDeviceGuid(&guid);
    EXPECT_TRUE(SameGuid(none, guid));

    EXPECT_EQ(0, find.FindDevice(nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(0, find.FindNextDevice());
    find.GetDevicePath(nullptr);
    find.GetClassGuid(nullptr);
}

TEST(DeviceFind, CopiesShareTheSetAndTheOwnerDestroysItOnce) {
    SimDevice a(Full(L"QVCPYA")), b(Full(L"QVCPYB"));
    ASSERT_TRUE(a.Ok() && b.Ok());
    std::vector<HDEVINFO> destroyed;
    Hook<os::SetupDiDestroyDeviceInfoList> hook([&](HDEVINFO h) {
        destroyed.push_back(h);
        return hook.Real()(h);
    });
    {
        CxDeviceFind owner;
        ASSERT_EQ(1, owner.FindDevice(&kFullClass));
        {
            CxDeviceFind copy(owner);
            EXPECT_EQ(1, copy.FindNextDevice());  // walks the shared set on
            EXPECT_EQ(0, copy.FindNextDevice());
            copy.Close();
        }
        EXPECT_TRUE(destroyed.empty());
        CxDeviceFind copy2;
        copy2 = owner;
        owner.Close();
        EXPECT_EQ(1u, destroyed.size());
        std::wstring last = Text(&CxDeviceFind::GetDevicePath, copy2);
        EXPECT_EQ(0, copy2.FindNextDevice());  // the set is gone
        EXPECT_EQ(last, Text(&CxDeviceFind::GetDevicePath, copy2));
        // A copy that starts its own walk owns that set.
        ASSERT_EQ(1, copy2.FindDevice(&kFullClass));
    }
    EXPECT_EQ(2u, destroyed.size());
    EXPECT_NE(destroyed[0], INVALID_HANDLE_VALUE);
}

TEST(DeviceFind, ComPortInterfacesAreListedUnderTheirClass) {
    SimDevice port(Full(L"QVCOMPORT", QV_GUID_DEVINTERFACE_COMPORT));
    ASSERT_TRUE(port.Ok()) << port.Error();
    CxDeviceFind find;
    GUID comport = QV_GUID_DEVINTERFACE_COMPORT;
    bool found = false;
    for (int ok = find.FindDevice(&comport); ok; ok = find.FindNextDevice()) {
        if (_wcsicmp(port.Path().c_str(), Text(&CxDeviceFind::GetDevicePath, find).c_str()) == 0) {
            found = true;
            EXPECT_EQ(L"Friendly QVCOMPORT", Text(&CxDeviceFind::GetDeviceFriendlyName, find));
        }
    }
    EXPECT_TRUE(found);
}

TEST(DeviceMap, ListsBothMapsInRegistryOrder) {
    DeviceMapValue s1(L"SERIALCOMM", L"\\Device\\QvSerial1", L"COM41");
    DeviceMapValue s2(L"SERIALCOMM", L"\\Device\\QvSerial0", L"COM40");
    DeviceMapValue p1(L"PARALLEL PORTS", L"\\Device\\QvParallel0", L"LPT7");
    ASSERT_TRUE(s1.Ok() && s2.Ok() && p1.Ok());

    struct Map {
        const wchar_t* name;
        GUID guid;
    } maps[] = {{L"SERIALCOMM", QV_GUID_DEVINTERFACE_COMPORT},
                {L"PARALLEL PORTS", QV_GUID_DEVINTERFACE_PARALLEL}};
    for (auto& map : maps) {
        std::vector<std::wstring> expected = qvsim::ReadDeviceMap(map.name);
        CxDeviceMapFind find;
        std::vector<std::wstring> listed;
        wchar_t path[260];
        for (int ok = find.FindDeviceMap(&map.guid); ok; ok = find.FindNextDeviceMap()) {
            find.GetDevicePath(path);
            listed.push_back(path);
        }
        EXPECT_EQ(expected, listed) << map.name;
        for (int i = 0; i < 3; ++i) EXPECT_EQ(0, find.FindNextDeviceMap());
        find.Close();
        find.Close();
        find.GetDevicePath(path);
        EXPECT_EQ(listed.back(), path);
    }
    EXPECT_NE(qvsim::ReadDeviceMap(L"SERIALCOMM").end(),
              std::find(qvsim::ReadDeviceMap(L"SERIALCOMM").begin(),
                        qvsim::ReadDeviceMap(L"SERIALCOMM").end(), L"COM40"));
}

TEST(DeviceMap, OtherGuidsAreRefusedAndCloseTheWalk) {
    DeviceMapValue s1(L"SERIALCOMM", L"\\Device\\QvSerialR", L"COM42");
    ASSERT_TRUE(s1.Ok());
    std::vector<HKEY> closed;
    Hook<os::RegCloseKey> hook([&](HKEY h) {
        closed.push_back(h);
        return hook.Real()(h);
    });
    CxDeviceMapFind find;
    wchar_t path[260] = L"x";
    find.GetDevicePath(path);
    EXPECT_STREQ(L"", path);
    EXPECT_EQ(0, find.FindNextDeviceMap());  // before any find
    GUID serial = QV_GUID_DEVINTERFACE_COMPORT;
    ASSERT_EQ(1, find.FindDeviceMap(&serial));
    find.GetDevicePath(path);
    std::wstring first = path;

    GUID others[] = {kPortsSetupClass, kFullClass, GUID{}};
    for (auto& other : others) {
        ASSERT_EQ(1, find.FindDeviceMap(&serial));
        size_t before = closed.size();
        EXPECT_EQ(0, find.FindDeviceMap(&other));
        EXPECT_EQ(before + 1, closed.size());  // the open walk was closed
        EXPECT_EQ(0, find.FindNextDeviceMap());
        find.GetDevicePath(path);
        EXPECT_EQ(first, path);
    }
    ASSERT_EQ(1, find.FindDeviceMap(&serial));
    EXPECT_EQ(0, find.FindDeviceMap(nullptr));
    EXPECT_EQ(0, find.FindNextDeviceMap());
    find.GetDevicePath(nullptr);

    // Copies: the owner closes the key once; a copy's walk ends with it.
    size_t before = closed.size();
    {
        ASSERT_EQ(1, find.FindDeviceMap(&serial));
        CxDeviceMapFind copy(find);
        CxDeviceMapFind copy2;
        copy2 = find;
        copy2.Close();
        EXPECT_EQ(before, closed.size());
        find.Close();
        EXPECT_EQ(before + 1, closed.size());
        EXPECT_EQ(0, copy.FindNextDeviceMap());
    }
    EXPECT_EQ(before + 1, closed.size());
}

TEST(DeviceMap, OddValuesNeverOverrunAndDoNotEndTheWalk) {
    const wchar_t bare[] = {L'C', L'O', L'M', L'9', L'8'};  // no terminator
    std::wstring fits(259, L'f');
    std::wstring tooLong(300, L'x');
    std::wstring full(260, L'y');  // exactly the buffer, no room for the terminator
    DeviceMapValue v1(L"PARALLEL PORTS", L"\\Device\\QvOdd1", bare, sizeof bare, REG_SZ);
    DeviceMapValue v2(L"PARALLEL PORTS", L"\\Device\\QvOdd2", tooLong);
    DeviceMapValue v3(L"PARALLEL PORTS", L"\\Device\\QvOdd3", fits);
    DeviceMapValue v4(L"PARALLEL PORTS", L"\\Device\\QvOdd4", full.c_str(), 520, REG_SZ);
    DeviceMapValue v5(L"PARALLEL PORTS", L"\\Device\\QvOdd5", L"LPT9");
    ASSERT_TRUE(v1.Ok() && v2.Ok() && v3.Ok() && v4.Ok() && v5.Ok());

    CxDeviceMapFind find;
    GUID parallel = QV_GUID_DEVINTERFACE_PARALLEL;
    std::vector<std::wstring> listed;
    wchar_t path[262];
    for (int ok = find.FindDeviceMap(&parallel); ok; ok = find.FindNextDeviceMap()) {
        std::fill(std::begin(path), std::end(path), L'Z');
        find.GetDevicePath(path);
        EXPECT_EQ(L'Z', path[260]);
        listed.push_back(path);
    }
    auto has = [&](const std::wstring& s) {
        return std::find(listed.begin(), listed.end(), s) != listed.end();
    };
    EXPECT_TRUE(has(L"COM98"));
    EXPECT_TRUE(has(fits));
    EXPECT_TRUE(has(L"LPT9"));  // reached past the values that do not fit
    EXPECT_FALSE(has(tooLong.substr(0, 259)));
    EXPECT_FALSE(has(full.substr(0, 259)));

    // A key whose value count cannot be read gives FALSE.
    Hook<os::RegQueryInfoKeyW> fail([](HKEY, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                                       LPDWORD, LPDWORD, LPDWORD, LPDWORD, PFILETIME) -> LONG {
        return ERROR_ACCESS_DENIED;
    });
    EXPECT_EQ(0, find.FindDeviceMap(&parallel));
}
