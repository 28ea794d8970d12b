// How operations fail, written once; the rule hosts rely on is stated in
// include/quorvel/core.h ("Failures").
#pragma once

#include "platform/os.h"

namespace quorvel {

// Fails with a Windows error: it becomes the thread's last error, and the
// operation's result is 0.
inline int Fail(DWORD dwError) {
    os::SetLastError(dwError);
    return 0;
}

// Fails with a Windows Sockets error (SocketGetLastError reads it).
inline int FailSocket(int nError) {
    os::WSASetLastError(nError);
    return 0;
}

// The precondition of every operation that needs an open object: false,
// with ERROR_INVALID_HANDLE as the last error, when it is not open.
[[nodiscard]] inline bool RequireOpen(bool bOpen) {
    if (!bOpen) os::SetLastError(ERROR_INVALID_HANDLE);
    return bOpen;
}

// The same for the socket endpoints, whose errors are Windows Sockets
// errors: WSAENOTSOCK when the object holds no socket.
[[nodiscard]] inline bool RequireSocket(bool bOpen) {
    if (!bOpen) os::WSASetLastError(WSAENOTSOCK);
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
