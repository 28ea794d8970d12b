// Runs qvtool's commands in this process (qvtool::Run on a thread of its
// own), against the library's objects and so against whatever simulated
// device or hook a test has installed, with the standard input, output and
// error streams redirected to pipes that the test feeds and reads.
//
// One ToolRun at a time: the standard streams are the process's. gtest's own
// output while a run lasts goes to the run's stdout too.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qvtest {

// stdout as the command finds it: a binary descriptor; one in text mode, as
// every program starts with (the command must switch it to write raw bytes);
// or one nobody reads, so that every write fails as when the reader of a
// pipe has gone.
enum class Stdout { kBinary, kText, kGone };

class ToolRun {
public:
    // Starts "qvtool ARGS...".
    explicit ToolRun(std::vector<std::string> args, Stdout output = Stdout::kBinary);
    // Closes stdin, waits for the command to return and puts the streams back.
    ~ToolRun();
    ToolRun(const ToolRun&) = delete;
    ToolRun& operator=(const ToolRun&) = delete;

    // Queues bytes for stdin; a feeder thread writes them in order.
    void Write(const std::string& data);
    // Ends stdin once what was queued has been written.
    void CloseInput();

    std::string Out();
    std::string Err();
    // Waits up to ms for stdout (or stderr) to satisfy the condition.
    bool WaitOut(const std::function<bool(const std::string&)>& until, unsigned ms = 20000);
    bool WaitErr(const std::function<bool(const std::string&)>& until, unsigned ms = 20000);
    // Waits up to ms for the command's exit code; -1 if it has not returned.
    int Code(unsigned ms = 30000);
    // Closes stdin, waits for the command to return, puts the streams back
    // and collects the rest of the output; the exit code. Out and Err then
    // hold everything the command wrote. A command that has not returned a
    // minute after its stdin ended ends the test process (exit code 3).
    int Finish();

private:
    struct Pipe {
        HANDLE read = nullptr;
        HANDLE write = nullptr;
    };
    void Feed();
    void Collect(HANDLE from, std::string* into);
    bool WaitText(const std::string* text, const std::function<bool(const std::string&)>& until,
                  unsigned ms);
    void Restore();

    std::vector<std::string> m_args;
    std::vector<char*> m_argv;
    Pipe m_in, m_out, m_err;
    HANDLE m_savedIn = nullptr, m_savedOut = nullptr, m_savedErr = nullptr;
    int m_savedOutFd = -1, m_savedErrFd = -1;
    int m_outFd = -1, m_errFd = -1;
    bool m_restored = false;

    std::mutex m_mutex;
    std::string m_outText, m_errText;
    std::vector<std::string> m_queue;
    bool m_inputClosed = false;
    bool m_done = false;
    int m_code = -1;
    std::condition_variable m_changed;  // output, input or the end changed

    std::thread m_feeder, m_outReader, m_errReader, m_runner;
    std::atomic<bool> m_written{false};  // the command and its streams are done: readers drain and end
};

struct ToolResult {
    int code;
    std::string out, err;
};
// Runs to the end with the input given (stdin closed after it).
ToolResult RunTool(std::vector<std::string> args, const std::string& input = "");

}  // namespace qvtest
