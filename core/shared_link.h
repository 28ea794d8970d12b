// The small record that an object shares with its copies while it holds an
// operating-system resource: who owns the resource (the object that acquired
// it), whether it is still open, and, for threads, the handle. The last holder
// to let go frees the record; the resource itself is released by its owner.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>

namespace quorvel {

// State that a subsystem adds to the record on demand (options a host asked
// for, say); copies see it too, and it is freed with the record.
struct LinkExtra {
    virtual ~LinkExtra() = default;
};

struct SharedLink {
    std::atomic<LONG> refs;
    std::atomic<bool> live;       // cleared by the owner when it releases the resource
    const void* owner;            // the object that acquired the resource
    std::atomic<HANDLE> handle;   // the thread handle, for CxThread
    std::atomic<LONG> busy;       // calls in progress on the resource (transfers, accepts)
    std::atomic<bool> closing;    // the owner has begun to close: calls in progress leave
    std::atomic<LONG> receives;   // receives that took data, through any holder
    std::atomic<bool> textBusy;   // guards text that several threads read and write
    std::atomic<LinkExtra*> extra;  // nullptr until a subsystem adds some

    // A new record with refs holders; nullptr if memory ran out.
    static SharedLink* Create(const void* owner, LONG refs = 1);
    // One more holder; nullptr stays nullptr.
    static SharedLink* Share(SharedLink* link);
    // Drops one holder and clears the caller's pointer.
    static void Release(SharedLink*& link);
    // Puts candidate in place unless another is there already (it is then
    // deleted); returns the one in place. nullptr in, nullptr out.
    LinkExtra* AddExtra(LinkExtra* candidate);
};

// Holds a record's text guard for a scope; does nothing without a record.
// The guarded work is a few dozen character copies, so waiting turns.
class TextGuard {
public:
    explicit TextGuard(SharedLink* link);
    ~TextGuard();
    TextGuard(const TextGuard&) = delete;
    TextGuard& operator=(const TextGuard&) = delete;

private:
    SharedLink* m_link;
};

}  // namespace quorvel
