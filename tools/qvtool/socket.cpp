// qvtool tcp and udp: TCP and UDP endpoints on the command line, to try the
// library against socat, nc or another qvtool.
//
//   qvtool tcp listen ADDR PORT [--echo] [--timeout S]   accept one connection
//   qvtool tcp connect ADDR PORT [--timeout S]           connect
//   qvtool udp PORT [--peer ADDR[:PORT]] [--hex|--json] [--count N] [--timeout S]
//
// Bytes pass unchanged both ways. A TCP session sends stdin as it is read;
// at the end of stdin it shuts its sending side down and waits for the peer
// to close; when the peer closes, it says so and ends at once. UDP sends one
// datagram per stdin line (with --hex or --json one line of hexadecimal
// digits per datagram, so any bytes and empty datagrams pass) and, like
// netcat, goes on receiving after the end of stdin, until --count datagrams
// have come or none came or went for --timeout seconds.
#include "quorvel/quorvel.h"

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/qvtool/commands.h"

namespace qvtool {
namespace {

constexpr unsigned long kMaxPort = 65535;
constexpr unsigned long kChunk = 64 * 1024;
constexpr unsigned long kMaxDatagram = 65507;  // the largest IPv4 UDP payload

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

// "a.b.c.d:port" of a socket's own or peer address; empty if there is none.
std::string Endpoint(SOCKET s, bool peer) {
    SOCKADDR_IN addr = {};
    int length = sizeof addr;
    int result = peer ? getpeername(s, reinterpret_cast<SOCKADDR*>(&addr), &length)
                      : getsockname(s, reinterpret_cast<SOCKADDR*>(&addr), &length);
    if (result != 0) return std::string();
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&addr.sin_addr);
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", b[0], b[1], b[2], b[3],
                  static_cast<unsigned>(ntohs(addr.sin_port)));
    return text;
}

bool ParsePort(const char* text, int* port) {
    unsigned long value = 0;
    if (!ParseNumber(text, kMaxPort, &value)) return false;
    *port = static_cast<int>(value);
    return true;
}

// Waits until s is readable; 0 when the time ran out, -1 when the wait failed.
int WaitReadable(SOCKET s, unsigned long ms) {
    fd_set set;
    set.fd_count = 1;
    set.fd_array[0] = s;
    timeval limit = {static_cast<long>(ms / 1000), static_cast<long>(ms % 1000 * 1000)};
    int ready = select(0, &set, nullptr, nullptr, &limit);
    return ready < 0 ? -1 : ready;
}

// ---- tcp --------------------------------------------------------------------

// Shared by the command and its threads; the stdin thread may outlive the
// command (it is left waiting for stdin).
struct TcpSession {
    CxClientSocket connection;
    std::string peer;  // "a.b.c.d:port"
    Ending ending;
    std::mutex sending;  // held while sending; the connection closes under it
    bool closed = false;
};

// Copies what the peer sends to stdout (or back to the peer) until it closes.
void Pump(std::shared_ptr<TcpSession> session, bool echo) {
    std::vector<unsigned char> buffer(kChunk);
    CxClientSocket& connection = session->connection;
    for (;;) {
        // One byte blocks until data or the end comes, then the rest that waits.
        if (!connection.Recv(buffer.data(), 1, 0)) break;
        unsigned long n = Waiting(connection.GetSocket());
        if (n > kChunk - 1) n = kChunk - 1;
        if (n && !connection.Recv(buffer.data() + 1, n, 0)) break;
        if (echo) {
            std::lock_guard<std::mutex> lock(session->sending);
            if (session->closed) return;
            if (!connection.Send(buffer.data(), n + 1, 0)) {
                Fail("cannot send (%s)", SocketErrorText());
                session->ending.End(kFailure);
                return;
            }
        } else if (!WriteOut(buffer.data(), n + 1)) {
            Fail("cannot write to stdout%s", "");
            session->ending.End(kFailure);
            return;
        }
    }
    if (!session->ending.Ended()) {
        std::fprintf(stderr, "qvtool: %s closed the connection\n", session->peer.c_str());
        session->ending.End(kSuccess);
    }
}

