// Entry point and global operator new/delete of the Visual C++ host
// programs; there is no C runtime start-up to provide them.
#include "host.h"

#include <stdlib.h>

namespace host {
int g_nPassed = 0;
int g_nFailed = 0;
volatile LONG g_nGlobalNew = 0;
volatile LONG g_nGlobalDelete = 0;
}  // namespace host

// The host's own heap. Objects of the library's classes must never come from
// here (their class operator new and delete live in the DLL): the programs
// count these calls to prove it.
void* operator new(size_t cb) {
    InterlockedIncrement(&host::g_nGlobalNew);
    return malloc(cb ? cb : 1);
}
void* operator new[](size_t cb) {
    InterlockedIncrement(&host::g_nGlobalNew);
    return malloc(cb ? cb : 1);
}
void operator delete(void* p) noexcept {
    if (p) InterlockedIncrement(&host::g_nGlobalDelete);
    free(p);
}
void operator delete[](void* p) noexcept {
    if (p) InterlockedIncrement(&host::g_nGlobalDelete);
    free(p);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete[](p); }

extern "C" void __cdecl HostStart() {
    int nResult = HostMain();
    printf("%d passed, %d failed\n", host::g_nPassed, host::g_nFailed);
    fflush(stdout);
    exit(nResult != 0 || host::g_nFailed != 0 ? 1 : 0);
}
