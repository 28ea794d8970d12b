// qvtool tcp and udp: TCP and UDP endpoints on the command line, to try the
// library against socat, nc or another qvtool.
//
//   qvtool tcp listen ADDR PORT [--echo]   accept one connection
//   qvtool tcp connect ADDR PORT           connect
//   qvtool udp PORT [--peer ADDR]          datagrams on PORT
//
// Received data goes to stdout unchanged; stdin goes to the peer (for tcp as
// it is read, for udp one datagram per line). At the end of stdin a TCP
// session shuts its sending side down and waits for the peer to close.
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

constexpr unsigned long kMaxPort = 65535;
constexpr unsigned long kChunk = 64 * 1024;

std::string SocketErrorText() { return ErrorText(SocketGetLastError()); }

// Starts Windows Sockets for the span of one command.
struct Startup {
    bool ok = SocketInit() != 0;
    ~Startup() {
        if (ok) SocketUnInit();
    }
};

unsigned long Waiting(SOCKET s) {
    u_long n = 0;
    return ioctlsocket(s, FIONREAD, &n) == 0 ? n : 0;
}

void WriteOut(const unsigned char* data, unsigned long length) {
    std::fwrite(data, 1, length, stdout);
    std::fflush(stdout);
}

// Copies what the peer sends to stdout (or back to the peer) until it closes.
void Pump(CxClientSocket* connection, bool echo) {
    std::vector<unsigned char> buffer(kChunk);
    for (;;) {
        // One byte blocks until data or the end comes, then the rest that waits.
        if (!connection->Recv(buffer.data(), 1, 0)) return;
        unsigned long n = Waiting(connection->GetSocket());
        if (n > kChunk - 1) n = kChunk - 1;
        if (n && !connection->Recv(buffer.data() + 1, n, 0)) return;
        if (echo) {
            if (!connection->Send(buffer.data(), n + 1, 0)) return;
        } else {
            WriteOut(buffer.data(), n + 1);
        }
    }
}

// stdin to the peer, then shut down sending and wait for the peer's end.
int Session(CxClientSocket* connection, bool echo) {
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
    std::thread pump(&Pump, connection, echo);
    int result = kSuccess;
    if (!echo) {
        std::vector<char> buffer(kChunk);
        int n = 0;
        while ((n = _read(_fileno(stdin), buffer.data(), static_cast<unsigned>(buffer.size()))) > 0) {
            if (!connection->Send(reinterpret_cast<unsigned char*>(buffer.data()),
                                  static_cast<unsigned long>(n), 0)) {
                result = Fail("cannot send (%s)", SocketErrorText());
                break;
            }
        }
        shutdown(connection->GetSocket(), SD_SEND);
    }
    pump.join();
    connection->DisConnect();
    return result;
}

bool ParsePort(const char* text, int* port) {
    unsigned long value = 0;
    if (!ParseNumber(text, kMaxPort, &value)) return false;
    *port = static_cast<int>(value);
    return true;
}

int TcpListen(const char* address, int port, bool echo) {
    CxServerSocket server;
    if (!server.ListenConnection(Widen(address).c_str(), port)) {
        return Fail("cannot listen (%s)", SocketErrorText());
    }
    std::fprintf(stderr, "qvtool: listening on %s port %d\n", address, port);
    SOCKET accepted = server.AcceptConnection();  // no events selected: waits
    server.DisListenConnection();
    if (accepted == INVALID_SOCKET) return Fail("cannot accept (%s)", SocketErrorText());
    CxClientSocket connection;
    connection.Attach(accepted);
    wchar_t peer[16] = L"";
    connection.GetPeerAddress(peer);
    std::fprintf(stderr, "qvtool: connection from %s\n", Narrow(peer).c_str());
    return Session(&connection, echo);
}

int TcpConnect(const char* address, int port) {
    CxClientSocket connection;
    if (!connection.Connect(Widen(address).c_str(), port, 0)) {
        return Fail("cannot connect (%s)", SocketErrorText());
    }
    return Session(&connection, false);
}

}  // namespace

