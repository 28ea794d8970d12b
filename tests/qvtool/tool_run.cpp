#include "tests/qvtool/tool_run.h"

#include <fcntl.h>
#include <io.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>

#include "tools/qvtool/commands.h"

namespace qvtest {
namespace {

constexpr unsigned kEndLimit = 60000;  // ms a command may take to end after its stdin

// While a run has the standard output, gtest's own report of a failure goes
// into the run's pipe: this writes it where the person running the tests
// looks, too.
std::atomic<int> g_visibleFd{-1};

class FailureEcho : public testing::EmptyTestEventListener {
    void OnTestPartResult(const testing::TestPartResult& result) override {
        int fd = g_visibleFd.load();
        if (fd < 0 || !result.failed()) return;
        std::string text = std::string(result.file_name() ? result.file_name() : "?") + ":" +
                           std::to_string(result.line_number()) + ": Failure\n" +
                           result.message() + "\n";
        _write(fd, text.data(), static_cast<unsigned>(text.size()));
    }
};

}  // namespace

ToolRun::ToolRun(std::vector<std::string> args, Stdout output) : m_args(std::move(args)) {
    static bool echoing = [] {
        testing::UnitTest::GetInstance()->listeners().Append(new FailureEcho);
        return true;
    }();
    (void)echoing;
    m_args.insert(m_args.begin(), "qvtool");
    for (std::string& arg : m_args) m_argv.push_back(&arg[0]);
    m_argv.push_back(nullptr);
    // Not inheritable: a process started meanwhile (Wine starts its desktop
    // process on the first window) would keep a write end open.
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
    CreatePipe(&m_in.read, &m_in.write, &sa, 0);
    CreatePipe(&m_out.read, &m_out.write, &sa, 0);
    CreatePipe(&m_err.read, &m_err.write, &sa, 0);

    std::fflush(stdout);
    std::fflush(stderr);
    m_savedIn = GetStdHandle(STD_INPUT_HANDLE);
    m_savedOut = GetStdHandle(STD_OUTPUT_HANDLE);
    m_savedErr = GetStdHandle(STD_ERROR_HANDLE);
    m_savedOutFd = _dup(1);
    m_savedErrFd = _dup(2);
    // The C streams write through descriptors 1 and 2, which now name the
    // pipes' write ends (duplicates; the originals are closed with them).
    m_outFd = _open_osfhandle(reinterpret_cast<intptr_t>(m_out.write),
                              output == Stdout::kText ? _O_TEXT : _O_BINARY);
    m_errFd = _open_osfhandle(reinterpret_cast<intptr_t>(m_err.write), _O_BINARY);
    _dup2(m_outFd, 1);
    _dup2(m_errFd, 2);
    g_visibleFd = m_savedOutFd;
    SetStdHandle(STD_INPUT_HANDLE, m_in.read);
    SetStdHandle(STD_OUTPUT_HANDLE, m_out.write);
    SetStdHandle(STD_ERROR_HANDLE, m_err.write);

    if (output == Stdout::kGone) {
        CloseHandle(m_out.read);
        m_out.read = nullptr;
    } else {
        m_outReader = std::thread(&ToolRun::Collect, this, m_out.read, &m_outText);
    }
    m_errReader = std::thread(&ToolRun::Collect, this, m_err.read, &m_errText);
    m_feeder = std::thread(&ToolRun::Feed, this);
    m_runner = std::thread([this] {
        int code = qvtool::Run(static_cast<int>(m_args.size()), m_argv.data());
        std::fflush(stdout);
        std::fflush(stderr);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_code = code;
        m_done = true;
        m_changed.notify_all();
    });
}

ToolRun::~ToolRun() { Finish(); }

int ToolRun::Finish() {
    if (m_restored) return m_code;
    CloseInput();
    if (Code(kEndLimit) == -1) {
        // A command that never ends holds the process's streams: stop here
        // with a clear word rather than hang until the suite's time-out.
        std::string text = "qvtool " + m_args[1] + " did not end within " +
                           std::to_string(kEndLimit / 1000) + " s of its stdin's end\n";
        _write(m_savedErrFd, text.data(), static_cast<unsigned>(text.size()));
        TerminateProcess(GetCurrentProcess(), 3);
    }
    m_runner.join();
    // Input the command no longer reads must not hold up the feeder: with
    // the last reading end closed its writes fail.
    CloseHandle(m_in.read);
    m_feeder.join();
    Restore();
    m_written = true;
    if (m_outReader.joinable()) m_outReader.join();
    m_errReader.join();
    if (m_out.read) CloseHandle(m_out.read);
    CloseHandle(m_err.read);
    return m_code;
}

// Puts the streams back; closing the pipes' write ends ends the readers.
void ToolRun::Restore() {
    if (m_restored) return;
    m_restored = true;
    std::fflush(stdout);
    std::fflush(stderr);
    g_visibleFd = -1;
    _dup2(m_savedOutFd, 1);
    _dup2(m_savedErrFd, 2);
    _close(m_savedOutFd);
    _close(m_savedErrFd);
    _close(m_outFd);  // closes m_out.write
    _close(m_errFd);
    SetStdHandle(STD_INPUT_HANDLE, m_savedIn);
    SetStdHandle(STD_OUTPUT_HANDLE, m_savedOut);
    SetStdHandle(STD_ERROR_HANDLE, m_savedErr);
}

void ToolRun::Write(const std::string& data) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back(data);
    m_changed.notify_all();
}

