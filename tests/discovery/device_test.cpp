#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "quorvel/quorvel.h"
#include "sim/sim_devices.h"
#include "tests/support/os_hook.h"

namespace os = quorvel::os;
using qvsim::DeviceMapValue;
using qvsim::SimDevice;
using qvtest::Hook;

namespace {

// Interface classes of the tests' own, so the system's devices never mix in.
GUID TestClass(unsigned char n) {
    return {0x5a1c0e10, 0x7b2d, 0x4c61, {0x9e, 0x33, 0x10, 0x2f, 0x4b, 0x6a, 0x71, n}};
}

using Getter = void (CxDeviceFind::*)(wchar_t*);
std::wstring Text(CxDeviceFind& find, Getter getter = &CxDeviceFind::GetDevicePath) {
    wchar_t text[260] = L"junk";
    (find.*getter)(text);
    if (getter == &CxDeviceFind::GetDevicePath) CharLowerW(text);
    return text;
}

std::wstring Lower(std::wstring s) {
    CharLowerW(&s[0]);
    return s;
}

std::vector<std::wstring> WalkMap(CxDeviceMapFind& find, GUID guid) {
    std::vector<std::wstring> listed;
    wchar_t path[262];
    for (int ok = find.FindDeviceMap(&guid); ok; ok = find.FindNextDeviceMap()) {
        std::fill(std::begin(path), std::end(path), L'Z');
        find.GetDevicePath(path);
        EXPECT_EQ(L'Z', path[260]);
        listed.push_back(path);
    }
    return listed;
}

}  // namespace

