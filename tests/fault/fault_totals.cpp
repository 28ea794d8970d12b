// Prints the totals of every scenario after the suite, in the line format
// that scripts/bench.sh collects into its table.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/fault/fault_runner.h"

namespace {

class Totals : public testing::Environment {
    void TearDown() override {
        qvfault::Totals totals = qvfault::GetTotals();
        if (!totals.scenarios) return;
        std::printf("ROW fault injection: scenarios|%d|every call of every scenario\n",
                    totals.scenarios);
        std::printf("ROW fault injection: faults injected|%ld|one run per platform call\n",
                    totals.injected);
        std::printf("ROW fault injection: crashes, hangs, leaks, false successes|%ld|0\n",
                    totals.findings);
    }
};

const testing::Environment* const kTotals = testing::AddGlobalTestEnvironment(new Totals);

}  // namespace
