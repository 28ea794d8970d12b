// Shared pieces of qvtool's commands.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace qvtool {

constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr int kUsage = 2;

// Runs qvtool with the arguments after the program name (argv[0] is the
// program). The entry point calls it; the tests call it in-process.
int Run(int argc, char** argv);

std::string Narrow(const wchar_t* text);
std::wstring Widen(const char* text);
// "error N (TEXT)" for a Windows or Windows Sockets error code; the codes
// the library names (core/error_names.h) read "error 10048 (WSAEADDRINUSE:
// address already in use)", "error 2 (ERROR_FILE_NOT_FOUND: file not
// found)" whatever text the system has for them.
std::string ErrorText(unsigned long code);
// Prints "qvtool: " and the formatted message (one %s for detail) to stderr;
// returns kFailure.
int Fail(const char* format, const std::string& detail);
// Prints the message and a hint to stderr; returns kUsage.
int Usage(const std::string& message);
// A decimal number no greater than max.
bool ParseNumber(const char* text, unsigned long max, unsigned long* out);
// The seconds after --timeout at argv[*i] (1 to 86400), stepping *i past
// them; false when they are missing or out of range, which kTimeoutUsage
// tells the user.
bool TakeTimeout(int argc, char** argv, int* i, unsigned long* seconds);
extern const char kTimeoutUsage[];
// Four decimal octets "a.b.c.d" (0 to 255, no leading zeros), nothing else:
// the system would read "1.2.3" as 1.2.0.3 and "010.0.0.1" as 8.0.0.1.
bool IsDottedQuad(const std::string& text);
// "a.b.c.d" or "a.b.c.d:PORT" (PORT 1 to 65535); *port is 0 without one.
bool ParseAddressPort(const std::string& text, std::string* address, unsigned long* port);

// A JSON string: quotes, backslashes and control characters escaped; the
// UTF-8 text passes through. JsonOrNull gives null for the empty text.
std::string Json(const std::string& text);
std::string JsonOrNull(const std::string& text);
// Lower-case hexadecimal digits, two per byte.
std::string Hex(const unsigned char* data, size_t length);
// Pairs of hexadecimal digits (either case; spaces and tabs between bytes
// are skipped) into bytes; false on anything else.
bool ParseHex(const std::string& text, std::string* bytes);

// Writes to stdout at once; false when the write failed or was short.
bool WriteOut(const void* data, size_t length);
bool WriteOut(const std::string& text);

// How a command that runs several threads ends: the first End wins, Wait
// returns its code.
class Ending {
public:
    void End(int code);
    bool Ended();
    int Wait();
    // Waits at most ms milliseconds; false if nothing ended by then.
    bool WaitFor(unsigned long ms, int* code);

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_ended = false;
    int m_code = kSuccess;
};

// Reads stdin as raw bytes on a thread of its own, so a command can end (the
// peer closed, output failed) while a read still waits; the thread is left
// to end with the process. onData gets each piece and returns false to stop
// reading; onEnd runs once after the last piece (at the end of stdin, after
// a read error or after onData returned false), with true at the end of
// stdin. On a console a line of Ctrl+Z alone ends the input too. Both run on
// the reading thread and must keep what they use alive by themselves.
void ReadStdin(std::function<bool(const char* data, size_t length)> onData,
               std::function<void(bool atEnd)> onEnd);

// One top-level command. Each command's file registers itself with a static
// Registrar, so adding a command touches no other file:
//
//   static const Registrar kTcp({"tcp", &Tcp, kTcpHelp, &SummaryTcp, 30});
struct Command {
    const char* name;                 // first argument that selects it
    int (*run)(int argc, char** argv);  // arguments after the command name
    const char* help;                 // lines for --help, each "  ...\n"
    void (*summary)();                // lines of the no-argument summary, or nullptr
    int order;                        // place in --help and the summary
};
struct Registrar {
    explicit Registrar(const Command& command);
};

}  // namespace qvtool
