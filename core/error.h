// How operations fail, written once; the rule hosts rely on is stated in
// include/quorvel/core.h ("Failures").
#pragma once

#include "platform/os.h"

namespace quorvel {

// A build with QV_TRACE_FAILURES (the CMake option of that name) writes each
// failure reported below to the trace channel, with the place that reported
// it, which the compiler passes in. Other builds have neither the extra
// arguments nor the line. A function that reports a failure for its caller
// takes QV_FAILURE_PLACE (QV_FAILURE_PLACE_ALONE as its only parameters;
// QV_FAILURE_PLACE_DEFINED where it is defined apart from its declaration)
// and traces with QV_TRACE_FAILURE.
#ifdef QV_TRACE_FAILURES
void TraceFailure(const char* pszCall, unsigned long ulError, const char* pszFile, int nLine,
                  const char* pszFunction);
#define QV_FAILURE_PLACE_ALONE                                                               \
    const char *pszFile_ = __builtin_FILE(), int nLine_ = __builtin_LINE(),                 \
    const char *pszFunction_ = __builtin_FUNCTION()
#define QV_FAILURE_PLACE , QV_FAILURE_PLACE_ALONE
#define QV_FAILURE_PLACE_DEFINED , const char *pszFile_, int nLine_, const char *pszFunction_
#define QV_TRACE_FAILURE(call, error) TraceFailure(call, error, pszFile_, nLine_, pszFunction_)
#else
#define QV_FAILURE_PLACE_ALONE
#define QV_FAILURE_PLACE
#define QV_FAILURE_PLACE_DEFINED
#define QV_TRACE_FAILURE(call, error) static_cast<void>(0)
#endif

// Fails with a Windows error: it becomes the thread's last error, and the
// operation's result is 0.
inline int Fail(DWORD dwError QV_FAILURE_PLACE) {
    QV_TRACE_FAILURE(nullptr, dwError);
    os::SetLastError(dwError);
    return 0;
}

// Fails with a Windows Sockets error (SocketGetLastError reads it).
inline int FailSocket(int nError QV_FAILURE_PLACE) {
    QV_TRACE_FAILURE(nullptr, static_cast<unsigned long>(nError));
    os::WSASetLastError(nError);
    return 0;
}

// Fails because the system call pszCall ("CreateFileW") failed: its error
// stays the last error, and the operation's result is 0.
inline int FailedCall(const char* pszCall QV_FAILURE_PLACE) {
    static_cast<void>(pszCall);
    QV_TRACE_FAILURE(pszCall, os::GetLastError());
    return 0;
}

// The precondition of every operation that needs an open object: false,
// with ERROR_INVALID_HANDLE as the last error, when it is not open.
[[nodiscard]] inline bool RequireOpen(bool bOpen QV_FAILURE_PLACE) {
    if (!bOpen) {
        QV_TRACE_FAILURE(nullptr, ERROR_INVALID_HANDLE);
        os::SetLastError(ERROR_INVALID_HANDLE);
    }
    return bOpen;
}

// The same for the socket endpoints, whose errors are Windows Sockets
// errors: WSAENOTSOCK when the object holds no socket.
[[nodiscard]] inline bool RequireSocket(bool bOpen QV_FAILURE_PLACE) {
    if (!bOpen) {
        QV_TRACE_FAILURE(nullptr, WSAENOTSOCK);
        os::WSASetLastError(WSAENOTSOCK);
    }
    return bOpen;
}

// Keeps the thread's last error across clean-up calls, so that the error a
// host reads is the one of the step that failed. Windows keeps the Windows
// and the Windows Sockets error in one place, so this keeps both.
class ErrorKeeper {
public:
    ErrorKeeper() : m_dwError(os::GetLastError()) {}
    ~ErrorKeeper() { os::SetLastError(m_dwError); }
    ErrorKeeper(const ErrorKeeper&) = delete;
    ErrorKeeper& operator=(const ErrorKeeper&) = delete;

private:
    DWORD m_dwError;
};

// Length of a text that may lack its terminator: at most cchMax.
inline size_t BoundedLength(const wchar_t* psz, size_t cchMax) {
    size_t n = 0;
    while (n < cchMax && psz[n]) ++n;
    return n;
}

}  // namespace quorvel
