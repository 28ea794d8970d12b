// qvtool serial: opens a serial port, copies what arrives to stdout and sends
// what stdin gives, byte for byte both ways. After the end of stdin it waits
// for the answer: the session ends once nothing has moved for --wait ms.
#include "quorvel/quorvel.h"

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/qvtool/commands.h"

namespace qvtool {
namespace {

constexpr unsigned long kMaxBaud = 0x7FFFFFFF;
constexpr unsigned long kMaxThreshold = 65535;
constexpr unsigned long kRecvWait = 1000;  // ms
constexpr unsigned long kSendWait = 5000;  // ms
constexpr unsigned long kDefaultWait = 500;  // ms of quiet that end a session after stdin
constexpr unsigned long kMaxWait = 24 * 60 * 60 * 1000;  // ms
constexpr unsigned long kEndPoll = 20;  // ms between two looks at the clock

// Shared by the command, the port's listener and the stdin thread, which
// may outlive the command (it is left waiting for stdin).
struct Session {
    CxSerial port;
    std::string path;
    Ending ending;
    std::mutex sending;     // held while the port sends; Close waits for it
    bool closed = false;    // under sending: the port is closed, send nothing
    std::atomic<bool> inputEnded{false};
    std::atomic<DWORD> lastMove{0};  // tick of the last bytes in or out, or of the end of stdin
};

void Moved(Session& session) { session.lastMove = GetTickCount(); }

// "framing, parity" for the flags of a line error.
std::string LineErrorText(unsigned long flags) {
    static const struct {
        unsigned long flag;
        const char* name;
    } kNames[] = {{CE_FRAME, "framing"},       {CE_RXPARITY, "parity"},
                  {CE_OVERRUN, "overrun"},     {CE_RXOVER, "input queue overflow"},
                  {CE_BREAK, "break"}};
    std::string text;
    for (const auto& name : kNames) {
        if (!(flags & name.flag)) continue;
        if (!text.empty()) text += ", ";
        text += name.name;
        flags &= ~name.flag;
    }
    if (flags) {
        char rest[32];
        std::snprintf(rest, sizeof rest, "%sflags 0x%lX", text.empty() ? "" : ", ", flags);
        text += rest;
    }
    return text.empty() ? "unknown" : text;
}

// Runs on the port's listener thread.
long CALLBACK OnEvent(void* pParam, unsigned int /*uHandle*/, long lEvent) {
    Session* session = static_cast<Session*>(pParam);
    if (lEvent == CX_EVENT_LINE_ERROR) {
        unsigned long flags = 0;
        unsigned long discarded = 0;
        if (session->port.GetLineError(&flags, &discarded)) {
            std::fflush(stdout);
            std::fprintf(stderr, "qvtool: %s line error: %s; %lu received byte%s discarded\n",
                         session->path.c_str(), LineErrorText(flags).c_str(), discarded,
                         discarded == 1 ? "" : "s");
        }
        return 0;
    }
    if (lEvent == CX_EVENT_DEVICE_REMOVED) {
        std::fflush(stdout);
        std::fprintf(stderr, "qvtool: %s was removed; end input to close it\n",
                     session->path.c_str());
        return 0;
    }
    if (lEvent != CX_EVENT_DATA_READY) return 0;
    unsigned long waiting = 0;
    unsigned long outgoing = 0;
    if (!session->port.GetBufferCount(&waiting, &outgoing) || waiting == 0) return 0;
    std::vector<unsigned char> data(waiting);
    if (!session->port.Recv(data.data(), waiting, kRecvWait)) {
        Fail("cannot read from %s", session->path + ": " + ErrorText(GetLastError()));
        return 0;
    }
    Moved(*session);
    if (!WriteOut(data.data(), data.size())) {
        Fail("cannot write to stdout%s", "");
        session->ending.End(kFailure);
    }
    return 0;
}

// Waits for the session's end: a failure, --wait ms of quiet after the end
// of stdin, or --timeout seconds of quiet.
int AwaitEnd(Session& session, unsigned long wait, unsigned long timeout) {
    int code = kSuccess;
    while (!session.ending.WaitFor(kEndPoll, &code)) {
        DWORD now = GetTickCount();
        if (session.inputEnded && now - session.lastMove >= wait) return kSuccess;
        if (timeout && now - session.lastMove >= timeout * 1000) {
            std::fprintf(stderr, "qvtool: nothing sent or received for %lu s\n", timeout);
            return kSuccess;
        }
    }
    return code;
}

}  // namespace

const char kSerialHelp[] =
    "  serial PATH [--baud N] [--threshold N] [--wait MS] [--timeout S]\n"
    "                          open a serial port (COM3, \\\\.\\COM12), copy what\n"
    "                          arrives to stdout and send what stdin gives, byte\n"
    "                          for byte; --baud sets N baud 8N1, --threshold the\n"
    "                          bytes that make data ready (default 1); line errors\n"
    "                          and the device's removal are reported on stderr.\n"
    "                          After the end of stdin it waits for the answer and\n"
    "                          ends once nothing moved for MS ms (default 500);\n"
    "                          --timeout: end once nothing was sent or received\n"
    "                          for S seconds\n";

void SummarySerial() { std::printf("serial: open a port with 'qvtool serial COMn'\n"); }

int Serial(int argc, char** argv) {
    const char* path = nullptr;
    unsigned long baud = 0;
    bool setBaud = false;
    unsigned long threshold = 1;
    unsigned long wait = kDefaultWait;
    unsigned long timeout = 0;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--wait") {
            if (i + 1 >= argc || !ParseNumber(argv[i + 1], kMaxWait, &wait)) {
                return Usage("--wait needs a number of milliseconds from 0 to 86400000");
            }
            ++i;
        } else if (arg == "--timeout") {
            if (!TakeTimeout(argc, argv, &i, &timeout)) return Usage(kTimeoutUsage);
        } else if (arg == "--baud" || arg == "--threshold") {
            if (i + 1 >= argc) return Usage(arg + " needs a number");
            const char* value = argv[++i];
            if (arg == "--baud") {
                if (!ParseNumber(value, kMaxBaud, &baud) || baud == 0) {
                    return Usage("bad baud rate '" + std::string(value) + "'");
                }
                setBaud = true;
            } else if (!ParseNumber(value, kMaxThreshold, &threshold)) {
                return Usage("bad threshold '" + std::string(value) + "' (0 to 65535)");
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown serial option '" + arg + "'");
        } else if (path) {
            return Usage("serial takes one PATH, not '" + arg + "' as well");
        } else {
            path = argv[i];
        }
    }
    if (!path) return Usage("serial needs a PATH, such as COM3");

