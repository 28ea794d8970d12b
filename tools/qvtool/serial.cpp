// qvtool serial: opens a serial port, copies what arrives to stdout and sends
// what stdin gives, byte for byte both ways. After the end of stdin it waits
// for the answer: the session ends once nothing has moved for --wait ms.
// What happens on the line (errors, removal, modem lines) is told on stderr,
// with --json as one JSON object a line.
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
    std::mutex reading;     // one receive at a time: the listener's, or the last one
    bool closed = false;    // under sending: the port is closed, send nothing
    std::atomic<bool> inputEnded{false};
    std::atomic<DWORD> lastMove{0};  // tick of the last bytes in or out, or of the end of stdin
    bool json = false;      // reports as JSON objects
};

// The names of a line error's flags ("framing", "parity", "flags 0x100"
// for the rest).
std::vector<std::string> LineErrorNames(unsigned long flags) {
    static const struct {
        unsigned long flag;
        const char* name;
    } kNames[] = {{CE_FRAME, "framing"},       {CE_RXPARITY, "parity"},
                  {CE_OVERRUN, "overrun"},     {CE_RXOVER, "input queue overflow"},
                  {CE_BREAK, "break"}};
    std::vector<std::string> names;
    for (const auto& name : kNames) {
        if (!(flags & name.flag)) continue;
        names.push_back(name.name);
        flags &= ~name.flag;
    }
    if (flags) {
        char rest[32];
        std::snprintf(rest, sizeof rest, "flags 0x%lX", flags);
        names.push_back(rest);
    }
    return names;
}

// The names joined by separator, each as given or (json) as a JSON string.
std::string Joined(const std::vector<std::string>& names, const char* separator, bool json) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : separator) + (json ? Json(name) : name);
    }
    return text;
}

// One report on stderr: the JSON object with --json, else the text after
// "qvtool: PATH ".
void Report(const Session& session, const std::string& text, const std::string& json) {
    std::fflush(stdout);
    if (session.json) {
        std::fprintf(stderr, "{%s}\n", json.c_str());
    } else {
        std::fprintf(stderr, "qvtool: %s %s\n", session.path.c_str(), text.c_str());
    }
}

// The modem input lines, as the tool names them: text, then the JSON key.
const struct {
    unsigned long bit;
    const char* text;
    const char* key;
} kModemLines[] = {{MS_CTS_ON, "CTS", "cts"}, {MS_DSR_ON, "DSR", "dsr"},
                   {MS_RING_ON, "RI", "ring"}, {MS_RLSD_ON, "DCD", "dcd"}};

// "modem lines: CTS on, DSR off, RI off, DCD on (changed: DSR)".
void ReportModem(const Session& session, unsigned long changed, unsigned long lines) {
    std::vector<std::string> states, names, keys;
    std::string json = "\"event\": \"modem\"";
    for (const auto& line : kModemLines) {
        bool on = (lines & line.bit) != 0;
        states.push_back(std::string(line.text) + (on ? " on" : " off"));
        json += std::string(", \"") + line.key + "\": " + (on ? "true" : "false");
        if (!(changed & line.bit)) continue;
        names.push_back(line.text);
        keys.push_back(line.key);
    }
    Report(session,
           "modem lines: " + Joined(states, ", ", false) + " (changed: " +
               (names.empty() ? "none" : Joined(names, ", ", false)) + ")",
           json + ", \"changed\": [" + Joined(keys, ", ", true) + "]");
}

// A failure of the session, on stderr: with --json as an "error" object
// with the code, so that every line a script reads there is JSON. kFailure.
int FailSession(const Session& session, const std::string& what, DWORD error) {
    if (!session.json) return Fail("%s", what + ": " + ErrorText(error));
    Report(session, "", "\"event\": \"error\", \"message\": " + Json(what) +
                            ", \"error\": " + std::to_string(error) + ", \"text\": " +
                            Json(ErrorText(error)));
    return kFailure;
}

