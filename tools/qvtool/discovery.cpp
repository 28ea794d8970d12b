// qvtool ports, devices, adapters, addrs, resolve and scan: what the machine
// offers to talk to, from the device map and device interfaces to the live
// hosts of the local subnet.
#include "quorvel/quorvel.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "tools/qvtool/commands.h"

namespace qvtool {
namespace {

// Starts Windows Sockets for the span of one command.
class SocketScope {
public:
    SocketScope() : m_ok(SocketInit() != 0) {}
    ~SocketScope() {
        if (m_ok) SocketUnInit();
    }
    bool Ok() const { return m_ok; }

private:
    bool m_ok;
};

// "{8-4-4-4-12}" with or without braces.
bool ParseGuid(const char* text, GUID* guid) {
    std::string s = text;
    if (s.size() == 38 && s.front() == '{' && s.back() == '}') s = s.substr(1, 36);
    if (s.size() != 36) return false;
    unsigned long d1 = 0;
    unsigned int d2 = 0, d3 = 0, b[8] = {};
    char tail = 0;
    if (std::sscanf(s.c_str(), "%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &d1, &d2, &d3, &b[0],
                    &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &tail) != 11) {
        return false;
    }
    guid->Data1 = d1;
    guid->Data2 = static_cast<unsigned short>(d2);
    guid->Data3 = static_cast<unsigned short>(d3);
    for (int i = 0; i < 8; ++i) guid->Data4[i] = static_cast<unsigned char>(b[i]);
    return true;
}

int ListMap(const char* title, GUID guid, bool quietIfEmpty) {
    CxDeviceMapFind find;
    wchar_t path[QV_DEVICE_TEXT_CCH];
    int n = 0;
    for (int ok = find.FindDeviceMap(&guid); ok; ok = find.FindNextDeviceMap(), ++n) {
        find.GetDevicePath(path);
        std::printf("%s%s", n ? " " : (std::string(title) + ": ").c_str(), Narrow(path).c_str());
    }
    if (n) {
        std::printf("\n");
    } else if (!quietIfEmpty) {
        std::printf("%s: none\n", title);
    }
    return n;
}

const char kPortsHelp[] =
    "  ports                   serial and parallel port names from the device map\n";

int Ports(int argc, char** /*argv*/) {
    if (argc) return Usage("ports takes no arguments");
    ListMap("serial ports", QV_GUID_DEVINTERFACE_COMPORT, false);
    ListMap("parallel ports", QV_GUID_DEVINTERFACE_PARALLEL, false);
    return kSuccess;
}

void SummaryPorts() {
    ListMap("serial ports", QV_GUID_DEVINTERFACE_COMPORT, false);
    ListMap("parallel ports", QV_GUID_DEVINTERFACE_PARALLEL, true);
}

const char kDevicesHelp[] =
    "  devices [comport|parallel|GUID]\n"
    "                          present device interfaces of a class (default\n"
    "                          comport): path, friendly name, hardware ID\n";

int Devices(int argc, char** argv) {
    if (argc > 1) return Usage("devices takes at most one class");
    GUID guid = QV_GUID_DEVINTERFACE_COMPORT;
    if (argc == 1) {
        std::string arg = argv[0];
        if (arg == "parallel") {
            guid = QV_GUID_DEVINTERFACE_PARALLEL;
        } else if (arg != "comport" && !ParseGuid(argv[0], &guid)) {
            return Usage("bad device class '" + arg + "' (comport, parallel or a GUID)");
        }
    }
    CxDeviceFind find;
    wchar_t text[QV_DEVICE_TEXT_CCH];
    int n = 0;
    for (int ok = find.FindDevice(&guid); ok; ok = find.FindNextDevice(), ++n) {
        find.GetDevicePath(text);
        std::printf("%s\n", Narrow(text).c_str());
        find.GetDeviceFriendlyName(text);
        std::printf("  name:        %s\n", Narrow(text).c_str());
        find.GetDeviceHardwareID(text);
        std::printf("  hardware ID: %s\n", Narrow(text).c_str());
        find.GetDeviceInstanceID(text);
        std::printf("  instance ID: %s\n", Narrow(text).c_str());
    }
    if (!n) std::printf("no present devices of that class\n");
    return kSuccess;
}

std::string Mac(const IP_ADAPTER_INFO& info) {
    std::string text;
    for (UINT i = 0; i < info.AddressLength && i < MAX_ADAPTER_ADDRESS_LENGTH; ++i) {
        char part[4];
        std::snprintf(part, sizeof part, i ? "-%02X" : "%02X", info.Address[i]);
        text += part;
    }
    return text;
}

int ListAdapters(bool brief) {
    CxAdapterFind find;
    IP_ADAPTER_INFO info;
    int n = 0;
    for (int ok = find.FindAdapter(); ok; ok = find.FindNextAdapter(), ++n) {
        find.GetAdapterInfo(&info);
        if (brief) {
            std::printf("adapter: %s  %s  %s\n", info.Description, Mac(info).c_str(),
                        info.IpAddressList.IpAddress.String);
            continue;
        }
        std::printf("%s\n  description: %s\n  MAC address: %s\n", info.AdapterName,
                    info.Description, Mac(info).c_str());
        for (const IP_ADDR_STRING* p = &info.IpAddressList; p; p = p->Next) {
            std::printf("  address:     %s / %s\n", p->IpAddress.String, p->IpMask.String);
        }
        const char* dhcp = !info.DhcpEnabled                     ? "off"
                           : info.DhcpServer.IpAddress.String[0] ? info.DhcpServer.IpAddress.String
                                                                 : "on";
        std::printf("  gateway:     %s\n  DHCP:        %s\n", info.GatewayList.IpAddress.String,
                    dhcp);
    }
    if (!n) std::printf(brief ? "adapters: none\n" : "no adapters\n");
    return n;
}

const char kAdaptersHelp[] =
    "  adapters                network adapters: name, MAC address, addresses\n";

int Adapters(int argc, char** /*argv*/) {
    if (argc) return Usage("adapters takes no arguments");
    ListAdapters(false);
    return kSuccess;
}

void SummaryAdapters() { ListAdapters(true); }

void ListAddrs(bool summary) {
    SocketScope sockets;
    if (!sockets.Ok()) {
        std::printf("local addresses: Windows Sockets cannot start\n");
        return;
    }
    CxLocalHostIPAddrFind find;
    wchar_t addr[QV_IPADDR_CCH];
    int n = 0;
    for (int ok = find.FindIPAddr(); ok; ok = find.FindNextIPAddr(), ++n) {
        find.GetIPAddr(addr);
        if (summary) {
            std::printf("%s%s", n ? " " : "local addresses: ", Narrow(addr).c_str());
        } else {
            std::printf("%s%s\n", Narrow(addr).c_str(),
                        IsValidIPAddress(addr) ? "" : " (not usable)");
        }
    }
    if (summary) std::printf(n ? "\n" : "local addresses: none\n");
    std::memset(addr, 0, sizeof addr);
    if (GetFirstValidIPAddress(addr)) {
        std::printf("first usable address: %s\n", Narrow(addr).c_str());
    } else {
        std::printf("first usable address: none\n");
    }
}

const char kAddrsHelp[] =
    "  addrs                   the local host's IPv4 addresses and the first usable one\n";

int Addrs(int argc, char** /*argv*/) {
    if (argc) return Usage("addrs takes no arguments");
    ListAddrs(false);
    return kSuccess;
}

void SummaryAddrs() { ListAddrs(true); }

const char kResolveHelp[] = "  resolve NAME            the first IPv4 address of a host name\n";

int Resolve(int argc, char** argv) {
    if (argc != 1) return Usage("resolve needs one NAME");
    SocketScope sockets;
    if (!sockets.Ok()) return Fail("cannot start Windows Sockets%s", "");
    wchar_t addr[QV_IPADDR_CCH] = {};
    if (!GetIPAddrByDomainName(Widen(argv[0]).c_str(), addr)) {
        return Fail("cannot resolve %s", argv[0]);
    }
    std::printf("%s\n", Narrow(addr).c_str());
    return kSuccess;
}

const char kScanHelp[] =
    "  scan                    ask every address of the local /24 subnet by ARP and\n"
    "                          list the hosts that answer (sends real ARP requests)\n";

int Scan(int argc, char** /*argv*/) {
    if (argc) return Usage("scan takes no arguments");
    SocketScope sockets;
    if (!sockets.Ok()) return Fail("cannot start Windows Sockets%s", "");
    std::fprintf(stderr, "qvtool: scanning the local /24 subnet by ARP...\n");
    CxNetworkHostFind find;
    NET_HOST_INFO info;
    int n = 0;
    for (int ok = find.FindHost(); ok; ok = find.FindNextHost(), ++n) {
        find.GetHostInfo(&info);
        std::printf("%-15s  %s  %s\n", Narrow(info.szIPAddress).c_str(),
                    Narrow(info.szMacAddress).c_str(), Narrow(info.szHostName).c_str());
    }
    find.FindHostClose();
    if (!n) std::printf("no host answered\n");
    return kSuccess;
}

}  // namespace

const Registrar kPorts({"ports", &Ports, kPortsHelp, &SummaryPorts, 40});
const Registrar kDevices({"devices", &Devices, kDevicesHelp, nullptr, 41});
const Registrar kAdapters({"adapters", &Adapters, kAdaptersHelp, &SummaryAdapters, 42});
const Registrar kAddrs({"addrs", &Addrs, kAddrsHelp, &SummaryAddrs, 43});
const Registrar kResolve({"resolve", &Resolve, kResolveHelp, nullptr, 44});
const Registrar kScan({"scan", &Scan, kScanHelp, nullptr, 45});

}  // namespace qvtool
