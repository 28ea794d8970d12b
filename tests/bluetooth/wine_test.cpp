// Wine has no Bluetooth: with the system's own operations (no simulated
// stack) the library must fail as on a Windows machine without a radio.
#include <gtest/gtest.h>

#include "quorvel/quorvel.h"
#include "tests/support/trace_capture.h"

TEST(BluetoothWithoutRadio, SearchesAndSocketsFailCleanly) {
    ASSERT_EQ(1, SocketInit());
    EXPECT_EQ(0, CxBthRadioFind().FindRadio(1));
    CxBthRadio radio;
    EXPECT_EQ(0, radio.Open(L"(00:11:22:33:44:55)"));
    EXPECT_EQ(0, radio.FindRemoteDevice(0));  // the platform's answer for every radio
    EXPECT_EQ(0, CxBthRemoteDeviceFind().FindDevice());
    EXPECT_EQ(0, BthAuthenDevice(L"(00:11:22:33:44:55)", L"(00:11:22:33:44:66)", L"0000"));
    CxBthClientSocket client;
    EXPECT_EQ(0, client.Connect(L"(00:11:22:33:44:55)", nullptr, 1, 0));
    EXPECT_EQ(nullptr, client.GetSafeHandle());
    EXPECT_EQ(0, CxBthServerSocket().ListenConnection(L"(00:11:22:33:44:55)", nullptr, 1));

    qvtest::TraceCapture trace;
    wchar_t radioText[48], deviceText[48];
    unsigned char status = 0;
    EXPECT_EQ(0, BthFindDevice(L"phone", radioText, deviceText, 0xFF, 1, &status));
    EXPECT_EQ(0x41, status);
    ASSERT_EQ(1u, trace.Lines().size());
    EXPECT_EQ("FindRadio : 0.\n", trace.Lines()[0]);
    SocketUnInit();
}