void ToolRun::CloseInput() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_inputClosed = true;
    m_changed.notify_all();
}

void ToolRun::Feed() {
    for (;;) {
        std::string data;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this] { return !m_queue.empty() || m_inputClosed; });
            if (m_queue.empty()) break;  // closed, and all written
            data.swap(m_queue.front());
            m_queue.erase(m_queue.begin());
        }
        size_t done = 0;
        while (done < data.size()) {
            DWORD wrote = 0;
            if (!WriteFile(m_in.write, data.data() + done, static_cast<DWORD>(data.size() - done),
                           &wrote, nullptr)) {
                break;  // the command no longer reads
            }
            done += wrote;
        }
    }
    CloseHandle(m_in.write);
}

// Reads only what waits, so that the end does not hang on a write end that
// some other process still holds: once the command is done, what is left in
// the pipe is all there is.
void ToolRun::Collect(HANDLE from, std::string* into) {
    char buffer[65536];
    for (;;) {
        DWORD waiting = 0, got = 0;
        bool bWritten = m_written;  // read before the pipe: all was written before it
        if (!PeekNamedPipe(from, nullptr, 0, nullptr, &waiting, nullptr)) break;  // no writer left
        if (!waiting) {
            if (bWritten) break;
            Sleep(2);
            continue;
        }
        if (!ReadFile(from, buffer, waiting < sizeof buffer ? waiting : sizeof buffer, &got, nullptr)) break;
        std::lock_guard<std::mutex> lock(m_mutex);
        into->append(buffer, got);
        m_changed.notify_all();
    }
}

std::string ToolRun::Out() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_outText;
}

std::string ToolRun::Err() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_errText;
}

bool ToolRun::WaitText(const std::string* text,
                       const std::function<bool(const std::string&)>& until, unsigned ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return until(*text); });
}

bool ToolRun::WaitOut(const std::function<bool(const std::string&)>& until, unsigned ms) {
    return WaitText(&m_outText, until, ms);
}

bool ToolRun::WaitErr(const std::function<bool(const std::string&)>& until, unsigned ms) {
    return WaitText(&m_errText, until, ms);
}

int ToolRun::Code(unsigned ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_done; })) {
        return -1;
    }
    return m_code;
}

ToolResult RunTool(std::vector<std::string> args, const std::string& input) {
    ToolRun run(std::move(args));
    if (!input.empty()) run.Write(input);
    run.CloseInput();
    ToolResult result;
    result.code = run.Finish();
    result.out = run.Out();
    result.err = run.Err();
    return result;
}

}  // namespace qvtest