TEST(DeviceFind, ListsEachPresentInterfaceWithItsOwnTexts) {
    GUID cls = TestClass(1), comport = QV_GUID_DEVINTERFACE_COMPORT;
    qvsim::DeviceDesc bare, hidden = qvsim::PortLikeDevice(L"QVHIDDEN", cls);
    bare.interfaceClass = cls;  // no properties at all
    bare.setupClass = qvsim::kPortsSetupClass;
    bare.name = L"QVDEVB";  // listed after QVDEVA, whose texts it must not show
    hidden.linked = false;
    SimDevice a(qvsim::PortLikeDevice(L"QVDEVA", cls)), b(bare), h(hidden),
        c(qvsim::PortLikeDevice(L"QVDEVC", cls)), port(qvsim::PortLikeDevice(L"QVCOM", comport));
    ASSERT_TRUE(a.Ok() && b.Ok() && c.Ok() && h.Ok() && port.Ok()) << a.Error();
    std::map<std::wstring, std::wstring> names = {
        {Lower(a.Path()), L"QVDEVA"}, {Lower(b.Path()), L""}, {Lower(c.Path()), L"QVDEVC"}};
    const std::pair<Getter, std::wstring> texts[] = {
        {&CxDeviceFind::GetDeviceHardwareID, L"QV\\"},
        {&CxDeviceFind::GetDeviceFriendlyName, L"Friendly "},
        {&CxDeviceFind::GetDeviceLocationInfo, L"Bay "},
        {&CxDeviceFind::GetDeviceDescription, L"Description "}};

    // Each device shows its own texts; the bare one's are empty, never those
    // of the device read before it. The unlinked one is not present.
    CxDeviceFind find;
    EXPECT_EQ(0, find.FindNextDevice());  // before any find
    std::map<std::wstring, int> seen;
    bool bareAfterOther = false;
    for (int ok = find.FindDevice(&cls); ok; ok = find.FindNextDevice()) {
        std::wstring path = Text(find);
        ASSERT_TRUE(names.count(path)) << "not one of ours, or not present";
        if (names[path].empty()) bareAfterOther = !seen.empty();
        ++seen[path];
        for (auto& text : texts) {
            EXPECT_EQ(names[path].empty() ? L"" : text.second + names[path],
                      Text(find, text.first));
        }
        GUID guid = {};
        find.GetClassGuid(&guid);
        EXPECT_TRUE(IsEqualGUID(qvsim::kPortsSetupClass, guid));
    }
    EXPECT_EQ((std::map<std::wstring, int>{
                  {Lower(a.Path()), 1}, {Lower(b.Path()), 1}, {Lower(c.Path()), 1}}),
              seen);
    EXPECT_TRUE(bareAfterOther);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
    std::wstring last = Text(find);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(0, find.FindNextDevice());
    find.Close();
    find.Close();
    EXPECT_EQ(0, find.FindNextDevice());
    EXPECT_EQ(last, Text(find));

    bool foundPort = false;  // the COM-port class lists ours among the system's
    for (int ok = find.FindDevice(&comport); ok; ok = find.FindNextDevice()) {
        if (Text(find) != Lower(port.Path())) continue;
        foundPort = true;
        EXPECT_EQ(port.InstanceId(), Text(find, &CxDeviceFind::GetDeviceInstanceID));
    }
    EXPECT_TRUE(foundPort);

    GUID none = TestClass(0x7f), guid = {};  // no device: FALSE, the last values kept
    EXPECT_EQ(0, find.FindDevice(&none));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
    EXPECT_FALSE(Text(find).empty());
    find.GetDeviceGuid(&guid);
    EXPECT_TRUE(IsEqualGUID(none, guid));
    EXPECT_EQ(0, find.FindDevice(nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    find.GetDevicePath(nullptr);
    find.GetClassGuid(nullptr);
}

TEST(DeviceFind, CopiesShareTheSetAndTheOwnerDestroysItOnce) {
    GUID cls = TestClass(3);
    SimDevice a(qvsim::PortLikeDevice(L"QVCPYA", cls)), b(qvsim::PortLikeDevice(L"QVCPYB", cls));
    ASSERT_TRUE(a.Ok() && b.Ok());
    int destroyed = 0;
    Hook<os::SetupDiDestroyDeviceInfoList> hook([&](HDEVINFO h) {
        ++destroyed;
        return hook.Real()(h);
    });
    {
        CxDeviceFind owner, copy2;
        ASSERT_EQ(1, owner.FindDevice(&cls));
        {
            CxDeviceFind copy(owner);
            EXPECT_EQ(1, copy.FindNextDevice());  // walks the shared set
            copy.Close();
        }
        copy2 = owner;
        EXPECT_EQ(0, destroyed);
        owner.Close();
        EXPECT_EQ(1, destroyed);
        std::wstring last = Text(copy2);
        EXPECT_EQ(0, copy2.FindNextDevice());  // the set is gone
        EXPECT_EQ(last, Text(copy2));
        ASSERT_EQ(1, copy2.FindDevice(&cls));  // a walk of its own, its own set
    }
    EXPECT_EQ(2, destroyed);
}

TEST(DeviceMap, ListsBothMapsAndRefusesOtherGuids) {
    DeviceMapValue s1(L"SERIALCOMM", L"\\Device\\QvSerial1", L"COM41"),
        s2(L"SERIALCOMM", L"\\Device\\QvSerial0", L"COM40"),
        p1(L"PARALLEL PORTS", L"\\Device\\QvParallel0", L"LPT7");
    ASSERT_TRUE(s1.Ok() && s2.Ok() && p1.Ok());
    int closed = 0;
    Hook<os::RegCloseKey> hook([&](HKEY h) {
        ++closed;
        return hook.Real()(h);
    });

    CxDeviceMapFind find;
    wchar_t path[260] = L"junk";
    find.GetDevicePath(path);
    EXPECT_STREQ(L"", path);
    EXPECT_EQ(0, find.FindNextDeviceMap());  // before any find
    EXPECT_EQ(qvsim::ReadDeviceMap(L"PARALLEL PORTS"),
              WalkMap(find, QV_GUID_DEVINTERFACE_PARALLEL));
    std::vector<std::wstring> serial = WalkMap(find, QV_GUID_DEVINTERFACE_COMPORT);
    EXPECT_EQ(qvsim::ReadDeviceMap(L"SERIALCOMM"), serial);
    EXPECT_NE(serial.end(), std::find(serial.begin(), serial.end(), L"COM40"));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(0, find.FindNextDeviceMap());
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());

    // Any other GUID closes the open walk and fails; the last name stays.
    GUID comport = QV_GUID_DEVINTERFACE_COMPORT;
    for (GUID other : {qvsim::kPortsSetupClass, TestClass(1), GUID{}}) {
        ASSERT_EQ(1, find.FindDeviceMap(&comport));
        int before = closed;
        EXPECT_EQ(0, find.FindDeviceMap(&other));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
        EXPECT_EQ(before + 1, closed);
        EXPECT_EQ(0, find.FindNextDeviceMap());
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
        find.GetDevicePath(path);
        EXPECT_EQ(serial.front(), path);
    }
    ASSERT_EQ(1, find.FindDeviceMap(&comport));
    EXPECT_EQ(0, find.FindDeviceMap(nullptr));
    EXPECT_EQ(0, find.FindNextDeviceMap());
    find.GetDevicePath(nullptr);

    int before = closed;  // copies: the owner closes the key, once
    {
        ASSERT_EQ(1, find.FindDeviceMap(&comport));
        CxDeviceMapFind copy(find), copy2;
        copy2 = find;
        copy2.Close();
        EXPECT_EQ(before, closed);
        find.Close();
        EXPECT_EQ(0, copy.FindNextDeviceMap());
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    }
    EXPECT_EQ(before + 1, closed);
}

TEST(DeviceMap, OddValuesNeverOverrunAndDoNotEndTheWalk) {
    // No terminator: the registry counts one in when the character after the
    // data is a NUL, so the character after it here is not.
    const wchar_t bare[] = {L'C', L'O', L'M', L'9', L'8', L'x'};
    // full: 260 characters stored without a terminator (the 261st keeps the
    // registry from adding one).
    std::wstring fits(259, L'f'), full(261, L'y');
    DeviceMapValue v1(L"PARALLEL PORTS", L"\\Device\\QvOdd1", bare, 5 * sizeof(wchar_t), REG_SZ),
        v2(L"PARALLEL PORTS", L"\\Device\\QvOdd2", std::wstring(300, L'x')),
        v3(L"PARALLEL PORTS", L"\\Device\\QvOdd3", fits),
        v4(L"PARALLEL PORTS", L"\\Device\\QvOdd4", full.c_str(), 520, REG_SZ),
        v5(L"PARALLEL PORTS", L"\\Device\\QvOdd5", L"LPT9");
    ASSERT_TRUE(v1.Ok() && v2.Ok() && v3.Ok() && v4.Ok() && v5.Ok());
    CxDeviceMapFind find;  // values that do not fit are skipped; the walk goes on
    {
        // Non-zero bytes after each value's data: a value is read only as
        // far as its own length, never to the end of the buffer.
        qvsim::RegistryFiller filler;
        EXPECT_EQ((std::vector<std::wstring>{L"COM98", fits, L"LPT9"}),
                  WalkMap(find, QV_GUID_DEVINTERFACE_PARALLEL));
        EXPECT_GT(filler.Filled(), 0);
    }

    Hook<os::RegQueryInfoKeyW> fail([](HKEY, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                                       LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                                       PFILETIME) -> LONG { return ERROR_ACCESS_DENIED; });
    GUID parallel = QV_GUID_DEVINTERFACE_PARALLEL;
    EXPECT_EQ(0, find.FindDeviceMap(&parallel));
}
