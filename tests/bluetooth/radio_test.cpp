// Radios, the radio object's inquiry, pairing from this side and the Serial
// Port Profile, against the simulated stack.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "quorvel/quorvel.h"
#include "platform/os.h"
#include "tests/sim/sim_bluetooth.h"

using qvsim::BthDevice;
using qvsim::BthText;

namespace {

constexpr BTH_ADDR kRadioA = 0x001122334455ull;
constexpr BTH_ADDR kRadioB = 0x00AABBCCDDEEull;
constexpr BTH_ADDR kPhone = 0x0A0B0C0D0E01ull;
constexpr BTH_ADDR kHeadset = 0x0A0B0C0D0E02ull;
constexpr BTH_ADDR kPrinter = 0x0A0B0C0D0E03ull;

BthDevice Device(BTH_ADDR address, const wchar_t* name, bool remembered, bool inRange) {
    BthDevice d;
    d.address = address;
    d.name = name;
    d.classOfDevice = 0x5A020C;
    d.remembered = remembered;
    d.paired = remembered;
    d.inRange = inRange;
    return d;
}

bool IsZero(const BTH_DEV_INFO& info) {
    BTH_DEV_INFO zero;
    std::memset(&zero, 0, sizeof zero);
    return std::memcmp(&info, &zero, sizeof info) == 0;
}

class Bluetooth : public testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(0, stack.DoubleReleases());
    }
    void TwoRadios() {
        stack.AddRadio(kRadioA, L"first radio", 0x1C010C);
        stack.AddRadio(kRadioB, L"second radio", 0x2C010C);
    }
    qvsim::BluetoothStack stack;
};

}  // namespace

TEST_F(Bluetooth, RadioWalkKeepsOrClosesHandlesAndReleasesEverything) {
    {
        CxBthRadioFind none;
        EXPECT_EQ(0, none.FindRadio(0));
        EXPECT_EQ(nullptr, none.GetRadioHandle());
        EXPECT_EQ(0, none.FindNextRadio(0));
        BTH_DEV_INFO info;
        std::memset(&info, 0xCC, sizeof info);
        none.GetDeviceInfo(&info);
        EXPECT_TRUE(IsZero(info));
        none.GetDeviceInfo(nullptr);  // refused, no crash
    }
    TwoRadios();
    {
        CxBthRadioFind find;
        ASSERT_EQ(1, find.FindRadio(1));
        EXPECT_EQ(nullptr, find.GetRadioHandle());
        EXPECT_EQ(0, stack.OpenRadioHandles());
        BTH_DEV_INFO info;
        find.GetDeviceInfo(&info);
        EXPECT_EQ(BthText(kRadioA), info.szAddress);
        EXPECT_STREQ(L"first radio", info.szName);
        EXPECT_EQ(0x1C010Cu, info.ulClassofDevice);

        ASSERT_EQ(1, find.FindNextRadio(0));
        EXPECT_NE(nullptr, find.GetRadioHandle());
        EXPECT_EQ(1, stack.OpenRadioHandles());
        find.GetDeviceInfo(&info);
        EXPECT_STREQ(L"second radio", info.szName);
        EXPECT_EQ(0, find.FindNextRadio(0));  // the end: the last radio's handle is gone
        EXPECT_EQ(nullptr, find.GetRadioHandle());
        EXPECT_EQ(0, stack.OpenRadioHandles());
        find.GetDeviceInfo(&info);
        EXPECT_STREQ(L"second radio", info.szName);

        // A restart releases the first walk before the second.
        ASSERT_EQ(1, find.FindRadio(0));
        ASSERT_EQ(1, find.FindRadio(0));
        EXPECT_EQ(2, stack.OpenHandles());  // one walk, one radio
        find.GetDeviceInfo(&info);
        EXPECT_STREQ(L"first radio", info.szName);
        for (DWORD size : stack.RadioParamSizes()) EXPECT_EQ(sizeof(BLUETOOTH_FIND_RADIO_PARAMS), size);

        // Copies share the handles; only the walk that opened them releases them.
        {
            CxBthRadioFind copy(find);
            EXPECT_EQ(find.GetRadioHandle(), copy.GetRadioHandle());
            CxBthRadioFind assigned;
            assigned = find;
            assigned.FindRadioClose();
        }
        EXPECT_EQ(2, stack.OpenHandles());
        CxBthRadioFind survivor(find);
        find.FindRadioClose();
        EXPECT_EQ(0, stack.OpenHandles());
        EXPECT_EQ(nullptr, survivor.GetRadioHandle());  // the owner has released it
        EXPECT_EQ(0, survivor.FindNextRadio(0));
        ASSERT_EQ(1, find.FindRadio(0));
    }
    EXPECT_EQ(0, stack.OpenHandles());  // the destructor released the walk
}

