// The text utilities and the finders from a Visual C++ host.
#include "host.h"

namespace {

bool Terminated(const wchar_t* psz, int cch) {
    for (int i = 0; i < cch; ++i) {
        if (!psz[i]) return true;
    }
    return false;
}

void Text() {
    unsigned long long ullMac = 0x0000665544332211ULL;
    wchar_t szMac[QV_MACADDR_CCH];
    MacAddressToString(&ullMac, szMac, QV_MACADDR_CCH);
    CHECK(lstrcmpW(szMac, L"11-22-33-44-55-66") == 0);
    MacAddressToString(&ullMac, szMac, 17);  // too small: the empty text
    CHECK(szMac[0] == L'\0');
    unsigned long long ullBack = 1;
    StringToMacAddress(L"11-22-33-44-55-66", &ullBack);
    CHECK(ullBack == ullMac);
    StringToMacAddress(L"aa-BB-c", &ullBack);
    CHECK(ullBack == 0x0CBBAAULL);

    CHECK(IsValidIPAddress(L"127.0.0.1") == 0);
    CHECK(IsValidIPAddress(L"169.254.0.1") == 0);
    CHECK(IsValidIPAddress(L"0.1.2.3") == 0);
    CHECK(IsValidIPAddress(L"240.0.0.1") == 1);  // reserved, never routed
    CHECK(IsValidIPAddress(L"not an address") == 0);
    CHECK(IsValidIPAddress(NULL) == 0);

    wchar_t szAddr[QV_IPADDR_CCH] = {0};
    CHECK(GetIPAddrByDomainName(L"localhost", szAddr) == 1);
    CHECK(lstrcmpW(szAddr, L"127.0.0.1") == 0);
    CHECK(GetIPAddrByDomainName(NULL, szAddr) == 0);
    CHECK(SocketGetLastError() == WSAEINVAL);
}

// The watch through the Visual C++ flavour: the ports present come as
// arrivals.
void Watch() {
    CxSerialPortFind ports;
    int nPorts = 0;
    for (int ok = ports.FindPort(); ok && nPorts < 300; ok = ports.FindNextPort()) ++nPorts;
    CxSerialPortWatch watch;
    CHECK(watch.SetRescanPeriod(50) == 0);
    CHECK(watch.Start(1) == 1);
    CHECK(watch.IsWatching() != 0);
    int nReports = 0;
    long lEvent = 0;
    for (DWORD dwStart = GetTickCount(); nReports < nPorts && GetTickCount() - dwStart < 10000;) {
        if (watch.TakeReport(&lEvent, &ports)) {
            CHECK(lEvent == CX_EVENT_PORT_ARRIVED);
            ++nReports;
        } else {
            Sleep(1);
        }
    }
    CHECK(nReports == nPorts);
    watch.Stop();
    CHECK(watch.TakeReport(&lEvent, &ports) == 0);
    CHECK(GetLastError() == ERROR_INVALID_HANDLE);
}

void Finders() {
    wchar_t szText[QV_DEVICE_TEXT_CCH];
    GUID guid = QV_GUID_DEVINTERFACE_COMPORT;

    CxDeviceMapFind map;
    int nPorts = 0;
    for (int ok = map.FindDeviceMap(&guid); ok && nPorts < 300; ok = map.FindNextDeviceMap()) {
        map.GetDevicePath(szText);
        CHECK(Terminated(szText, QV_DEVICE_TEXT_CCH));
        ++nPorts;
    }
    CHECK(map.FindNextDeviceMap() == 0);
    map.Close();

    CxDeviceFind devices;
    for (int ok = devices.FindDevice(&guid), n = 0; ok && n < 300; ok = devices.FindNextDevice(), ++n) {
        devices.GetDevicePath(szText);
        CHECK(Terminated(szText, QV_DEVICE_TEXT_CCH));
    }
    CHECK(devices.FindDevice(NULL) == 0);
    CHECK(GetLastError() == ERROR_INVALID_PARAMETER);
    devices.Close();

    CxSerialPortFind ports;
    for (int ok = ports.FindPort(), n = 0; ok && n < 300; ok = ports.FindNextPort(), ++n) {
        ports.GetPortName(szText);
        CHECK(Terminated(szText, QV_DEVICE_TEXT_CCH));
        ports.GetDevicePath(szText);
        CHECK(szText[0] != L'\0');
        CHECK(ports.GetSource() != 0);
    }
    CHECK(ports.FindNextPort() == 0);
    ports.Close();
    CHECK(ports.FindUsbPort(0xFFFE, 0xFFFE, L"none") == 0);
    CHECK(GetLastError() == ERROR_NO_MORE_ITEMS);

    CxLocalHostIPAddrFind addrs;
    int nAddrs = 0;
    for (int ok = addrs.FindIPAddr(); ok && nAddrs < 64; ok = addrs.FindNextIPAddr()) {
        wchar_t szAddr[QV_IPADDR_CCH];
        addrs.GetIPAddr(szAddr);
        CHECK(szAddr[0] != L'\0' && Terminated(szAddr, QV_IPADDR_CCH));
        ++nAddrs;
    }
    CxLocalHostIPAddrFind copy(addrs);  // a copy of a finished walk stays finished
    CHECK(copy.FindNextIPAddr() == 0);
    addrs.FindIPAddrClose();
    CHECK(addrs.FindNextIPAddr() == 0);
    wchar_t szFirst[QV_IPADDR_CCH] = {0};
    int nFirst = GetFirstValidIPAddress(szFirst);
    CHECK(nFirst == 0 || IsValidIPAddress(szFirst) == 1);
    CHECK(GetFirstValidIPAddress(NULL) == 0);

    CxAdapterFind adapters;
    for (int ok = adapters.FindAdapter(), n = 0; ok && n < 64; ok = adapters.FindNextAdapter(), ++n) {
        IP_ADAPTER_INFO info;
        adapters.GetAdapterInfo(&info);
        CHECK(info.AdapterName[0] != '\0');
    }
    adapters.FindAdapterClose();
    CHECK(adapters.FindNextAdapter() == 0);

    // No scan: it would probe the local subnet. Before one, a record is empty.
    CxNetworkHostFind hosts;
    NET_HOST_INFO info;
    memset(&info, 0xAB, sizeof info);
    hosts.GetHostInfo(&info);
    CHECK(info.szIPAddress[0] == L'\0' && info.szMacAddress[0] == L'\0');
    CHECK(hosts.FindNextHost() == 0);
    hosts.GetHostInfo(NULL);
}

}  // namespace

int HostMain() {
    CHECK(SocketInit() == 1);
    Text();
    Finders();
    Watch();
    CHECK(SocketUnInit() == 1);
    return 0;
}
