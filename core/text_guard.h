// Text of an object that several threads read and write (a peer address, a
// queue of reports), guarded by the textBusy flag of its record's extra.
#pragma once

#include "core/atomic.h"
#include "core/shared_link.h"

namespace quorvel {

// Holds the flag of the extra (of type Extra) of the record an object's
// member names, for a scope, with a hold on the record, so that a close on
// another thread cannot free it meanwhile; does nothing without a record
// or an extra.
template <class Extra>
class TextGuard {
public:
    explicit TextGuard(SharedLink* const& member)
        : m_pin(member), m_flag(FlagOf(ExtraOf<Extra>(m_pin.get()))) {}
    TextGuard(const TextGuard&) = delete;
    TextGuard& operator=(const TextGuard&) = delete;

private:
    static std::atomic<bool>* FlagOf(Extra* extra) { return extra ? &extra->textBusy : nullptr; }

    PinnedLink m_pin;  // let go of after the flag
    FlagGuard m_flag;
};

}  // namespace quorvel
