// quorvel core: the worker thread (CxThread) and the endpoint base (CxComm)
// with the event codes that every endpoint uses to tell the host about events.
// Design notes: docs/core.md.
//
// Include <quorvel/quorvel.h> before <windows.h> (or define
// WIN32_LEAN_AND_MEAN first): it includes <winsock2.h>. Build the host with
// the DLL's compiler family (MinGW or Visual C++ flavour) and a 64-bit
// time_t on x86. C++98 to C++20. The headers refuse either mistake with a
// message that says what to do.
//
// Failures. An operation that fails returns 0 (or the failure value it
// names: INVALID_SOCKET, NULL, an error code of its own) and leaves why as
// the thread's last error (GetLastError; SocketGetLastError reads the same
// for the socket classes): the system's error of the step that failed, or,
// where the library refuses by itself, a code named at the operation. An
// operation that needs an open object fails on one that is closed, or was
// never opened, with ERROR_INVALID_HANDLE (WSAENOTSOCK for the socket
// classes). Clean-up after a failed step never changes that error. Getters
// that copy what an object holds into a caller's buffer, and operations that
// return nothing, are not operations that fail.
#pragma once

// <windows.h> without WIN32_LEAN_AND_MEAN brings in the old <winsock.h>,
// whose definitions <winsock2.h> cannot repeat: the Windows SDK's headers
// then fail with a score of errors that never name this library. Stop with
// one message instead. mingw-w64's headers take that order (with a warning
// of their own), so MinGW hosts built that way keep compiling. Visual C++
// stops at #error; clang goes on after #error, so it is made to stop at a
// warning first (unless warnings are off: then #error comes first).
// <winsock.h> defines INVALID_SOCKET; a project that defines _WINSOCKAPI_
// only to keep <winsock.h> out of <windows.h> has none and passes.
#if defined(_WINSOCKAPI_) && !defined(_WINSOCK2API_) && defined(INVALID_SOCKET) && \
    !defined(__MINGW32__)
#if defined(__clang__)
#pragma clang diagnostic fatal "-W#warnings"
#warning "quorvel: <windows.h> came before <quorvel/quorvel.h> and brought in <winsock.h>. Include <quorvel/quorvel.h> first (in stdafx.h/pch.h too), or #define WIN32_LEAN_AND_MEAN before <windows.h>."
#endif
#error "quorvel: <windows.h> came before <quorvel/quorvel.h> and brought in <winsock.h>. Include <quorvel/quorvel.h> first (in stdafx.h/pch.h too), or #define WIN32_LEAN_AND_MEAN before <windows.h>."
#endif

#include <winsock2.h>
#include <windows.h>

// The DLL is built with a 64-bit time_t on x86, as Visual C++ has it since
// 2005. A host with a 32-bit one lays out the records that hold a time_t
// (IP_ADAPTER_INFO in CxAdapterFind) smaller than the DLL writes them.
#if (defined(_M_IX86) || defined(__i386__)) && defined(_USE_32BIT_TIME_T)
#if defined(__MINGW32__)
#error "quorvel: this host has a 32-bit time_t; quorvel.dll needs a 64-bit one. Define __MINGW_USE_VC2005_COMPAT for the whole project (g++ -D__MINGW_USE_VC2005_COMPAT; the CMake package quorvel::quorvel adds it) and do not define _USE_32BIT_TIME_T."
#else
#error "quorvel: this host has a 32-bit time_t (_USE_32BIT_TIME_T); quorvel.dll needs a 64-bit one. Remove _USE_32BIT_TIME_T from the project's preprocessor definitions (C/C++ > Preprocessor) and from its sources."
#endif
#endif

// The language version; Visual C++ keeps __cplusplus at 199711L unless asked.
#if defined(_MSVC_LANG)
#define QV_CPLUSPLUS _MSVC_LANG
#else
#define QV_CPLUSPLUS __cplusplus
#endif
#if QV_CPLUSPLUS >= 201103L
#define QV_CONSTEXPR constexpr
#define QV_OVERRIDE override
#define QV_NOEXCEPT noexcept
#define QV_STATIC_ASSERT(cond, text) static_assert(cond, text)
#else
#define QV_CONSTEXPR const
#define QV_OVERRIDE
#define QV_NOEXCEPT throw()
#define QV_STATIC_ASSERT_JOIN2(a, b) a##b
#define QV_STATIC_ASSERT_JOIN(a, b) QV_STATIC_ASSERT_JOIN2(a, b)
#define QV_STATIC_ASSERT(cond, text) \
    typedef char QV_STATIC_ASSERT_JOIN(qv_static_assert_, __LINE__)[(cond) ? 1 : -1]