const char kTcpHelp[] =
    "  tcp listen ADDR PORT [--echo]\n"
    "                          accept one TCP connection on ADDR (0.0.0.0: every\n"
    "                          interface) and PORT; received data to stdout, stdin\n"
    "                          to the peer; --echo sends everything back instead\n"
    "  tcp connect ADDR PORT   connect to a numeric IPv4 address; as above\n";
const char kUdpHelp[] =
    "  udp PORT [--peer ADDR]  datagrams on PORT (every interface): each received\n"
    "                          one to stdout, each stdin line to the peer at PORT;\n"
    "                          without --peer the peer is the last sender\n";

void SummarySockets() {
    Startup startup;
    std::printf("sockets: Windows Sockets 2.2 %s\n", startup.ok ? "starts" : "does not start");
}

int Tcp(int argc, char** argv) {
    if (argc < 1) return Usage("tcp needs 'listen' or 'connect'");
    std::string mode = argv[0];
    bool echo = false;
    std::vector<const char*> rest;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--echo" && mode == "listen") {
            echo = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown tcp option '" + arg + "'");
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (mode != "listen" && mode != "connect") return Usage("tcp needs 'listen' or 'connect'");
    if (rest.size() != 2) return Usage("tcp " + mode + " needs ADDR and PORT");
    int port = 0;
    if (!ParsePort(rest[1], &port)) return Usage("bad port '" + std::string(rest[1]) + "'");
    Startup startup;
    if (!startup.ok) return Fail("cannot start Windows Sockets%s", "");
    return mode == "listen" ? TcpListen(rest[0], port, echo) : TcpConnect(rest[0], port);
}

int Udp(int argc, char** argv) {
    const char* portText = nullptr;
    const char* peer = nullptr;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--peer") {
            if (i + 1 >= argc) return Usage("--peer needs an address");
            peer = argv[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown udp option '" + arg + "'");
        } else if (portText) {
            return Usage("udp takes one PORT");
        } else {
            portText = argv[i];
        }
    }
    int port = 0;
    if (!portText) return Usage("udp needs a PORT");
    if (!ParsePort(portText, &port)) return Usage("bad port '" + std::string(portText) + "'");
    Startup startup;
    if (!startup.ok) return Fail("cannot start Windows Sockets%s", "");

    CxUdpSocket udp;
    if (!udp.Bind(port, 0)) return Fail("cannot bind (%s)", SocketErrorText());
    if (peer) {
        // A send of no bytes checks the address and sends nothing.
        std::wstring address = Widen(peer);
        udp.SetPeerAddress(address.c_str());
        if (!udp.SendTo(address.c_str(), nullptr, 0)) {
            udp.Disbind();
            return Usage("bad peer address '" + std::string(peer) + "'");
        }
    }
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
    std::fprintf(stderr, "qvtool: bound to port %d; each stdin line goes out as a datagram\n", port);

    std::thread receiver([&udp] {
        std::vector<unsigned char> buffer(65536);
        for (;;) {
            SOCKET s = udp.GetSocket();
            fd_set set;
            set.fd_count = 1;
            set.fd_array[0] = s;
            if (s == INVALID_SOCKET || select(0, &set, nullptr, nullptr, nullptr) <= 0) return;
            unsigned long n = Waiting(s);
            if (n == 0 || n > buffer.size()) n = static_cast<unsigned long>(buffer.size());
            // The whole datagram, or fail; either way the next one is next.
            if (udp.Recv(buffer.data(), n, 0)) WriteOut(buffer.data(), n);
            else if (SocketGetLastError() == WSAENOTSOCK) return;
        }
    });

    char line[4096];
    while (std::fgets(line, sizeof line, stdin)) {
        unsigned long length = static_cast<unsigned long>(std::strlen(line));
        if (length && !udp.Send(reinterpret_cast<unsigned char*>(line), length, 0)) {
            Fail("cannot send (%s)", SocketErrorText());
        }
    }
    udp.Disbind();  // ends the receiver's wait
    receiver.join();
    return kSuccess;
}

namespace {
const Registrar kTcp({"tcp", &Tcp, kTcpHelp, &SummarySockets, 30});
const Registrar kUdp({"udp", &Udp, kUdpHelp, nullptr, 31});
}  // namespace

}  // namespace qvtool
