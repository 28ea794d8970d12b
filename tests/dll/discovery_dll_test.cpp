// The discovery interface as a host reaches it through quorvel.dll. Nothing
// here scans a network: FindHost is never called.
#include <gtest/gtest.h>

#include <cstring>

#include "quorvel/quorvel.h"

TEST(DllDiscovery, AddressTextAndMacText) {
    ASSERT_EQ(1, SocketInit());
    EXPECT_EQ(1, IsValidIPAddress(L"10.0.0.1"));
    EXPECT_EQ(0, IsValidIPAddress(L"127.0.0.1"));
    wchar_t addr[64] = {};
    EXPECT_EQ(1, GetIPAddrByDomainName(L"localhost", addr));
    EXPECT_STREQ(L"127.0.0.1", addr);
    wchar_t first[64] = {};
    GetFirstValidIPAddress(first);  // whatever the machine has; must not fail hard
    EXPECT_EQ(1, SocketUnInit());

    unsigned long long mac = 0x0000665544332211ULL, back = 0;
    wchar_t text[48];
    MacAddressToString(&mac, text, 48);
    EXPECT_STREQ(L"11-22-33-44-55-66", text);
    StringToMacAddress(text, &back);
    EXPECT_EQ(mac, back);
}

TEST(DllDiscovery, FindersWalkAndCopy) {
    // The serial map holds at least Wine's COM1.
    CxDeviceMapFind map;
    GUID serial = QV_GUID_DEVINTERFACE_COMPORT;
    ASSERT_EQ(1, map.FindDeviceMap(&serial));
    wchar_t path[260] = {};
    map.GetDevicePath(path);
    EXPECT_NE(L'\0', path[0]);
    CxDeviceMapFind mapCopy(map);
    map.Close();
    EXPECT_EQ(0, mapCopy.FindNextDeviceMap());

    CxDeviceFind devices;
    GUID none = {0x5a1c0e10, 0x7b2d, 0x4c61, {0x9e, 0x33, 0x10, 0x2f, 0x4b, 0x6a, 0x71, 0x7e}};
    EXPECT_EQ(0, devices.FindDevice(&none));
    CxDeviceFind devicesCopy;
    devicesCopy = devices;
    EXPECT_EQ(0, devicesCopy.FindNextDevice());

    CxAdapterFind adapters;
    int n = 0;
    for (int ok = adapters.FindAdapter(); ok; ok = adapters.FindNextAdapter()) ++n;
    IP_ADAPTER_INFO info;
    adapters.GetAdapterInfo(&info);
    adapters.FindAdapterClose();
    EXPECT_EQ(0, adapters.FindNextAdapter());

    ASSERT_EQ(1, SocketInit());
    CxLocalHostIPAddrFind local;
    if (local.FindIPAddr()) {
        wchar_t text[64] = {};
        local.GetIPAddr(text);
        EXPECT_NE(L'\0', text[0]);
    }
    local.FindIPAddrClose();
    EXPECT_EQ(0, local.FindNextIPAddr());
    EXPECT_EQ(1, SocketUnInit());

    CxNetworkHostFind hosts;
    NET_HOST_INFO host;
    std::memset(&host, 0x55, sizeof host);
    hosts.GetHostInfo(&host);
    EXPECT_STREQ(L"", host.szIPAddress);
    EXPECT_EQ(0, hosts.FindNextHost());
    CxNetworkHostFind hostsCopy(hosts);
    hostsCopy.FindHostClose();
    EXPECT_EQ(736u, sizeof(NET_HOST_INFO));
}