int Session(std::shared_ptr<TcpSession> session, bool echo) {
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
    std::thread pump(&Pump, session, echo);
    if (!echo) {
        ReadStdin(
            [session](const char* data, size_t length) {
                std::lock_guard<std::mutex> lock(session->sending);
                if (session->closed) return false;
                if (!session->connection.Send(
                        reinterpret_cast<unsigned char*>(const_cast<char*>(data)),
                        static_cast<unsigned long>(length), 0)) {
                    Fail("cannot send (%s)", SocketErrorText());
                    session->ending.End(kFailure);
                    return false;
                }
                return true;
            },
            [session](bool atEnd) {
                std::lock_guard<std::mutex> lock(session->sending);
                if (session->closed) return;
                if (!atEnd) {
                    Fail("cannot read stdin: %s", ErrorText(GetLastError()));
                    session->ending.End(kFailure);
                    return;
                }
                // Nothing more to send: the peer's end ends the session.
                shutdown(session->connection.GetSocket(), SD_SEND);
            });
    }
    int result = session->ending.Wait();
    {
        std::lock_guard<std::mutex> lock(session->sending);
        session->closed = true;
    }
    session->connection.DisConnect();  // also ends a receive that still waits
    pump.join();
    return result;
}

int TcpListen(const char* address, int port, bool echo, unsigned long timeout) {
    CxServerSocket server;
    if (!server.ListenConnection(Widen(address).c_str(), port)) {
        return Fail("cannot listen (%s)", SocketErrorText());
    }
    std::string local = Endpoint(server.GetSocket(), false);
    std::fprintf(stderr, "qvtool: listening on %s port %s\n", address,
                 local.substr(local.find(':') + 1).c_str());
    if (timeout) {
        int ready = WaitReadable(server.GetSocket(), timeout * 1000);
        if (ready <= 0) {
            server.DisListenConnection();
            return ready == 0 ? Fail("no connection within %s s", std::to_string(timeout))
                              : Fail("cannot accept (%s)", SocketErrorText());
        }
    }
    SOCKET accepted = server.AcceptConnection();  // no events selected: waits
    if (accepted == INVALID_SOCKET) {
        std::string error = SocketErrorText();
        server.DisListenConnection();
        return Fail("cannot accept (%s)", error);
    }
    server.DisListenConnection();
    auto session = std::make_shared<TcpSession>();
    session->connection.Attach(accepted);
    session->peer = Endpoint(accepted, true);
    std::fprintf(stderr, "qvtool: connection from %s\n", session->peer.c_str());
    return Session(session, echo);
}

// The outcome of a Connect that may take longer than the caller waits.
struct ConnectAttempt {
    Ending done;
    int ok = 0;
    unsigned long error = 0;
};

int TcpConnect(const char* address, int port, unsigned long timeout) {
    auto session = std::make_shared<TcpSession>();
    std::string target = std::string(address) + ":" + std::to_string(port);
    auto attempt = std::make_shared<ConnectAttempt>();
    std::wstring wide = Widen(address);
    auto connect = [session, attempt, wide, port] {
        attempt->ok = session->connection.Connect(wide.c_str(), port, 0);
        attempt->error = SocketGetLastError();
        attempt->done.End(kSuccess);
    };
    if (timeout) {
        // A connect that outlasts the limit is left to the system; the
        // command ends without it.
        std::thread(connect).detach();
        int ignored = 0;
        if (!attempt->done.WaitFor(timeout * 1000, &ignored)) {
            return Fail("cannot connect to %s", target + " within " + std::to_string(timeout) + " s");
        }
    } else {
        connect();
    }
    if (!attempt->ok) return Fail("cannot connect to %s", target + ": " + ErrorText(attempt->error));
    session->peer = target;
    std::fprintf(stderr, "qvtool: connected to %s\n", target.c_str());
    return Session(session, false);
}

// ---- udp --------------------------------------------------------------------

enum class UdpMode { kLines, kHex, kJson };

constexpr int kReceiveBuffer = 4 * 1024 * 1024;  // asked of the system; it may give less
constexpr size_t kMaxQueued = 64 * 1024 * 1024;  // received bytes not yet on stdout
constexpr unsigned long kEndPoll = 100;          // ms between two looks at the limits

struct Datagram {
    std::wstring sender;  // "a.b.c.d:port"
    std::string data;
};

struct UdpSession {
    CxUdpSocket udp;
    UdpMode mode = UdpMode::kLines;
    bool fixedPeer = false;  // given with --peer, else the last sender
    Ending ending;           // a failure that ends the run early
    std::atomic<bool> refused{false};  // a stdin line was skipped: the run fails at its end

    std::mutex mutex;       // guards sending and the three below
    std::wstring peer;      // where stdin goes: "a.b.c.d:port"; empty until known
    bool closed = false;
    // Used by the stdin thread alone.
    std::string pending;    // a stdin line not yet ended
    bool skipping = false;  // dropping the rest of a line too long for a datagram

