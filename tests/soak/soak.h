// Long runs: a cycle repeated many times must leave the process's handle
// count and private memory flat.
#pragma once

#include <functional>
#include <string>

namespace qvsoak {

// Cycles per soak: QV_SOAK_CYCLES from the environment, else the short
// count the test suite uses (scripts/soak.sh runs the full count).
int Cycles();

// Runs cycle(i) for every i; a cycle returns "" or what went wrong, and the
// first failure stops the soak. Figures are taken after a warm-up of a few
// cycles and at the end, printed, and checked to be flat.
// simBytesPerCycle: memory that a simulated device itself keeps per cycle
// (its own log of calls), allowed on top of the check's slack.
void Soak(const char* name, const std::function<std::string(int)>& cycle,
          size_t simBytesPerCycle = 0);

// Runs fn on a thread of its own and waits at most ms for it; false if it
// did not end in time (the thread is then left running).
bool EndsWithin(unsigned ms, const std::function<void()>& fn);

}  // namespace qvsoak