TEST_F(Bluetooth, RadioObjectOpensByAddressAndDecidesWhatOpenReleases) {
    CxBthRadio radio;
    EXPECT_EQ(0, radio.Open(BthText(kRadioA).c_str()));  // no radio at all
    EXPECT_EQ(nullptr, radio.GetSafeHandle());
    TwoRadios();
    EXPECT_EQ(0, radio.Open(L"(00:00:00:00:00:09)"));
    EXPECT_EQ(0, radio.Open(L"not an address"));
    EXPECT_EQ(0, radio.Open(nullptr));
    EXPECT_EQ(nullptr, radio.GetSafeHandle());
    EXPECT_EQ(0, stack.OpenHandles());

    ASSERT_EQ(1, radio.Open(BthText(kRadioB).c_str()));
    ASSERT_NE(nullptr, radio.GetSafeHandle());
    BLUETOOTH_RADIO_INFO info;
    std::memset(&info, 0, sizeof info);
    info.dwSize = sizeof info;
    EXPECT_EQ(0u, radio.GetRadioInfo(&info));
    EXPECT_EQ(kRadioB, info.address.ullLong);
    EXPECT_EQ(1, stack.OpenHandles());  // the search that found it is closed

    // Open again: the radio this object opened is closed first.
    ASSERT_EQ(1, radio.Open((BthText(kRadioA) + L":7").c_str()));
    EXPECT_EQ(1, stack.OpenRadioHandles());
    EXPECT_EQ(1, radio.EnableIncomingConnections(1));
    EXPECT_EQ(1, radio.EnableDiscovery(1));
    EXPECT_TRUE(stack.Discoverable(0));
    EXPECT_TRUE(stack.Connectable(0));
    EXPECT_FALSE(stack.Discoverable(1));
    radio.Close();
    EXPECT_EQ(0, stack.OpenHandles());
    EXPECT_EQ(nullptr, radio.GetSafeHandle());

    // A lent radio is only dropped by Open; its lender closes it.
    CxBthRadioFind find;
    ASSERT_EQ(1, find.FindRadio(0));
    radio.Attach(find.GetRadioHandle());
    ASSERT_EQ(1, radio.Open(BthText(kRadioB).c_str()));
    EXPECT_EQ(2, stack.OpenRadioHandles());
    {
        CxBthRadio copy(radio);  // a copy never counts as having opened it
        EXPECT_EQ(0, copy.Open(L"junk"));
    }  // and neither destructor releases anything
    EXPECT_EQ(2, stack.OpenRadioHandles());
    radio.Close();
    find.FindRadioClose();
    EXPECT_EQ(0, stack.OpenHandles());
}

