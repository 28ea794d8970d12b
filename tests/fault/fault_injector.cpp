#include "tests/fault/fault_injector.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <type_traits>

#include "platform/os.h"

namespace os = quorvel::os;

namespace qvfault {
namespace {

// How an operation fails.
enum class Kind {
    kNever,    // not wrapped: it cannot fail in a way a caller must handle
    kFail,     // returns the failure value without doing anything
    kThrough,  // does its work, then reports the failure (releases, cancels)
    kUnruled,  // no rule yet: counted, never failed
};

std::atomic<long> g_calls{0};
// QV_FAULT_TRACE=<index> lists every call of the run that fails that call.
long g_traceAt = [] {
    const char* text = std::getenv("QV_FAULT_TRACE");
    return text ? std::atol(text) : -1;
}();
bool g_trace = false;
std::atomic<long> g_failAt{0};
std::atomic<const char*> g_injected{""};
std::mutex g_unruledMutex;
std::set<std::string> g_unruled;

template <auto& Slot>
struct Rule {
    static constexpr Kind kind = Kind::kUnruled;
    static constexpr DWORD error = 0;
    static constexpr int Value() { return 0; }
};

// Rules: operation, kind, the value it returns on failure, its last error.
// Registry and Bluetooth operations that return an error code return it as
// their value.
#define QV_RULES(X)                                                                     \
    X(CreateThread, kFail, nullptr, ERROR_NOT_ENOUGH_MEMORY)                            \
    X(ResumeThread, kFail, static_cast<DWORD>(-1), ERROR_INVALID_HANDLE)                \
    X(TerminateThread, kFail, FALSE, ERROR_ACCESS_DENIED)                               \
    X(GetModuleHandleExW, kFail, FALSE, ERROR_MOD_NOT_FOUND)                            \
    X(FreeLibraryAndExitThread, kNever, 0, 0)                                           \
    X(GetTickCount64, kNever, 0, 0)                                                     \
    X(SwitchToThread, kNever, 0, 0)                                                     \
    X(AcquireSRWLockExclusive, kNever, 0, 0)                                            \
    X(ReleaseSRWLockExclusive, kNever, 0, 0)                                            \
    X(SleepConditionVariableSRW, kNever, 0, 0)                                          \
    X(WakeAllConditionVariable, kNever, 0, 0)                                           \
    X(FormatMessageW, kFail, 0, ERROR_MR_MID_NOT_FOUND)                                 \
    X(GetThreadTimes, kFail, FALSE, ERROR_INVALID_HANDLE)                               \
    X(GetExitCodeThread, kFail, FALSE, ERROR_INVALID_HANDLE)                            \
    X(GetCurrentThreadId, kNever, 0, 0)                                                 \
    X(CreateEventW, kFail, nullptr, ERROR_NOT_ENOUGH_MEMORY)                            \
    X(SetEvent, kFail, FALSE, ERROR_INVALID_HANDLE)                                     \
    X(ResetEvent, kFail, FALSE, ERROR_INVALID_HANDLE)                                   \
    X(WaitForSingleObject, kFail, WAIT_FAILED, ERROR_INVALID_HANDLE)                    \
    X(WaitForMultipleObjects, kFail, WAIT_FAILED, ERROR_INVALID_HANDLE)                 \
    X(CloseHandle, kThrough, FALSE, ERROR_INVALID_HANDLE)                               \
    X(Sleep, kNever, 0, 0)                                                              \
    X(GetLastError, kNever, 0, 0)                                                       \
    X(SetLastError, kNever, 0, 0)                                                       \
    X(CreateFileW, kFail, INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED)                    \
    X(ReadFile, kFail, FALSE, ERROR_GEN_FAILURE)                                        \
    X(WriteFile, kFail, FALSE, ERROR_GEN_FAILURE)                                       \
    X(GetOverlappedResult, kFail, FALSE, ERROR_GEN_FAILURE)                             \
    X(CancelIoEx, kThrough, FALSE, ERROR_NOT_FOUND)                                     \
    X(GetCommState, kFail, FALSE, ERROR_GEN_FAILURE)                                    \
    X(SetCommState, kFail, FALSE, ERROR_INVALID_PARAMETER)                              \
    X(SetupComm, kFail, FALSE, ERROR_NOT_ENOUGH_MEMORY)                                 \
    X(GetCommProperties, kFail, FALSE, ERROR_GEN_FAILURE)                               \
    X(ClearCommError, kFail, FALSE, ERROR_GEN_FAILURE)                                  \
    X(PurgeComm, kFail, FALSE, ERROR_GEN_FAILURE)                                       \
    X(SetCommMask, kFail, FALSE, ERROR_GEN_FAILURE)                                     \
    X(GetCommMask, kFail, FALSE, ERROR_GEN_FAILURE)                                     \
    X(WaitCommEvent, kFail, FALSE, ERROR_GEN_FAILURE)                                   \
    X(OutputDebugStringW, kNever, 0, 0)                                                 \
    X(lstrcpyW, kNever, 0, 0)                                                           \
    X(lstrcpynW, kNever, 0, 0)                                                          \
    X(lstrlenW, kNever, 0, 0)                                                           \
    X(lstrcmpiW, kNever, 0, 0)                                                          \
    X(GetProcessHeap, kNever, 0, 0)                                                     \
    X(HeapAlloc, kFail, nullptr, ERROR_NOT_ENOUGH_MEMORY)                               \
    X(HeapFree, kThrough, FALSE, ERROR_INVALID_PARAMETER)                               \
    X(LocalAlloc, kFail, nullptr, ERROR_NOT_ENOUGH_MEMORY)                              \
    X(LocalFree, kNever, 0, 0)                                                          \
    X(WideCharToMultiByte, kFail, 0, ERROR_INSUFFICIENT_BUFFER)                         \
    X(MultiByteToWideChar, kFail, 0, ERROR_NO_UNICODE_TRANSLATION)                      \
    X(PostMessageW, kFail, FALSE, ERROR_NOT_ENOUGH_QUOTA)                               \
    X(wsprintfW, kNever, 0, 0)                                                          \
    X(wvsprintfW, kNever, 0, 0)                                                         \
    X(WSAStartup, kFail, WSASYSNOTREADY, WSASYSNOTREADY)                                \
    X(WSACleanup, kThrough, SOCKET_ERROR, WSAENETDOWN)                                  \
    X(WSAGetLastError, kNever, 0, 0)                                                    \
    X(WSASetLastError, kNever, 0, 0)                                                    \
    X(socket, kFail, INVALID_SOCKET, WSAENOBUFS)                                        \
    X(bind, kFail, SOCKET_ERROR, WSAEADDRINUSE)                                         \
    X(listen, kFail, SOCKET_ERROR, WSAENOBUFS)                                          \
    X(accept, kFail, INVALID_SOCKET, WSAENOBUFS)                                        \
    X(connect, kFail, SOCKET_ERROR, WSAECONNREFUSED)                                    \
    X(shutdown, kFail, SOCKET_ERROR, WSAENOTCONN)                                       \
    X(closesocket, kFail, SOCKET_ERROR, WSAEWOULDBLOCK)                                 \
    X(send, kFail, SOCKET_ERROR, WSAENOBUFS)                                            \
    X(recv, kFail, SOCKET_ERROR, WSAECONNRESET)                                         \
    X(sendto, kFail, SOCKET_ERROR, WSAENOBUFS)                                          \
    X(recvfrom, kFail, SOCKET_ERROR, WSAECONNRESET)                                     \
    X(select, kFail, SOCKET_ERROR, WSAENETDOWN)                                         \
    X(WSAAsyncSelect, kFail, SOCKET_ERROR, WSAENETDOWN)                                 \
    X(getpeername, kFail, SOCKET_ERROR, WSAENOTCONN)                                    \
    X(getsockname, kFail, SOCKET_ERROR, WSAEINVAL)                                      \
    X(ioctlsocket, kFail, SOCKET_ERROR, WSAENETDOWN)                                    \
    X(setsockopt, kFail, SOCKET_ERROR, WSAENOPROTOOPT)                                  \
    X(getsockopt, kFail, SOCKET_ERROR, WSAENOPROTOOPT)                                  \
    X(htons, kNever, 0, 0)                                                              \
    X(htonl, kNever, 0, 0)                                                              \
    X(ntohs, kNever, 0, 0)                                                              \
    X(ntohl, kNever, 0, 0)                                                              \
    X(WSAStringToAddressW, kFail, SOCKET_ERROR, WSAEINVAL)                              \
    X(WSAAddressToStringW, kFail, SOCKET_ERROR, WSAENOBUFS)                             \
    X(WSALookupServiceBeginW, kFail, SOCKET_ERROR, WSA_NOT_ENOUGH_MEMORY)               \
    X(WSALookupServiceNextW, kFail, SOCKET_ERROR, WSA_NOT_ENOUGH_MEMORY)                \
    X(WSALookupServiceEnd, kThrough, SOCKET_ERROR, WSA_INVALID_HANDLE)                  \
    X(gethostname, kFail, SOCKET_ERROR, WSAENETDOWN)                                    \
    X(gethostbyname, kFail, nullptr, WSANO_RECOVERY)                                    \
    X(gethostbyaddr, kFail, nullptr, WSANO_DATA)                                        \
    X(inet_ntoa, kFail, nullptr, WSAEINVAL)                                             \
    X(inet_addr, kFail, INADDR_NONE, WSAEINVAL)                                         \
    X(BluetoothFindFirstRadio, kFail, nullptr, ERROR_NOT_ENOUGH_MEMORY)                 \
    X(BluetoothFindNextRadio, kFail, FALSE, ERROR_GEN_FAILURE)                          \
    X(BluetoothFindRadioClose, kThrough, FALSE, ERROR_INVALID_HANDLE)                   \
    X(BluetoothGetRadioInfo, kFail, ERROR_GEN_FAILURE, ERROR_GEN_FAILURE)               \
    X(BluetoothEnableDiscovery, kFail, FALSE, ERROR_GEN_FAILURE)                        \
    X(BluetoothEnableIncomingConnections, kFail, FALSE, ERROR_GEN_FAILURE)              \
    X(BluetoothFindFirstDevice, kFail, nullptr, ERROR_GEN_FAILURE)                      \
    X(BluetoothFindNextDevice, kFail, FALSE, ERROR_GEN_FAILURE)                         \
    X(BluetoothFindDeviceClose, kThrough, FALSE, ERROR_INVALID_HANDLE)                  \
    X(BluetoothRemoveDevice, kFail, ERROR_NOT_FOUND, ERROR_NOT_FOUND)                   \
    X(BluetoothAuthenticateDevice, kFail, ERROR_NOT_AUTHENTICATED, ERROR_NOT_AUTHENTICATED) \
    X(BluetoothEnumerateInstalledServices, kFail, ERROR_GEN_FAILURE, ERROR_GEN_FAILURE) \
    X(BluetoothSetServiceState, kFail, ERROR_GEN_FAILURE, ERROR_GEN_FAILURE)            \
    X(BluetoothRegisterForAuthentication, kFail, ERROR_OUTOFMEMORY, ERROR_OUTOFMEMORY)  \
    X(BluetoothUnregisterAuthentication, kThrough, FALSE, ERROR_INVALID_HANDLE)         \
    X(BluetoothSendAuthenticationResponse, kFail, ERROR_GEN_FAILURE, ERROR_GEN_FAILURE) \
    X(SetupDiGetClassDevsW, kFail, INVALID_HANDLE_VALUE, ERROR_NOT_ENOUGH_MEMORY)       \
    X(SetupDiEnumDeviceInterfaces, kFail, FALSE, ERROR_INVALID_HANDLE)                  \
    X(SetupDiGetDeviceInterfaceDetailW, kFail, FALSE, ERROR_NOT_ENOUGH_MEMORY)          \
    X(SetupDiGetDeviceRegistryPropertyW, kFail, FALSE, ERROR_INVALID_DATA)              \
    X(SetupDiGetDeviceInstanceIdW, kFail, FALSE, ERROR_INVALID_HANDLE)                  \
    X(SetupDiDestroyDeviceInfoList, kThrough, FALSE, ERROR_INVALID_HANDLE)              \
    X(SetupDiOpenDevRegKey, kFail, INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED)           \
    X(RegOpenKeyW, kFail, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED)                     \
    X(RegOpenKeyExW, kFail, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED)                   \
    X(RegQueryInfoKeyW, kFail, ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY)        \
    X(RegEnumValueW, kFail, ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY)           \
    X(RegQueryValueExW, kFail, ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND)              \
    X(RegCloseKey, kThrough, ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE)                \
    X(GetAdaptersInfo, kFail, ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY)         \
    X(SendARP, kFail, ERROR_GEN_FAILURE, ERROR_GEN_FAILURE)                             \
    X(EscapeCommFunction, kFail, FALSE, ERROR_NOT_SUPPORTED)                            \
    X(SetCommBreak, kFail, FALSE, ERROR_NOT_SUPPORTED)                                  \
    X(ClearCommBreak, kFail, FALSE, ERROR_NOT_SUPPORTED)                                \
    X(GetCommModemStatus, kFail, FALSE, ERROR_NOT_SUPPORTED)

#define QV_RULE(name, how, value, err)                                  \
    template <>                                                         \
    struct Rule<os::name> {                                             \
        static constexpr Kind kind = Kind::how;                         \
        static constexpr DWORD error = static_cast<DWORD>(err);         \
        static auto Value() { return value; }                           \
    };
QV_RULES(QV_RULE)
#undef QV_RULE

template <class Fn>
struct Wrappable : std::false_type {};  // variadic (wsprintfW) and the like
template <class R, class... A>
struct Wrappable<R(WINAPI*)(A...)> : std::true_type {};

template <auto& Slot, class Fn = std::remove_reference_t<decltype(Slot)>>
struct Wrap;

template <auto& Slot, class R, class... A>
struct Wrap<Slot, R(WINAPI*)(A...)> {
    static inline R(WINAPI* inner)(A...) = nullptr;
    static inline const char* name = "";

