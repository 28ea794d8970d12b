#include "tests/soak/soak.h"

#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "tests/fault/process_figures.h"

namespace qvsoak {

int Cycles() {
    const char* text = std::getenv("QV_SOAK_CYCLES");
    int cycles = text ? std::atoi(text) : 0;
    return cycles > 0 ? cycles : 500;
}

void Soak(const char* name, const std::function<std::string(int)>& cycle,
          size_t simBytesPerCycle) {
    const int cycles = Cycles();
    const int warmUp = cycles / 20 < 10 ? 10 : cycles / 20;
    long firstHandles = 0, firstThreads = 0;
    size_t firstBytes = 0;
    DWORD start = GetTickCount();
    for (int i = 0; i < cycles; ++i) {
        if (i == warmUp) {
            firstHandles = qvtest::ProcessHandleCount();
            firstBytes = qvtest::ProcessPrivateBytes();
            firstThreads = qvtest::ProcessThreadCount();
        }
        std::string failure = cycle(i);
        if (!failure.empty()) {
            ADD_FAILURE() << name << ": cycle " << i << ": " << failure;
            return;
        }
    }
    DWORD elapsed = GetTickCount() - start;
    // Threads that the last cycles ended may still be on their way out (a
    // close waits for a listener's routine, not for its thread's end), with
    // their stacks.
    long lastHandles = qvtest::ProcessHandleCount();
    for (int i = 0; i < 200 && (lastHandles > firstHandles ||
                                qvtest::ProcessThreadCount() > firstThreads); ++i) {
        Sleep(10);
        lastHandles = qvtest::ProcessHandleCount();
    }
    size_t lastBytes = qvtest::ProcessPrivateBytes();
    std::printf("[soak] %-34s %6d cycles in %5.1f s: handles %ld -> %ld, private KiB %zu -> %zu\n",
                name, cycles, elapsed / 1000.0, firstHandles, lastHandles, firstBytes / 1024,
                lastBytes / 1024);
    std::printf("ROW soak %s: handles after %d cycles|%ld -> %ld|flat\n", name, cycles,
                firstHandles, lastHandles);
    std::printf("ROW soak %s: private KiB after %d cycles|%zu -> %zu|flat\n", name, cycles,
                firstBytes / 1024, lastBytes / 1024);
    std::fflush(stdout);
    EXPECT_LE(lastHandles, firstHandles + 2) << name << ": handles grow";
    // Heaps keep some slack; a leak of even 100 bytes a cycle shows over the
    // full count.
    EXPECT_LT(lastBytes, firstBytes + 2 * 1024 * 1024 + simBytesPerCycle * cycles)
        << name << ": private memory grows";
}

namespace {

DWORD WINAPI CallFunction(void* pFn) {
    (*static_cast<std::function<void()>*>(pFn))();
    return 0;
}

}  // namespace

bool EndsWithin(unsigned ms, const std::function<void()>& fn) {
    // Left to leak if the thread hangs, so that it never runs on freed memory.
    auto* copy = new std::function<void()>(fn);
    HANDLE thread = CreateThread(nullptr, 0, &CallFunction, copy, 0, nullptr);
    if (!thread) {
        delete copy;
        return false;
    }
    bool ended = WaitForSingleObject(thread, ms) == WAIT_OBJECT_0;
    CloseHandle(thread);
    if (ended) delete copy;
    return ended;
}

}  // namespace qvsoak
