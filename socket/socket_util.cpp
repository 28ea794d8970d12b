#include "socket/socket_util.h"

#include <cstring>

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
