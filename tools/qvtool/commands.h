// Shared pieces of qvtool's commands.
#pragma once

#include <string>

namespace qvtool {

constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr int kUsage = 2;

std::string Narrow(const wchar_t* text);
std::wstring Widen(const char* text);
// "error N: text" for a Windows or Windows Sockets error code.
std::string ErrorText(unsigned long code);
// Prints "qvtool: " and the formatted message (one %s for detail) to stderr;
// returns kFailure.
int Fail(const char* format, const std::string& detail);
// Prints the message and a hint to stderr; returns kUsage.
int Usage(const std::string& message);
// A decimal number no greater than max.
bool ParseNumber(const char* text, unsigned long max, unsigned long* out);

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
