// qvtool: a command-line host program for quorvel.dll.
//
// Exit codes: 0 success, 1 failure, 2 usage error. Errors go to stderr.
// The entry point (entry.cpp) only calls Run, which the tests call too.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "quorvel/quorvel.h"
#include "tools/qvtool/commands.h"

namespace qvtool {

std::string Narrow(const wchar_t* text) {
    if (!text) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring Widen(const char* text) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring out(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_UTF8, 0, text, -1, &out[0], n);
    return out;
}

int Fail(const char* format, const std::string& detail) {
    std::fprintf(stderr, "qvtool: ");
    std::fprintf(stderr, format, detail.c_str());
    std::fprintf(stderr, "\n");
    return kFailure;
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "qvtool: %s\nTry 'qvtool --help'.\n", message.c_str());
    return kUsage;
}

bool ParseNumber(const char* text, unsigned long max, unsigned long* out) {
    if (!text || !*text) return false;
    unsigned long value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        unsigned digit = static_cast<unsigned>(*p - '0');
        if (digit > max || value > (max - digit) / 10) return false;
        value = value * 10 + digit;
    }
    *out = value;
    return true;
}

const char kTimeoutUsage[] = "--timeout needs a number of seconds from 1 to 86400";

bool TakeTimeout(int argc, char** argv, int* i, unsigned long* seconds) {
    constexpr unsigned long kMaxTimeout = 24 * 60 * 60;
    if (*i + 1 >= argc || !ParseNumber(argv[*i + 1], kMaxTimeout, seconds) || !*seconds) {
        return false;
    }
    ++*i;
    return true;
}

// The file version from quorvel.dll's own version resource.
std::string LibraryVersion() {
    HMODULE module = GetModuleHandleW(L"quorvel.dll");
    wchar_t path[MAX_PATH];
    if (!module || !GetModuleFileNameW(module, path, MAX_PATH)) return std::string();
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (!size) return std::string();
    std::string block(size, '\0');
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoW(path, 0, size, &block[0]) ||
        !VerQueryValueW(&block[0], L"\\", reinterpret_cast<void**>(&info), &length) || !info) {
        return std::string();
    }
    char text[64];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (unsigned)HIWORD(info->dwFileVersionMS),
                  (unsigned)LOWORD(info->dwFileVersionMS), (unsigned)HIWORD(info->dwFileVersionLS),
                  (unsigned)LOWORD(info->dwFileVersionLS));
    return text;
}

namespace {

std::vector<Command>& Commands() {
    static std::vector<Command> commands;  // filled before main by the registrars
    return commands;
}

const std::vector<Command>& SortedCommands() {
    std::vector<Command>& commands = Commands();
    std::stable_sort(commands.begin(), commands.end(),
                     [](const Command& a, const Command& b) { return a.order < b.order; });
    return commands;
}

}  // namespace

Registrar::Registrar(const Command& command) { Commands().push_back(command); }

namespace {

DWORD WINAPI ReportStart(void* pThread) {
    static_cast<CxThread*>(pThread)->SetThreadStartedEvent();
    return 0;
}

int Version() {
    std::string version = LibraryVersion();
    if (version.empty()) return Fail("cannot read the version of quorvel.dll%s", "");
    std::printf("%s\n", version.c_str());
    return kSuccess;
}

int Summary() {
    std::string version = LibraryVersion();
    std::printf("quorvel %s\n", version.empty() ? "(version unknown)" : version.c_str());
    CxThread thread;
    bool started = thread.CreateThread(nullptr, 0, &ReportStart, nullptr, 0, 5000) != 0;
    thread.CloseThread(INFINITE);
    std::printf("worker threads: %s\n", started ? "ok" : "cannot start");
    for (const Command& command : SortedCommands()) {
        if (command.summary) command.summary();
    }
    return started ? kSuccess : kFailure;
}

void Help() {
    std::string lines;
    for (const Command& command : SortedCommands()) lines += command.help;
    std::printf(
        "usage: qvtool [COMMAND [ARGS]]\n"
        "\n"
        "With no command, prints what the library sees on this machine.\n"
        "\n"
        "commands:\n"
        "  version, --version      the file version of quorvel.dll\n"
        "%s"
        "  --help                  this text\n"
        "\n"
        "exit codes: 0 success, 1 failure, 2 usage error\n",
        lines.c_str());
}

}  // namespace
}  // namespace qvtool

int qvtool::Run(int argc, char** argv) {
    if (argc < 2) return Summary();
    std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        Help();
        return kSuccess;
    }
    if (command == "version" || command == "--version") {
        return argc == 2 ? Version() : Usage(command + " takes no arguments");
    }
    for (const Command& entry : SortedCommands()) {
        if (command == entry.name) return entry.run(argc - 2, argv + 2);
    }
    return Usage("unknown command '" + command + "'");
}
