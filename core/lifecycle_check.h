// Checks of the rules an endpoint's life keeps (see the engine's design):
// built into the test builds only, where QUORVEL_LIFECYCLE_CHECKS is set for
// the library objects the suites link; quorvel.dll never has them. A broken
// rule stops the process where it broke, not at a later symptom: one line
// naming the rule, the kind of endpoint and the place goes to stderr and to
// the debugger, then the process aborts.
#pragma once

#include "core/shared_link.h"
#include "quorvel/core.h"

namespace quorvel::lifecycle {

constexpr const char* kCloseEndsCalls = "a close ends with no call counted";
constexpr const char* kCloseEndsListener = "a close ends with no listener held";
constexpr const char* kListenerDropsHold = "a listener lets go of its record when it ends";

// Writes the line and aborts.
[[noreturn]] void Broken(const char* pszRule, const char* pszKind, const char* pszFile, int nLine);

// No call let through is still under way on the record (refused calls count
// themselves for a moment and leave at once: they do not matter).
inline bool NoCallCounted(const SharedLink* link) {
    return !link || link->admitted.load(std::memory_order_seq_cst) == 0;
}

}  // namespace quorvel::lifecycle

#if defined(QUORVEL_LIFECYCLE_CHECKS)
#define QV_LIFECYCLE_CHECK(bHolds, pszRule, pszKind) \
    ((bHolds) ? (void)0 : ::quorvel::lifecycle::Broken(pszRule, pszKind, __FILE__, __LINE__))
#else
#define QV_LIFECYCLE_CHECK(bHolds, pszRule, pszKind) ((void)0)
#endif

// The end-game of a close: every call counted in the record has left.
#define QV_CHECK_CLOSE_CALLS(link, pszKind)                                      \
    QV_LIFECYCLE_CHECK(::quorvel::lifecycle::NoCallCounted(link),                \
                       ::quorvel::lifecycle::kCloseEndsCalls, pszKind)
// ... and the endpoint holds no listener thread any more.
#define QV_CHECK_CLOSE_LISTENER(thread, pszKind)                                 \
    QV_LIFECYCLE_CHECK((thread).GetSafeHandle() == nullptr,                      \
                       ::quorvel::lifecycle::kCloseEndsListener, pszKind)
