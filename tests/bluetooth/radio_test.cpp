// Radios, inquiry, pairing from this side and the Serial Port Profile,
// against the simulated stack.
#include <algorithm>
#include <cwchar>

#include "tests/bluetooth/bth_fixture.h"
#include "tests/support/os_hook.h"

TEST_F(Bluetooth, RadioWalkKeepsOrClosesHandlesAndCopiesNeverReleaseThem) {
    CxBthRadioFind find;
    EXPECT_EQ(0, find.FindRadio(0));  // no radio
    EXPECT_EQ(0, find.FindNextRadio(0));
    EXPECT_TRUE(IsZero(Info(find)));
    find.GetDeviceInfo(nullptr);  // refused, no crash
    TwoRadios();
    ASSERT_EQ(1, find.FindRadio(1));
    EXPECT_EQ(nullptr, find.GetRadioHandle());
    EXPECT_EQ(0, stack.OpenRadioHandles());
    EXPECT_EQ(Text(kRadioA), Info(find).szAddress);
    EXPECT_STREQ(L"first radio", Info(find).szName);
    EXPECT_EQ(0x1C010Cu, Info(find).ulClassofDevice);
    ASSERT_EQ(1, find.FindNextRadio(0));
    EXPECT_EQ(1, stack.OpenRadioHandles());
    EXPECT_EQ(0, find.FindNextRadio(0));  // the end releases the last radio's handle
    EXPECT_EQ(0, stack.OpenRadioHandles());
    EXPECT_STREQ(L"second radio", Info(find).szName);
    ASSERT_EQ(1, find.FindRadio(0));
    ASSERT_EQ(1, find.FindRadio(0));  // a restart releases the first walk
    EXPECT_EQ(2, stack.OpenHandles());
    EXPECT_EQ(sizeof(BLUETOOTH_FIND_RADIO_PARAMS), stack.RadioParamSizes().at(0));
    {
        CxBthRadioFind copy(find), assigned;
        EXPECT_EQ(find.GetRadioHandle(), copy.GetRadioHandle());
        assigned = find;
        assigned.FindRadioClose();
    }
    EXPECT_EQ(2, stack.OpenHandles());
    CxBthRadioFind survivor(find);
    find.FindRadioClose();
    EXPECT_EQ(nullptr, survivor.GetRadioHandle());  // released by its owner
    EXPECT_EQ(0, survivor.FindNextRadio(0));
    ASSERT_EQ(1, find.FindRadio(0));  // left to the destructor
}

TEST_F(Bluetooth, RadioObjectOpensByAddressAndOpenReleasesOnlyWhatItOpened) {
    CxBthRadio radio;
    EXPECT_EQ(0, radio.Open(Text(kRadioA).c_str()));  // no radio
    TwoRadios();
    for (const wchar_t* bad : {L"(00:00:00:00:00:09)", L"not an address", (const wchar_t*)nullptr}) {
        EXPECT_EQ(0, radio.Open(bad));
    }
    ASSERT_EQ(1, radio.Open(Text(kRadioB).c_str()));
    BLUETOOTH_RADIO_INFO info{};
    info.dwSize = sizeof info;
    EXPECT_EQ(0u, radio.GetRadioInfo(&info));
    EXPECT_EQ(kRadioB, info.address.ullLong);
    ASSERT_EQ(1, radio.Open((Text(kRadioA) + L":7").c_str()));  // closes radio B first
    EXPECT_EQ(1, stack.OpenHandles());
    EXPECT_EQ(1, radio.EnableIncomingConnections(1) + radio.EnableDiscovery(1) - 1);
    EXPECT_TRUE(stack.Discoverable(0) && stack.Connectable(0) && !stack.Discoverable(1));
    radio.Close();
    EXPECT_EQ(nullptr, radio.GetSafeHandle());

    // A lent radio is only dropped; its lender closes it. A copy never
    // counts as having opened one, and no destructor releases anything.
    CxBthRadioFind find;
    ASSERT_EQ(1, find.FindRadio(0));
    radio.Attach(find.GetRadioHandle());
    ASSERT_EQ(1, radio.Open(Text(kRadioB).c_str()));
    { CxBthRadio(radio).Open(L"junk"); }
    EXPECT_EQ(2, stack.OpenRadioHandles());
    radio.Close();
}

