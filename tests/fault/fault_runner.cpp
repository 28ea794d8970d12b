#include "tests/fault/fault_runner.h"

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "tests/fault/fault_injector.h"
#include "tests/fault/process_figures.h"

namespace qvfault {
namespace {

Totals g_totals;
// What runs now, for the crash report.
std::atomic<const char*> g_scenario{nullptr};
std::atomic<long> g_index{0};

LONG WINAPI OnCrash(EXCEPTION_POINTERS* info) {
    const char* scenario = g_scenario.load();
    std::fprintf(stderr, "FAULT CRASH: exception 0x%08lX in scenario \"%s\" with call #%ld (%s) failing\n",
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode),
                 scenario ? scenario : "(none)", g_index.load(), CurrentInjectedName());
    std::fflush(stderr);
    return EXCEPTION_CONTINUE_SEARCH;
}

struct Run {
    const Scenario* scenario;
    long failAt;
    std::string lie;
    long calls = 0;
    std::string injected;
    bool didInject = false;
    long leaked = 0;  // handles more after the run than before
    std::string where;
};

DWORD WINAPI RunOnce(void* pRun) {
    Run* run = static_cast<Run*>(pRun);
    Injector injector(run->failAt);
    run->lie = (*run->scenario)();
    run->calls = injector.Calls();
    run->didInject = injector.Injected();
    run->injected = injector.InjectedName();
    return 0;
}

// A settled count: handles closed by other threads on their way out (a
// listener's last release) may lag the scenario's end by a moment.
long HandlesAfter(long before) {
    long now = qvtest::ProcessHandleCount();
    for (int i = 0; i < 50 && now > before; ++i) {
        Sleep(10);
        now = qvtest::ProcessHandleCount();
    }
    return now;
}

}  // namespace

Outcome RunUnderFaults(const char* name, const Scenario& scenario, unsigned limitMs,
                       long stride) {
    const char* full = std::getenv("QV_FAULT_FULL");
    if (stride < 1 || (full && *full == '1')) stride = 1;
    static bool filterSet = false;
    if (!filterSet) {
        SetUnhandledExceptionFilter(&OnCrash);
        // The system opens what the debugger channel needs at its first line
        // and keeps it: not a leak of the run that writes the first trace.
        OutputDebugStringW(L"fault harness\n");
        filterSet = true;
    }
    Outcome outcome;
    g_scenario = name;
    ++g_totals.scenarios;

    auto runOnce = [&](long failAt, Run* run) {
        run->scenario = &scenario;
        run->failAt = failAt;
        g_index = failAt;
        long before = qvtest::ProcessHandleCount();
        HANDLE thread = CreateThread(nullptr, 0, &RunOnce, run, 0, nullptr);
        if (!thread) {
            outcome.findings.push_back(std::string(name) + ": cannot start a run");
            return false;
        }
        if (WaitForSingleObject(thread, limitMs) != WAIT_OBJECT_0) {
            std::fprintf(stderr, "FAULT HANG: scenario \"%s\" with call #%ld (%s) failing did not end within %u ms\n",
                         name, failAt, CurrentInjectedName(), limitMs);
            std::fflush(stderr);
            std::fflush(stdout);
            TerminateProcess(GetCurrentProcess(), 3);
        }
        CloseHandle(thread);
        char where[200];
        std::snprintf(where, sizeof where, "%s #%ld %s: ", name, failAt,
                      run->injected.empty() ? "(none)" : run->injected.c_str());
        if (!run->lie.empty()) outcome.findings.push_back(where + run->lie);
        run->where = where;
        long after = HandlesAfter(before);
        run->leaked = before >= 0 && after > before ? after - before : 0;
        return true;
    };

    // Without a fault: the first runs let the system make what it makes once
    // per process, the last counts the calls.
    for (int i = 0; i < 3; ++i) {
        Run warmUp;
        runOnce(0, &warmUp);
    }
    outcome.findings.clear();
    Run counted;
    if (!runOnce(0, &counted)) return outcome;
    outcome.calls = counted.calls;

    // Then once per call. Calls of other threads may shift the count from run
    // to run (a failure changes what follows it), so go past the clean count
    // for as long as runs still reach the chosen call.
    long limit = counted.calls * 3 + 10;
    // A leak counts when the same failure leaks again: the system itself
    // now and then keeps a handle of its own after a run.
    auto checkLeak = [&](long k, const Run& run) {
        if (!run.leaked) return;
        Run again;
        runOnce(k, &again);
        if (again.leaked && again.injected == run.injected) {
            outcome.findings.push_back(run.where + std::to_string(run.leaked) +
                                       " handle(s) more than before, twice");
        } else {
            std::printf("[fault] note: %s%ld handle(s) more once, not again\n", run.where.c_str(),
                        run.leaked);
        }
    };
    checkLeak(0, counted);
    for (long k = 1; k <= limit; k += stride) {
        Run run;
        if (!runOnce(k, &run)) break;
        checkLeak(k, run);
        if (run.didInject) {
            ++outcome.injected;
        } else if (k > counted.calls) {
            break;
        }
    }
    for (const std::string& line : Injector::UnruledCalls()) {
        std::fprintf(stderr, "fault harness: %s has no failure rule; it was never failed\n",
                     line.c_str());
    }
    g_totals.injected += outcome.injected;
    g_totals.findings += static_cast<long>(outcome.findings.size());
    g_scenario = nullptr;
    std::printf("[fault] %-40s %4ld calls, %4ld faults injected%s, %zu finding(s)\n", name,
                outcome.calls, outcome.injected, stride > 1 ? " (every few calls)" : "",
                outcome.findings.size());
    std::fflush(stdout);
    return outcome;
}

Totals GetTotals() { return g_totals; }

}  // namespace qvfault
