// Support of the Visual C++ host programs: programs built in MSVC mode with
// no C++ standard library and no Visual C++ runtime, which use quorvel.dll
// through its import library only, as a Visual C++ host does.
//
// Each program defines HostMain(); the entry point runs it, prints
// "N passed, N failed" and exits with 1 if any check failed.
#pragma once

#include <quorvel/quorvel.h>

#include <stdio.h>
#include <string.h>

int HostMain();

namespace host {

extern int g_nPassed;
extern int g_nFailed;
// Calls of the host's own global operator new and delete (host_main.cpp).
extern volatile LONG g_nGlobalNew;
extern volatile LONG g_nGlobalDelete;

inline bool Check(bool bOk, const char* pszWhat, const char* pszFile, int nLine) {
    if (bOk) {
        ++g_nPassed;
    } else {
        ++g_nFailed;
        printf("FAILED %s:%d: %s\n", pszFile, nLine, pszWhat);
        fflush(stdout);
    }
    return bOk;
}

// Waits until *pFlag is non-zero, at most dwMilliseconds.
inline bool WaitFor(volatile LONG* pFlag, DWORD dwMilliseconds) {
    DWORD dwStart = GetTickCount();
    while (!*pFlag) {
        if (GetTickCount() - dwStart > dwMilliseconds) return false;
        Sleep(1);
    }
    return true;
}

}  // namespace host

#define CHECK(cond) host::Check((cond) ? true : false, #cond, __FILE__, __LINE__)
