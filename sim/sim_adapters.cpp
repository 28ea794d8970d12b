#include "sim/sim_adapters.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/os.h"

namespace os = quorvel::os;

namespace qvsim {
namespace {

constexpr SIZE_T kPage = 4096;

struct Adapters {
    int count = 0;
    size_t stride = 0;
    int calls = 0;
    decltype(os::GetAdaptersInfo) real = nullptr;
};
Adapters* g_adapters = nullptr;

ULONG WINAPI SimGetAdaptersInfo(PIP_ADAPTER_INFO block, PULONG len) {
    Adapters& a = *g_adapters;
    ++a.calls;
    if (a.count <= 0) return ERROR_NO_DATA;
    if (!len) return ERROR_INVALID_PARAMETER;
    size_t last = std::min(a.stride, sizeof(IP_ADAPTER_INFO));
    size_t needed = a.stride * static_cast<size_t>(a.count - 1) + last;
    if (!block || *len < needed) {
        *len = static_cast<ULONG>(needed);
        return ERROR_BUFFER_OVERFLOW;
    }
    auto* base = reinterpret_cast<BYTE*>(block);
    for (int i = 0; i < a.count; ++i) {
        IP_ADAPTER_INFO info = {};
        info.Index = static_cast<DWORD>(i + 1);
        std::snprintf(info.AdapterName, sizeof info.AdapterName, "adapter%d", i);
        info.AddressLength = 6;
        info.Address[5] = static_cast<BYTE>(i);
        if (i + 1 < a.count)
            info.Next = reinterpret_cast<PIP_ADAPTER_INFO>(base + a.stride * (i + 1));
        std::memcpy(base + a.stride * i, &info,
                    i + 1 < a.count ? std::min(a.stride, sizeof info) : last);
    }
    return NO_ERROR;
}

struct Heap {
    std::mutex mutex;
    std::map<void*, BYTE*> blocks;  // user pointer, its region
    int badFrees = 0;
    decltype(os::HeapAlloc) realAlloc = nullptr;
    decltype(os::HeapFree) realFree = nullptr;
};
Heap* g_heap = nullptr;

LPVOID WINAPI SimHeapAlloc(HANDLE, DWORD, SIZE_T size) {
    SIZE_T pages = (size + kPage - 1) / kPage + 1;
    auto* region = static_cast<BYTE*>(
        VirtualAlloc(nullptr, pages * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (!region) return nullptr;
    DWORD old = 0;
    VirtualProtect(region + (pages - 1) * kPage, kPage, PAGE_NOACCESS, &old);
    BYTE* user = region + (pages - 1) * kPage - size;
    std::memset(user, 0, size);
    std::lock_guard<std::mutex> lock(g_heap->mutex);
    g_heap->blocks[user] = region;
    return user;
}

BOOL WINAPI SimHeapFree(HANDLE, DWORD, LPVOID p) {
    std::lock_guard<std::mutex> lock(g_heap->mutex);
    auto it = g_heap->blocks.find(p);
    if (it == g_heap->blocks.end()) {
        ++g_heap->badFrees;
        return FALSE;
    }
    VirtualFree(it->second, 0, MEM_RELEASE);
    g_heap->blocks.erase(it);
    return TRUE;
}

}  // namespace

AdapterList::AdapterList(int count, size_t stride) {
    assert(!g_adapters && "one AdapterList at a time");
    g_adapters = new Adapters;
    g_adapters->count = count;
    g_adapters->stride = stride;
    g_adapters->real = os::GetAdaptersInfo;
    os::GetAdaptersInfo = &SimGetAdaptersInfo;
}

AdapterList::~AdapterList() {
    os::GetAdaptersInfo = g_adapters->real;
    delete g_adapters;
    g_adapters = nullptr;
}

void AdapterList::SetCount(int count) { g_adapters->count = count; }
int AdapterList::Calls() const { return g_adapters->calls; }

GuardedHeap::GuardedHeap() {
    assert(!g_heap && "one GuardedHeap at a time");
    g_heap = new Heap;
    g_heap->realAlloc = os::HeapAlloc;
    g_heap->realFree = os::HeapFree;
    os::HeapAlloc = &SimHeapAlloc;
    os::HeapFree = &SimHeapFree;
}

GuardedHeap::~GuardedHeap() {
    os::HeapAlloc = g_heap->realAlloc;
    os::HeapFree = g_heap->realFree;
    for (auto& block : g_heap->blocks) VirtualFree(block.second, 0, MEM_RELEASE);
    delete g_heap;
    g_heap = nullptr;
}

size_t GuardedHeap::Held() const {
    std::lock_guard<std::mutex> lock(g_heap->mutex);
    return g_heap->blocks.size();
}

int GuardedHeap::BadFrees() const {
    std::lock_guard<std::mutex> lock(g_heap->mutex);
    return g_heap->badFrees;
}

}  // namespace qvsim
