// qvtool ports, devices, adapters, addrs, resolve and scan: what the machine
// offers to talk to, from the device map and device interfaces to the live
// hosts of the local subnet.
#include "quorvel/quorvel.h"

#include <io.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

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

// Takes "--json" out of the arguments; false on any other option.
bool TakeJson(int* argc, char** argv, bool* json, std::string* bad) {
    int kept = 0;
    for (int i = 0; i < *argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--json") {
            *json = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            *bad = arg;
            return false;
        } else {
            argv[kept++] = argv[i];
        }
    }
    *argc = kept;
    return true;
}

// "[\n  item,\n  item\n]\n", as ports --json prints its list.
void PrintJsonList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? ",\n  " : "\n  ") + items[i];
    out += items.empty() ? "]\n" : "\n]\n";
    std::fputs(out.c_str(), stdout);
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

// One serial port of the merged list, as text.
struct PortRow {
    std::string port, source, friendly, ids, vendor, product, serial, path, hardware, instance;
    std::string bluetooth, bluetoothName;  // "(00:11:22:33:44:55)" and the device's name
};

PortRow RowOf(CxSerialPortFind& find) {
    wchar_t text[QV_DEVICE_TEXT_CCH];
    PortRow row;
    find.GetPortName(text);
    row.port = Narrow(text);
    switch (find.GetSource()) {
        case CX_PORT_FROM_MAP: row.source = "map"; break;
        case CX_PORT_FROM_INTERFACE: row.source = "interface"; break;
        default: row.source = "both"; break;
    }
    find.GetFriendlyName(text);
    row.friendly = Narrow(text);
    unsigned short vid = 0, pid = 0;
    if (find.GetUsbIds(&vid, &pid)) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%04X", vid);
        row.vendor = hex;
        std::snprintf(hex, sizeof hex, "%04X", pid);
        row.product = hex;
        row.ids = row.vendor + ":" + row.product;
    }
    unsigned long long address = 0;
    if (find.GetBluetoothAddress(&address)) {
        char hex[24];
        std::snprintf(hex, sizeof hex, "(%02X:%02X:%02X:%02X:%02X:%02X)",
                      static_cast<unsigned>(address >> 40) & 0xFF,
                      static_cast<unsigned>(address >> 32) & 0xFF,
                      static_cast<unsigned>(address >> 24) & 0xFF,
                      static_cast<unsigned>(address >> 16) & 0xFF,
                      static_cast<unsigned>(address >> 8) & 0xFF,
                      static_cast<unsigned>(address) & 0xFF);
        row.bluetooth = hex;
        find.GetBluetoothName(text);
        row.bluetoothName = Narrow(text);
    }
    find.GetSerialNumber(text);
    row.serial = Narrow(text);
    find.GetDevicePath(text);
    row.path = Narrow(text);
    find.GetHardwareID(text);
    row.hardware = Narrow(text);
    find.GetInstanceID(text);
    row.instance = Narrow(text);
    return row;
}

std::vector<PortRow> SerialPortRows() {
    std::vector<PortRow> rows;
    CxSerialPortFind find;
    for (int ok = find.FindPort(); ok; ok = find.FindNextPort()) rows.push_back(RowOf(find));
    return rows;
}

// The keys of one port in ports --json, without the braces.
std::string PortJsonKeys(const PortRow& r) {
    return "\"port\": " + JsonOrNull(r.port) + ", \"source\": " + Json(r.source) +
           ", \"friendlyName\": " + JsonOrNull(r.friendly) + ", \"vendorId\": " +
           JsonOrNull(r.vendor) + ", \"productId\": " + JsonOrNull(r.product) +
           ", \"serialNumber\": " + JsonOrNull(r.serial) + ", \"path\": " + Json(r.path) +
           ", \"hardwareId\": " + JsonOrNull(r.hardware) + ", \"instanceId\": " +
           JsonOrNull(r.instance) + ", \"bluetoothAddress\": " +
           JsonOrNull(r.bluetooth) + ", \"bluetoothName\": " +
           (r.bluetooth.empty() ? "null" : Json(r.bluetoothName));
}

