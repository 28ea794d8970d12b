// The one door between the library and the operating system.
//
// Every system call the library makes goes through a pointer in namespace
// quorvel::os that carries the Win32 name and signature of the function it
// stands for and, by default, points at that very function. The test suite
// points any of them elsewhere for the span of one test (to inject a failure
// or to plug in a simulated device) and puts them back afterwards. The library
// itself only reads these pointers and never exports them.
//
// The Bluetooth API is optional: Windows installations without the Bluetooth
// feature have no bthprops.cpl, and a DLL that imported it would not load
// there at all. Its pointers therefore start at functions of this layer
// (namespace quorvel::os::bthprops, same names, the Windows SDK's signatures)
// that load the module on the first Bluetooth call and forward to it. Where
// the module or one of its functions is absent, the call fails as on a machine
// without a radio, with ERROR_NOT_SUPPORTED (see os.cpp).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <ws2bth.h>
#include <bluetoothapis.h>  // the records only; the functions are declared below
#include <setupapi.h>
#include <iphlpapi.h>
#include <dbt.h>

#include <type_traits>

// Service state flag of BluetoothSetServiceState; mingw-w64's header leaves it out.
#ifndef BLUETOOTH_SERVICE_ENABLE
#define BLUETOOTH_SERVICE_ENABLE 0x01
#endif
#ifndef BLUETOOTH_SERVICE_DISABLE
#define BLUETOOTH_SERVICE_DISABLE 0x00
#endif

namespace quorvel::os {

// The authentication callback as the Windows SDK declares it
// (PFN_AUTHENTICATION_CALLBACK): the system calls it __stdcall on x86.
// mingw-w64's header drops the CALLBACK, so the library declares its own.
typedef BOOL(CALLBACK* AuthenticationCallback)(LPVOID pvParam, PBLUETOOTH_DEVICE_INFO pDevice);

// The Bluetooth API of bthprops.cpl with the Windows SDK's signatures. Each
// loads the module on first use and forwards; see the top of this file.
namespace bthprops {
HBLUETOOTH_RADIO_FIND WINAPI BluetoothFindFirstRadio(const BLUETOOTH_FIND_RADIO_PARAMS* pbtfrp,
                                                     HANDLE* phRadio);
BOOL WINAPI BluetoothFindNextRadio(HBLUETOOTH_RADIO_FIND hFind, HANDLE* phRadio);
BOOL WINAPI BluetoothFindRadioClose(HBLUETOOTH_RADIO_FIND hFind);
DWORD WINAPI BluetoothGetRadioInfo(HANDLE hRadio, PBLUETOOTH_RADIO_INFO pRadioInfo);
BOOL WINAPI BluetoothEnableDiscovery(HANDLE hRadio, BOOL fEnabled);
BOOL WINAPI BluetoothEnableIncomingConnections(HANDLE hRadio, BOOL fEnabled);
HBLUETOOTH_DEVICE_FIND WINAPI BluetoothFindFirstDevice(const BLUETOOTH_DEVICE_SEARCH_PARAMS* pbtsp,
                                                       BLUETOOTH_DEVICE_INFO* pbtdi);
BOOL WINAPI BluetoothFindNextDevice(HBLUETOOTH_DEVICE_FIND hFind, BLUETOOTH_DEVICE_INFO* pbtdi);
BOOL WINAPI BluetoothFindDeviceClose(HBLUETOOTH_DEVICE_FIND hFind);
DWORD WINAPI BluetoothRemoveDevice(const BLUETOOTH_ADDRESS* pAddress);
DWORD WINAPI BluetoothAuthenticateDevice(HWND hwndParent, HANDLE hRadio,
                                         BLUETOOTH_DEVICE_INFO* pbtbi, PWSTR pszPasskey,
                                         ULONG ulPasskeyLength);
DWORD WINAPI BluetoothEnumerateInstalledServices(HANDLE hRadio, const BLUETOOTH_DEVICE_INFO* pbtdi,
                                                 DWORD* pcServiceInout, GUID* pGuidServices);
DWORD WINAPI BluetoothSetServiceState(HANDLE hRadio, const BLUETOOTH_DEVICE_INFO* pbtdi,
                                      const GUID* pGuidService, DWORD dwServiceFlags);
DWORD WINAPI BluetoothRegisterForAuthentication(const BLUETOOTH_DEVICE_INFO* pbtdi,
                                                HBLUETOOTH_AUTHENTICATION_REGISTRATION* phRegHandle,
                                                AuthenticationCallback pfnCallback, PVOID pvParam);
BOOL WINAPI BluetoothUnregisterAuthentication(HBLUETOOTH_AUTHENTICATION_REGISTRATION hRegHandle);
DWORD WINAPI BluetoothSendAuthenticationResponse(HANDLE hRadio, const BLUETOOTH_DEVICE_INFO* pbtdi,
                                                 LPCWSTR pszPasskey);
}  // namespace bthprops

// Lets go of the optional modules loaded on first use; a later call loads
// them again. Only while no call of the library can be under way: DllMain at
// the DLL's unload by its host (DLL_PROCESS_DETACH without process exit).
void ReleaseOptionalModules();

}  // namespace quorvel::os