// Sets DTR or RTS as --dtr or --rts asked; false (told) when the driver
// refused.
bool SetLine(Session& session, const char* what, int (CxSerial::*pfnSet)(int), bool on) {
    if ((session.port.*pfnSet)(on ? 1 : 0)) return true;
    FailSession(session, std::string("cannot set ") + what + (on ? " on " : " off ") + session.path,
                GetLastError());
    return false;
}

// "on" or "off" after an option.
bool ParseOnOff(const char* text, bool* on) {
    std::string value = text;
    if (value != "on" && value != "off") return false;
    *on = value == "on";
    return true;
}

void Moved(Session& session) { session.lastMove = GetTickCount(); }

// Copies what the port has received to stdout: on data-ready, and once
// more at the end for bytes that stayed below the threshold.
void TakeWaiting(Session& session) {
    std::lock_guard<std::mutex> lock(session.reading);
    unsigned long waiting = 0;
    unsigned long outgoing = 0;
    if (!session.port.GetBufferCount(&waiting, &outgoing) || waiting == 0) return;
    std::vector<unsigned char> data(waiting);
    if (!session.port.Recv(data.data(), waiting, kRecvWait)) {
        FailSession(session, "cannot read from " + session.path, GetLastError());
        return;
    }
    Moved(session);
    if (!WriteOut(data.data(), data.size())) {
        FailSession(session, "cannot write to stdout", GetLastError());
        session.ending.End(kFailure);
    }
}

// Runs on the port's listener thread.
long CALLBACK OnEvent(void* pParam, unsigned int /*uHandle*/, long lEvent) {
    Session* session = static_cast<Session*>(pParam);
    if (lEvent == CX_EVENT_LINE_ERROR) {
        unsigned long flags = 0;
        unsigned long discarded = 0;
        if (session->port.GetLineError(&flags, &discarded)) {
            std::vector<std::string> names = LineErrorNames(flags);
            std::string text = names.empty() ? "unknown" : Joined(names, ", ", false);
            Report(*session,
                   "line error: " + text + "; " + std::to_string(discarded) + " received byte" +
                       (discarded == 1 ? "" : "s") + " discarded",
                   "\"event\": \"lineError\", \"errors\": [" + Joined(names, ", ", true) +
                       "], \"flags\": " + std::to_string(flags) +
                       ", \"discarded\": " + std::to_string(discarded));
        }
        return 0;
    }
    if (lEvent == CX_EVENT_DEVICE_REMOVED) {
        Report(*session, "was removed; end input to close it", "\"event\": \"removed\"");
        return 0;
    }
    if (lEvent == CX_EVENT_MODEM_CHANGED) {
        unsigned long changed = 0;
        unsigned long lines = 0;
        if (session->port.GetModemChange(&changed, &lines)) ReportModem(*session, changed, lines);
        return 0;
    }
    if (lEvent == CX_EVENT_DATA_READY) TakeWaiting(*session);
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
            Report(session, "saw nothing sent or received for " + std::to_string(timeout) + " s",
                   "\"event\": \"timeout\", \"seconds\": " + std::to_string(timeout));
            return kSuccess;
        }
    }
    return code;
}

}  // namespace

