// Reads the trace lines the library writes to the debugger channel.
// OutputDebugStringW raises DBG_PRINTEXCEPTION_C with the ANSI text of the
// line; a vectored exception handler copies it. Lines from every thread of
// the process are captured while a TraceCapture object lives (one at a time).
#pragma once

#include <string>
#include <vector>

namespace qvtest {

class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<std::string> Lines() const;
    // Lines that contain the text.
    std::vector<std::string> Matching(const std::string& text) const;
    // Waits up to ms milliseconds for a line that contains the text.
    bool WaitFor(const std::string& text, unsigned ms = 10000) const;
    void Clear();
};

}  // namespace qvtest