TEST_F(Bluetooth, AddressTextOfMoreThan47CharactersNeverReachesThePlatformParser) {
    TwoRadios();
    size_t longest = 0;
    qvtest::Hook<quorvel::os::WSAStringToAddressW> hook(
        [&](LPWSTR text, INT family, LPWSAPROTOCOL_INFOW info, LPSOCKADDR sa, LPINT length) {
            if (text) longest = std::max(longest, wcslen(text));
            return hook.Real()(text, family, info, sa, length);
        });
    // The longest text taken: an address and a channel of 27 digits.
    std::wstring at47 = Text(kRadioA) + L":" + std::wstring(26, L'0') + L"7";
    ASSERT_EQ(47u, at47.size());
    CxBthRadio radio;
    ASSERT_EQ(1, radio.Open(at47.c_str()));
    radio.Close();
    EXPECT_EQ(47u, longest);
    for (const std::wstring& text : {at47 + L"7", Text(kRadioA) + std::wstring(100000, L' ')}) {
        longest = 0;
        EXPECT_EQ(0, radio.Open(text.c_str()));  // the all-zero address: no such radio
        EXPECT_EQ(static_cast<unsigned long>(ERROR_NOT_FOUND),
                  CxBthRadio::RemoveRemoteDevice(text.c_str()));
        EXPECT_EQ(0u, longest) << "text of " << text.size() << " characters handed over";
    }
}

TEST_F(Bluetooth, InquiryWithAndWithoutForgettingRememberedDevices) {
    TwoRadios();
    stack.AddDevice(0, Device(kPhone, L"phone", true, false));      // remembered, away
    stack.AddDevice(0, Device(kHeadset, L"headset", false, true));  // new, in range
    stack.AddDevice(0, Device(kPrinter, L"printer", false, false));  // new, away
    CxBthRadio radio, other;
    EXPECT_EQ(0, radio.FindNextRemoteDevice());  // no search
    ASSERT_EQ(1, radio.Open(Text(kRadioA).c_str()));
    ASSERT_EQ(1, radio.FindRemoteDevice(0));
    EXPECT_EQ(Text(kPhone), Info(radio).szAddress);
    EXPECT_STREQ(L"phone", Info(radio).szName);
    EXPECT_EQ(1, radio.IsRemoteDeviceAuthenticated());
    ASSERT_EQ(1, radio.FindNextRemoteDevice());
    EXPECT_EQ(0, radio.IsRemoteDeviceAuthenticated());
    EXPECT_EQ(0, radio.FindNextRemoteDevice() + radio.FindNextRemoteDevice());
    EXPECT_STREQ(L"headset", Info(radio).szName);  // the last device stays
    ASSERT_EQ(1, radio.FindRemoteDevice(0));       // ends the open search first
    EXPECT_EQ(2, stack.OpenHandles());

    BLUETOOTH_DEVICE_SEARCH_PARAMS p = stack.Searches().at(0);
    EXPECT_EQ(sizeof p, p.dwSize);
    EXPECT_TRUE(p.fReturnRemembered && p.fReturnUnknown && p.fIssueInquiry);
    EXPECT_FALSE(p.fReturnAuthenticated || p.fReturnConnected);
    EXPECT_EQ(5, p.cTimeoutMultiplier);
    EXPECT_EQ(radio.GetSafeHandle(), p.hRadio);

    ASSERT_EQ(1, radio.FindRemoteDevice(1));  // forgets remembered devices, paired too
    EXPECT_FALSE(stack.Remembered(kPhone) || stack.Paired(kPhone));
    EXPECT_STREQ(L"headset", Info(radio).szName);
    EXPECT_EQ(0, radio.FindNextRemoteDevice());
    auto searches = stack.Searches();
    ASSERT_EQ(4u, searches.size());
    EXPECT_TRUE(searches[2].fReturnRemembered);
    EXPECT_FALSE(searches[2].fIssueInquiry || searches[2].fReturnUnknown);
    EXPECT_FALSE(searches[3].fReturnRemembered);
    radio.FindRemoteDeviceClose();
    radio.Close();

    ASSERT_EQ(1, other.Open(Text(kRadioB).c_str()));
    EXPECT_EQ(0, other.FindRemoteDevice(0));  // nothing: the record stays as it was
    EXPECT_TRUE(IsZero(Info(other)));
    other.Close();
}

