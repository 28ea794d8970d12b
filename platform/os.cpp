#if defined(_MSC_VER)
// Declared without dllimport here, each system function's address is that of
// its import thunk, a constant for the linker: every pointer below is then
// set when the DLL is mapped, with no initialiser to run (the Visual C++
// flavour has no C runtime start-up).
#define WINBASEAPI
#define WINADVAPI
#define WINUSERAPI
#define WINSOCK_API_LINKAGE
#endif
#include "platform/os.h"

namespace quorvel::os {

#define QV_OS_DEFINE(name) QV_OS_SYSTEM_TYPE(name) name = &::name;
#define QV_OS_DEFINE_BTHPROPS(name) QV_OS_BTHPROPS_TYPE(name) name = &bthprops::name;
QV_OS_KERNEL(QV_OS_DEFINE)
QV_OS_USER(QV_OS_DEFINE)
QV_OS_WINSOCK(QV_OS_DEFINE)
QV_OS_BLUETOOTH(QV_OS_DEFINE_BTHPROPS)
QV_OS_SETUPAPI(QV_OS_DEFINE)
QV_OS_REGISTRY(QV_OS_DEFINE)
QV_OS_IPHELPER(QV_OS_DEFINE)
QV_OS_COMM_LINES(QV_OS_DEFINE)
#undef QV_OS_DEFINE
#undef QV_OS_DEFINE_BTHPROPS

// The Bluetooth API, loaded on first use.
//
// The first Bluetooth call of the process loads bthprops.cpl from the system
// directory (never from the host's directory or the search path) and looks up
// every function once; an INIT_ONCE makes concurrent first calls wait for
// that one lookup, and publishes the table to every thread. The result is
// final: a module or function that is absent then stays absent for the life
// of the process, and each call of it fails as on a machine without a radio,
// with ERROR_NOT_SUPPORTED (returned by the functions that return an error
// code, and the thread's last error).
//
// The module stays loaded until this library is unloaded: searches and
// authentication registrations may be open, and the system may call back,
// at any time while the library can run. A host that unloads quorvel.dll
// releases it then (ReleaseOptionalModules from DllMain); at process exit
// nothing is released, as Windows asks.
namespace {

struct BluetoothApi {
    HMODULE module;
#define QV_BTHPROPS_FIELD(name) QV_OS_BTHPROPS_TYPE(name) name;
    QV_OS_BLUETOOTH(QV_BTHPROPS_FIELD)
#undef QV_BTHPROPS_FIELD
};

INIT_ONCE g_bluetoothOnce = INIT_ONCE_STATIC_INIT;
BluetoothApi g_bluetooth;  // written only inside the one-time lookup

template <class Fn>
Fn Lookup(HMODULE module, const char* name) {
    // Through void*: a FARPROC converts to any function pointer type.
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

BOOL CALLBACK LoadBluetooth(PINIT_ONCE, PVOID, PVOID*) {
    static const wchar_t kModule[] = L"\\bthprops.cpl";
    constexpr UINT kRoom = MAX_PATH - sizeof kModule / sizeof kModule[0];
    wchar_t path[MAX_PATH];
    UINT n = ::GetSystemDirectoryW(path, kRoom);
    if (n == 0 || n >= kRoom) return TRUE;  // no module: every call fails
    for (UINT i = 0; i < sizeof kModule / sizeof kModule[0]; ++i) path[n + i] = kModule[i];
    HMODULE module = ::LoadLibraryW(path);
    if (!module) return TRUE;
    g_bluetooth.module = module;
#define QV_BTHPROPS_LOOKUP(name) \
    g_bluetooth.name = Lookup<QV_OS_BTHPROPS_TYPE(name)>(module, #name);
    QV_OS_BLUETOOTH(QV_BTHPROPS_LOOKUP)
#undef QV_BTHPROPS_LOOKUP
    return TRUE;
}

// The table, looked up on the first call. The caller's last error is kept:
// a forwarded call that succeeds reports what the system's function would.
const BluetoothApi& Bluetooth() {
    DWORD dwError = ::GetLastError();
    ::InitOnceExecuteOnce(&g_bluetoothOnce, &LoadBluetooth, nullptr, nullptr);
    ::SetLastError(dwError);
    return g_bluetooth;
}

// The failure of a Bluetooth call whose function is absent.
template <class R>
R Unsupported(R result) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return result;
}

}  // namespace

void ReleaseOptionalModules() {
    BOOL bPending = TRUE;
    if (!::InitOnceBeginInitialize(&g_bluetoothOnce, INIT_ONCE_CHECK_ONLY, &bPending, nullptr) ||
        bPending) {
        return;  // never looked up: nothing was loaded
    }
    HMODULE module = g_bluetooth.module;
    g_bluetooth = BluetoothApi();
    ::InitOnceInitialize(&g_bluetoothOnce);  // a later call looks up again
    if (module) ::FreeLibrary(module);
}

namespace bthprops {

HBLUETOOTH_RADIO_FIND WINAPI BluetoothFindFirstRadio(const BLUETOOTH_FIND_RADIO_PARAMS* pbtfrp,
                                                     HANDLE* phRadio) {
    if (auto fn = Bluetooth().BluetoothFindFirstRadio) return fn(pbtfrp, phRadio);
    return Unsupported<HBLUETOOTH_RADIO_FIND>(nullptr);
}

BOOL WINAPI BluetoothFindNextRadio(HBLUETOOTH_RADIO_FIND hFind, HANDLE* phRadio) {
    if (auto fn = Bluetooth().BluetoothFindNextRadio) return fn(hFind, phRadio);
    return Unsupported<BOOL>(FALSE);
}

BOOL WINAPI BluetoothFindRadioClose(HBLUETOOTH_RADIO_FIND hFind) {
    if (auto fn = Bluetooth().BluetoothFindRadioClose) return fn(hFind);
    return Unsupported<BOOL>(FALSE);
}

DWORD WINAPI BluetoothGetRadioInfo(HANDLE hRadio, PBLUETOOTH_RADIO_INFO pRadioInfo) {
    if (auto fn = Bluetooth().BluetoothGetRadioInfo) return fn(hRadio, pRadioInfo);
    return Unsupported<DWORD>(ERROR_NOT_SUPPORTED);
}

BOOL WINAPI BluetoothEnableDiscovery(HANDLE hRadio, BOOL fEnabled) {
    if (auto fn = Bluetooth().BluetoothEnableDiscovery) return fn(hRadio, fEnabled);
    return Unsupported<BOOL>(FALSE);
}

BOOL WINAPI BluetoothEnableIncomingConnections(HANDLE hRadio, BOOL fEnabled) {
    if (auto fn = Bluetooth().BluetoothEnableIncomingConnections) return fn(hRadio, fEnabled);
    return Unsupported<BOOL>(FALSE);
}

HBLUETOOTH_DEVICE_FIND WINAPI BluetoothFindFirstDevice(const BLUETOOTH_DEVICE_SEARCH_PARAMS* pbtsp,
                                                       BLUETOOTH_DEVICE_INFO* pbtdi) {
    if (auto fn = Bluetooth().BluetoothFindFirstDevice) return fn(pbtsp, pbtdi);
    return Unsupported<HBLUETOOTH_DEVICE_FIND>(nullptr);
}

BOOL WINAPI BluetoothFindNextDevice(HBLUETOOTH_DEVICE_FIND hFind, BLUETOOTH_DEVICE_INFO* pbtdi) {
    if (auto fn = Bluetooth().BluetoothFindNextDevice) return fn(hFind, pbtdi);
    return Unsupported<BOOL>(FALSE);
}

BOOL WINAPI BluetoothFindDeviceClose(HBLUETOOTH_DEVICE_FIND hFind) {
    if (auto fn = Bluetooth().BluetoothFindDeviceClose) return fn(hFind);
    return Unsupported<BOOL>(FALSE);
}

DWORD WINAPI BluetoothRemoveDevice(const BLUETOOTH_ADDRESS* pAddress) {
    if (auto fn = Bluetooth().BluetoothRemoveDevice) return fn(pAddress);
    return Unsupported<DWORD>(ERROR_NOT_SUPPORTED);
}

DWORD WINAPI BluetoothAuthenticateDevice(HWND hwndParent, HANDLE hRadio,
                                         BLUETOOTH_DEVICE_INFO* pbtbi, PWSTR pszPasskey,
                                         ULONG ulPasskeyLength) {
    if (auto fn = Bluetooth().BluetoothAuthenticateDevice) {
        return fn(hwndParent, hRadio, pbtbi, pszPasskey, ulPasskeyLength);
    }
    return Unsupported<DWORD>(ERROR_NOT_SUPPORTED);
}

DWORD WINAPI BluetoothEnumerateInstalledServices(HANDLE hRadio, const BLUETOOTH_DEVICE_INFO* pbtdi,
                                                 DWORD* pcServiceInout, GUID* pGuidServices) {
    if (auto fn = Bluetooth().BluetoothEnumerateInstalledServices) {
        return fn(hRadio, pbtdi, pcServiceInout, pGuidServices);
    }
    if (pcServiceInout) *pcServiceInout = 0;  // no services
    return Unsupported<DWORD>(ERROR_NOT_SUPPORTED);
}

DWORD WINAPI BluetoothSetServiceState(HANDLE hRadio, const BLUETOOTH_DEVICE_INFO* pbtdi,
                                      const GUID* pGuidService, DWORD dwServiceFlags) {
    if (auto fn = Bluetooth().BluetoothSetServiceState) {
        return fn(hRadio, pbtdi, pGuidService, dwServiceFlags);
    }
    return Unsupported<DWORD>(ERROR_NOT_SUPPORTED);
}

DWORD WINAPI BluetoothRegisterForAuthentication(const BLUETOOTH_DEVICE_INFO* pbtdi,
                                                HBLUETOOTH_AUTHENTICATION_REGISTRATION* phRegHandle,
                                                AuthenticationCallback pfnCallback, PVOID pvParam) {
    if (auto fn = Bluetooth().BluetoothRegisterForAuthentication) {
        return fn(pbtdi, phRegHandle, pfnCallback, pvParam);
    }
    if (phRegHandle) *phRegHandle = nullptr;
    return Unsupported<DWORD>(ERROR_NOT_SUPPORTED);
}

BOOL WINAPI BluetoothUnregisterAuthentication(HBLUETOOTH_AUTHENTICATION_REGISTRATION hRegHandle) {
    if (auto fn = Bluetooth().BluetoothUnregisterAuthentication) return fn(hRegHandle);
    return Unsupported<BOOL>(FALSE);
}

DWORD WINAPI BluetoothSendAuthenticationResponse(HANDLE hRadio, const BLUETOOTH_DEVICE_INFO* pbtdi,
                                                 LPCWSTR pszPasskey) {
    if (auto fn = Bluetooth().BluetoothSendAuthenticationResponse) {
        return fn(hRadio, pbtdi, pszPasskey);
    }
    return Unsupported<DWORD>(ERROR_NOT_SUPPORTED);
}

}  // namespace bthprops

}  // namespace quorvel::os
