// Figures of the running process that tell a leak: its open handles and its
// committed private memory.
#pragma once

#include <cstddef>

namespace qvtest {

// Handles the process holds, counted from the system's handle table
// (GetProcessHandleCount is not reliable under Wine). -1 if unavailable.
long ProcessHandleCount();
// Threads of the process that have not yet ended; -1 if unavailable.
long ProcessThreadCount();
// Bytes of committed private memory (heaps, stacks, private mappings).
size_t ProcessPrivateBytes();

}  // namespace qvtest
