// Runs a scenario once to count its platform calls, then once per call with
// that call failing, and checks each run:
//  - it ends within the time limit (a hang is reported by scenario and call
//    and ends the process, since the stuck thread cannot be recovered);
//  - it does not crash (an unhandled exception is reported the same way);
//  - what the scenario reports as success is true (the scenario returns a
//    description of any lie it saw, empty if none);
//  - the process holds no more handles afterwards than before.
// Every finding names the scenario, the call number and the operation.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qvfault {

// Runs one pass of the scenario; returns "" or what it found to be untrue.
using Scenario = std::function<std::string()>;

struct Outcome {
    long calls = 0;                     // platform calls of the clean run
    long injected = 0;                  // runs in which a call failed
    std::vector<std::string> findings;  // "scenario #k Operation: what"
};

// Runs the scenario under every single fault. Run it on the test's thread,
// with any simulated device installed and the scenario's fixed set-up made.
// A scenario of hundreds of calls may ask the test suite to fail only every
// stride-th call (spread over all of them); with QV_FAULT_FULL=1 in the
// environment (scripts/fault.sh) every call fails in turn all the same.
Outcome RunUnderFaults(const char* name, const Scenario& scenario, unsigned limitMs = 30000,
                       long stride = 1);

// Totals over every scenario run so far in this process.
struct Totals {
    int scenarios = 0;
    long injected = 0;
    long findings = 0;
};
Totals GetTotals();

}  // namespace qvfault
