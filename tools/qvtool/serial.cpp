// qvtool serial: opens a serial port, copies what arrives to stdout and sends
// the lines read from stdin.
#include "quorvel/quorvel.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/qvtool/commands.h"

namespace qvtool {
namespace {

constexpr unsigned long kMaxBaud = 0x7FFFFFFF;
constexpr unsigned long kMaxThreshold = 65535;
constexpr unsigned long kRecvWait = 1000;  // ms
constexpr unsigned long kSendWait = 5000;  // ms

struct Session {
    CxSerial* port;
    std::string path;
};

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
        if (session->port->GetLineError(&flags, &discarded)) {
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
    if (!session->port->GetBufferCount(&waiting, &outgoing) || waiting == 0) return 0;
    std::vector<unsigned char> data(waiting);
    if (!session->port->Recv(data.data(), waiting, kRecvWait)) {
        Fail("cannot read from %s", session->path + " (" + ErrorText(GetLastError()) + ")");
        return 0;
    }
    std::fwrite(data.data(), 1, data.size(), stdout);
    std::fflush(stdout);
    return 0;
}

}  // namespace

const char kSerialHelp[] =
    "  serial PATH [--baud N] [--threshold N]\n"
           "                          open a serial port (COM3, \\\\.\\COM12), copy what\n"
           "                          arrives to stdout and send each stdin line; --baud\n"
           "                          sets N baud 8N1, --threshold the bytes that make\n"
           "                          data ready (default 1); line errors and the\n"
           "                          device's removal are reported on stderr\n";

void SummarySerial() { std::printf("serial: open a port with 'qvtool serial COMn'\n"); }

int Serial(int argc, char** argv) {
    const char* path = nullptr;
    unsigned long baud = 0;
    bool setBaud = false;
    unsigned long threshold = 1;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--baud" || arg == "--threshold") {
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

    CxSerial port;
    if (!port.Open(Widen(path).c_str(), static_cast<unsigned short>(threshold))) {
        return Fail("cannot open %s", std::string(path) + " (" + ErrorText(GetLastError()) + ")");
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
                                             " baud 8N1 (" + ErrorText(error) + ")");
        }
    }

    // Received bytes go out unchanged, without line-feed translation.
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
    Session session{&port, path};
    port.SetWndMsgProc(nullptr, 0, &OnEvent, &session);
    // Line errors and the removal are told as they happen.
    if (!port.SetLineErrorEvent(1) || !port.SetRemovalEvent(1)) {
        Fail("cannot watch %s for line errors and removal", std::string(path) + " (" +
                                                                 ErrorText(GetLastError()) + ")");
    }
    std::fprintf(stderr, "qvtool: %s open; type lines to send them, end with Ctrl+Z/Ctrl+D (EOF)\n",
                 path);

    char line[4096];
    while (std::fgets(line, sizeof line, stdin)) {
        // A line longer than the buffer arrives in pieces, each sent as read.
        unsigned long length = static_cast<unsigned long>(std::strlen(line));
        if (length == 0) continue;
        if (!port.Send(reinterpret_cast<unsigned char*>(line), length, kSendWait)) {
            Fail("cannot send to %s", std::string(path) + " (" + ErrorText(GetLastError()) + ")");
        }
    }
    port.Close();
    return kSuccess;
}

namespace {
const Registrar kSerial({"serial", &Serial, kSerialHelp, &SummarySerial, 20});
}  // namespace

}  // namespace qvtool
