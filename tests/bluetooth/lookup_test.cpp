// Answering pairing requests, the name-space lookup and the one-call search,
// against the simulated stack.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "quorvel/quorvel.h"
#include "tests/sim/sim_bluetooth.h"
#include "tests/support/trace_capture.h"

using qvsim::BthDevice;
using qvsim::BthText;

namespace {

constexpr BTH_ADDR kRadioA = 0x001122334455ull;
constexpr BTH_ADDR kRadioB = 0x00AABBCCDDEEull;

BthDevice Device(BTH_ADDR address, const std::wstring& name, bool remembered = false) {
    BthDevice d;
    d.address = address;
    d.name = name;
    d.classOfDevice = 0x240404;
    d.remembered = remembered;
    return d;
}

BLUETOOTH_DEVICE_INFO RecordFor(BTH_ADDR address) {
    BLUETOOTH_DEVICE_INFO info;
    std::memset(&info, 0, sizeof info);
    info.dwSize = sizeof info;
    info.Address.ullLong = address;
    return info;
}

class BluetoothAnswers : public testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(0, stack.DoubleReleases()); }
    qvsim::BluetoothStack stack;
};

}  // namespace

TEST_F(BluetoothAnswers, RequestsGetTheStoredPasskeyUntilUnregistered) {
    stack.AddRadio(kRadioA, L"radio", 0);
    BthDevice keyboard = Device(0x0C0000000001ull, L"keyboard");
    keyboard.passkey = L"0123456789abcde";
    stack.AddDevice(0, keyboard);
    CxBthRadio radio;
    ASSERT_EQ(1, radio.Open(BthText(kRadioA).c_str()));

    CxBthAuthenResponse response;
    BLUETOOTH_DEVICE_INFO record = RecordFor(keyboard.address), back;
    response.GetDeviceInfoStruct(&back);
    EXPECT_EQ(0u, back.dwSize);  // cleared by the constructor
    response.SetDeviceInfoStruct(&record);
    response.SetDeviceInfoStruct(nullptr);  // refused, keeps the record
    EXPECT_EQ(static_cast<unsigned long>(ERROR_INVALID_PARAMETER),
              response.RegisterForAuthentication(radio.GetSafeHandle(), L"0123456789abcdef"));
    EXPECT_EQ(static_cast<unsigned long>(ERROR_INVALID_PARAMETER),
              response.RegisterForAuthentication(radio.GetSafeHandle(), nullptr));
    EXPECT_EQ(0, stack.Registrations());
    ASSERT_EQ(0u, response.RegisterForAuthentication(radio.GetSafeHandle(), L"0123456789abcde"));
    EXPECT_EQ(1, stack.Registrations());

    auto request = stack.RequestAuthentication(keyboard.address);
    ASSERT_TRUE(request.called);
    EXPECT_NE(GetCurrentThreadId(), request.thread);
    EXPECT_TRUE(request.result);
    EXPECT_TRUE(request.record.fAuthenticated);
    EXPECT_EQ(L"0123456789abcde", stack.LastResponsePasskey());
    EXPECT_EQ(radio.GetSafeHandle(), stack.LastResponseRadio());
    response.GetDeviceInfoStruct(&back);
    EXPECT_EQ(0, std::memcmp(&record, &back, sizeof record));  // a reply leaves it alone

    // A failed registration keeps the one in force with its passkey.
    stack.SetRegisterResult(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(static_cast<unsigned long>(ERROR_NOT_ENOUGH_MEMORY),
              response.RegisterForAuthentication(radio.GetSafeHandle(), L"9999"));
    stack.SetRegisterResult(ERROR_SUCCESS);
    EXPECT_TRUE(stack.RequestAuthentication(keyboard.address).result);

    // A refused reply leaves the record unauthenticated. Registering anew
    // ends the earlier registration.
    EXPECT_EQ(0u, CxBthRadio::RemoveRemoteDevice(BthText(keyboard.address).c_str()));
    ASSERT_EQ(0u, response.RegisterForAuthentication(radio.GetSafeHandle(), L"wrong"));
    EXPECT_EQ(1, stack.Registrations());
    request = stack.RequestAuthentication(keyboard.address);
    ASSERT_TRUE(request.called);
    EXPECT_FALSE(request.result);
    EXPECT_FALSE(request.record.fAuthenticated);

    // A copy neither ends the registration nor hands over its handle.
    {
        CxBthAuthenResponse copy(response);
        EXPECT_FALSE(copy.UnregisterAuthentication());
    }
    EXPECT_EQ(1, stack.Registrations());

    EXPECT_TRUE(response.UnregisterAuthentication());
    EXPECT_EQ(0, stack.Registrations());
    EXPECT_FALSE(stack.RequestAuthentication(keyboard.address).called);
    EXPECT_FALSE(response.UnregisterAuthentication());  // NULL, never the released handle
    auto handed = stack.UnregisteredHandles();
    ASSERT_EQ(4u, handed.size());
    EXPECT_NE(nullptr, handed[0]);  // the registration replaced
    EXPECT_EQ(nullptr, handed[1]);  // the copy's
    EXPECT_NE(nullptr, handed[2]);
    EXPECT_EQ(nullptr, handed[3]);  // the second call's

    // Destroyed while registered: the registration ends with it.
    {
        CxBthAuthenResponse scoped;
        scoped.SetDeviceInfoStruct(&record);
        ASSERT_EQ(0u, scoped.RegisterForAuthentication(radio.GetSafeHandle(), L"0123456789abcde"));
        CxBthAuthenResponse assigned;
        assigned = scoped;
    }
    EXPECT_EQ(0, stack.Registrations());
    EXPECT_FALSE(stack.RequestAuthentication(keyboard.address).called);
    radio.Close();
    EXPECT_EQ(0, stack.OpenHandles());
}

TEST_F(BluetoothAnswers, NameSpaceLookupRetriesAShortBufferAndSurvivesMissingFields) {
    CxBthRemoteDeviceFind find;
    EXPECT_EQ(0, find.FindDevice());  // no radio: the lookup does not start
    EXPECT_EQ(0, find.FindNextDevice());
    BTH_DEV_INFO info;
    find.GetDeviceInfo(&info);
    EXPECT_EQ(0u, info.ulClassofDevice);
    EXPECT_STREQ(L"", info.szAddress);

    stack.AddRadio(kRadioA, L"radio", 0);
    stack.AddDevice(0, Device(0x0D0000000001ull, L"watch"));
    BthDevice bare = Device(0x0D0000000002ull, std::wstring(300, L'n'));  // longer than the record
    bare.lookupWithoutAddress = true;
    bare.lookupWithoutClass = true;
    stack.AddDevice(0, bare);
    BthDevice nameless = Device(0x0D0000000003ull, L"x");
    nameless.lookupWithoutName = true;
    stack.AddDevice(0, nameless);

    ASSERT_EQ(1, find.FindDevice());
    EXPECT_EQ(static_cast<DWORD>(LUP_CONTAINERS | LUP_FLUSHCACHE), stack.LookupBeginFlags());
    EXPECT_EQ(0x1FF8u, stack.LookupNextFlags());
    EXPECT_EQ(2, stack.LookupNextCalls());  // short buffer, then the needed size
    find.GetDeviceInfo(&info);
    EXPECT_EQ(BthText(0x0D0000000001ull), info.szAddress);
    EXPECT_STREQ(L"watch", info.szName);
    EXPECT_EQ(0x240404u, info.ulClassofDevice);

    ASSERT_EQ(1, find.FindNextDevice());
    find.GetDeviceInfo(&info);
    EXPECT_STREQ(L"", info.szAddress);
    EXPECT_EQ(std::wstring(247, L'n'), info.szName);
    EXPECT_EQ(0u, info.ulClassofDevice);
    ASSERT_EQ(1, find.FindNextDevice());
    find.GetDeviceInfo(&info);
    EXPECT_STREQ(L"", info.szName);
    EXPECT_EQ(BthText(0x0D0000000003ull), info.szAddress);
    EXPECT_EQ(0, find.FindNextDevice());
    EXPECT_EQ(WSA_E_NO_MORE, WSAGetLastError());
    EXPECT_EQ(0, find.FindNextDevice());
    find.GetDeviceInfo(&info);
    EXPECT_EQ(BthText(0x0D0000000003ull), info.szAddress);  // the last device stays

    // A restart ends the open lookup; copies leave the ending to the owner.
    ASSERT_EQ(1, find.FindDevice());
    EXPECT_EQ(1, stack.OpenHandles());
    {
        CxBthRemoteDeviceFind copy(find);
        ASSERT_EQ(1, copy.FindNextDevice());  // the shared lookup moves on
        copy.Close();
    }
    EXPECT_EQ(1, stack.OpenHandles());
    CxBthRemoteDeviceFind survivor;
    survivor = find;
    find.Close();
    find.Close();
    EXPECT_EQ(0, stack.OpenHandles());
    EXPECT_EQ(0, survivor.FindNextDevice());
    {
        CxBthRemoteDeviceFind scoped;
        ASSERT_EQ(1, scoped.FindDevice());
    }
    EXPECT_EQ(0, stack.OpenHandles());
}

TEST_F(BluetoothAnswers, OneCallSearchCountsSameNamedDevicesOverRadios) {
    qvtest::TraceCapture trace;
    wchar_t radioText[48] = L"untouched", deviceText[48] = L"untouched";
    unsigned char status = 0x7F;
    EXPECT_EQ(0, BthFindDevice(L"sensor", radioText, deviceText, 0, 0, &status));
    EXPECT_EQ(0x41, status);
    ASSERT_EQ(1u, trace.Lines().size());
    EXPECT_EQ("FindRadio : 0.\n", trace.Lines()[0]);
    EXPECT_STREQ(L"untouched", deviceText);

    stack.AddRadio(kRadioA, L"first", 0);
    stack.AddRadio(kRadioB, L"second", 0);
    stack.AddRadio(0x00CCCCCCCCCCull, L"third", 0);
    BthDevice away = Device(0x0E0000000001ull, L"Sensor", true);  // remembered, out of range
    away.inRange = false;
    stack.AddDevice(1, away);
    stack.AddDevice(1, Device(0x0E0000000002ull, L"lamp"));
    stack.AddDevice(1, Device(0x0E0000000003ull, L"SENSOR"));
    stack.AddDevice(2, Device(0x0E0000000004ull, L"sensor", true));

    trace.Clear();
    EXPECT_EQ(1, BthFindDevice(L"sensor", radioText, deviceText, 0, 0, &status));
    EXPECT_EQ(0x42, status);  // the first radio found nothing
    EXPECT_EQ(BthText(kRadioB), radioText);
    EXPECT_EQ(BthText(0x0E0000000001ull), deviceText);
    auto lines = trace.Lines();
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("FindRadio : 1.\n", lines[0]);
    EXPECT_EQ("FindRemoteDevice : 0.\n", lines[1]);
    EXPECT_EQ("FindRemoteDevice : 1.\n", lines[2]);
    EXPECT_EQ("GetRemoteDevice : Sensor, (0E:00:00:00:00:01).\n", lines[3]);

    struct Case {
        unsigned char index;
        int found;
        BTH_ADDR device, radio;
    } cases[] = {
        {1, 1, 0x0E0000000003ull, kRadioB},
        {2, 1, 0x0E0000000004ull, 0x00CCCCCCCCCCull},
        {0xFF, 1, 0x0E0000000001ull, kRadioB},
        {3, 0, 0, 0},
    };
    for (const Case& c : cases) {
        std::wcscpy(deviceText, L"untouched");
        EXPECT_EQ(c.found, BthFindDevice(L"sensor", radioText, deviceText, c.index, 0, nullptr));
        if (c.found) {
            EXPECT_EQ(BthText(c.device), deviceText) << int(c.index);
            EXPECT_EQ(BthText(c.radio), radioText) << int(c.index);
        } else {
            EXPECT_STREQ(L"untouched", deviceText);
        }
    }
    EXPECT_EQ(0, BthFindDevice(L"kettle", radioText, deviceText, 0, 0, &status));
    EXPECT_EQ(0x42, status);
    EXPECT_EQ(0, stack.OpenHandles());

    // Flushing forgets the remembered devices of each radio visited, up to
    // the one where the device turned up; later radios keep theirs.
    EXPECT_EQ(1, BthFindDevice(L"SENSOR", radioText, deviceText, 0, 1, &status));
    EXPECT_EQ(BthText(0x0E0000000003ull), deviceText);
    EXPECT_FALSE(stack.Remembered(0x0E0000000001ull));
    EXPECT_TRUE(stack.Remembered(0x0E0000000004ull));
    EXPECT_EQ(0, stack.OpenHandles());

    // Bad arguments fail at once.
    trace.Clear();
    EXPECT_EQ(0, BthFindDevice(nullptr, radioText, deviceText, 0, 0, &status));
    EXPECT_EQ(0, BthFindDevice(L"lamp", nullptr, deviceText, 0, 0, &status));
    EXPECT_EQ(0, BthFindDevice(L"lamp", radioText, nullptr, 0, 0, &status));
    EXPECT_EQ(0, status);
    EXPECT_TRUE(trace.Lines().empty());
}

TEST_F(BluetoothAnswers, OneCallSearchTraceOfALongNameIsCut) {
    stack.AddRadio(kRadioA, L"radio", 0);
    std::wstring name(247, L'z');
    stack.AddDevice(0, Device(0x0F0000000001ull, name));
    qvtest::TraceCapture trace;
    wchar_t radioText[48], deviceText[48];
    EXPECT_EQ(1, BthFindDevice(name.c_str(), radioText, deviceText, 0xFF, 0, nullptr));
    auto lines = trace.Matching("GetRemoteDevice : ");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(259u, lines[0].size());  // 260 with the terminator
    EXPECT_EQ("GetRemoteDevice : " + std::string(240, 'z'), lines[0].substr(0, 258));
    EXPECT_EQ('\n', lines[0].back());
}
