// Lists what a host can talk to: serial and parallel port names from the
// device map, COM-port device interfaces, network adapters and the local
// host's IPv4 addresses.
#include <quorvel/quorvel.h>  // before <windows.h>

#include <cstdio>
#include <initializer_list>

int main() {
    wchar_t text[260];
    for (GUID cls : {QV_GUID_DEVINTERFACE_COMPORT, QV_GUID_DEVINTERFACE_PARALLEL}) {
        bool serial = IsEqualGUID(cls, QV_GUID_DEVINTERFACE_COMPORT);
        std::printf("%s ports:\n", serial ? "serial" : "parallel");
        CxDeviceMapFind ports;
        for (int ok = ports.FindDeviceMap(&cls); ok; ok = ports.FindNextDeviceMap()) {
            ports.GetDevicePath(text);  // a name CxSerial::Open takes
            std::printf("  %ls\n", text);
        }
    }

    std::printf("COM-port device interfaces:\n");
    GUID comport = QV_GUID_DEVINTERFACE_COMPORT;
    CxDeviceFind devices;
    for (int ok = devices.FindDevice(&comport); ok; ok = devices.FindNextDevice()) {
        wchar_t name[260];
        devices.GetDevicePath(text);
        devices.GetDeviceFriendlyName(name);
        std::printf("  %ls  %ls\n", name, text);
    }

    std::printf("network adapters:\n");
    CxAdapterFind adapters;
    for (int ok = adapters.FindAdapter(); ok; ok = adapters.FindNextAdapter()) {
        IP_ADAPTER_INFO info;
        adapters.GetAdapterInfo(&info);
        unsigned long long mac = 0;
        for (UINT i = 0; i < info.AddressLength && i < 6; ++i) {
            mac |= static_cast<unsigned long long>(info.Address[i]) << (8 * i);
        }
        MacAddressToString(&mac, text, QV_MACADDR_CCH);
        std::printf("  %s  %ls  %s\n", info.Description, text, info.IpAddressList.IpAddress.String);
    }

    if (!SocketInit()) {  // the address finders need Windows Sockets
        std::printf("Windows Sockets cannot start: no addresses\n");
        return 1;
    }
    std::printf("local IPv4 addresses:\n");
    CxLocalHostIPAddrFind addresses;
    for (int ok = addresses.FindIPAddr(); ok; ok = addresses.FindNextIPAddr()) {
        addresses.GetIPAddr(text);
        std::printf("  %ls%s\n", text, IsValidIPAddress(text) ? "" : "  (not usable)");
    }
    addresses.FindIPAddrClose();
    SocketUnInit();
    return 0;
}