// Kernel: threads, events, waits, overlapped file and communications I/O,
// heap, text helpers and the debugger channel.
#define QV_OS_KERNEL(X)                                                        \
    X(CreateThread) X(ResumeThread) X(GetThreadTimes) X(GetExitCodeThread)     \
    X(GetCurrentThreadId) X(CreateEventW) X(SetEvent) X(ResetEvent)            \
    X(WaitForSingleObject) X(WaitForMultipleObjects) X(CloseHandle) X(Sleep)   \
    X(GetLastError) X(SetLastError) X(CreateFileW) X(ReadFile) X(WriteFile)    \
    X(GetOverlappedResult) X(CancelIoEx) X(GetCommState) X(SetCommState)       \
    X(SetupComm) X(GetCommProperties) X(ClearCommError) X(PurgeComm)           \
    X(SetCommMask) X(GetCommMask) X(WaitCommEvent) X(OutputDebugStringW)       \
    X(lstrcpyW) X(lstrcpynW) X(lstrlenW) X(lstrcmpiW) X(GetProcessHeap)        \
    X(HeapAlloc) X(HeapFree) X(LocalAlloc) X(LocalFree) X(DuplicateHandle)     \
    X(GetCurrentProcess) X(FreeLibrary)                                        \
    X(WideCharToMultiByte) X(MultiByteToWideChar)                              \
    X(TerminateThread) X(GetModuleHandleExW) X(FreeLibraryAndExitThread)       \
    X(GetTickCount64) X(FormatMessageW) X(SwitchToThread)                    \
    X(AcquireSRWLockExclusive) X(ReleaseSRWLockExclusive)                      \
    X(SleepConditionVariableSRW) X(WakeAllConditionVariable)

// Kernel: the modem lines of a communications port (DTR, RTS, break out;
// CTS, DSR, RI, DCD in).
#define QV_OS_COMM_LINES(X)                                                    \
    X(EscapeCommFunction) X(SetCommBreak) X(ClearCommBreak)                    \
    X(GetCommModemStatus)

// User interface: posted notifications and formatted text; the serial port
// watch's message-only window, its message loop and the device
// notifications it registers for.
#define QV_OS_USER(X) X(PostMessageW) X(wsprintfW) X(wvsprintfW)                \
    X(RegisterClassExW) X(UnregisterClassW) X(CreateWindowExW) X(DestroyWindow) \
    X(DefWindowProcW) X(PeekMessageW) X(DispatchMessageW)                       \
    X(MsgWaitForMultipleObjectsEx) X(RegisterDeviceNotificationW)               \
    X(UnregisterDeviceNotification)

// Windows Sockets 2, the Bluetooth address family and name space included.
#define QV_OS_WINSOCK(X)                                                       \
    X(WSAStartup) X(WSACleanup) X(WSAGetLastError) X(WSASetLastError)          \
    X(socket) X(bind) X(listen) X(accept) X(connect) X(shutdown)               \
    X(closesocket) X(send) X(recv) X(sendto) X(recvfrom) X(select)             \
    X(WSAAsyncSelect) X(getpeername) X(getsockname) X(htons) X(htonl)          \
    X(ntohs) X(ntohl) X(WSAStringToAddressW) X(WSAAddressToStringW)            \
    X(WSALookupServiceBeginW) X(WSALookupServiceNextW) X(WSALookupServiceEnd)  \
    X(gethostname) X(gethostbyname) X(gethostbyaddr) X(inet_ntoa) X(inet_addr)  \
    X(ioctlsocket) X(setsockopt) X(getsockopt)

