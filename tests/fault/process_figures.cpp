#include "tests/fault/process_figures.h"

#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>

#include <vector>

namespace qvtest {
namespace {

// The layout that NtQuerySystemInformation(SystemHandleInformation) returns.
struct HandleEntry {
    USHORT UniqueProcessId;
    USHORT CreatorBackTraceIndex;
    UCHAR ObjectTypeIndex;
    UCHAR HandleAttributes;
    USHORT HandleValue;
    PVOID Object;
    ULONG GrantedAccess;
};
struct HandleTable {
    ULONG NumberOfHandles;
    HandleEntry Handles[1];
};

constexpr ULONG kSystemHandleInformation = 16;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
using QueryFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

}  // namespace

long ProcessHandleCount() {
    static QueryFn query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"),
                                               "NtQuerySystemInformation")));
    if (!query) return -1;
    static std::vector<unsigned char> buffer(1 << 16);
    for (int attempt = 0; attempt < 8; ++attempt) {
        ULONG needed = 0;
        LONG status = query(kSystemHandleInformation, buffer.data(),
                            static_cast<ULONG>(buffer.size()), &needed);
        if (status == kStatusInfoLengthMismatch) {
            buffer.resize(needed > buffer.size() ? needed + 4096 : buffer.size() * 2);
            continue;
        }
        if (status < 0) return -1;
        const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
        USHORT self = static_cast<USHORT>(GetCurrentProcessId());
        long count = 0;
        for (ULONG i = 0; i < table->NumberOfHandles; ++i) {
            if (table->Handles[i].UniqueProcessId == self) ++count;
        }
        return count;
    }
    return -1;
}

long ProcessThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    long count = 0;
    DWORD self = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

size_t ProcessPrivateBytes() {
    size_t total = 0;
    MEMORY_BASIC_INFORMATION info;
    const char* address = nullptr;
    while (VirtualQuery(address, &info, sizeof info) == sizeof info) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) total += info.RegionSize;
        const char* next = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
        if (next <= address) break;
        address = next;
    }
    return total;
}

}  // namespace qvtest
