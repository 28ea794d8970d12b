// A host that loads quorvel.dll at run time, makes one Bluetooth call and
// unloads the DLL: the Bluetooth API (bthprops.cpl), which the DLL loads on
// first use and never imports, goes with it. Then a plug-in host: its
// callback deletes the plug-in's endpoint and the host unloads the plug-in,
// and quorvel.dll with it, while the listener thread still has to return
// from that callback, many times over. Prints PASSED or what failed.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

bool Loaded(const wchar_t* module) { return GetModuleHandleW(module) != nullptr; }

int Fail(const char* what) {
    std::printf("FAILED: %s\n", what);
    return 1;
}

// One round of the plug-in host: the callback deletes the endpoint, lets the
// host unload the plug-in and returns only once it has.
struct Round {
    void (*pfnDelete)(void*);
    void* endpoint;
    HANDLE deleted, unloaded;

    static long CALLBACK Proc(void* p, unsigned int, long) {
        Round* r = static_cast<Round*>(p);
        void* endpoint = InterlockedExchangePointer(&r->endpoint, nullptr);
        if (!endpoint) return 0;
        r->pfnDelete(endpoint);
        SetEvent(r->deleted);
        WaitForSingleObject(r->unloaded, 5000);
        return 0;  // into quorvel.dll's listener
    }
};

