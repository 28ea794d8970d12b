// The discovery interface as a host reaches it through quorvel.dll. Nothing
// here scans a network: FindHost is never called.
#include <gtest/gtest.h>

#include <cstring>

#include "quorvel/quorvel.h"

TEST(DllDiscovery, FindersAndAddressTextWork) {
    ASSERT_EQ(1, SocketInit());
    wchar_t addr[64] = {};
    EXPECT_EQ(1, GetIPAddrByDomainName(L"localhost", addr));
    EXPECT_EQ(0, IsValidIPAddress(addr));
    GetFirstValidIPAddress(addr);
    CxLocalHostIPAddrFind local;
    local.FindIPAddr();
    local.FindIPAddrClose();
    EXPECT_EQ(0, local.FindNextIPAddr());
    EXPECT_EQ(1, SocketUnInit());

    unsigned long long mac = 0x0000665544332211ULL, back = 0;
    wchar_t text[48];
    MacAddressToString(&mac, text, 48);
    StringToMacAddress(text, &back);
    EXPECT_EQ(mac, back);

    CxDeviceMapFind map;  // the serial map holds at least Wine's COM1
    GUID serial = QV_GUID_DEVINTERFACE_COMPORT;
    ASSERT_EQ(1, map.FindDeviceMap(&serial));
    CxDeviceMapFind mapCopy(map);
    map.Close();
    EXPECT_EQ(0, mapCopy.FindNextDeviceMap());

    CxDeviceFind devices, devicesCopy;
    devices.FindDevice(&serial);
    devicesCopy = devices;
    CxAdapterFind adapters;
    for (int ok = adapters.FindAdapter(); ok; ok = adapters.FindNextAdapter()) {
    }
    adapters.FindAdapterClose();
    EXPECT_EQ(0, adapters.FindNextAdapter());

    CxNetworkHostFind hosts;
    NET_HOST_INFO host;
    std::memset(&host, 0x55, sizeof host);
    hosts.GetHostInfo(&host);
    EXPECT_STREQ(L"", host.szIPAddress);
    CxNetworkHostFind hostsCopy(hosts);
    EXPECT_EQ(0, hostsCopy.FindNextHost());
}
