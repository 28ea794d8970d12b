// qvtool bt: local radios, the devices they find, pairing, the Serial Port
// Profile and the one-call search.
//
// The platform's Bluetooth operations that take a radio treat NULL as every
// radio, and where Bluetooth is missing altogether some of them end the
// process instead of failing: every command here first makes sure a radio
// is there and never hands such an operation a NULL radio.
#include "quorvel/quorvel.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tools/qvtool/commands.h"

namespace qvtool {
namespace {

constexpr unsigned long kMaxIndex = 254;  // 255 means "the first found"

const char kNoRadio[] = "no Bluetooth radio on this machine%s";

// Starts Windows Sockets for the address text; ends it with the object.
struct Sockets {
    bool started = SocketInit() != 0;
    ~Sockets() {
        if (started) SocketUnInit();
    }
};

bool AnyRadio() {
    CxBthRadioFind find;
    return find.FindRadio(1) != 0;
}

std::string ClassText(unsigned long value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%06lX", value);
    return text;
}

std::string DeviceJson(const BTH_DEV_INFO& info) {
    return "{\"address\": " + Json(Narrow(info.szAddress)) + ", \"name\": " +
           Json(Narrow(info.szName)) + ", \"classOfDevice\": " + std::to_string(info.ulClassofDevice);
}

// "[\n  item,\n  item\n]\n", as ports --json prints its list.
void PrintJsonList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? ",\n  " : "\n  ") + items[i];
    out += items.empty() ? "]\n" : "\n]\n";
    std::fputs(out.c_str(), stdout);
}

int Radios(bool json) {
    CxBthRadioFind find;
    std::vector<std::string> items;
    for (int more = find.FindRadio(1); more; more = find.FindNextRadio(1)) {
        BTH_DEV_INFO info;
        find.GetDeviceInfo(&info);
        items.push_back(DeviceJson(info) + "}");
        if (!json) {
            std::printf("%s  %s  class %s\n", Narrow(info.szAddress).c_str(),
                        Narrow(info.szName).c_str(), ClassText(info.ulClassofDevice).c_str());
        }
    }
    if (items.empty()) return Fail(kNoRadio, "");
    if (json) PrintJsonList(items);
    return kSuccess;
}

int Scan(bool flush, bool json) {
    CxBthRadioFind find;
    int radios = 0;
    std::vector<std::string> items;
    for (int more = find.FindRadio(0); more; more = find.FindNextRadio(0)) {
        ++radios;
        BTH_DEV_INFO radioInfo;
        find.GetDeviceInfo(&radioInfo);
        if (!json) {
            std::printf("radio %s (%s):\n", Narrow(radioInfo.szAddress).c_str(),
                        Narrow(radioInfo.szName).c_str());
        }
        CxBthRadio radio;  // lent the finder's handle
        radio.Attach(find.GetRadioHandle());
        std::string devices;
        int count = 0;
        for (int dev = radio.FindRemoteDevice(flush ? 1 : 0); dev; dev = radio.FindNextRemoteDevice()) {
            BTH_DEV_INFO info;
            BLUETOOTH_DEVICE_INFO raw;
            radio.GetRemoteDeviceInfo(&info);
            radio.GetRemoteDeviceInfoStruct(&raw);
            if (json) {
                devices += std::string(count ? ", " : "") + DeviceJson(info) +
                           ", \"remembered\": " + (raw.fRemembered ? "true" : "false") +
                           ", \"paired\": " + (raw.fAuthenticated ? "true" : "false") + "}";
            } else {
                std::printf("  %s  %s  class %s%s%s\n", Narrow(info.szAddress).c_str(),
                            Narrow(info.szName).c_str(), ClassText(info.ulClassofDevice).c_str(),
                            raw.fRemembered ? "  remembered" : "", raw.fAuthenticated ? "  paired" : "");
            }
            ++count;
        }
        radio.FindRemoteDeviceClose();
        if (json) {
            items.push_back("{\"radio\": " + Json(Narrow(radioInfo.szAddress)) + ", \"radioName\": " +
                            Json(Narrow(radioInfo.szName)) + ", \"devices\": [" + devices + "]}");
        } else if (!count) {
            std::printf("  no device found\n");
        }
    }
    if (!radios) return Fail(kNoRadio, "");
    if (json) PrintJsonList(items);
    return kSuccess;
}

