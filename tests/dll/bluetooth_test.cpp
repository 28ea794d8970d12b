// The Bluetooth interface through quorvel.dll. Wine has no Bluetooth, so
// everything fails cleanly, as on a Windows machine without a radio.
#include <gtest/gtest.h>

#include "quorvel/quorvel.h"

TEST(DllBluetooth, WithoutARadioEverythingFailsCleanly) {
    ASSERT_EQ(1, SocketInit());
    CxBthRadioFind radios;
    EXPECT_EQ(0, radios.FindRadio(0) + radios.FindNextRadio(1));
    CxBthRadioFind copy(radios);
    CxBthRadio radio;
    EXPECT_EQ(0, radio.Open(L"(00:11:22:33:44:55)") + radio.IsRemoteDeviceInstallSPPService());
    EXPECT_EQ(0, CxBthRemoteDeviceFind().FindDevice());
    EXPECT_EQ(0, BthAuthenDevice(L"(00:11:22:33:44:55)", L"(00:11:22:33:44:66)", L"1234"));
    wchar_t radioText[48], deviceText[48] = L"-";
    unsigned char status = 0;
    EXPECT_EQ(0, BthFindDevice(L"anything", radioText, deviceText, 0, 0, &status));
    EXPECT_EQ(0x41, status);
    EXPECT_STREQ(L"-", deviceText);
    CxBthClientSocket client;
    EXPECT_EQ(0, client.Connect(L"(00:11:22:33:44:55)", nullptr, 3, 0) + client.IsConnected());
    CxBthServerSocket server;
    EXPECT_EQ(0, server.ListenConnection(L"(00:11:22:33:44:55)", nullptr, 3));
    CxBthAuthenResponse never;  // never registered: its destructor asks nothing of the platform
    SocketUnInit();
}