    // Received datagrams on their way to stdout. The receiving thread only
    // takes them from the socket, so that a slow stdout never leaves them
    // to pile up in the system's buffer, where they would be lost.
    std::mutex queueMutex;
    std::condition_variable queued;
    std::vector<Datagram> queue;
    size_t queuedBytes = 0;
    unsigned long dropped = 0;  // lost while stdout lagged too far behind
    std::atomic<DWORD> lastMove{0};  // tick of the last datagram in or out, or of the start
};

// A stdin line that cannot go out: said, skipped, and the run fails at its end.
void Refuse(UdpSession& session, const char* format, const std::string& detail) {
    Fail(format, detail);
    session.refused = true;
}

// One datagram to the peer; false (after saying why) when the command ends.
bool SendOne(UdpSession& session, const std::string& datagram) {
    std::lock_guard<std::mutex> lock(session.mutex);
    if (session.closed) return false;
    if (datagram.size() > kMaxDatagram) {
        Refuse(session, "a datagram of %s bytes is larger than the largest, 65507 bytes; skipped",
               std::to_string(datagram.size()));
        return true;
    }
    if (session.peer.empty()) {
        Fail("no peer yet: give --peer or wait for a datagram%s", "");
        session.ending.End(kFailure);
        return false;
    }
    unsigned char none = 0;
    unsigned char* data = datagram.empty()
                              ? &none
                              : reinterpret_cast<unsigned char*>(const_cast<char*>(datagram.data()));
    if (!session.udp.SendDatagramTo(session.peer.c_str(), data,
                                    static_cast<unsigned long>(datagram.size()))) {
        Fail("cannot send to %s", Narrow(session.peer.c_str()) + ": " + SocketErrorText());
        session.ending.End(kFailure);
        return false;
    }
    session.lastMove = GetTickCount();
    return true;
}

// One stdin line (without its line feed in the hexadecimal modes) as a
// datagram.
bool SendLine(UdpSession& session, std::string line) {
    if (session.mode == UdpMode::kLines) return SendOne(session, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string datagram;
    if (!ParseHex(line, &datagram)) {
        Refuse(session, "not a line of hexadecimal digit pairs, skipped: '%s'",
               line.size() > 40 ? line.substr(0, 40) + "..." : line);
        return true;
    }
    return SendOne(session, datagram);
}

bool TakeInput(UdpSession& session, const char* data, size_t length) {
    if (session.ending.Ended()) return false;
    // Longer unended text cannot be one datagram, whatever follows.
    const size_t limit = session.mode == UdpMode::kLines ? kMaxDatagram : 4 * kMaxDatagram + 2;
    const char* end = data + length;
    while (data < end) {
        const char* lf = static_cast<const char*>(std::memchr(data, '\n', end - data));
        const char* next = lf ? lf + 1 : end;
        if (!session.skipping) session.pending.append(data, next);
        data = next;
        if (session.skipping) {
            session.skipping = lf == nullptr;  // the skipped line ends here
        } else if (lf) {
            std::string line;
            line.swap(session.pending);
            if (session.mode != UdpMode::kLines) line.pop_back();  // the line feed
            if (!SendLine(session, line)) return false;
        } else if (session.pending.size() > limit) {
            Refuse(session, "a line of more than %s bytes cannot be one datagram; skipped",
                   std::to_string(limit));
            session.pending.clear();
            session.skipping = true;
        }
    }
    return true;
}

void AppendDatagram(UdpMode mode, const Datagram& datagram, std::string* out) {
    const unsigned char* data = reinterpret_cast<const unsigned char*>(datagram.data.data());
    size_t length = datagram.data.size();
    if (mode == UdpMode::kLines) {
        *out += datagram.data;
    } else if (mode == UdpMode::kHex) {
        *out += Hex(data, length) + "\n";
    } else {
        std::string sender = Narrow(datagram.sender.c_str());
        size_t colon = sender.rfind(':');
        std::string port = colon == std::string::npos ? "null" : sender.substr(colon + 1);
        *out += "{\"from\": " + Json(sender.substr(0, colon)) + ", \"port\": " + port +
                ", \"size\": " + std::to_string(length) + ", \"data\": " + Json(Hex(data, length)) +
                "}\n";
    }
}

// Takes datagrams from the socket into the queue until the socket closes.
void Receive(std::shared_ptr<UdpSession> session) {
    std::vector<unsigned char> buffer(kChunk);
    for (;;) {
        wchar_t sender[64] = L"";
        unsigned long length = 0;
        // Waits for the next datagram; closing the socket ends the wait.
        int ok = session->udp.RecvDatagram(sender, buffer.data(),
                                           static_cast<unsigned long>(buffer.size()), &length);
        unsigned long error = SocketGetLastError();
        if (!ok) {
            {
                std::lock_guard<std::mutex> lock(session->mutex);
                if (session->closed) return;
            }
            // An earlier datagram that found no listener is reported on a
            // later receive: not this socket's failure.
            if (error == WSAECONNRESET || error == WSAENETRESET) continue;
            Fail("cannot receive (%s)", ErrorText(error));
            session->ending.End(kFailure);
            return;
        }
        if (!session->fixedPeer && sender[0]) {
            std::lock_guard<std::mutex> lock(session->mutex);
            session->peer = sender;
        }
        {
            std::lock_guard<std::mutex> lock(session->queueMutex);
            session->lastMove = GetTickCount();
            if (session->queuedBytes + length > kMaxQueued) {
                ++session->dropped;
                continue;
            }
            session->queue.push_back(
                {sender, std::string(reinterpret_cast<const char*>(buffer.data()), length)});
            session->queuedBytes += length;
        }
        session->queued.notify_one();
    }
}

// Writes what arrives to stdout, many datagrams in one write when they
// come faster than one by one, until --count datagrams are out, nothing
// went either way for --timeout seconds, or a failure ends the run.
int Deliver(UdpSession& session, unsigned long count, unsigned long timeout) {
    unsigned long shown = 0;
    std::vector<Datagram> batch;
    std::string out;
    for (;;) {
        DWORD idle = 0;
        {
            std::unique_lock<std::mutex> lock(session.queueMutex);
            session.queued.wait_for(lock, std::chrono::milliseconds(kEndPoll),
                                    [&] { return !session.queue.empty(); });
            batch.swap(session.queue);
            session.queuedBytes = 0;
            idle = GetTickCount() - session.lastMove;
        }
        out.clear();
        for (const Datagram& datagram : batch) {
            if (count && shown == count) break;
            AppendDatagram(session.mode, datagram, &out);
            ++shown;
        }
        batch.clear();
        if (!out.empty() && !WriteOut(out)) return Fail("cannot write to stdout%s", "");
        if (count && shown == count) return kSuccess;
        int code = kSuccess;
        if (session.ending.WaitFor(0, &code)) return code;
        if (timeout && idle >= timeout * 1000) {
            std::string quiet = "nothing sent or received for " + std::to_string(timeout) + " s";
            if (count) {
                return Fail("%s", "received " + std::to_string(shown) + " of " +
                                      std::to_string(count) + " datagrams; " + quiet);
            }
            std::fprintf(stderr, "qvtool: %s\n", quiet.c_str());
            return kSuccess;
        }
    }
}

}  // namespace