TEST_F(Bluetooth, RadioCopiesShareTheDeviceSearchButOnlyItsStarterEndsIt) {
    TwoRadios();
    stack.SetInquiryTime(0);
    for (auto [address, name] : {std::pair{kPhone, L"phone"}, {kHeadset, L"headset"}, {kPrinter, L"printer"}}) {
        stack.AddDevice(0, Device(address, name, true, true));
    }
    CxBthRadio radio;
    ASSERT_EQ(1, radio.Open(Text(kRadioA).c_str()));
    ASSERT_EQ(1, radio.FindRemoteDevice(0));
    const int withSearch = stack.OpenHandles();
    {
        CxBthRadio copy(radio), assigned, restarted(radio);
        copy.FindRemoteDeviceClose();  // lets go of its view only
        assigned = radio;
        assigned = copy;  // lets go of the view it had, nothing more
        ASSERT_EQ(1, restarted.FindRemoteDevice(0));  // a search of its own
        EXPECT_EQ(withSearch + 1, stack.OpenHandles());
    }  // ends the copy's own search, and nothing of the original's
    EXPECT_EQ(withSearch, stack.OpenHandles());
    {
        CxBthRadio reused(radio);
        ASSERT_EQ(1, reused.FindRemoteDevice(0));
        reused = radio;  // ends its own search before it shares the original's
        EXPECT_EQ(withSearch, stack.OpenHandles());
        ASSERT_EQ(1, reused.FindRemoteDevice(0));
        reused = CxBthRadio();  // and when the other object has no search
        EXPECT_EQ(withSearch, stack.OpenHandles());
    }
    ASSERT_EQ(1, radio.FindNextRemoteDevice());  // the original's search goes on
    EXPECT_STREQ(L"headset", Info(radio).szName);

    // Once the starter ends it, a copy never uses the stale handle, which
    // the next search may well be given.
    CxBthRadio survivor(radio), other;
    radio.FindRemoteDeviceClose();
    other.Attach(radio.GetSafeHandle());
    ASSERT_EQ(1, other.FindRemoteDevice(0));
    EXPECT_EQ(0, survivor.FindNextRemoteDevice());
    ASSERT_EQ(1, other.FindNextRemoteDevice());
    EXPECT_STREQ(L"headset", Info(other).szName);  // not moved on by the copy
    survivor.FindRemoteDeviceClose();
    other.FindRemoteDeviceClose();

    {
        CxBthRadio starter;
        starter.Attach(radio.GetSafeHandle());
        ASSERT_EQ(1, starter.FindRemoteDevice(0));
        CxBthRadio(starter).FindRemoteDevice(0);  // the copy's destructor ends the copy's search
        EXPECT_EQ(withSearch, stack.OpenHandles());
    }  // the starter's destructor ends a search left open
    EXPECT_EQ(withSearch - 1, stack.OpenHandles());
    radio.Close();
}

