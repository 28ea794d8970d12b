// A host's view of the public headers: everything, and nothing else. The
// host set-up check (host_setup.cmake) also compiles it with <windows.h>
// first, as a precompiled header would have it, with or without
// <winsock.h> kept out.
#if defined(QV_WINDOWS_FIRST)
#include <windows.h>
#elif defined(QV_LEAN_WINDOWS_FIRST)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#elif defined(QV_WINSOCK_KEPT_OUT)
#define _WINSOCKAPI_  // an old way to keep <winsock.h> out of <windows.h>
#include <windows.h>
#endif
#include <quorvel/quorvel.h>
#include <quorvel/quorvel_c.h>

int main() {
    CxSerial serial;
    CxComm* pComm = &serial;
    qv_handle handle = 0;
    return pComm->GetSafeHandle() == 0 && CX_EVENT_DATA_READY == 1 && !handle ? 0 : 1;
}