const char* UnloadUnderTheCallback(SOCKET sender) {
    HMODULE plugin = LoadLibraryW(L"unload_plugin.dll");
    if (!plugin) return "unload_plugin.dll does not load";
    using Open = void* (*)(long(CALLBACK*)(void*, unsigned int, long), void*, int*);
    auto open = reinterpret_cast<Open>(reinterpret_cast<void*>(GetProcAddress(plugin, "PluginOpen")));
    Round round = {reinterpret_cast<void (*)(void*)>(
                       reinterpret_cast<void*>(GetProcAddress(plugin, "PluginDelete"))),
                   nullptr, CreateEventW(nullptr, TRUE, FALSE, nullptr),
                   CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    int port = 0;
    if (!open || !round.pfnDelete) return "the plug-in lacks its functions";
    round.endpoint = open(&Round::Proc, &round, &port);
    if (!round.endpoint) return "the plug-in cannot open its endpoint";
    SOCKADDR_IN to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<u_short>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(sender, "x", 1, 0, reinterpret_cast<SOCKADDR*>(&to), sizeof to);
    if (WaitForSingleObject(round.deleted, 5000) != WAIT_OBJECT_0) return "no callback";
    FreeLibrary(plugin);
    SetEvent(round.unloaded);
    for (int ms = 0; Loaded(L"quorvel.dll"); ++ms) {
        if (ms == 5000) return "quorvel.dll stays loaded after its listener has ended";
        Sleep(1);
    }
    CloseHandle(round.deleted);
    CloseHandle(round.unloaded);
    return nullptr;
}

// The process's open handles, by asking each value (Wine has no count).
DWORD OpenHandles() {
    DWORD n = 0, flags = 0;
    for (UINT_PTR value = 4; value < 0x10000; value += 4) {
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++n;
    }
    return n;
}

template <class Fn>
Fn Export(HMODULE dll, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

// Handles left by rounds that load the DLL, close a queue handle (bWoken:
// while another thread waits on it, so that the close makes its entry's
// close wake) and unload the DLL. Loading alone may leave a few under Wine.
DWORD(WINAPI* g_wait)(void*, DWORD, void**, DWORD*, DWORD*);
void* g_queue;
DWORD WINAPI WaitOnQueue(void*) { return g_wait(g_queue, INFINITE, nullptr, nullptr, nullptr); }

DWORD Rounds(bool bWoken) {
    DWORD dwBefore = OpenHandles();
    for (int round = 0; round < 20; ++round) {
        HMODULE dll = LoadLibraryW(L"quorvel.dll");
        g_wait = Export<decltype(g_wait)>(dll, "qv_wait_event");
        Export<DWORD(WINAPI*)(void**)>(dll, "qv_queue_open")(&g_queue);
        HANDLE waiter = bWoken ? CreateThread(nullptr, 0, WaitOnQueue, nullptr, 0, nullptr) : nullptr;
        Sleep(bWoken ? 20 : 0);
        Export<DWORD(WINAPI*)(void*)>(dll, "qv_close")(g_queue);
        if (waiter && WaitForSingleObject(waiter, 5000) == WAIT_OBJECT_0) CloseHandle(waiter);
        FreeLibrary(dll);
    }
    return OpenHandles() - dwBefore;
}

}  // namespace

// A process that ends while a plug-in's static endpoint listens: it ends.
const char* ExitsWithAStaticListener() {
    wchar_t self[MAX_PATH], command[MAX_PATH + 16];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    swprintf(command, MAX_PATH + 16, L"\"%ls\" keep", self);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        return "cannot start a child";
    }
    DWORD dwWait = WaitForSingleObject(pi.hProcess, 20000);
    DWORD dwCode = 1;
    GetExitCodeProcess(pi.hProcess, &dwCode);
    if (dwWait != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    if (dwWait != WAIT_OBJECT_0) return "a process with a plug-in's static listener does not end";
    return dwCode == 0 ? nullptr : "the child could not keep an endpoint";
}

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "keep") == 0) {  // the child: keep one, and end
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        HMODULE plugin = LoadLibraryW(L"unload_plugin.dll");
        auto keep = plugin ? Export<int (*)()>(plugin, "PluginKeep") : nullptr;
        if (!keep || !keep()) return 1;
        Sleep(300);  // its listener waits by now
        return 0;
    }
    if (Loaded(L"bthprops.cpl")) return Fail("bthprops.cpl was loaded before the DLL");
    HMODULE dll = LoadLibraryW(L"quorvel.dll");
    if (!dll) return Fail("quorvel.dll does not load");
    if (Loaded(L"bthprops.cpl")) return Fail("loading quorvel.dll brought bthprops.cpl in");

    // int BthFindDevice(const wchar_t*, wchar_t*, wchar_t*, unsigned char, int, unsigned char*)
    using FindDevice = int (*)(const wchar_t*, wchar_t*, wchar_t*, unsigned char, int,
                               unsigned char*);
    auto find = reinterpret_cast<FindDevice>(
        reinterpret_cast<void*>(GetProcAddress(dll, "_Z13BthFindDevicePKwPwS1_hiPh")));
    if (!find) return Fail("quorvel.dll does not export BthFindDevice");
    wchar_t radio[48], device[48];
    unsigned char status = 0;
    if (find(L"phone", radio, device, 0xFF, 0, &status) != 0 || status != 0x41) {
        return Fail("BthFindDevice found a radio under Wine");
    }
    if (!Loaded(L"bthprops.cpl")) return Fail("the first Bluetooth call did not load bthprops.cpl");

    if (!FreeLibrary(dll)) return Fail("FreeLibrary(quorvel.dll) failed");
    if (Loaded(L"quorvel.dll")) return Fail("quorvel.dll stayed loaded");
    if (Loaded(L"bthprops.cpl")) return Fail("bthprops.cpl stayed loaded after quorvel.dll was unloaded");

    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return Fail("WSAStartup");
    SOCKET sender = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    for (int i = 0; i < 100; ++i) {
        if (const char* failure = UnloadUnderTheCallback(sender)) return Fail(failure);
    }
    closesocket(sender);
    WSACleanup();
    // The handle table and its entries' records go with the DLL.
    if (Rounds(true) > Rounds(false) + 5) return Fail("the handle table's close wakes outlive the DLL");
    if (const char* failure = ExitsWithAStaticListener()) return Fail(failure);
    std::printf("PASSED: bthprops.cpl loaded on the first Bluetooth call, released with the DLL; "
                "100 endpoints deleted from their callback, the DLL unloaded under it; "
                "the handle table released with the DLL; a process ends with a static listener\n");
    return 0;
}