    static R WINAPI Call(A... args) {
        using Op = Rule<Slot>;
        long n = ++g_calls;
        if (g_trace) std::fprintf(stderr, "  call %ld %s (thread %lu)\n", n, name, GetCurrentThreadId());
        if constexpr (Op::kind == Kind::kUnruled) {
            {
                std::lock_guard<std::mutex> lock(g_unruledMutex);
                g_unruled.insert(name);
            }
            return inner(args...);
        } else {
            if (n != g_failAt.load()) return inner(args...);
            g_injected = name;
            if constexpr (Op::kind == Kind::kThrough) {
                if constexpr (!std::is_void_v<R>) inner(args...);
            }
            ::SetLastError(Op::error);
            if constexpr (!std::is_void_v<R>) return (R)(Op::Value());
        }
    }
};

template <auto& Slot>
void Install(const char* name) {
    using Fn = std::remove_reference_t<decltype(Slot)>;
    // On x86 only __stdcall operations match Wrap: one declared with another
    // convention would silently never fail here.
    static_assert(Wrappable<Fn>::value || Rule<Slot>::kind == Kind::kNever,
                  "a platform operation to fail is WINAPI");
    if constexpr (Wrappable<Fn>::value) {
        if constexpr (Rule<Slot>::kind != Kind::kNever) {
            Wrap<Slot>::inner = Slot;
            Wrap<Slot>::name = name;
            Slot = &Wrap<Slot>::Call;
        }
    }
}

template <auto& Slot>
void Uninstall() {
    using Fn = std::remove_reference_t<decltype(Slot)>;
    if constexpr (Wrappable<Fn>::value) {
        if constexpr (Rule<Slot>::kind != Kind::kNever) Slot = Wrap<Slot>::inner;
    }
}

}  // namespace

Injector::Injector(long failAt) {
    g_calls = 0;
    g_injected = "";
    g_failAt = failAt;
    g_trace = failAt == g_traceAt;
#define QV_INSTALL(name) Install<os::name>(#name);
    QV_OS_ALL(QV_INSTALL)
#undef QV_INSTALL
}

Injector::~Injector() {
#define QV_UNINSTALL(name) Uninstall<os::name>();
    QV_OS_ALL(QV_UNINSTALL)
#undef QV_UNINSTALL
    g_failAt = 0;
}

long Injector::Calls() const { return g_calls; }

bool Injector::Injected() const { return *g_injected.load() != '\0'; }

const char* Injector::InjectedName() const { return g_injected; }

std::vector<std::string> Injector::UnruledCalls() {
    std::lock_guard<std::mutex> lock(g_unruledMutex);
    return std::vector<std::string>(g_unruled.begin(), g_unruled.end());
}

const char* CurrentInjectedName() { return g_injected; }

}  // namespace qvfault