const char kSerialHelp[] =
    "  serial PATH [--baud N] [--threshold N] [--dtr on|off] [--rts on|off]\n"
    "         [--break MS] [--json] [--wait MS] [--timeout S]\n"
    "                          open a serial port (COM3, COM12, or a path), copy what\n"
    "                          arrives to stdout and send what stdin gives, byte\n"
    "                          for byte; --baud sets N baud 8N1 (and says if the\n"
    "                          port took another rate), --threshold the bytes that\n"
    "                          make data ready (default 1), --dtr and --rts the\n"
    "                          modem lines, --break sends a break of MS ms first\n"
    "                          (a driver that refuses one ends the command);\n"
    "                          line errors, the device's removal and changes of\n"
    "                          CTS, DSR, RI and DCD are reported on stderr (--json:\n"
    "                          one JSON object a line).\n"
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
    int dtr = -1, rts = -1;  // -1: as the port has it
    unsigned long breakMs = 0;
    bool sendBreak = false, json = false;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--dtr" || arg == "--rts") {
            bool on = false;
            if (i + 1 >= argc || !ParseOnOff(argv[i + 1], &on)) return Usage(arg + " needs on or off");
            (arg == "--dtr" ? dtr : rts) = on ? 1 : 0;
            ++i;
        } else if (arg == "--break") {
            if (i + 1 >= argc || !ParseNumber(argv[i + 1], kMaxWait, &breakMs)) {
                return Usage("--break needs a number of milliseconds from 0 to 86400000");
            }
            sendBreak = true;
            ++i;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--wait") {
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
            } else if (!ParseNumber(value, kMaxThreshold, &threshold) || threshold == 0) {
                return Usage("bad threshold '" + std::string(value) + "' (1 to 65535)");
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
    session->json = json;
    CxSerial& port = session->port;
    if (!port.Open(Widen(path).c_str(), static_cast<unsigned short>(threshold))) {
        return FailSession(*session, "cannot open " + std::string(path), GetLastError());
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
            return FailSession(*session, "cannot set " + std::string(path) + " to " +
                                             std::to_string(baud) + " baud 8N1", error);
        }
        // Some drivers round the rate to one their clock can make.
        if (port.GetSettings(&dcb) && dcb.BaudRate != baud) {
            Report(*session,
                   "took " + std::to_string(dcb.BaudRate) + " baud (asked for " +
                       std::to_string(baud) + ")",
                   "\"event\": \"baud\", \"asked\": " + std::to_string(baud) +
                       ", \"taken\": " + std::to_string(dcb.BaudRate));
        }
    }
    if ((dtr >= 0 && !SetLine(*session, "DTR", &CxSerial::SetDtr, dtr == 1)) ||
        (rts >= 0 && !SetLine(*session, "RTS", &CxSerial::SetRts, rts == 1))) {
        port.Close();
        return kFailure;
    }
    if (sendBreak && !port.SendBreak(breakMs)) {
        DWORD error = GetLastError();
        port.Close();
        return FailSession(*session, "cannot send a break on " + std::string(path), error);
    }

    // Received bytes go out unchanged, without line-feed translation.
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
    port.SetWndMsgProc(nullptr, 0, &OnEvent, session.get());
    // Line errors and the removal are told as they happen.
    if (!port.SetLineErrorEvent(1) || !port.SetRemovalEvent(1)) {
        FailSession(*session, "cannot watch " + std::string(path) + " for line errors and removal",
                    GetLastError());
    }
    // So are the modem lines, where the driver has them.
    if (!port.SetModemEvent(1)) {
        DWORD error = GetLastError();
        Report(*session, "reports no modem lines: " + ErrorText(error),
               "\"event\": \"noModemLines\", \"error\": " + std::to_string(error) +
                   ", \"text\": " + Json(ErrorText(error)));
    }
    Report(*session, "open; stdin goes to the port until its end (Ctrl+Z/Ctrl+D)",
           "\"event\": \"open\", \"path\": " + Json(session->path));
    Moved(*session);

    // Each piece of stdin goes out as read; the port is never closed while
    // it sends.
    ReadStdin(
        [session](const char* data, size_t length) {
            std::lock_guard<std::mutex> lock(session->sending);
            if (session->closed) return false;
            if (!session->port.Send(reinterpret_cast<unsigned char*>(const_cast<char*>(data)),
                                    static_cast<unsigned long>(length), kSendWait)) {
                FailSession(*session, "cannot send to " + session->path, GetLastError());
                session->ending.End(kFailure);
                return false;
            }
            Moved(*session);
            return true;
        },
        [session](bool atEnd) {
            if (!atEnd) {
                FailSession(*session, "cannot read stdin", GetLastError());
                session->ending.End(kFailure);
                return;
            }
            Moved(*session);
            session->inputEnded = true;  // the answer may still come
        });
    int result = AwaitEnd(*session, wait, timeout);
    // What stayed below the threshold is the answer's end: it is not lost.
    if (result == kSuccess) TakeWaiting(*session);
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
