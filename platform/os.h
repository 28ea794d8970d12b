// The one door between the library and the operating system.
//
// Every system call the library makes goes through a pointer in namespace
// quorvel::os that carries the Win32 name and signature of the function it
// stands for and, by default, points at that very function. The test suite
// points any of them elsewhere for the span of one test (to inject a failure
// or to plug in a simulated device) and puts them back afterwards. The library
// itself only reads these pointers and never exports them.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <ws2bth.h>
#include <bluetoothapis.h>
#include <setupapi.h>
#include <iphlpapi.h>

// Older but still exported by bthprops.cpl; mingw-w64's header leaves it out.
extern "C" DWORD WINAPI BluetoothAuthenticateDevice(HWND hwndParent, HANDLE hRadio,
                                                    BLUETOOTH_DEVICE_INFO* pbtdi,
                                                    PWSTR pszPasskey,
                                                    ULONG ulPasskeyLength);

// Service state flag of BluetoothSetServiceState; mingw-w64's header leaves it out.
#ifndef BLUETOOTH_SERVICE_ENABLE
#define BLUETOOTH_SERVICE_ENABLE 0x01
#endif
#ifndef BLUETOOTH_SERVICE_DISABLE
#define BLUETOOTH_SERVICE_DISABLE 0x00
#endif

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
    X(HeapAlloc) X(HeapFree) X(LocalAlloc) X(LocalFree)                        \
    X(WideCharToMultiByte) X(MultiByteToWideChar)                              \
    X(TerminateThread)

// User interface: posted notifications and formatted text.
#define QV_OS_USER(X) X(PostMessageW) X(wsprintfW) X(wvsprintfW)

// Windows Sockets 2, the Bluetooth address family and name space included.
#define QV_OS_WINSOCK(X)                                                       \
    X(WSAStartup) X(WSACleanup) X(WSAGetLastError) X(WSASetLastError)          \
    X(socket) X(bind) X(listen) X(accept) X(connect) X(shutdown)               \
    X(closesocket) X(send) X(recv) X(sendto) X(recvfrom) X(select)             \
    X(WSAAsyncSelect) X(getpeername) X(getsockname) X(htons) X(htonl)          \
    X(ntohs) X(ntohl) X(WSAStringToAddressW) X(WSAAddressToStringW)            \
    X(WSALookupServiceBeginW) X(WSALookupServiceNextW) X(WSALookupServiceEnd)  \
    X(gethostname) X(gethostbyname) X(gethostbyaddr) X(inet_ntoa) X(inet_addr)  \
    X(ioctlsocket) X(setsockopt)

// Bluetooth API: radios, remembered devices, services and authentication.
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
    QV_OS_SETUPAPI(X) QV_OS_REGISTRY(X) QV_OS_IPHELPER(X)

namespace quorvel::os {

#define QV_OS_DECLARE(name) extern decltype(&::name) name;
QV_OS_ALL(QV_OS_DECLARE)
#undef QV_OS_DECLARE

}  // namespace quorvel::os