const char kTcpHelp[] =
    "  tcp listen ADDR PORT [--echo] [--timeout S]\n"
    "                          accept one TCP connection on ADDR (a dotted quad;\n"
    "                          0.0.0.0: every interface) and PORT (0: any free\n"
    "                          port, which is shown); received data to stdout,\n"
    "                          stdin to the peer; --echo sends everything back\n"
    "                          instead; --timeout: give up after S seconds\n"
    "  tcp connect ADDR PORT [--timeout S]\n"
    "                          connect to a dotted-quad address; as above. Either\n"
    "                          ends when the peer closes, or after the end of\n"
    "                          stdin once the peer has closed too\n";
const char kUdpHelp[] =
    "  udp PORT [--peer ADDR[:PORT]] [--hex|--json] [--count N] [--timeout S]\n"
    "                          datagrams on PORT (every interface; 0: any free\n"
    "                          port, which is shown); each stdin line goes out as\n"
    "                          one datagram to --peer (at its PORT, else at the\n"
    "                          bound PORT) or, without --peer, to the last sender\n"
    "                          at its own port; received datagrams go to stdout.\n"
    "                          --hex: one datagram per line as hexadecimal both\n"
    "                          ways (an empty line is an empty datagram); --json:\n"
    "                          stdin as --hex, each received datagram as a JSON\n"
    "                          object with from, port, size and data (hex).\n"
    "                          Receives after the end of stdin too, until N\n"
    "                          datagrams have come (--count), nothing was sent or\n"
    "                          received for S seconds (--timeout) or it is\n"
    "                          interrupted\n";

void SummarySockets() {
    Startup startup;
    std::printf("sockets: Windows Sockets 2.2 %s\n", startup.ok ? "starts" : "does not start");
}