#endif

#if defined(QUORVEL_STATIC)
#define QUORVEL_API
#elif defined(QUORVEL_BUILD)
#define QUORVEL_API __declspec(dllexport)
#else
#define QUORVEL_API __declspec(dllimport)
#endif

// Every exported class has its own operator new and delete in the DLL, so
// new and delete (through any base) work whatever the host's C runtime.
// new of a library class never throws, with either compiler: it yields NULL
// when memory runs out (test it). An exception could not cross from the
// DLL's runtime into the host's frames anyway. Visual C++ flavour: new[] of
// a library class does not compile.
#if defined(_MSC_VER)
#define QV_HEAP_ARRAY_OPERATORS                                             \
private:                                                                    \
    static void* operator new[](size_t cb) QV_NOEXCEPT;                     \
    static void operator delete[](void* p) QV_NOEXCEPT;
#else
#define QV_HEAP_ARRAY_OPERATORS                                             \
public:                                                                     \
    static void* operator new[](size_t cb) QV_NOEXCEPT;                     \
    static void operator delete[](void* p) QV_NOEXCEPT;                     \
    static void* operator new[](size_t, void* p) QV_NOEXCEPT { return p; }  \
    static void operator delete[](void*, void*) QV_NOEXCEPT {}
#endif
#define QV_HEAP_OPERATORS                                                   \
public:                                                                     \
    static void* operator new(size_t cb) QV_NOEXCEPT;                       \
    static void operator delete(void* p) QV_NOEXCEPT;                       \
    static void* operator new(size_t, void* p) QV_NOEXCEPT { return p; }    \
    static void operator delete(void*, void*) QV_NOEXCEPT {}                \
    QV_HEAP_ARRAY_OPERATORS                                                 \
                                                                            \
public:

// Event codes: the lParam of a notification message (its low word for the
// messages that Windows Sockets posts) or the third argument of the host
// callback.
QV_CONSTEXPR long CX_EVENT_DATA_READY = 0x0001;          // received data waits to be read
QV_CONSTEXPR long CX_EVENT_CONNECTION_WAITING = 0x0008;  // a connection waits to be accepted
QV_CONSTEXPR long CX_EVENT_CONNECTION_CLOSED = 0x0020;   // the connection was closed
QV_CONSTEXPR long CX_EVENT_THREAD_ENDED = 0x0012;        // a CxThread routine returned
QV_CONSTEXPR long CX_EVENT_DEVICE_REMOVED = 0x1001;      // the serial device went away
QV_CONSTEXPR long CX_EVENT_LINE_ERROR = 0x1002;          // received data was lost to a line error
                                                      // (serial, only when asked for)
QV_CONSTEXPR long CX_EVENT_MODEM_CHANGED = 0x1003;       // CTS, DSR, RI or DCD changed
                                                      // (serial, only when asked for)

// A serial port arrived or left (CxSerialPortWatch; take the report with
// its TakeReport).
QV_CONSTEXPR long CX_EVENT_PORT_ARRIVED = 0x1004;
QV_CONSTEXPR long CX_EVENT_PORT_REMOVED = 0x1005;

// Host callback: user pointer, the endpoint's handle (GetSafeHandle) and the
// event code; the result is ignored. Runs on the thread that raised the
// event, normally the endpoint's listener thread.
typedef long(CALLBACK* CX_COMM_PROC)(void* pParam, unsigned int uHandle, long lEvent);

// Routine run by CxThread. Its argument is the CxThread object itself: the
// routine reaches its parameter with GetParamPtr() and polls ToExitThread().
typedef DWORD(WINAPI* CX_THREAD_ROUTINE)(void* pThread);

namespace quorvel {
struct SharedLink;    // the record that an object shares with its copies
struct ThreadAccess;
}

// One operating-system thread with a start-up handshake, a cooperative exit
// request and an optional "thread ended" message. A copy names the same
// thread, but only the object that started it stops it and closes its handle;
// a copy's CloseThread and destructor only let go of its view, without
// waiting. Assignment first lets go of the held thread as CloseThread(INFINITE).
class QUORVEL_API CxThread {
    QV_HEAP_OPERATORS
public:
    CxThread();
    CxThread(const CxThread& other);
    CxThread& operator=(const CxThread& other);
    virtual ~CxThread();  // CloseThread(INFINITE)