int FindByName(int argc, char** argv) {
    const char* name = nullptr;
    unsigned long index = 0xFF;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--index") {
            if (i + 1 >= argc || !ParseNumber(argv[i + 1], kMaxIndex, &index)) {
                return Usage("--index needs a number from 0 to 254");
            }
            ++i;
        } else if (!name) {
            name = argv[i];
        } else {
            return Usage("bt find takes one NAME");
        }
    }
    if (!name) return Usage("bt find needs a NAME");
    if (!AnyRadio()) return Fail(kNoRadio, "");
    wchar_t radio[48], device[48];
    unsigned char status = 0;
    if (!BthFindDevice(Widen(name).c_str(), radio, device, static_cast<unsigned char>(index), 0,
                       &status)) {
        return Fail("no device named '%s' found", name);
    }
    std::printf("%s  on radio %s\n", Narrow(device).c_str(), Narrow(radio).c_str());
    return kSuccess;
}

int Pair(int argc, char** argv) {
    if (argc != 3) return Usage("bt pair needs RADIO DEVICE PASSKEY");
    std::wstring passkey = Widen(argv[2]);
    if (passkey.empty() || passkey.size() > 15) return Usage("a passkey has 1 to 15 characters");
    CxBthRadio radio;
    if (!radio.Open(Widen(argv[0]).c_str())) {
        return AnyRadio() ? Fail("no radio with the address %s", argv[0]) : Fail(kNoRadio, "");
    }
    radio.Close();
    if (!BthAuthenDevice(Widen(argv[0]).c_str(), Widen(argv[1]).c_str(), passkey.c_str())) {
        return Fail("pairing with %s failed", argv[1]);
    }
    std::printf("paired with %s\n", argv[1]);
    return kSuccess;
}

// Finds the device by its address text on any radio and enables the Serial
// Port Profile on it.
int Spp(int argc, char** argv) {
    if (argc != 1) return Usage("bt spp needs a DEVICE address");
    std::wstring wanted = Widen(argv[0]);
    CxBthRadioFind find;
    int radios = 0;
    for (int more = find.FindRadio(0); more; more = find.FindNextRadio(0)) {
        ++radios;
        CxBthRadio radio;
        radio.Attach(find.GetRadioHandle());
        for (int dev = radio.FindRemoteDevice(0); dev; dev = radio.FindNextRemoteDevice()) {
            BTH_DEV_INFO info;
            radio.GetRemoteDeviceInfo(&info);
            if (lstrcmpiW(info.szAddress, wanted.c_str()) != 0) continue;
            int enabled = radio.InstallRemoteDeviceSPPService();
            int on = radio.IsRemoteDeviceInstallSPPService();
            radio.FindRemoteDeviceClose();
            std::printf("serial port profile on %s: %s\n", argv[0], on ? "on" : "off");
            return enabled && on ? kSuccess : Fail("cannot enable the serial port profile on %s", argv[0]);
        }
        radio.FindRemoteDeviceClose();
    }
    return radios ? Fail("no device %s in range", argv[0]) : Fail(kNoRadio, "");
}

constexpr unsigned long kMaxChannel = 30;
constexpr unsigned long kChunk = 64 * 1024;

std::string SocketError() { return ErrorText(SocketGetLastError()); }

// Copies what the peer sends to stdout until it closes.
void Pump(CxBthClientSocket* connection) {
    std::vector<unsigned char> buffer(kChunk);
    // One byte blocks until data or the end comes, then the rest that waits.
    while (connection->Recv(buffer.data(), 1, 0)) {
        u_long n = 0;
        if (ioctlsocket(connection->GetSocket(), FIONREAD, &n) != 0) n = 0;
        if (n > kChunk - 1) n = kChunk - 1;
        if (n && !connection->Recv(buffer.data() + 1, n, 0)) return;
        std::fwrite(buffer.data(), 1, n + 1, stdout);
        std::fflush(stdout);
    }
}

// stdin to the peer, then shut down sending and wait for the peer's end.
int Session(CxBthClientSocket* connection) {
    wchar_t peer[48] = L"";
    connection->GetPeerAddress(peer);
    std::fprintf(stderr, "qvtool: connected to %s\n", Narrow(peer).c_str());
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
    std::thread pump(&Pump, connection);
    int result = kSuccess;
    std::vector<char> buffer(kChunk);
    int n = 0;
    while ((n = _read(_fileno(stdin), buffer.data(), static_cast<unsigned>(buffer.size()))) > 0) {
        if (!connection->Send(reinterpret_cast<unsigned char*>(buffer.data()),
                              static_cast<unsigned long>(n), 0)) {
            result = Fail("cannot send (%s)", SocketError());
            break;
        }
    }
    shutdown(connection->GetSocket(), SD_SEND);
    pump.join();
    connection->DisConnect();
    return result;
}

