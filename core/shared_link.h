// The small record that an object shares with its copies while it holds an
// operating-system resource: who owns the resource (the object that acquired
// it) and whether it is still open, the calls in progress on it, the close
// that waits for them, and what the kind of object adds (its extra). The
// last holder to let go frees the record; the resource itself is released by
// its owner.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <new>

#include "platform/os.h"

namespace quorvel {

// State that a kind of object adds to the record (options a host asked for,
// the receives a socket counts, a thread's handle); copies see it too, and
// it is freed with the record. Each kind adds one type of extra.
struct LinkExtra {
    virtual ~LinkExtra() = default;
};

struct SharedLink {
    std::atomic<LONG> refs;
    std::atomic<bool> live;       // cleared by the owner when it releases the resource
    const void* owner;            // the object that acquired the resource
    std::atomic<LONG> busy;       // calls in progress on the resource
    // Of those, the calls let through (busy also counts a refused call for
    // a moment); kept only where the lifecycle checks are built in.
    std::atomic<LONG> admitted;
    std::atomic<bool> closing;    // the owner has begun to close: calls in progress leave
    std::atomic<HANDLE> closerWake;  // set by the last call to leave a close; made on first need
    std::atomic<LinkExtra*> extra;  // nullptr until the kind of object adds its own

    // A new record with refs holders; nullptr if memory ran out.
    static SharedLink* Create(const void* owner, LONG refs = 1);
    // One more holder; nullptr stays nullptr.
    static SharedLink* Share(SharedLink* link);
    // Drops one holder and clears the caller's pointer; the last error stays
    // the caller's.
    static void Release(SharedLink*& link);
    // The same two for a record that an object names in its member, where
    // another thread may read it (a call, a copy being made) while the
    // object lets go of it: Pin takes a hold on what the member names,
    // Detach clears the member and drops the object's hold. Each works
    // under the member's gate (LinkGate), so a record read under the gate
    // is never freed before the gate is left.
    static SharedLink* Pin(SharedLink* const& member);
    static void Detach(SharedLink*& member);
    // Puts candidate in place unless another is there already (it is then
    // deleted); returns the one in place. nullptr in, nullptr out.
    LinkExtra* AddExtra(LinkExtra* candidate);
};

// The owner rule, asked in one place: whether self is the object that
// acquired what the record stands for (so the one to close it), whether or
// not it has been released since. Copies never are.
inline bool AcquiredBy(const SharedLink* link, const void* self) {
    return link && link->owner == self;
}

// The extra of a record whose kind of object adds Extra; nullptr without a
// record or before it is made.
template <class Extra>
Extra* ExtraOf(const SharedLink* link) {
    return link ? static_cast<Extra*>(link->extra.load()) : nullptr;
}

// The same, made on first use; nullptr if memory ran out (or no record).
template <class Extra>
Extra* MakeExtra(SharedLink* link) {
    if (!link) return nullptr;
    if (Extra* extra = ExtraOf<Extra>(link)) return extra;
    return static_cast<Extra*>(link->AddExtra(new (std::nothrow) Extra));
}

// A hold on the record an object's member names (SharedLink::Pin), for a
// scope: a close on another thread cannot free it meanwhile.
class PinnedLink {
public:
    explicit PinnedLink(SharedLink* const& member) : m_link(SharedLink::Pin(member)) {}
    ~PinnedLink() { SharedLink::Release(m_link); }
    PinnedLink(const PinnedLink&) = delete;
    PinnedLink& operator=(const PinnedLink&) = delete;
    SharedLink* get() const { return m_link; }

private:
    SharedLink* m_link;
};

// Holds the gate of an object's record member (keyed by its address) for a
// scope. What it guards is a few loads and stores: waiting turns.
class LinkGate {
public:
    explicit LinkGate(const void* member);
    ~LinkGate();
    LinkGate(const LinkGate&) = delete;
    LinkGate& operator=(const LinkGate&) = delete;

private:
    volatile LONG* m_pGate;
};

// A call on a resource that its owner may close from another thread (a
// transfer, a query, an accept, a listener's wait): counted in the record
// the object's member names, for as long as it lasts. It counts itself
// before it reads anything the record names, so a close either sees it and
// waits, or has begun before and is seen here. Refused() is true when the
// owner has begun to close or released the resource (or there is no
// record); the call must then not touch the resource at all.
class CallGuard {
public:
    explicit CallGuard(SharedLink* const& member);
    ~CallGuard();
    CallGuard(const CallGuard&) = delete;
    CallGuard& operator=(const CallGuard&) = delete;

    bool Refused() const { return m_bRefused; }
    // The owner's close has begun since: leave at once.
    bool Closing() const { return m_link && m_link->closing.load(std::memory_order_seq_cst); }
    SharedLink* Link() const { return m_link; }

private:
    SharedLink* m_link;  // pinned: valid until the guard ends
    bool m_bRefused;
};

// The wait of a close for the calls in progress: 1 ms, then doubling up to
// 64 ms, between cancels. The last call to leave ends it at once.
DWORD NextCloseWait(DWORD dwWait);
// The close's wake, made on first need and kept until the record goes;
// nullptr if the system cannot make one (the close then only sleeps).
HANDLE CloserWake(SharedLink* link);

// The owner's side: marks the resource as closing and returns once no call
// is under way any more. cancel() ends the calls' pending requests; it is
// called again after each wait that runs out, since a call may issue one
// more request before it sees the close. When calls are still under way
// dwGiveUpAfter ms into the wait (a driver that never completes a cancelled
// request), giveUp() is called once instead of cancel(), and the wait goes
// on without cancels.
template <class Cancel, class GiveUp>
void EndCalls(SharedLink* link, Cancel cancel, DWORD dwGiveUpAfter, GiveUp giveUp) {
    link->closing.store(true, std::memory_order_seq_cst);
    if (link->busy.load(std::memory_order_seq_cst) == 0) return;
    HANDLE hWake = CloserWake(link);
    bool bGivenUp = false;
    DWORD dwWaited = 0;
    for (DWORD dwWait = 1; link->busy.load(std::memory_order_seq_cst) != 0;
         dwWait = NextCloseWait(dwWait)) {
        if (bGivenUp) {
            dwWait = INFINITE;
        } else if (dwWaited >= dwGiveUpAfter) {
            bGivenUp = true;
            giveUp();
        } else {
            cancel();
        }
        if (link->busy.load(std::memory_order_seq_cst) == 0) break;
        if (!hWake || os::WaitForSingleObject(hWake, dwWait) == WAIT_FAILED) os::Sleep(1);
        dwWaited += dwWait;
    }
}

template <class Cancel>
void EndCalls(SharedLink* link, Cancel cancel) {
    EndCalls(link, cancel, INFINITE, [] {});
}

// The start of a close on its own, for a closer with other work to do before
// its EndCalls: new calls are refused, and cancel() ends the requests of those
// under way, so that they leave meanwhile.
template <class Cancel>
void AskCallsToLeave(SharedLink* link, Cancel cancel) {
    link->closing.store(true, std::memory_order_seq_cst);
    if (link->busy.load(std::memory_order_seq_cst) != 0) cancel();
}

}  // namespace quorvel
