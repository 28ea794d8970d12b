#include "core/shared_link.h"

#include <new>

#include "core/atomic.h"
#include "core/error.h"

namespace quorvel {

namespace {

// The gates of record members, shared by address: a member's gate is held
// for a few loads and stores, so members that share one only take turns.
constexpr unsigned kGates = 64;
volatile LONG g_gates[kGates];

}  // namespace

LinkGate::LinkGate(const void* member)
    : m_pGate(&g_gates[(reinterpret_cast<UINT_PTR>(member) / sizeof(void*)) % kGates]) {
    for (unsigned nSpin = 0; AtomicExchange(*const_cast<LONG*>(m_pGate), 1L) != 0; ++nSpin) {
        if (nSpin < 64) {
            YieldProcessor();
        } else {
            os::Sleep(0);  // the holder was preempted: let it finish
        }
    }
}

LinkGate::~LinkGate() { AtomicStore(*const_cast<LONG*>(m_pGate), 0L); }

SharedLink* SharedLink::Create(const void* owner, LONG refs) {
    SharedLink* link = new (std::nothrow) SharedLink;
    if (link) {
        link->refs.store(refs);
        link->live.store(true);
        link->owner = owner;
        link->busy.store(0);
        link->admitted.store(0);
        link->closing.store(false);
        link->closerWake.store(nullptr);
        link->extra.store(nullptr);
    }
    return link;
}

SharedLink* SharedLink::Share(SharedLink* link) {
    if (link) link->refs.fetch_add(1, std::memory_order_relaxed);
    return link;
}

void SharedLink::Release(SharedLink*& link) {
    if (link && link->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        ErrorKeeper keep;  // letting go is clean-up, as for the owner types
        if (HANDLE hWake = link->closerWake.load()) os::CloseHandle(hWake);
        delete link->extra.load();
        delete link;
    }
    link = nullptr;
}

SharedLink* SharedLink::Pin(SharedLink* const& member) {
    LinkGate gate(&member);
    return Share(AtomicLoad(member));
}

void SharedLink::Detach(SharedLink*& member) {
    SharedLink* link;
    {
        LinkGate gate(&member);
        link = AtomicExchange(member, static_cast<SharedLink*>(nullptr));
    }
    Release(link);
}

LinkExtra* SharedLink::AddExtra(LinkExtra* candidate) {
    LinkExtra* current = nullptr;
    if (!candidate || extra.compare_exchange_strong(current, candidate)) return candidate;
    delete candidate;
    return current;
}

CallGuard::CallGuard(SharedLink* const& member)
    : m_link(SharedLink::Pin(member)), m_bRefused(true) {
    if (!m_link) return;
    // Counted before the close flag is looked at: a close that begins later
    // waits for this call; one that began earlier is seen here.
    m_link->busy.fetch_add(1, std::memory_order_seq_cst);
    m_bRefused = m_link->closing.load(std::memory_order_seq_cst) || !m_link->live.load();
#if defined(QUORVEL_LIFECYCLE_CHECKS)
    if (!m_bRefused) m_link->admitted.fetch_add(1, std::memory_order_seq_cst);
#endif
}

CallGuard::~CallGuard() {
    if (!m_link) return;
#if defined(QUORVEL_LIFECYCLE_CHECKS)
    // Before the count that the close waits on: once that is zero, so is this.
    if (!m_bRefused) m_link->admitted.fetch_sub(1, std::memory_order_seq_cst);
#endif
    // The last call to leave a close tells the closer.
    if (m_link->busy.fetch_sub(1, std::memory_order_seq_cst) == 1 &&
        m_link->closing.load(std::memory_order_seq_cst)) {
        if (HANDLE hWake = m_link->closerWake.load(std::memory_order_seq_cst)) os::SetEvent(hWake);
    }
    SharedLink::Release(m_link);
}

DWORD NextCloseWait(DWORD dwWait) { return dwWait >= 64 ? 64 : dwWait * 2; }

HANDLE CloserWake(SharedLink* link) {
    HANDLE hWake = link->closerWake.load(std::memory_order_seq_cst);
    if (hWake) return hWake;
    HANDLE hNew = os::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!hNew) return nullptr;
    if (link->closerWake.compare_exchange_strong(hWake, hNew)) return hNew;
    os::CloseHandle(hNew);  // another close made one meanwhile
    return hWake;
}

}  // namespace quorvel
