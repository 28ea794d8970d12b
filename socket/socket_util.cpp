#include "socket/socket_util.h"

#include <cstring>

#include "core/error.h"
#include "quorvel/socket.h"

namespace quorvel::socket_util {

Text ParseAddress(const wchar_t* pszText, SOCKADDR_IN* pAddr) {
    return ParseIPv4(pszText, CX_SOCKET_ADDRESS_MAX, pAddr);
}

bool FormatAddress(SOCKADDR_IN addr, wchar_t (&szText)[64]) {
    std::memset(szText, 0, sizeof szText);
    return FormatIPv4(addr.sin_addr, szText, 64);
}

void CopyText(wchar_t* pszTo, const wchar_t* pszFrom, int nCapacity) {
    int n = 0;
    while (n < nCapacity - 1 && pszFrom[n]) {
        pszTo[n] = pszFrom[n];
        ++n;
    }
    pszTo[n] = L'\0';
}

int HasLocalName(SOCKET hSocket) {
    SOCKADDR_IN addr = {};
    int nLength = sizeof addr;
    return os::getsockname(hSocket, reinterpret_cast<SOCKADDR*>(&addr), &nLength) == SOCKET_ERROR
               ? 0
               : 1;
}

bool WaitReady(SOCKET hSocket, bool bWrite, DWORD dwMilliseconds) {
    fd_set set = SetOf(hSocket);
    timeval limit = {static_cast<long>(dwMilliseconds / 1000),
                     static_cast<long>((dwMilliseconds % 1000) * 1000)};
    int nReady = os::select(0, bWrite ? nullptr : &set, bWrite ? &set : nullptr, nullptr,
                            dwMilliseconds == INFINITE ? nullptr : &limit);
    if (nReady == 0) return Fail(WAIT_TIMEOUT);
    return nReady > 0 || FailedCall("select");
}

bool ConnectWithin(SOCKET hSocket, const SOCKADDR* pAddr, int nLength, DWORD dwMilliseconds) {
    if (dwMilliseconds == INFINITE) {
        return os::connect(hSocket, pAddr, nLength) != SOCKET_ERROR || FailedCall("connect");
    }
    // Not blocking while it connects, so that the wait can end; blocking
    // again afterwards, as a plain connect leaves it.
    u_long ulNonBlocking = 1;
    if (os::ioctlsocket(hSocket, FIONBIO, &ulNonBlocking) == SOCKET_ERROR) {
        return FailedCall("ioctlsocket");
    }
    bool bConnected = os::connect(hSocket, pAddr, nLength) != SOCKET_ERROR;
    if (!bConnected && os::WSAGetLastError() == WSAEWOULDBLOCK) {
        fd_set writable = SetOf(hSocket), failed = SetOf(hSocket);
        timeval limit = {static_cast<long>(dwMilliseconds / 1000),
                         static_cast<long>((dwMilliseconds % 1000) * 1000)};
        int nReady = os::select(0, nullptr, &writable, &failed, &limit);
        if (nReady == 0) {
            os::SetLastError(WAIT_TIMEOUT);
        } else if (nReady > 0 && IsIn(hSocket, failed)) {
            int nError = 0;
            int nSize = sizeof nError;
            if (os::getsockopt(hSocket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&nError),
                               &nSize) == SOCKET_ERROR) {
                nError = os::WSAGetLastError();
            }
            os::WSASetLastError(nError ? nError : WSAECONNREFUSED);
        } else {
            bConnected = nReady > 0;
        }
    }
    DWORD dwError = os::GetLastError();
    ulNonBlocking = 0;
    bool bBlocking = os::ioctlsocket(hSocket, FIONBIO, &ulNonBlocking) != SOCKET_ERROR;
    if (bConnected && !bBlocking) return FailedCall("ioctlsocket");  // the one to report
    os::SetLastError(dwError);
    return bConnected || FailedCall("connect");
}

fd_set SetOf(SOCKET a, SOCKET b) {
    fd_set set;
    set.fd_count = 0;
    if (a != INVALID_SOCKET) set.fd_array[set.fd_count++] = a;
    if (b != INVALID_SOCKET) set.fd_array[set.fd_count++] = b;
    return set;
}

bool IsIn(SOCKET s, const fd_set& set) {
    for (u_int i = 0; i < set.fd_count; ++i) {
        if (set.fd_array[i] == s) return true;
    }
    return false;
}

}  // namespace quorvel::socket_util