int Rfcomm(int argc, char** argv) {
    std::string mode = argc > 0 ? argv[0] : "";
    unsigned long channel = 0;
    if (mode == "connect" && argc == 3) {
        if (!ParseNumber(argv[2], kMaxChannel, &channel) || !channel) {
            return Usage("a channel is 1 to 30");
        }
        if (!AnyRadio()) return Fail(kNoRadio, "");
        CxBthClientSocket connection;
        if (!connection.Connect(Widen(argv[1]).c_str(), nullptr, channel, 0)) {
            return Fail("cannot connect (%s)", SocketError());
        }
        return Session(&connection);
    }
    if (mode == "listen" && argc == 2) {
        if (!ParseNumber(argv[1], kMaxChannel, &channel) || !channel) {
            return Usage("a channel is 1 to 30");
        }
        CxBthRadioFind find;
        if (!find.FindRadio(1)) return Fail(kNoRadio, "");
        BTH_DEV_INFO radio;
        find.GetDeviceInfo(&radio);
        CxBthServerSocket server;
        if (!server.ListenConnection(radio.szAddress, nullptr, channel)) {
            return Fail("cannot listen (%s)", SocketError());
        }
        std::fprintf(stderr, "qvtool: listening on %s channel %lu\n", Narrow(radio.szAddress).c_str(),
                     channel);
        SOCKET accepted = server.AcceptConnection();  // no events selected: waits
        server.DisListenConnection();
        if (accepted == INVALID_SOCKET) return Fail("cannot accept (%s)", SocketError());
        CxBthClientSocket connection;
        connection.Attach(accepted);
        return Session(&connection);
    }
    return Usage("bt rfcomm needs 'connect ADDR CHANNEL' or 'listen CHANNEL'");
}

}  // namespace


const char kBluetoothHelp[] =
    "  bt radios [--json]      the local Bluetooth radios: address, name, class\n"
    "  bt scan [--flush] [--json]\n"
    "                          devices each radio finds (--flush forgets the\n"
    "                          remembered ones first)\n"
    "  bt find NAME [--index N]\n"
    "                          the address of the N-th device of that name\n"
    "  bt pair RADIO DEVICE PASSKEY\n"
    "                          pair with a device by passkey (1 to 15 characters)\n"
    "  bt spp DEVICE           enable the serial port profile on a device\n"
    "  bt rfcomm connect ADDR CHANNEL | bt rfcomm listen CHANNEL\n"
    "                          an RFCOMM connection (listen: on the first radio);\n"
    "                          received data to stdout, stdin to the peer\n";

void SummaryBluetooth() {
    Sockets sockets;
    CxBthRadioFind find;
    int count = 0;
    for (int more = find.FindRadio(1); more; more = find.FindNextRadio(1)) ++count;
    if (count) {
        std::printf("bluetooth radios: %d\n", count);
    } else {
        std::printf("bluetooth radios: none\n");
    }
}

int Bluetooth(int argc, char** argv) {
    if (argc < 1) return Usage("bt needs a subcommand: radios, scan, find, pair, spp, rfcomm");
    Sockets sockets;
    if (!sockets.started) return Fail("cannot start Windows Sockets%s", "");
    std::string sub = argv[0];
    if (sub == "radios" || sub == "scan") {
        bool flush = false, json = false;
        for (int i = 1; i < argc; ++i) {
            std::string arg = argv[i];
            if (arg == "--json") {
                json = true;
            } else if (arg == "--flush" && sub == "scan") {
                flush = true;
            } else {
                return Usage(sub == "scan" ? "bt scan takes only --flush and --json"
                                           : "bt radios takes only --json");
            }
        }
        return sub == "radios" ? Radios(json) : Scan(flush, json);
    }
    if (sub == "find") return FindByName(argc - 1, argv + 1);
    if (sub == "pair") return Pair(argc - 1, argv + 1);
    if (sub == "spp") return Spp(argc - 1, argv + 1);
    if (sub == "rfcomm") return Rfcomm(argc - 1, argv + 1);
    return Usage("unknown bt subcommand '" + sub + "'");
}

namespace {
const Registrar kBluetooth({"bt", &Bluetooth, kBluetoothHelp, &SummaryBluetooth, 40});
}  // namespace

}  // namespace qvtool
