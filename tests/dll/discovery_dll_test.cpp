// The discovery interface as a host reaches it through quorvel.dll. Nothing
// here scans a network: FindHost is never called.
#include <gtest/gtest.h>

#include "quorvel/quorvel.h"

TEST(DllDiscovery, FindersAndAddressTextWork) {
    ASSERT_EQ(1, SocketInit());
    wchar_t addr[64] = {};
    EXPECT_EQ(1, GetIPAddrByDomainName(L"localhost", addr));
    EXPECT_EQ(0, IsValidIPAddress(addr));
    GetFirstValidIPAddress(addr);
    CxLocalHostIPAddrFind local;
    local.FindIPAddr();
    EXPECT_EQ(1, SocketUnInit());

    unsigned long long mac = 0x0000665544332211ULL, back = 0;
    MacAddressToString(&mac, addr, 48);
    StringToMacAddress(addr, &back);
    EXPECT_EQ(mac, back);

    CxDeviceMapFind map;  // the serial map holds at least Wine's COM1
    GUID serial = QV_GUID_DEVINTERFACE_COMPORT;
    ASSERT_EQ(1, map.FindDeviceMap(&serial));
    CxDeviceMapFind mapCopy(map);
    map.Close();
    EXPECT_EQ(0, mapCopy.FindNextDeviceMap());
    CxDeviceFind devices;
    devices.FindDevice(&serial);
    CxAdapterFind adapters;
    adapters.FindAdapter();
    CxNetworkHostFind hosts, hostsCopy(hosts);
    NET_HOST_INFO host = {};
    hostsCopy.GetHostInfo(&host);
    EXPECT_EQ(0, hostsCopy.FindNextHost());
}
