// Simulated adapter lists and a guarded heap, plugged into the library's
// platform layer for the span of one object.
//
// AdapterList answers GetAdaptersInfo with Count() records named
// "adapter0", "adapter1", ... (Index i + 1, six-byte address ending in i),
// laid out Stride() bytes apart in the caller's block; the last record is
// cut to the stride, so with a stride below sizeof(IP_ADAPTER_INFO) it ends
// exactly at the end of the block, as Wine's x86 records do. A block too
// small gets ERROR_BUFFER_OVERFLOW and the needed length; a count of 0 gets
// ERROR_NO_DATA.
//
// GuardedHeap answers HeapAlloc with blocks that end right before a page
// without access, so a read past a block faults at once, and HeapFree of a
// block it did not hand out (or a second free) counts as a bad free.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstddef>

namespace qvsim {

class AdapterList {
public:
    AdapterList(int count, size_t stride);
    ~AdapterList();
    AdapterList(const AdapterList&) = delete;
    AdapterList& operator=(const AdapterList&) = delete;

    void SetCount(int count);
    int Calls() const;  // GetAdaptersInfo calls so far
};

class GuardedHeap {
public:
    GuardedHeap();
    ~GuardedHeap();  // releases what is still held
    GuardedHeap(const GuardedHeap&) = delete;
    GuardedHeap& operator=(const GuardedHeap&) = delete;

    size_t Held() const;  // blocks handed out and not yet freed
    int BadFrees() const;
};

}  // namespace qvsim