void PrintPortsJson(const std::vector<PortRow>& rows) {
    std::vector<std::string> items;
    for (const PortRow& r : rows) items.push_back("{" + PortJsonKeys(r) + "}");
    PrintJsonList(items);
}

void PrintPortsTable(const std::vector<PortRow>& rows) {
    if (rows.empty()) {
        std::printf("serial ports: none\n");
        return;
    }
    const char* heads[] = {"PORT", "SOURCE", "FRIENDLY NAME", "DEVICE", "SERIAL", "PATH"};
    // Control characters would break the columns; "-" stands for unknown.
    auto cell = [](std::string text) {
        for (char& c : text) {
            if (static_cast<unsigned char>(c) < 0x20) c = ' ';
        }
        return text.empty() ? std::string("-") : text;
    };
    auto cells = [&](const PortRow& r) {
        // A USB device's VID:PID, or a Bluetooth device's address.
        return std::vector<std::string>{cell(r.port), cell(r.source),
                                        cell(r.friendly), cell(r.ids.empty() ? r.bluetooth : r.ids),
                                        cell(r.serial), cell(r.path)};
    };
    size_t widths[6];
    for (int c = 0; c < 6; ++c) widths[c] = std::strlen(heads[c]);
    for (const PortRow& r : rows) {
        std::vector<std::string> row = cells(r);
        for (int c = 0; c < 6; ++c) widths[c] = std::max(widths[c], row[c].size());
    }
    auto print = [&](const std::vector<std::string>& row) {
        for (int c = 0; c < 6; ++c) {
            if (c == 5) {
                std::printf("%s\n", row[c].c_str());
            } else {
                std::printf("%-*s  ", static_cast<int>(widths[c]), row[c].c_str());
            }
        }
    };
    print(std::vector<std::string>(std::begin(heads), std::end(heads)));
    for (const PortRow& r : rows) print(cells(r));
}

const char kPortsHelp[] =
    "  ports [--json]          every serial port once, from the device map and the\n"
    "                          COM-port interfaces: port, source (map, interface,\n"
    "                          both), friendly name, USB VID:PID (or the Bluetooth\n"
    "                          device), serial number and the path to open; then\n"
    "                          the parallel port names. --json: the serial ports\n"
    "                          as a JSON array\n"
    "  ports --watch [--json] [--rescan MS] [--timeout S]\n"
    "                          each serial port that arrives or leaves, as it does,\n"
    "                          until Ctrl+C or S seconds (--json: one object a line);\n"
    "                          the list is read on each device notification and\n"
    "                          every MS milliseconds (2000; 0: notifications only)\n";

// A report of ports --watch as one line.
std::string WatchLine(long event, const PortRow& r, bool json) {
    const char* what = event == CX_EVENT_PORT_ARRIVED ? "arrived" : "removed";
    if (json) return std::string("{\"event\": \"") + what + "\", " + PortJsonKeys(r) + "}\n";
    std::string line = std::string(what) + " " + (r.port.empty() ? r.path : r.port);
    if (!r.friendly.empty()) line += "  " + r.friendly;
    if (!r.ids.empty()) line += "  USB " + r.ids;
    if (!r.serial.empty()) line += "  serial " + r.serial;
    if (!r.bluetooth.empty()) {
        line += "  Bluetooth " + r.bluetooth;
        if (!r.bluetoothName.empty()) line += " " + r.bluetoothName;
    }
    if (!r.port.empty()) line += "  " + r.path;
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
    return line + "\n";
}

struct WatchRun {
    CxSerialPortWatch watch;
    bool json = false;
    Ending ending;
};

// Prints every report waiting; output that cannot be written ends the run.
long CALLBACK OnWatchEvent(void* pParam, unsigned int, long) {
    WatchRun* run = static_cast<WatchRun*>(pParam);
    CxSerialPortFind port;
    long event = 0;
    while (run->watch.TakeReport(&event, &port)) {
        if (!WriteOut(WatchLine(event, RowOf(port), run->json))) {
            Fail("cannot write to stdout: %s", ErrorText(GetLastError()));
            run->ending.End(kFailure);
            break;
        }
    }
    return 0;
}