TEST_F(Bluetooth, PairingFromThisSideRetriesATimeOutOnceAndRefusesLongPasskeys) {
    TwoRadios();
    stack.AddDevice(0, Device(kPhone, L"phone", false, true));
    const std::wstring radioA = Text(kRadioA), phone = Text(kPhone);
    EXPECT_EQ(1, BthAuthenDevice(radioA.c_str(), phone.c_str(), L"1234"));
    EXPECT_EQ(L"1234", stack.LastPasskey());
    EXPECT_TRUE(stack.Paired(kPhone));
    struct {
        std::vector<DWORD> answers;
        int result, calls;
    } cases[] = {{{WAIT_TIMEOUT, ERROR_SUCCESS}, 1, 2},
                 {{WAIT_TIMEOUT, ERROR_NO_MORE_ITEMS}, 0, 2},  // 259 counts on the first only
                 {{ERROR_NO_MORE_ITEMS}, 1, 1},
                 {{ERROR_NOT_AUTHENTICATED}, 0, 1}};
    BTH_ADDR address = 0x0B0000000000ull;
    for (const auto& c : cases) {
        BthDevice d = Device(++address, L"dev", false, true);
        d.authAnswers = c.answers;
        stack.AddDevice(1, d);
        SetLastError(0);
        EXPECT_EQ(c.result, BthAuthenDevice(Text(kRadioB).c_str(), Text(address).c_str(), L"0"));
        EXPECT_EQ(c.calls, stack.AuthenticateCalls(address));
        // A failure leaves the code of the attempt that failed, after the radio is closed.
        if (!c.result) {
            EXPECT_EQ(c.answers.back(), GetLastError());
        }
    }

    int before = stack.AuthenticateCalls();
    EXPECT_EQ(0, BthAuthenDevice(L"(00:00:00:00:00:09)", phone.c_str(), L"1234"));  // no such radio
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), GetLastError());
    EXPECT_EQ(0, BthAuthenDevice(radioA.c_str(), phone.c_str(), L"0123456789abcdef"));
    EXPECT_EQ(0, BthAuthenDevice(radioA.c_str(), phone.c_str(), nullptr));
    CxBthRadio radio;
    ASSERT_EQ(1, radio.Open(radioA.c_str()));
    const unsigned long kRefused = ERROR_INVALID_PARAMETER;
    EXPECT_EQ(kRefused, radio.AuthenticateRemoteDevice(phone.c_str(), L"0123456789abcdef", 16));
    EXPECT_EQ(kRefused, radio.AuthenticateRemoteDevice(phone.c_str(), L"12", 4000));
    EXPECT_EQ(kRefused, radio.AuthenticateRemoteDevice(phone.c_str(), L"12", 17));  // one past
    EXPECT_EQ(kRefused, radio.AuthenticateRemoteDevice(L"12", 17));
    EXPECT_EQ(kRefused, radio.AuthenticateRemoteDevice(nullptr, L"12", 2));
    EXPECT_EQ(before, stack.AuthenticateCalls());
    EXPECT_EQ(0u, radio.AuthenticateRemoteDevice(phone.c_str(), L"0123456789abcde", 16));  // the buffer
    EXPECT_EQ(0u, radio.AuthenticateRemoteDevice(phone.c_str(), L"0123456789abcde", 15));
    EXPECT_EQ(L"0123456789abcde", stack.LastPasskey());  // 15 characters go whole
    ASSERT_EQ(1, radio.FindRemoteDevice(0));  // the current device, through the object's record
    EXPECT_EQ(0u, radio.AuthenticateRemoteDevice(L"42", 2));
    EXPECT_EQ(radio.GetSafeHandle(), stack.LastAuthenticateRadio());
    EXPECT_EQ(0u, CxBthRadio::RemoveRemoteDevice(phone.c_str()));  // needs no radio object
    EXPECT_FALSE(stack.Remembered(kPhone));
    EXPECT_EQ(kRefused, CxBthRadio::RemoveRemoteDevice(nullptr));
    radio.FindRemoteDeviceClose();
    radio.Close();
}

TEST_F(Bluetooth, SerialPortProfileIsEnabledAndFoundAmongTheFirstTenServices) {
    stack.AddRadio(kRadioA, L"radio", 0);
    BthDevice crowded = Device(kHeadset, L"crowded", true, true);
    for (DWORD i = 0; i < 10; ++i) crowded.services.push_back({0x1200 + i, 0, 0x1000, {}});
    crowded.services.push_back(CX_BTH_SERIAL_PORT_SERVICE_CLASS);  // the eleventh
    stack.AddDevice(0, Device(kPhone, L"modem", true, true));
    stack.AddDevice(0, crowded);
    CxBthRadio radio;
    EXPECT_EQ(0, radio.InstallRemoteDeviceSPPService() + radio.IsRemoteDeviceInstallSPPService());
    EXPECT_EQ(0, stack.ServiceStateCalls());  // no radio: nothing asked
    ASSERT_EQ(1, radio.Open(Text(kRadioA).c_str()));
    ASSERT_EQ(1, radio.FindRemoteDevice(0));
    EXPECT_EQ(0, radio.IsRemoteDeviceInstallSPPService());
    EXPECT_EQ(1, radio.InstallRemoteDeviceSPPService());
    EXPECT_EQ(1u, stack.LastServiceFlags());
    EXPECT_EQ(1, radio.IsRemoteDeviceInstallSPPService());
    {
        // A refusal is the operation's failure, with the platform's code.
        qvtest::Hook<quorvel::os::BluetoothSetServiceState> refuse(
            [](HANDLE, const BLUETOOTH_DEVICE_INFO*, const GUID*, DWORD) -> DWORD {
                return ERROR_SERVICE_DOES_NOT_EXIST;
            });
        SetLastError(0);
        EXPECT_EQ(0, radio.InstallRemoteDeviceSPPService());
        EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());
    }
    ASSERT_EQ(1, radio.FindNextRemoteDevice());
    EXPECT_EQ(0, radio.IsRemoteDeviceInstallSPPService());  // only past the tenth
    radio.FindRemoteDeviceClose();
    radio.Close();
}