int Tcp(int argc, char** argv) {
    if (argc < 1) return Usage("tcp needs 'listen' or 'connect'");
    std::string mode = argv[0];
    if (mode != "listen" && mode != "connect") return Usage("tcp needs 'listen' or 'connect'");
    bool echo = false;
    unsigned long timeout = 0;
    std::vector<const char*> rest;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--echo" && mode == "listen") {
            echo = true;
        } else if (arg == "--timeout") {
            if (!TakeTimeout(argc, argv, &i, &timeout)) return Usage(kTimeoutUsage);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown tcp " + mode + " option '" + arg + "'");
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (rest.size() != 2) return Usage("tcp " + mode + " needs ADDR and PORT");
    if (!IsDottedQuad(rest[0])) {
        return Usage("bad address '" + std::string(rest[0]) +
                     "': give four decimal numbers, such as 127.0.0.1");
    }
    int port = 0;
    if (!ParsePort(rest[1], &port) || (port == 0 && mode == "connect")) {
        return Usage("bad port '" + std::string(rest[1]) + "'");
    }
    Startup startup;
    if (!startup.ok) return Fail("cannot start Windows Sockets%s", "");
    return mode == "listen" ? TcpListen(rest[0], port, echo, timeout)
                            : TcpConnect(rest[0], port, timeout);
}

int Udp(int argc, char** argv) {
    const char* portText = nullptr;
    const char* peer = nullptr;
    UdpMode mode = UdpMode::kLines;
    unsigned long count = 0;
    unsigned long timeout = 0;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--peer") {
            if (i + 1 >= argc) return Usage("--peer needs an address");
            peer = argv[++i];
        } else if (arg == "--hex" || arg == "--json") {
            if (mode != UdpMode::kLines) return Usage("give one of --hex and --json");
            mode = arg == "--hex" ? UdpMode::kHex : UdpMode::kJson;
        } else if (arg == "--timeout") {
            if (!TakeTimeout(argc, argv, &i, &timeout)) return Usage(kTimeoutUsage);
        } else if (arg == "--count") {
            if (i + 1 >= argc || !ParseNumber(argv[i + 1], ULONG_MAX, &count) || !count) {
                return Usage("--count needs a number of datagrams from 1");
            }
            ++i;
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
    std::string peerAddress;
    unsigned long peerPort = 0;
    if (peer && !ParseAddressPort(peer, &peerAddress, &peerPort)) {
        return Usage("bad peer '" + std::string(peer) +
                     "': give a dotted quad such as 127.0.0.1, with :PORT if need be");
    }
    if (peer && !peerPort && !port) return Usage("--peer needs :PORT when PORT is 0");
    Startup startup;
    if (!startup.ok) return Fail("cannot start Windows Sockets%s", "");

    auto session = std::make_shared<UdpSession>();
    session->mode = mode;
    if (peer) {
        session->fixedPeer = true;
        session->peer = Widen((peerAddress + ":" + std::to_string(peerPort ? peerPort : port)).c_str());
    }
    if (!session->udp.Bind(port, 0)) return Fail("cannot bind (%s)", SocketErrorText());
    // Room for bursts while stdout is written; the system may grant less.
    int room = kReceiveBuffer;
    setsockopt(session->udp.GetSocket(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&room),
               sizeof room);
    session->lastMove = GetTickCount();
    std::string local = Endpoint(session->udp.GetSocket(), false);
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
    std::fprintf(stderr, "qvtool: bound to port %s; each stdin line goes out as a datagram\n",
                 local.substr(local.find(':') + 1).c_str());

    std::thread receiver(&Receive, session);
    // The end of stdin ends only the sending: what arrives is still shown.
    ReadStdin(
        [session](const char* data, size_t length) { return TakeInput(*session, data, length); },
        [session](bool atEnd) {
            if (!atEnd) {
                if (!session->ending.Ended()) {
                    Fail("cannot read stdin: %s", ErrorText(GetLastError()));
                    session->ending.End(kFailure);
                }
                return;
            }
            // A last line without a line feed is a datagram too.
            if (!session->pending.empty() && !session->skipping) {
                SendLine(*session, session->pending);
            }
        });
    int result = Deliver(*session, count, timeout);
    {
        std::lock_guard<std::mutex> lock(session->mutex);
        session->closed = true;
    }
    session->udp.Disbind();  // ends the receive that waits
    receiver.join();
    if (session->dropped) {
        Fail("stdout did not keep up: %s datagrams dropped", std::to_string(session->dropped));
        result = kFailure;
    }
    return session->refused && result == kSuccess ? kFailure : result;
}

namespace {
const Registrar kTcp({"tcp", &Tcp, kTcpHelp, &SummarySockets, 30});
const Registrar kUdp({"udp", &Udp, kUdpHelp, nullptr, 31});
}  // namespace

}  // namespace qvtool