TEST_F(Bluetooth, InquiryWithAndWithoutForgettingRememberedDevices) {
    TwoRadios();
    stack.AddDevice(0, Device(kPhone, L"phone", true, false));     // remembered, away
    stack.AddDevice(0, Device(kHeadset, L"headset", false, true));  // new, in range
    stack.AddDevice(0, Device(kPrinter, L"printer", false, false));  // new, away
    CxBthRadio radio;
    BTH_DEV_INFO info;
    radio.GetRemoteDeviceInfo(&info);
    EXPECT_TRUE(IsZero(info));
    EXPECT_EQ(0, radio.FindNextRemoteDevice());  // no search
    ASSERT_EQ(1, radio.Open(BthText(kRadioA).c_str()));

    ASSERT_EQ(1, radio.FindRemoteDevice(0));
    radio.GetRemoteDeviceInfo(&info);
    EXPECT_EQ(BthText(kPhone), info.szAddress);
    EXPECT_STREQ(L"phone", info.szName);
    EXPECT_EQ(0x5A020Cu, info.ulClassofDevice);
    EXPECT_EQ(1, radio.IsRemoteDeviceAuthenticated());
    BLUETOOTH_DEVICE_INFO raw;
    radio.GetRemoteDeviceInfoStruct(&raw);
    EXPECT_EQ(kPhone, raw.Address.ullLong);
    EXPECT_TRUE(raw.fRemembered);
    ASSERT_EQ(1, radio.FindNextRemoteDevice());
    EXPECT_EQ(0, radio.IsRemoteDeviceAuthenticated());
    EXPECT_EQ(0, radio.FindNextRemoteDevice());
    EXPECT_EQ(0, radio.FindNextRemoteDevice());
    radio.GetRemoteDeviceInfo(&info);
    EXPECT_STREQ(L"headset", info.szName);  // the last device stays

    // A new search while one is open ends the open one.
    ASSERT_EQ(1, radio.FindRemoteDevice(0));
    EXPECT_EQ(2, stack.OpenHandles());  // radio and one search

    auto searches = stack.Searches();
    ASSERT_EQ(2u, searches.size());
    const BLUETOOTH_DEVICE_SEARCH_PARAMS& p = searches[0];
    EXPECT_EQ(sizeof(BLUETOOTH_DEVICE_SEARCH_PARAMS), p.dwSize);
    EXPECT_FALSE(p.fReturnAuthenticated);
    EXPECT_TRUE(p.fReturnRemembered);
    EXPECT_TRUE(p.fReturnUnknown);
    EXPECT_FALSE(p.fReturnConnected);
    EXPECT_TRUE(p.fIssueInquiry);
    EXPECT_EQ(5, p.cTimeoutMultiplier);
    EXPECT_EQ(radio.GetSafeHandle(), p.hRadio);

    // Flushing forgets the remembered devices first, paired ones too.
    ASSERT_EQ(1, radio.FindRemoteDevice(1));
    EXPECT_FALSE(stack.Remembered(kPhone));
    EXPECT_FALSE(stack.Paired(kPhone));
    radio.GetRemoteDeviceInfo(&info);
    EXPECT_STREQ(L"headset", info.szName);
    EXPECT_EQ(0, radio.FindNextRemoteDevice());
    searches = stack.Searches();
    ASSERT_EQ(4u, searches.size());
    const BLUETOOTH_DEVICE_SEARCH_PARAMS& flush = searches[2];
    EXPECT_TRUE(flush.fReturnRemembered);
    EXPECT_FALSE(flush.fIssueInquiry || flush.fReturnUnknown || flush.fReturnAuthenticated);
    EXPECT_FALSE(searches[3].fReturnRemembered);
    EXPECT_TRUE(searches[3].fIssueInquiry);
    radio.FindRemoteDeviceClose();
    radio.FindRemoteDeviceClose();

    // The other radio sees nothing: 0, and the record keeps what it had.
    CxBthRadio other;
    ASSERT_EQ(1, other.Open(BthText(kRadioB).c_str()));
    EXPECT_EQ(0, other.FindRemoteDevice(0));
    other.GetRemoteDeviceInfo(&info);
    EXPECT_TRUE(IsZero(info));
    other.Close();
    radio.Close();
    EXPECT_EQ(0, stack.OpenHandles());
}

TEST_F(Bluetooth, PairingFromThisSideRetriesATimeOutOnce) {
    TwoRadios();
    BthDevice phone = Device(kPhone, L"phone", false, true);
    stack.AddDevice(0, phone);
    const std::wstring radioA = BthText(kRadioA), phoneText = BthText(kPhone);

    EXPECT_EQ(1, BthAuthenDevice(radioA.c_str(), phoneText.c_str(), L"1234"));
    EXPECT_EQ(1, stack.AuthenticateCalls(kPhone));
    EXPECT_EQ(L"1234", stack.LastPasskey());
    EXPECT_EQ(4u, stack.LastPasskeyLength());
    EXPECT_TRUE(stack.Paired(kPhone));
    EXPECT_EQ(0, stack.OpenHandles());  // the radio was closed again

    struct Case {
        std::vector<DWORD> answers;
        int result;
        int calls;
    } cases[] = {
        {{WAIT_TIMEOUT, ERROR_SUCCESS}, 1, 2},
        {{WAIT_TIMEOUT, ERROR_NO_MORE_ITEMS}, 0, 2},  // 259 only counts on the first attempt
        {{WAIT_TIMEOUT, WAIT_TIMEOUT}, 0, 2},
        {{ERROR_NO_MORE_ITEMS}, 1, 1},
        {{ERROR_NOT_AUTHENTICATED}, 0, 1},
    };
    BTH_ADDR address = 0x0B0000000001ull;
    for (const Case& c : cases) {
        BthDevice d = Device(++address, L"dev", false, true);
        d.authAnswers = c.answers;
        stack.AddDevice(1, d);
        EXPECT_EQ(c.result, BthAuthenDevice(BthText(kRadioB).c_str(), BthText(address).c_str(), L"0000"))
            << c.answers[0];
        EXPECT_EQ(c.calls, stack.AuthenticateCalls(address)) << c.answers[0];
    }

    // No attempt through a radio that is not there, nor with a bad passkey.
    int before = stack.AuthenticateCalls();
    EXPECT_EQ(0, BthAuthenDevice(L"(00:00:00:00:00:09)", phoneText.c_str(), L"1234"));
    EXPECT_EQ(0, BthAuthenDevice(radioA.c_str(), phoneText.c_str(), L"0123456789abcdef"));
    EXPECT_EQ(0, BthAuthenDevice(radioA.c_str(), phoneText.c_str(), nullptr));
    EXPECT_EQ(0, BthAuthenDevice(nullptr, phoneText.c_str(), L"1"));
    EXPECT_EQ(before, stack.AuthenticateCalls());

    // The radio object: a 15-character passkey goes whole; longer ones and
    // lengths beyond the buffer are refused before the platform sees them.
    CxBthRadio radio;
    ASSERT_EQ(1, radio.Open(radioA.c_str()));
    EXPECT_EQ(0u, radio.AuthenticateRemoteDevice(phoneText.c_str(), L"0123456789abcde", 15));
    EXPECT_EQ(L"0123456789abcde", stack.LastPasskey());
    before = stack.AuthenticateCalls();
    EXPECT_EQ(static_cast<unsigned long>(ERROR_INVALID_PARAMETER),
              radio.AuthenticateRemoteDevice(phoneText.c_str(), L"0123456789abcdef", 16));
    EXPECT_EQ(static_cast<unsigned long>(ERROR_INVALID_PARAMETER),
              radio.AuthenticateRemoteDevice(phoneText.c_str(), L"12", 4000));
    EXPECT_EQ(static_cast<unsigned long>(ERROR_INVALID_PARAMETER),
              radio.AuthenticateRemoteDevice(L"12", 100));
    EXPECT_EQ(static_cast<unsigned long>(ERROR_INVALID_PARAMETER),
              radio.AuthenticateRemoteDevice(nullptr, L"12", 2));
    EXPECT_EQ(before, stack.AuthenticateCalls());

    // The current device of a search is authenticated through the object's record.
    ASSERT_EQ(1, radio.FindRemoteDevice(0));
    EXPECT_EQ(0u, radio.AuthenticateRemoteDevice(L"42", 2));
    EXPECT_EQ(1, radio.IsRemoteDeviceAuthenticated());
    EXPECT_EQ(radio.GetSafeHandle(), stack.LastAuthenticateRadio());

    // Removal needs no radio object.
    EXPECT_EQ(0u, CxBthRadio::RemoveRemoteDevice(phoneText.c_str()));
    EXPECT_FALSE(stack.Remembered(kPhone));
    EXPECT_EQ(static_cast<unsigned long>(ERROR_NOT_FOUND), CxBthRadio::RemoveRemoteDevice(phoneText.c_str()));
    EXPECT_EQ(static_cast<unsigned long>(ERROR_INVALID_PARAMETER), CxBthRadio::RemoveRemoteDevice(nullptr));
    radio.FindRemoteDeviceClose();
    radio.Close();
    EXPECT_EQ(0, stack.OpenHandles());
}

