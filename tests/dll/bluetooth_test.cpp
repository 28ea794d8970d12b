// The Bluetooth interface through quorvel.dll. Wine has no Bluetooth, so
// everything here fails cleanly, as on a Windows machine without a radio.
#include <gtest/gtest.h>

#include <cstring>

#include "quorvel/quorvel.h"

namespace {

class DllBluetooth : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(1, SocketInit()); }
    void TearDown() override { SocketUnInit(); }
};

}  // namespace

TEST_F(DllBluetooth, WithoutARadioEverySearchFailsCleanly) {
    static_assert(sizeof(BTH_DEV_INFO) == 596, "one record layout on every build");
    CxBthRadioFind radios;
    EXPECT_EQ(0, radios.FindRadio(0));
    EXPECT_EQ(nullptr, radios.GetRadioHandle());
    EXPECT_EQ(0, radios.FindNextRadio(1));
    BTH_DEV_INFO info;
    std::memset(&info, 0x55, sizeof info);
    radios.GetDeviceInfo(&info);
    EXPECT_STREQ(L"", info.szAddress);
    CxBthRadioFind copy(radios);
    copy = radios;

    CxBthRadio radio;
    EXPECT_EQ(0, radio.Open(L"(00:11:22:33:44:55)"));
    EXPECT_EQ(nullptr, radio.GetSafeHandle());
    EXPECT_EQ(0, radio.FindNextRemoteDevice());
    EXPECT_EQ(0, radio.InstallRemoteDeviceSPPService());
    EXPECT_EQ(0, radio.IsRemoteDeviceInstallSPPService());

    CxBthRemoteDeviceFind devices;
    EXPECT_EQ(0, devices.FindDevice());
    EXPECT_EQ(0, devices.FindNextDevice());
    devices.Close();

    EXPECT_EQ(0, BthAuthenDevice(L"(00:11:22:33:44:55)", L"(00:11:22:33:44:66)", L"1234"));
    wchar_t radioText[48] = L"-", deviceText[48] = L"-";
    unsigned char status = 0;
    EXPECT_EQ(0, BthFindDevice(L"anything", radioText, deviceText, 0, 0, &status));
    EXPECT_EQ(0x41, status);
    EXPECT_STREQ(L"-", deviceText);

    CxBthClientSocket client;
    EXPECT_EQ(0, client.Connect(L"(00:11:22:33:44:55)", nullptr, 3, 0));
    EXPECT_EQ(0, client.IsConnected());
    CxBthServerSocket server;
    EXPECT_EQ(0, server.ListenConnection(L"(00:11:22:33:44:55)", nullptr, 3));
    EXPECT_EQ(INVALID_SOCKET, server.AcceptConnection());

    // Never registered: nothing to end, nothing handed to the platform.
    CxBthAuthenResponse response;
    BLUETOOTH_DEVICE_INFO record;
    response.GetDeviceInfoStruct(&record);
    EXPECT_EQ(0u, record.dwSize);
}
