#include "capi/table.h"
#include "platform/os.h"

// The library keeps no per-process or per-thread state to set up. Optional
// system modules it loaded on first use, and the C interface's handle
// table, are let go when the host unloads the DLL; at process exit (a
// non-NULL reserved argument) nothing is released.
BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID pvReserved) {
    if (dwReason == DLL_PROCESS_DETACH && !pvReserved) {
        quorvel::os::ReleaseOptionalModules();
        quorvel::capi::ReleaseTable();
    }
    return TRUE;
}