// Bluetooth API: radios, remembered devices, services and authentication
// (bthprops.cpl, loaded on first use).
#define QV_OS_BLUETOOTH(X)                                                     \
    X(BluetoothFindFirstRadio) X(BluetoothFindNextRadio)                       \
    X(BluetoothFindRadioClose) X(BluetoothGetRadioInfo)                        \
    X(BluetoothEnableDiscovery) X(BluetoothEnableIncomingConnections)          \
    X(BluetoothFindFirstDevice) X(BluetoothFindNextDevice)                     \
    X(BluetoothFindDeviceClose) X(BluetoothRemoveDevice)                       \
    X(BluetoothAuthenticateDevice) X(BluetoothEnumerateInstalledServices)      \
    X(BluetoothSetServiceState) X(BluetoothRegisterForAuthentication)          \
    X(BluetoothUnregisterAuthentication)                                       \
    X(BluetoothSendAuthenticationResponse)

// SetupAPI: device interfaces and their registry properties.
#define QV_OS_SETUPAPI(X)                                                      \
    X(SetupDiGetClassDevsW) X(SetupDiEnumDeviceInterfaces)                     \
    X(SetupDiGetDeviceInterfaceDetailW) X(SetupDiGetDeviceRegistryPropertyW)   \
    X(SetupDiGetDeviceInstanceIdW) X(SetupDiDestroyDeviceInfoList)             \
    X(SetupDiOpenDevRegKey)

// Registry: the device map.
#define QV_OS_REGISTRY(X)                                                      \
    X(RegOpenKeyW) X(RegOpenKeyExW) X(RegQueryInfoKeyW) X(RegEnumValueW)       \
    X(RegQueryValueExW) X(RegCloseKey)

// IP Helper: adapters and address resolution.
#define QV_OS_IPHELPER(X) X(GetAdaptersInfo) X(SendARP)

#define QV_OS_ALL(X)                                                           \
    QV_OS_KERNEL(X) QV_OS_USER(X) QV_OS_WINSOCK(X) QV_OS_BLUETOOTH(X)          \
    QV_OS_SETUPAPI(X) QV_OS_REGISTRY(X) QV_OS_IPHELPER(X)                     \
    QV_OS_COMM_LINES(X)

// The type of each operation's pointer: the system's declaration, except for
// the Bluetooth API, whose functions this layer declares itself (above).
#define QV_OS_SYSTEM_TYPE(name) decltype(&::name)
#define QV_OS_BTHPROPS_TYPE(name) decltype(&::quorvel::os::bthprops::name)

namespace quorvel::os {

#define QV_OS_DECLARE(name) extern QV_OS_SYSTEM_TYPE(name) name;
#define QV_OS_DECLARE_BTHPROPS(name) extern QV_OS_BTHPROPS_TYPE(name) name;
QV_OS_KERNEL(QV_OS_DECLARE)
QV_OS_USER(QV_OS_DECLARE)
QV_OS_WINSOCK(QV_OS_DECLARE)
QV_OS_BLUETOOTH(QV_OS_DECLARE_BTHPROPS)
QV_OS_SETUPAPI(QV_OS_DECLARE)
QV_OS_REGISTRY(QV_OS_DECLARE)
QV_OS_IPHELPER(QV_OS_DECLARE)
QV_OS_COMM_LINES(QV_OS_DECLARE)
#undef QV_OS_DECLARE
#undef QV_OS_DECLARE_BTHPROPS

#if defined(_M_IX86) || defined(__i386__)
static_assert(std::is_same_v<AuthenticationCallback,
                             BOOL(__stdcall*)(LPVOID, PBLUETOOTH_DEVICE_INFO)>,
              "the system calls the authentication callback __stdcall");
#endif

}  // namespace quorvel::os
