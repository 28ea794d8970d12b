// quorvel core: the worker thread (CxThread) and the endpoint base (CxComm)
// with the event codes that every endpoint uses to tell the host about events.
//
// Windows headers: this header includes <winsock2.h>, which includes
// <windows.h>. Include <quorvel/quorvel.h> before <windows.h>, or define
// WIN32_LEAN_AND_MEAN before including <windows.h>, so that the old
// <winsock.h> is not pulled in first.
//
// ABI: the exported classes have a C++ interface. Build the host with the
// same compiler family as the DLL: mingw-w64 g++ for the MinGW flavour,
// Visual C++ for the Visual C++ flavour.
//
// Language: these headers compile as C++98 and every later standard up to
// C++20; constexpr, override, noexcept, static_assert and enum class are
// used only where the compiler has them (QV_CPLUSPLUS).
#pragma once

#include <winsock2.h>
#include <windows.h>

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

// One heap per object. Every exported class has its own operator new and
// operator delete, defined in the DLL: an object that a host creates with
// new, and deletes through a pointer to any of its bases (the DLL's deleting
// destructor frees it), comes from and goes back to the DLL's heap, whichever
// C runtime the host uses. Placement new works as usual.
// - MinGW flavour: operator new fails as the global one does (std::bad_alloc).
// - Visual C++ flavour: the DLL has no C++ runtime to throw with, so operator
//   new is noexcept and new yields NULL when memory runs out; test it. Arrays
//   made with new[] are refused at compile time: delete[] through the virtual
//   destructor cannot be served by this DLL. Use arrays on the stack, in your
//   own objects, or of pointers.
#if defined(_MSC_VER)
#define QV_HEAP_OPERATORS                                                   \
public:                                                                     \
    static void* operator new(size_t cb) QV_NOEXCEPT;                       \
    static void operator delete(void* p) QV_NOEXCEPT;                       \
    static void* operator new(size_t, void* p) QV_NOEXCEPT { return p; }    \
    static void operator delete(void*, void*) QV_NOEXCEPT {}                \
                                                                            \
private:                                                                    \
    static void* operator new[](size_t cb) QV_NOEXCEPT;                     \
    static void operator delete[](void* p) QV_NOEXCEPT;                     \
                                                                            \
public:
#else
#define QV_HEAP_OPERATORS                                                   \
public:                                                                     \
    static void* operator new(size_t cb);                                   \
    static void* operator new[](size_t cb);                                 \
    static void operator delete(void* p) QV_NOEXCEPT;                       \
    static void operator delete[](void* p) QV_NOEXCEPT;                     \
    static void* operator new(size_t, void* p) QV_NOEXCEPT { return p; }    \
    static void* operator new[](size_t, void* p) QV_NOEXCEPT { return p; }  \
    static void operator delete(void*, void*) QV_NOEXCEPT {}                \
    static void operator delete[](void*, void*) QV_NOEXCEPT {}              \
                                                                            \
public:
#endif

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

// Host callback: user pointer, the endpoint's handle (GetSafeHandle) and the
// event code. Declared CALLBACK (__stdcall), like a window procedure. Its
// result is ignored. It runs on the thread that raised the event, normally
// the endpoint's listener thread.
typedef long(CALLBACK* CX_COMM_PROC)(void* pParam, unsigned int uHandle, long lEvent);

// Routine run by CxThread. Declared WINAPI (__stdcall), like a Win32 thread
// routine, but its argument is the CxThread object itself: the routine reaches
// its parameter with GetParamPtr() and polls ToExitThread() through it.
typedef DWORD(WINAPI* CX_THREAD_ROUTINE)(void* pThread);

namespace quorvel {
struct SharedLink;    // the record that an object shares with its copies
struct ThreadRecord;  // what a started thread shares with the object that started it
struct ThreadAccess;
}

