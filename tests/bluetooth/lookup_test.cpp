// Answering pairing requests, the name-space lookup and the one-call search,
// against the simulated stack.
#include <gtest/gtest.h>

#include "tests/bluetooth/bth_fixture.h"
#include "tests/support/os_hook.h"
#include "tests/support/trace_capture.h"

TEST_F(Bluetooth, RequestsGetTheStoredPasskeyUntilTheRegistrationEnds) {
    stack.AddRadio(kRadioA, L"radio", 0);
    BthDevice keyboard = Device(kPhone, L"keyboard", false, true);
    keyboard.passkey = L"0123456789abcde";
    stack.AddDevice(0, keyboard);
    CxBthRadio radio;
    ASSERT_EQ(1, radio.Open(Text(kRadioA).c_str()));
    HANDLE hRadio = radio.GetSafeHandle();
    BLUETOOTH_DEVICE_INFO record{}, back;
    record.dwSize = sizeof record;
    record.Address.ullLong = kPhone;

    struct Peek : CxBthAuthenResponse {
        using CxBthAuthenResponse::m_hAuthRegistration;
    } response;
    response.SetDeviceInfoStruct(&record);
    const unsigned long kRefused = ERROR_INVALID_PARAMETER;
    EXPECT_EQ(kRefused, response.RegisterForAuthentication(hRadio, L"0123456789abcdef"));
    EXPECT_EQ(kRefused, response.RegisterForAuthentication(hRadio, nullptr));
    ASSERT_EQ(0u, response.RegisterForAuthentication(hRadio, L"0123456789abcde"));
    auto request = stack.RequestAuthentication(kPhone);
    ASSERT_TRUE(request.called);
    EXPECT_NE(GetCurrentThreadId(), request.thread);
    EXPECT_TRUE(request.result && request.record.fAuthenticated);
    EXPECT_EQ(L"0123456789abcde", stack.LastResponsePasskey());
    EXPECT_EQ(hRadio, stack.LastResponseRadio());
    response.GetDeviceInfoStruct(&back);
    EXPECT_EQ(0, std::memcmp(&record, &back, sizeof record));  // a reply leaves it alone

    // A failed registration keeps the one in force; a new one replaces it.
    stack.SetRegisterResult(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(8u, response.RegisterForAuthentication(hRadio, L"9999"));
    stack.SetRegisterResult(ERROR_SUCCESS);
    EXPECT_TRUE(stack.RequestAuthentication(kPhone).result);
    EXPECT_EQ(0u, CxBthRadio::RemoveRemoteDevice(Text(kPhone).c_str()));  // unpaired again
    ASSERT_EQ(0u, response.RegisterForAuthentication(hRadio, L"wrong"));
    EXPECT_EQ(1, stack.Registrations());
    request = stack.RequestAuthentication(kPhone);
    EXPECT_TRUE(request.called && !request.result && !request.record.fAuthenticated);

    { EXPECT_FALSE(CxBthAuthenResponse(response).UnregisterAuthentication()); }  // a copy's: NULL
    EXPECT_EQ(1, stack.Registrations());
    EXPECT_TRUE(response.UnregisterAuthentication());
    EXPECT_FALSE(stack.RequestAuthentication(kPhone).called);
    EXPECT_EQ(nullptr, response.m_hAuthRegistration);  // not kept for a subclass either
    EXPECT_FALSE(response.UnregisterAuthentication());  // never the released handle again
    auto handed = stack.UnregisteredHandles();
    ASSERT_EQ(4u, handed.size());
    EXPECT_TRUE(handed[0] && !handed[1] && handed[2] && !handed[3]);

    {  // destroyed while registered: the registration ends with it
        CxBthAuthenResponse scoped, assigned;
        scoped.SetDeviceInfoStruct(&record);
        ASSERT_EQ(0u, scoped.RegisterForAuthentication(hRadio, L"1"));
        assigned = scoped;
    }
    EXPECT_EQ(0, stack.Registrations());
    radio.Close();
}

TEST_F(Bluetooth, NameSpaceLookupRetriesAShortBufferAndSurvivesMissingFields) {
    CxBthRemoteDeviceFind find;
    EXPECT_EQ(0, find.FindDevice());  // no radio: no lookup
    EXPECT_EQ(0, find.FindNextDevice());
    EXPECT_TRUE(IsZero(Info(find)));
    stack.AddRadio(kRadioA, L"radio", 0);
    stack.AddDevice(0, Device(kPhone, L"watch", false, true));
    BthDevice bare = Device(kHeadset, std::wstring(300, L'n'), false, true);
    bare.lookupWithoutAddress = bare.lookupWithoutClass = true;
    stack.AddDevice(0, bare);
    BthDevice unaddressed = Device(0x0A0B0C0D0E04ull, L"tag", false, true);
    unaddressed.lookupWithoutSockaddr = true;
    stack.AddDevice(0, unaddressed);
    BthDevice nameless = Device(kPrinter, L"x", true, false);
    nameless.lookupWithoutName = true;
    stack.AddDevice(0, nameless);

    ASSERT_EQ(1, find.FindDevice());
    EXPECT_EQ(0x1002u, stack.LookupBeginFlags());
    EXPECT_EQ(0x1FF8u, stack.LookupNextFlags());
    EXPECT_EQ(2, stack.LookupNextCalls());  // short buffer, then the size asked for
    EXPECT_EQ(Text(kPhone), Info(find).szAddress);
    EXPECT_STREQ(L"watch", Info(find).szName);
    EXPECT_EQ(0x5A020Cu, Info(find).ulClassofDevice);
    ASSERT_EQ(1, find.FindNextDevice());
    EXPECT_STREQ(L"", Info(find).szAddress);
    EXPECT_EQ(std::wstring(247, L'n'), Info(find).szName);
    EXPECT_EQ(0u, Info(find).ulClassofDevice);
    ASSERT_EQ(1, find.FindNextDevice());
    EXPECT_STREQ(L"", Info(find).szAddress);  // an entry without its socket address
    EXPECT_STREQ(L"tag", Info(find).szName);
    ASSERT_EQ(1, find.FindNextDevice());
    EXPECT_STREQ(L"", Info(find).szName);
    EXPECT_EQ(0, find.FindNextDevice());
    EXPECT_EQ(WSA_E_NO_MORE, WSAGetLastError());
    EXPECT_EQ(0, find.FindNextDevice());
    EXPECT_EQ(Text(kPrinter), Info(find).szAddress);  // the last device stays

    ASSERT_EQ(1, find.FindDevice());  // a restart ends the open lookup
    EXPECT_EQ(1, stack.OpenHandles());
    {
        CxBthRemoteDeviceFind copy(find);
        EXPECT_EQ(1, copy.FindNextDevice());  // the shared lookup moves on
    }
    EXPECT_EQ(1, stack.OpenHandles());  // the copy's end left the owner's lookup open
    EXPECT_EQ(1, find.FindNextDevice());
    CxBthRemoteDeviceFind survivor;
    survivor = find;
    find.Close();
    find.Close();
    // The copy fails as closed and never hands the ended lookup's handle
    // (which the platform may give out again) to the platform.
    int calls = stack.LookupNextCalls();
    SetLastError(0);
    EXPECT_EQ(0, stack.OpenHandles() + survivor.FindNextDevice());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(calls, stack.LookupNextCalls());
    { CxBthRemoteDeviceFind().FindDevice(); }  // the destructor ends it
}

TEST_F(Bluetooth, OneCallSearchCountsSameNamedDevicesOverRadios) {
    qvtest::TraceCapture trace;
    wchar_t radio[48] = L"-", device[48] = L"-";
    unsigned char status = 0x7F;
    EXPECT_EQ(0, BthFindDevice(L"sensor", radio, device, 0, 0, &status));
    EXPECT_EQ(0x41, status);
    ASSERT_EQ(1u, trace.Lines().size());
    EXPECT_EQ("FindRadio : 0.\n", trace.Lines()[0]);

    TwoRadios();
    const BTH_ADDR kRadioC = 0x00CCCCCCCCCCull, kS1 = 0x0E01, kS2 = 0x0E03, kS3 = 0x0E04;
    stack.AddRadio(kRadioC, L"third", 0);
    stack.AddDevice(1, Device(kS1, L"Sensor", true, false));  // remembered, out of range
    stack.AddDevice(1, Device(0x0E02, L"lamp", false, true));
    stack.AddDevice(1, Device(kS2, L"SENSOR", false, true));
    stack.AddDevice(2, Device(kS3, L"sensor", true, true));
    trace.Clear();
    EXPECT_EQ(1, BthFindDevice(L"sensor", radio, device, 0, 0, &status));
    EXPECT_EQ(0x42, status);  // the first radio found nothing
    auto lines = trace.Lines();
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("FindRemoteDevice : 0.\n", lines[1]);
    EXPECT_EQ("FindRemoteDevice : 1.\n", lines[2]);
    EXPECT_EQ("GetRemoteDevice : Sensor, (00:00:00:00:0E:01).\n", lines[3]);

    struct {
        unsigned char index;
        BTH_ADDR device, radio;
    } cases[] = {{0, kS1, kRadioB}, {1, kS2, kRadioB}, {2, kS3, kRadioC}, {0xFF, kS1, kRadioB}, {3, 0, 0}};
    for (const auto& c : cases) {
        std::wcscpy(device, L"-");
        EXPECT_EQ(c.device ? 1 : 0, BthFindDevice(L"sensor", radio, device, c.index, 0, nullptr));
        EXPECT_EQ(c.device ? Text(c.device) : L"-", device) << int(c.index);
        if (c.device) {
            EXPECT_EQ(Text(c.radio), radio) << int(c.index);
        }
    }

    {
        // A search that finds nothing keeps its last step's error (the radio
        // walk's end), whatever the clean-up after it sets.
        qvtest::Hook<quorvel::os::BluetoothFindRadioClose> noisy([&](HBLUETOOTH_RADIO_FIND h) {
            BOOL bClosed = noisy.Real()(h);
            SetLastError(ERROR_GEN_FAILURE);
            return bClosed;
        });
        SetLastError(0);
        EXPECT_EQ(0, BthFindDevice(L"sensor", radio, device, 3, 0, nullptr));
        EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
    }

    // Flushing forgets the remembered devices of every radio visited, up to
    // the one where the device turned up.
    EXPECT_EQ(1, BthFindDevice(L"SENSOR", radio, device, 0, 1, &status));
    EXPECT_EQ(Text(kS2), device);
    EXPECT_FALSE(stack.Remembered(kS1));
    EXPECT_TRUE(stack.Remembered(kS3));

    trace.Clear();
    SetLastError(0);
    EXPECT_EQ(0, BthFindDevice(nullptr, radio, device, 0, 0, &status));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(0, BthFindDevice(L"lamp", nullptr, device, 0, 0, &status));
    EXPECT_EQ(0, BthFindDevice(L"lamp", radio, nullptr, 0, 0, &status));
    EXPECT_EQ(0, status);
    EXPECT_TRUE(trace.Lines().empty());

    // A 247-character name still gives its trace line, cut to fit.
    std::wstring name(247, L'z');
    stack.AddDevice(0, Device(0x0F01, name, false, true));
    trace.Clear();
    EXPECT_EQ(1, BthFindDevice(name.c_str(), radio, device, 0xFF, 0, nullptr));
    lines = trace.Matching("GetRemoteDevice : ");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("GetRemoteDevice : " + std::string(240, 'z') + "\n", lines[0]);  // 260 with the NUL
}