std::atomic<Ending*> g_interrupted{nullptr};

BOOL WINAPI OnConsoleControl(DWORD) {
    Ending* ending = g_interrupted.load();
    if (ending) ending->End(kSuccess);
    return ending != nullptr;
}

int PortsWatch(bool json, unsigned long rescan, unsigned long seconds) {
    WatchRun run;
    run.json = json;
    run.watch.SetRescanPeriod(rescan);
    run.watch.SetWndMsgProc(nullptr, 0, &OnWatchEvent, &run);
    if (!run.watch.Start(0)) {
        return Fail("cannot watch the serial ports: %s", ErrorText(GetLastError()));
    }
    std::fprintf(stderr, "qvtool: watching the serial ports (%s); Ctrl+C ends\n",
                 rescan ? ("read again every " + std::to_string(rescan) + " ms").c_str()
                        : "on device notifications only");
    g_interrupted = &run.ending;
    SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
    int code = kSuccess;
    if (!seconds) {
        code = run.ending.Wait();
    } else if (!run.ending.WaitFor(seconds * 1000, &code)) {
        code = kSuccess;  // the time is up
    }
    SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
    g_interrupted = nullptr;
    run.watch.Stop();
    return code;
}

int Ports(int argc, char** argv) {
    bool json = false, watch = false;
    unsigned long seconds = 0, rescan = CX_PORT_WATCH_RESCAN_DEFAULT;
    bool timed = false, rescanned = false;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--json") {
            json = true;
        } else if (arg == "--watch") {
            watch = true;
        } else if (arg == "--timeout") {
            if (!TakeTimeout(argc, argv, &i, &seconds)) return Usage(kTimeoutUsage);
            timed = true;
        } else if (arg == "--rescan") {
            if (i + 1 >= argc || !ParseNumber(argv[i + 1], CX_PORT_WATCH_RESCAN_MAX, &rescan) ||
                (rescan && rescan < CX_PORT_WATCH_RESCAN_MIN)) {
                return Usage("--rescan needs 0 or a number of milliseconds from 100 to 86400000");
            }
            ++i;
            rescanned = true;
        } else {
            return Usage("unknown ports argument '" + arg + "'");
        }
    }
    if ((timed || rescanned) && !watch) return Usage("--timeout and --rescan go with --watch");
    if (watch) return PortsWatch(json, rescan, seconds);
    std::vector<PortRow> rows = SerialPortRows();
    if (json) {
        PrintPortsJson(rows);
        return kSuccess;
    }
    PrintPortsTable(rows);
    ListMap("parallel ports", QV_GUID_DEVINTERFACE_PARALLEL, false);
    return kSuccess;
}

void SummaryPorts() {
    std::vector<PortRow> rows = SerialPortRows();
    std::string line = "serial ports:";
    for (const PortRow& r : rows) line += " " + (r.port.empty() ? r.path : r.port);
    std::printf("%s\n", rows.empty() ? "serial ports: none" : line.c_str());
    ListMap("parallel ports", QV_GUID_DEVINTERFACE_PARALLEL, true);
}

const char kDevicesHelp[] =
    "  devices [comport|parallel|GUID] [--json]\n"
    "                          present device interfaces of a class (default\n"
    "                          comport): path, name (the friendly name, else the\n"
    "                          device description), hardware and instance ID\n";

