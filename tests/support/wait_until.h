// Bounded waits: a condition polled every millisecond until it holds or the
// time runs out, and a call that must return in time.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace qvtest {

inline bool WaitUntil(const std::function<bool()>& done, unsigned ms = 10000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        Sleep(1);
    }
    return true;
}

// Runs fn on a thread of its own; false if it has not returned within ms
// (the thread is then left to finish on its own, so the test does not hang).
inline bool FinishesWithin(std::function<void()> fn, unsigned ms) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread worker([fn, done] {
        fn();
        *done = true;
    });
    bool finished = WaitUntil([&] { return done->load(); }, ms);
    if (finished) {
        worker.join();
    } else {
        worker.detach();
    }
    return finished;
}

}  // namespace qvtest
