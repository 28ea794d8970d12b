// qvtool's raw input and output: stdin read on a thread of its own, stdout
// written at once, and the end of a command that runs several threads.
#include "quorvel/quorvel.h"

#include <cstdio>
#include <thread>
#include <vector>

#include "tools/qvtool/commands.h"

namespace qvtool {
namespace {

constexpr DWORD kReadChunk = 64 * 1024;

// A console line of Ctrl+Z alone, the console's end of input.
bool IsConsoleEnd(const char* data, DWORD length) {
    if (length == 0 || data[0] != 0x1A) return false;
    for (DWORD i = 1; i < length; ++i) {
        if (data[i] != '\r' && data[i] != '\n') return false;
    }
    return true;
}

}  // namespace

bool WriteOut(const void* data, size_t length) {
    if (length && std::fwrite(data, 1, length, stdout) != length) return false;
    return std::fflush(stdout) == 0;
}

bool WriteOut(const std::string& text) { return WriteOut(text.data(), text.size()); }

void Ending::End(int code) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_ended) return;
    m_ended = true;
    m_code = code;
    m_changed.notify_all();
}

bool Ending::Ended() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ended;
}

int Ending::Wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_ended; });
    return m_code;
}

bool Ending::WaitFor(unsigned long ms, int* code) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_ended; })) {
        return false;
    }
    *code = m_code;
    return true;
}

void ReadStdin(std::function<bool(const char* data, size_t length)> onData,
               std::function<void(bool atEnd)> onEnd) {
    // The thread reads through a handle of its own, which it closes at the
    // end: whoever set the standard input may close theirs at any time.
    HANDLE standard = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE input = nullptr;
    HANDLE process = GetCurrentProcess();
    bool own = standard && standard != INVALID_HANDLE_VALUE &&
               DuplicateHandle(process, standard, process, &input, 0, FALSE, DUPLICATE_SAME_ACCESS);
    if (!own) input = standard;
    std::thread([input, own, onData, onEnd] {
        DWORD mode = 0;
        bool console = GetConsoleMode(input, &mode) != 0;
        std::vector<char> buffer(kReadChunk);
        bool atEnd = true;
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(input, buffer.data(), kReadChunk, &got, nullptr)) {
                // The writer closed a pipe, or there is no input at all: the
                // end. Anything else is a failed read.
                DWORD error = GetLastError();
                atEnd = error == ERROR_BROKEN_PIPE || error == ERROR_INVALID_HANDLE ||
                        error == ERROR_HANDLE_EOF;
                break;
            }
            if (got == 0 || (console && IsConsoleEnd(buffer.data(), got))) break;
            if (!onData(buffer.data(), got)) {
                atEnd = false;
                break;
            }
        }
        if (own) CloseHandle(input);
        onEnd(atEnd);
    }).detach();
}

}  // namespace qvtool