int Devices(int argc, char** argv) {
    bool json = false;
    std::string bad;
    if (!TakeJson(&argc, argv, &json, &bad)) return Usage("unknown devices option '" + bad + "'");
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
    std::vector<std::string> items;
    for (int ok = find.FindDevice(&guid); ok; ok = find.FindNextDevice()) {
        find.GetDevicePath(text);
        std::string path = Narrow(text);
        find.GetDeviceFriendlyName(text);
        std::string friendly = Narrow(text);
        find.GetDeviceDescription(text);
        std::string description = Narrow(text);
        find.GetDeviceHardwareID(text);
        std::string hardware = Narrow(text);
        find.GetDeviceInstanceID(text);
        std::string instance = Narrow(text);
        if (json) {
            items.push_back("{\"path\": " + Json(path) + ", \"friendlyName\": " +
                            JsonOrNull(friendly) + ", \"description\": " + JsonOrNull(description) +
                            ", \"hardwareId\": " + JsonOrNull(hardware) +
                            ", \"instanceId\": " + JsonOrNull(instance) + "}");
            continue;
        }
        items.push_back(path);
        std::printf("%s\n", path.c_str());
        std::printf("  name:        %s\n", (friendly.empty() ? description : friendly).c_str());
        std::printf("  hardware ID: %s\n", hardware.c_str());
        std::printf("  instance ID: %s\n", instance.c_str());
    }
    if (json) {
        PrintJsonList(items);
    } else if (items.empty()) {
        std::printf("no present devices of that class\n");
    }
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

std::string AdapterJson(const IP_ADAPTER_INFO& info) {
    std::string addresses;
    for (const IP_ADDR_STRING* p = &info.IpAddressList; p; p = p->Next) {
        addresses += std::string(addresses.empty() ? "" : ", ") + "{\"address\": " +
                     Json(p->IpAddress.String) + ", \"mask\": " + Json(p->IpMask.String) + "}";
    }
    return "{\"name\": " + Json(info.AdapterName) + ", \"description\": " +
           Json(info.Description) + ", \"mac\": " + JsonOrNull(Mac(info)) +
           ", \"addresses\": [" + addresses + "], \"gateway\": " +
           JsonOrNull(info.GatewayList.IpAddress.String) +
           ", \"dhcp\": " + (info.DhcpEnabled ? "true" : "false") +
           ", \"dhcpServer\": " + JsonOrNull(info.DhcpEnabled ? info.DhcpServer.IpAddress.String : "") +
           "}";
}

int ListAdapters(bool brief, bool json = false) {
    CxAdapterFind find;
    IP_ADAPTER_INFO info;
    std::vector<std::string> items;
    int n = 0;
    for (int ok = find.FindAdapter(); ok; ok = find.FindNextAdapter(), ++n) {
        find.GetAdapterInfo(&info);
        if (json) {
            items.push_back(AdapterJson(info));
            continue;
        }
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
    if (json) {
        PrintJsonList(items);
    } else if (!n) {
        std::printf(brief ? "adapters: none\n" : "no adapters\n");
    }
    return n;
}

const char kAdaptersHelp[] =
    "  adapters [--json]       network adapters: name, MAC address, addresses\n";

int Adapters(int argc, char** argv) {
    bool json = false;
    std::string bad;
    if (!TakeJson(&argc, argv, &json, &bad)) return Usage("unknown adapters option '" + bad + "'");
    if (argc) return Usage("adapters takes no arguments but --json");
    ListAdapters(false, json);
    return kSuccess;
}

void SummaryAdapters() { ListAdapters(true); }

int ListAddrs(bool summary, bool json = false) {
    SocketScope sockets;
    if (!sockets.Ok()) {
        if (!summary) return Fail("cannot start Windows Sockets%s", "");
        std::printf("local addresses: Windows Sockets cannot start\n");
        return kFailure;
    }
    CxLocalHostIPAddrFind find;
    wchar_t addr[QV_IPADDR_CCH];
    std::vector<std::string> items;
    int n = 0;
    for (int ok = find.FindIPAddr(); ok; ok = find.FindNextIPAddr(), ++n) {
        find.GetIPAddr(addr);
        bool usable = IsValidIPAddress(addr) != 0;
        if (json) {
            items.push_back("{\"address\": " + Json(Narrow(addr)) +
                            ", \"usable\": " + (usable ? "true" : "false") + "}");
        } else if (summary) {
            std::printf("%s%s", n ? " " : "local addresses: ", Narrow(addr).c_str());
        } else {
            std::printf("%s%s\n", Narrow(addr).c_str(), usable ? "" : " (not usable)");
        }
    }
    if (json) {
        PrintJsonList(items);
        return kSuccess;
    }
    if (summary) std::printf(n ? "\n" : "local addresses: none\n");
    std::memset(addr, 0, sizeof addr);
    if (GetFirstValidIPAddress(addr)) {
        std::printf("first usable address: %s\n", Narrow(addr).c_str());
    } else {
        std::printf("first usable address: none\n");
    }
    return kSuccess;
}

const char kAddrsHelp[] =
    "  addrs [--json]          the local host's IPv4 addresses and the first usable one\n";

int Addrs(int argc, char** argv) {
    bool json = false;
    std::string bad;
    if (!TakeJson(&argc, argv, &json, &bad)) return Usage("unknown addrs option '" + bad + "'");
    if (argc) return Usage("addrs takes no arguments but --json");
    return ListAddrs(false, json);
}

void SummaryAddrs() { ListAddrs(true); }

const char kResolveHelp[] =
    "  resolve NAME [--json]   the first IPv4 address of a host name\n";

int Resolve(int argc, char** argv) {
    bool json = false;
    std::string bad;
    if (!TakeJson(&argc, argv, &json, &bad)) return Usage("unknown resolve option '" + bad + "'");
    if (argc != 1 || !argv[0][0]) return Usage("resolve needs one NAME");
    SocketScope sockets;
    if (!sockets.Ok()) return Fail("cannot start Windows Sockets%s", "");
    wchar_t addr[QV_IPADDR_CCH] = {};
    if (!GetIPAddrByDomainName(Widen(argv[0]).c_str(), addr)) {
        return Fail("cannot resolve %s", std::string(argv[0]) + ": " +
                                             ErrorText(SocketGetLastError()));
    }
    if (json) {
        std::printf("{\"name\": %s, \"address\": %s}\n", Json(argv[0]).c_str(),
                    Json(Narrow(addr)).c_str());
    } else {
        std::printf("%s\n", Narrow(addr).c_str());
    }
    return kSuccess;
}

const char kScanHelp[] =
    "  scan [--json]           ask every address of the local /24 subnet by ARP and\n"
    "                          list the hosts that answer (sends real ARP requests);\n"
    "                          progress on stderr when it is a terminal\n";

// Shows how the scan goes, on one line of a terminal.
void CALLBACK ShowProgress(void* /*pParam*/, unsigned long ulProbed, unsigned long ulAnswered) {
    std::fprintf(stderr, "\rqvtool: probed %lu/254, %lu answered", ulProbed, ulAnswered);
    std::fflush(stderr);
}

int Scan(int argc, char** argv) {
    bool json = false;
    std::string bad;
    if (!TakeJson(&argc, argv, &json, &bad)) return Usage("unknown scan option '" + bad + "'");
    if (argc) return Usage("scan takes no arguments but --json");
    SocketScope sockets;
    if (!sockets.Ok()) return Fail("cannot start Windows Sockets%s", "");
    bool terminal = _isatty(_fileno(stderr)) != 0;
    std::fprintf(stderr, "qvtool: scanning the local /24 subnet by ARP...\n");
    CxNetworkHostFind find;
    NET_HOST_INFO info;
    std::vector<std::string> items;
    int ok = find.FindHost(terminal ? &ShowProgress : nullptr, nullptr);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (terminal) std::fprintf(stderr, "\n");
    for (; ok; ok = find.FindNextHost()) {
        find.GetHostInfo(&info);
        std::string address = Narrow(info.szIPAddress);
        std::string mac = Narrow(info.szMacAddress);
        std::string name = Narrow(info.szHostName);
        if (json) {
            items.push_back("{\"address\": " + Json(address) + ", \"mac\": " + Json(mac) +
                            ", \"hostName\": " + JsonOrNull(name) + "}");
        } else {
            items.push_back(address);
            std::printf("%-15s  %s  %s\n", address.c_str(), mac.c_str(), name.c_str());
        }
    }
    find.FindHostClose();
    // Nobody answered, or no probe could be made at all: not the same.
    if (items.empty() && error != ERROR_NO_MORE_ITEMS && error != ERROR_SUCCESS) {
        return Fail("cannot probe this network: %s", ErrorText(error));
    }
    if (json) {
        PrintJsonList(items);
    } else if (items.empty()) {
        std::printf("no host answered\n");
    }
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