    // Starts pfnStartRoutine on a new thread; the routine is called with this
    // object. Waits at most dwWaitMilliseconds for the routine to call
    // SetThreadStartedEvent (not with CREATE_SUSPENDED), and no longer than
    // until it returns. 1 started. 0 if the held thread still runs; with
    // ERROR_BUSY while a routine let go of by CloseThread still runs; with
    // the system's error when no thread could be created or resumed.
    int CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, DWORD dwStackSize,
                     CX_THREAD_ROUTINE pfnStartRoutine, void* pParam,
                     DWORD dwCreationFlags, DWORD dwWaitMilliseconds);
    // Sets the exit request, waits at most dwWaitMilliseconds for the thread
    // and closes its handle (even if the wait ran out). Nothing on an idle
    // object. From the routine's own thread: does not wait. A routine still
    // running when the wait ran out keeps reading this object until it
    // returns: keep the object alive and unassigned until then.
    void CloseThread(DWORD dwWaitMilliseconds);
    int IsThreadRunning() const;  // non-zero until the held thread has ended
    int ToExitThread() const;     // the exit request, for the routine to poll
    void SetThreadStartedEvent(); // the routine is ready; releases CreateThread
    // Where the routine's end is posted (wParam the thread handle, lParam
    // CX_EVENT_THREAD_ENDED); the values set last count. NULL: no message.
    void SetWndMsg(HWND hWnd, UINT uMsg);
    void* GetSafeHandle() const;  // the thread handle; NULL when idle
    void* GetParamPtr() const;

protected:
    // Entry point of every thread this class starts. Its argument is the
    // thread's start record, which names this object.
    static DWORD WINAPI ThreadStartRoutine(void* pStart);
    DWORD OnThreadStartRoutine();  // runs the routine; 1 without one
    // Posts m_uMsg to m_hWnd with wParam the thread handle and lParam
    // CX_EVENT_THREAD_ENDED. Not the system's quit message.
    void PostQuitMessage();

    LONG m_bToExit;            // read by the routine, written by the owner
    HANDLE m_hThread;
    HANDLE m_hEventStarted;    // exists only while CreateThread runs
    void* m_pParam;
    DWORD m_dwThreadId;
    HWND m_hWnd;
    UINT m_uMsg;
    CX_THREAD_ROUTINE m_pfnStartRoutine;

private:
    friend struct quorvel::ThreadAccess;
    bool OwnsThread() const;
    void ReleaseThread();
    int Start(LPSECURITY_ATTRIBUTES lpThreadAttributes, DWORD dwStackSize,
              CX_THREAD_ROUTINE pfnStartRoutine, void* pParam, DWORD dwCreationFlags,
              DWORD dwWaitMilliseconds, void* pContext);

    // Shared with the thread and with copies while a thread is held; kept
    // after a CloseThread whose limit ran out until that routine returns.
    quorvel::SharedLink* m_pLink;
};

// Base of every data endpoint: the shared operations, the host's
// notification target (a window and message, a callback and its user
// pointer) and the stack reserve of the endpoint's listener thread.
class QUORVEL_API CxComm {
    QV_HEAP_OPERATORS
public:
    CxComm();
    CxComm(const CxComm& other);
    CxComm& operator=(const CxComm& other);
    virtual ~CxComm();

    // Stores all four as passed; NULL clears a target. May be called at any
    // time, also while the listener raises events: the next event uses the
    // four values stored then, never a mix of old and new.
    void SetWndMsgProc(HWND hWnd, UINT uMsg, CX_COMM_PROC pfnProc, void* pParam);

    // The stack reserve, in bytes, of listeners started from now on (an open
    // endpoint keeps its listener); 0: the program's default (1 or 2 MB).
    // Rounded up to 64 KB, as GetListenerStackSize gives it. 256 KB suits a
    // callback that reads and posts, and lets a 32-bit host keep far more
    // endpoints listening.
    void SetListenerStackSize(unsigned long ulBytes);
    unsigned long GetListenerStackSize() const;

    virtual void* GetSafeHandle();  // NULL here
    // Moves exactly ulLength bytes or fails (0); the base always fails.
    virtual int Send(unsigned char* pData, unsigned long ulLength, unsigned long ulWait);
    virtual int Recv(unsigned char* pBuffer, unsigned long ulLength, unsigned long ulWait);

protected:
    struct Target {
        CX_COMM_PROC pfnProc;
        void* pParam;
        HWND hWnd;
        UINT uMsg;
    };
    Target GetTarget() const;  // one consistent snapshot of the four members
    void SetTarget(const Target& target);

    CX_COMM_PROC m_pfnProc;
    void* m_pParam;
    HWND m_hWnd;
    UINT m_uMsg;

private:
    // Low 16 bits: a count of target writes, odd while one is in progress.
    // High 16 bits: the listener's stack reserve in units of 64 KB.
    unsigned m_uTargetSeq;
};
