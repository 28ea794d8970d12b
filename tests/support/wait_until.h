// Polls a condition every millisecond until it holds or the time runs out.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>

namespace qvtest {

inline bool WaitUntil(const std::function<bool()>& done, unsigned ms = 10000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        Sleep(1);
    }
    return true;
}

}  // namespace qvtest