TEST_F(Bluetooth, SerialPortProfileIsEnabledAndFoundAmongTheFirstTenServices) {
    stack.AddRadio(kRadioA, L"radio", 0);
    BthDevice modem = Device(kPhone, L"modem", true, true);
    BthDevice crowded = Device(kHeadset, L"crowded", true, true);
    for (DWORD i = 0; i < 10; ++i) crowded.services.push_back({0x1200 + i, 0, 0x1000, {}});
    crowded.services.push_back(CX_BTH_SERIAL_PORT_SERVICE_CLASS);  // the eleventh
    stack.AddDevice(0, modem);
    stack.AddDevice(0, crowded);

    CxBthRadio radio;
    EXPECT_EQ(0, radio.InstallRemoteDeviceSPPService());  // no radio: nothing asked
    EXPECT_EQ(0, radio.IsRemoteDeviceInstallSPPService());
    EXPECT_EQ(0, stack.ServiceStateCalls());

    ASSERT_EQ(1, radio.Open(BthText(kRadioA).c_str()));
    ASSERT_EQ(1, radio.FindRemoteDevice(0));
    EXPECT_EQ(0, radio.IsRemoteDeviceInstallSPPService());
    EXPECT_EQ(1, radio.InstallRemoteDeviceSPPService());
    EXPECT_EQ(static_cast<DWORD>(BLUETOOTH_SERVICE_ENABLE), stack.LastServiceFlags());
    ASSERT_EQ(1u, stack.Services(kPhone).size());
    EXPECT_TRUE(IsEqualGUID(CX_BTH_SERIAL_PORT_SERVICE_CLASS, stack.Services(kPhone)[0]));
    EXPECT_EQ(1, radio.IsRemoteDeviceInstallSPPService());

    BLUETOOTH_DEVICE_INFO record;
    radio.GetRemoteDeviceInfoStruct(&record);
    GUID services[4] = {};
    unsigned long count = 4;
    EXPECT_EQ(0u, radio.EnumerateInstalledServices(&record, &count, services));
    EXPECT_EQ(1u, count);

    ASSERT_EQ(1, radio.FindNextRemoteDevice());
    EXPECT_EQ(0, radio.IsRemoteDeviceInstallSPPService());  // only past the tenth
    radio.FindRemoteDeviceClose();
    radio.Close();
}
