// A host linked against an installed quorvel: prints the version of the DLL
// it loaded and checks it against the package it was built with.
#include <quorvel/quorvel.h>

#include <cstdio>
#include <cstring>

namespace {

DWORD WINAPI Started(void* pThread) {
    static_cast<CxThread*>(pThread)->SetThreadStartedEvent();
    return 0;
}

bool DllVersion(char* text, size_t size) {
    HMODULE module = GetModuleHandleW(L"quorvel.dll");
    wchar_t path[MAX_PATH];
    if (!module || !GetModuleFileNameW(module, path, MAX_PATH)) return false;
    DWORD ignored = 0;
    DWORD length = GetFileVersionInfoSizeW(path, &ignored);
    if (!length) return false;
    static char block[8192];
    if (length > sizeof block || !GetFileVersionInfoW(path, 0, length, block)) return false;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoLength = 0;
    if (!VerQueryValueW(block, L"\\", reinterpret_cast<void**>(&info), &infoLength) || !info) {
        return false;
    }
    std::snprintf(text, size, "%u.%u.%u", (unsigned)HIWORD(info->dwFileVersionMS),
                  (unsigned)LOWORD(info->dwFileVersionMS), (unsigned)HIWORD(info->dwFileVersionLS));
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

int main() {
    char version[64];
    if (!DllVersion(version, sizeof version)) {
        std::printf("cannot read the version of quorvel.dll\n");
        return 1;
    }
    std::printf("quorvel %s (package %s)\n", version, QV_PACKAGE_VERSION);

    CxThread thread;
    int started = thread.CreateThread(nullptr, 0, &Started, nullptr, 0, 10000);
    thread.CloseThread(INFINITE);
    CxSerial serial;
    int opened = serial.Open(nullptr, 1);  // refused: no path
    bool system = SystemCalls();
    std::printf("thread %s, serial refuses a NULL path: %s, system libraries %s\n",
                started ? "ran" : "failed", opened ? "no" : "yes", system ? "linked" : "wrong");
    return std::strcmp(version, QV_PACKAGE_VERSION) == 0 && started && !opened && system ? 0 : 1;
}
