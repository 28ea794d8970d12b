// A Visual C++ host linked against an installed quorvel: prints the version
// of the DLL it loaded and checks it against the package it was built with.
#include <quorvel/quorvel.h>

#include <stdio.h>
#include <stdlib.h>

namespace {

DWORD WINAPI Started(void* pThread) {
    static_cast<CxThread*>(pThread)->SetThreadStartedEvent();
    return 0;
}

char g_block[8192];

bool DllVersion(char* text, size_t size) {
    HMODULE module = GetModuleHandleW(L"quorvel.dll");
    wchar_t path[MAX_PATH];
    if (!module || !GetModuleFileNameW(module, path, MAX_PATH)) return false;
    DWORD ignored = 0;
    DWORD length = GetFileVersionInfoSizeW(path, &ignored);
    if (!length || length > sizeof g_block || !GetFileVersionInfoW(path, 0, length, g_block)) {
        return false;
    }
    VS_FIXEDFILEINFO* info = NULL;
    UINT infoLength = 0;
    if (!VerQueryValueW(g_block, L"\\", reinterpret_cast<void**>(&info), &infoLength) || !info) {
        return false;
    }
    _snprintf(text, size, "%u.%u.%u", (unsigned)HIWORD(info->dwFileVersionMS),
              (unsigned)LOWORD(info->dwFileVersionMS), (unsigned)HIWORD(info->dwFileVersionLS));
    text[size - 1] = '\0';
    return true;
}

// The system libraries of the headers, which the package's target brings:
// without them this does not link.
bool SystemCalls() {
    DWORD interfaces = 0;
    GetNumberOfInterfaces(&interfaces);                        // iphlpapi
    SetupDiDestroyDeviceInfoList(INVALID_HANDLE_VALUE);        // setupapi
    return ntohs(htons(0x1234)) == 0x1234 && htons(1) != 1;    // ws2_32
}

}  // namespace

extern "C" void __cdecl AppStart() {
    char version[64];
    if (!DllVersion(version, sizeof version)) {
        printf("cannot read the version of quorvel.dll\n");
        exit(1);
    }
    printf("quorvel %s (package %s)\n", version, QV_PACKAGE_VERSION);
    CxThread thread;
    int started = thread.CreateThread(NULL, 0, &Started, NULL, 0, 10000);
    thread.CloseThread(INFINITE);
    CxSerial* serial = new CxSerial;
    int opened = serial && serial->Open(NULL, 1);  // refused: no path
    delete serial;
    bool system = SystemCalls();
    printf("thread %s, serial refuses a NULL path: %s, system libraries %s\n",
           started ? "ran" : "failed", opened ? "no" : "yes", system ? "linked" : "wrong");
    fflush(stdout);
    exit(started && !opened && system ? 0 : 1);
}
