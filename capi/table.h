// The C interface's handles: a table of entries, each with a generation
// count, so that a handle value is never read through. A NULL, made-up,
// closed or wrong-kind handle is refused with ERROR_INVALID_HANDLE.
//
// Every call counts itself on its entry (core's CallGuard on the entry's
// record, which lives as long as the table) before it looks at the object;
// qv_close marks the entry closing, ends the object's calls and waits with
// EndCalls until none is counted, and only then lets the object go.
#pragma once

#include <atomic>

#include "core/error.h"
#include "core/shared_link.h"
#include "quorvel/quorvel_c.h"

namespace quorvel::capi {

// A set of handle kinds for a call to accept.
using Kinds = unsigned long;
constexpr Kinds KindBit(DWORD dwKind) {
    return dwKind < 0x100 ? 1ul << dwKind : 1ul << (16 + (dwKind & 0xFF));
}
constexpr Kinds kStreams = KindBit(QV_KIND_SERIAL) | KindBit(QV_KIND_TCP) | KindBit(QV_KIND_RFCOMM);
constexpr Kinds kConnections = KindBit(QV_KIND_TCP) | KindBit(QV_KIND_RFCOMM);
constexpr Kinds kServers = KindBit(QV_KIND_TCP_SERVER) | KindBit(QV_KIND_RFCOMM_SERVER);
constexpr Kinds kSockets = kConnections | kServers | KindBit(QV_KIND_UDP);
constexpr Kinds kEndpoints = kSockets | KindBit(QV_KIND_SERIAL) | KindBit(QV_KIND_PORT_WATCH);
constexpr Kinds kAnyKind = ~0ul;

// What a handle names. The table holds one reference; an event being
// delivered holds another, so that a close from inside the host's callback
// never frees what the delivery still uses.
class Object {
public:
    explicit Object(DWORD dwKind) : m_dwKind(dwKind) {}
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    DWORD Kind() const { return m_dwKind; }
    qv_handle Handle() const { return m_handle.load(std::memory_order_acquire); }

    // The steps of qv_close. Shutdown ends what the object holds (the C++
    // endpoint), which ends the calls under way on it; Wake ends the
    // interface's own waits and is called again until every call has left;
    // Finish releases the rest once no call runs.
    virtual void Shutdown() {}
    virtual void Wake() {}
    virtual void Finish() {}

    void AddRef() { m_lRefs.fetch_add(1, std::memory_order_relaxed); }
    void Release() {
        if (m_lRefs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

private:
    friend DWORD Register(Object* object, qv_handle* pHandle);
    DWORD m_dwKind;
    std::atomic<LONG> m_lRefs{1};
    std::atomic<qv_handle> m_handle{nullptr};
};

// Gives a new object its handle, in *pHandle. A NULL object (memory ran
// out) gives ERROR_NOT_ENOUGH_MEMORY; when the table is full the object is
// closed and released (ERROR_NOT_ENOUGH_MEMORY as well).
DWORD Register(Object* object, qv_handle* pHandle);

// qv_close.
DWORD Close(qv_handle handle);

// Frees the table's entries and their records (with the close wakes they
// made), for the DLL's unload: no call runs then, and no library thread is
// left (each holds the module). Objects a host never closed stay leaked.
void ReleaseTable();

// For tests: entries retire after uLast generations instead of the most a
// handle value holds (0: that again), so that a test can run one to its end.
void LimitGenerationsForTests(unsigned uLast);

// A call on a handle, counted on its entry from its construction to its end.
class Call {
public:
    // A handle that names no live object of those kinds is a failure of
    // the call that passed it (traced where the build asks).
    Call(qv_handle handle, Kinds kinds QV_FAILURE_PLACE);
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // 0, or ERROR_INVALID_HANDLE when the handle names no live object of
    // the kinds asked for.
    DWORD Status() const { return m_object ? ERROR_SUCCESS : ERROR_INVALID_HANDLE; }
    template <class T>
    T* Get() const {
        return static_cast<T*>(m_object);
    }
    // qv_close of the handle has begun.
    bool Closing() const { return m_guard.Closing(); }
    // The status of a library call that failed: ERROR_OPERATION_ABORTED
    // when a close ended it, else the error it left (never 0).
    DWORD Failed() const;

private:
    CallGuard m_guard;
    Object* m_object;
};

// The error a failed step left, never 0.
DWORD LastError();

// A status this layer makes itself (a bad argument, memory that ran out),
// traced where the build asks; passed on as it is.
inline DWORD Refuse(DWORD dwStatus QV_FAILURE_PLACE) {
    QV_TRACE_FAILURE(nullptr, dwStatus);
    return dwStatus;
}

}  // namespace quorvel::capi