    auto session = std::make_shared<Session>();
    session->path = path;
    CxSerial& port = session->port;
    if (!port.Open(Widen(path).c_str(), static_cast<unsigned short>(threshold))) {
        return Fail("cannot open %s", std::string(path) + ": " + ErrorText(GetLastError()));
    }
    if (setBaud) {
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        bool ok = port.GetSettings(&dcb) != 0;
        if (ok) {
            dcb.BaudRate = baud;
            dcb.ByteSize = 8;
            dcb.Parity = NOPARITY;
            dcb.StopBits = ONESTOPBIT;
            ok = port.SetSettings(&dcb) != 0;
        }
        if (!ok) {
            DWORD error = GetLastError();
            port.Close();
            return Fail("cannot set %s", std::string(path) + " to " + std::to_string(baud) +
                                             " baud 8N1: " + ErrorText(error));
        }
    }

    // Received bytes go out unchanged, without line-feed translation.
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
    port.SetWndMsgProc(nullptr, 0, &OnEvent, session.get());
    // Line errors and the removal are told as they happen.
    if (!port.SetLineErrorEvent(1) || !port.SetRemovalEvent(1)) {
        Fail("cannot watch %s for line errors and removal",
             std::string(path) + ": " + ErrorText(GetLastError()));
    }
    std::fprintf(stderr, "qvtool: %s open; stdin goes to the port until its end (Ctrl+Z/Ctrl+D)\n",
                 path);
    Moved(*session);

    // Each piece of stdin goes out as read; the port is never closed while
    // it sends.
    ReadStdin(
        [session](const char* data, size_t length) {
            std::lock_guard<std::mutex> lock(session->sending);
            if (session->closed) return false;
            if (!session->port.Send(reinterpret_cast<unsigned char*>(const_cast<char*>(data)),
                                    static_cast<unsigned long>(length), kSendWait)) {
                Fail("cannot send to %s", session->path + ": " + ErrorText(GetLastError()));
                session->ending.End(kFailure);
                return false;
            }
            Moved(*session);
            return true;
        },
        [session](bool atEnd) {
            if (!atEnd) {
                Fail("cannot read stdin: %s", ErrorText(GetLastError()));
                session->ending.End(kFailure);
                return;
            }
            Moved(*session);
            session->inputEnded = true;  // the answer may still come
        });
    int result = AwaitEnd(*session, wait, timeout);
    {
        std::lock_guard<std::mutex> lock(session->sending);
        session->closed = true;
    }
    port.Close();
    return result;
}

namespace {
const Registrar kSerial({"serial", &Serial, kSerialHelp, &SummarySerial, 20});
}  // namespace

}  // namespace qvtool
