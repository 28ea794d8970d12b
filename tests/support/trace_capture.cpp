#include "tests/support/trace_capture.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace qvtest {
namespace {

constexpr DWORD kDbgPrintException = 0x40010006;  // DBG_PRINTEXCEPTION_C

std::mutex g_mutex;
std::vector<std::string> g_lines;
void* g_handler = nullptr;

LONG CALLBACK OnException(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* rec = info->ExceptionRecord;
    if (rec->ExceptionCode == kDbgPrintException && rec->NumberParameters >= 2) {
        size_t length = static_cast<size_t>(rec->ExceptionInformation[0]);
        const char* text = reinterpret_cast<const char*>(rec->ExceptionInformation[1]);
        if (text) {
            std::string line(text, length);
            while (!line.empty() && line.back() == '\0') line.pop_back();
            std::lock_guard<std::mutex> lock(g_mutex);
            g_lines.push_back(std::move(line));
        }
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

TraceCapture::TraceCapture() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.clear();
    g_handler = AddVectoredExceptionHandler(1, &OnException);
}

TraceCapture::~TraceCapture() {
    RemoveVectoredExceptionHandler(g_handler);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_handler = nullptr;
    g_lines.clear();
}

std::vector<std::string> TraceCapture::Lines() const {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lines;
}

std::vector<std::string> TraceCapture::Matching(const std::string& text) const {
    std::vector<std::string> found;
    for (const std::string& line : Lines()) {
        if (line.find(text) != std::string::npos) found.push_back(line);
    }
    return found;
}

bool TraceCapture::WaitFor(const std::string& text, unsigned ms) const {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    do {
        if (!Matching(text).empty()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

void TraceCapture::Clear() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.clear();
}

}  // namespace qvtest