// One operating-system thread with a start-up handshake, a cooperative exit
// request and an optional "thread ended" message.
//
// Copies. A copy of an object that holds a thread names the same thread and
// the same handle (GetSafeHandle returns the same value), but only the object
// that started the thread owns it: that object alone requests the exit, waits
// and closes the handle, in CloseThread or its destructor. CloseThread and
// the destructor of a copy only let go of the copy's view of the thread, at
// once and without waiting, so destroying a copy never hangs and the handle is
// closed exactly once. Once the owner has closed the handle, a copy reports
// the thread as not running. The start signal is never copied.
//
// Assigning to an object that holds a thread first lets go of that thread as
// CloseThread(INFINITE) would.
//
// A thread created by CreateThread cannot run before GetSafeHandle has its
// handle, so the thread-ended message always carries that handle, even for a
// routine that returns at once. The message goes to the window and message
// number set last, even when SetWndMsg comes after CreateThread; once the
// routine has returned, the thread no longer reads this object, so the object
// may be destroyed by the routine itself.
//
// CreateThread on an object whose previous thread has ended (but was not
// closed) closes that thread's handle first instead of dropping it.
//
// CreateThread fails (0, with the system's last error) when the new thread,
// created suspended, cannot be resumed: it is ended before it has run and
// nothing is held, so neither CreateThread nor CloseThread waits for a
// thread that never starts. With CREATE_SUSPENDED in the creation flags the
// thread cannot signal its start, so CreateThread does not wait for it.
//
// CloseThread (or the destructor) called on the thread's own routine sets
// the exit request and releases the handle without waiting, since a thread
// cannot wait for its own end; the routine returns when it next polls.
//
// A routine let go of while it still runs (CloseThread's limit ran out) goes
// on seeing its exit request. Until it has returned, CreateThread on the same
// object fails with ERROR_BUSY: the routine still reads this object (its
// parameter, its exit request), so the object cannot serve a second one yet.
// Destroying or assigning to the object meanwhile leaves that routine reading
// memory that is gone or changed; wait long enough for it instead.
class QUORVEL_API CxThread {
    QV_HEAP_OPERATORS
public:
    CxThread();
    CxThread(const CxThread& other);
    CxThread& operator=(const CxThread& other);
    virtual ~CxThread();  // CloseThread(INFINITE)

    // Starts pfnStartRoutine on a new thread; the routine is called with this
    // object. Returns 0 if the held thread still runs, or if no thread could
    // be created (the last error is the system's). Waits at most
    // dwWaitMilliseconds for the routine to call SetThreadStartedEvent, and
    // no longer than until the routine returns (without signalling).
    int CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, DWORD dwStackSize,
                     CX_THREAD_ROUTINE pfnStartRoutine, void* pParam,
                     DWORD dwCreationFlags, DWORD dwWaitMilliseconds);
    // Sets the exit request, waits at most dwWaitMilliseconds for the thread
    // and closes its handle (even if the wait ran out). Nothing on an idle
    // object.
    void CloseThread(DWORD dwWaitMilliseconds);
    int IsThreadRunning() const;  // non-zero until the held thread has ended
    int ToExitThread() const;     // the exit request, for the routine to poll
    void SetThreadStartedEvent(); // the routine is ready; releases CreateThread
    void SetWndMsg(HWND hWnd, UINT uMsg);  // NULL window: no thread-ended message
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
    quorvel::ThreadRecord* m_pLink;
};

// Base of every data endpoint: the shared operations, the host's
// notification target (a window and message, a callback and its user
// pointer) and the stack reserve of the endpoint's listener thread.
//
// The target is published as one value: a listener thread that raises an
// event while the host calls SetWndMsgProc sees either the old four values or
// the new four, never a mix of both (no callback paired with another
// callback's user pointer).
//
// Listener stack. Every endpoint that watches its device does so on a thread
// of its own, and the host's callback runs on that thread's stack. By default
// that thread gets the host program's default stack reserve (commonly 1 MB
// with Visual C++, 2 MB with mingw-w64), which in a 32-bit process limits a
// host to a few hundred listening endpoints. SetListenerStackSize sets the
// reserve of the listener the endpoint starts from then on (an open endpoint
// keeps the listener it has); 0 goes back to the default. The reserve is
// rounded up to a multiple of 64 KB, as the system rounds it; leave room for
// what the callback does (256 KB is plenty for a callback that reads and
// posts). Copies take the setting with the rest of the object.
class QUORVEL_API CxComm {
    QV_HEAP_OPERATORS
public:
    CxComm();
    CxComm(const CxComm& other);
    CxComm& operator=(const CxComm& other);
    virtual ~CxComm();

    // Stores all four as passed; NULL clears a target. May be called at any
    // time; the next event uses what is stored then.
    void SetWndMsgProc(HWND hWnd, UINT uMsg, CX_COMM_PROC pfnProc, void* pParam);

    // The stack reserve, in bytes, of listeners started from now on (see
    // above); GetListenerStackSize gives it rounded as it will be used.
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
