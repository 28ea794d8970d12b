#include "socket/socket_util.h"

#include <cstring>

#include "quorvel/socket.h"

namespace quorvel::socket_util {

Text ParseAddress(const wchar_t* pszText, SOCKADDR_IN* pAddr) {
    std::memset(pAddr, 0, sizeof *pAddr);
    pAddr->sin_family = AF_INET;
    if (!pszText) return Text::kNotParsed;
    // The platform wants writable text; a bounded copy also keeps it from
    // reading past a text without a terminator.
    wchar_t szText[CX_SOCKET_ADDRESS_MAX + 1];
    int n = 0;
    while (n <= CX_SOCKET_ADDRESS_MAX && pszText[n]) ++n;
    if (n > CX_SOCKET_ADDRESS_MAX) return Text::kTooLong;
    std::memcpy(szText, pszText, n * sizeof(wchar_t));
    szText[n] = L'\0';
    SOCKADDR_IN parsed;
    std::memset(&parsed, 0, sizeof parsed);
    parsed.sin_family = AF_INET;
    INT nLength = sizeof parsed;
    if (os::WSAStringToAddressW(szText, AF_INET, nullptr, reinterpret_cast<SOCKADDR*>(&parsed),
                                &nLength) != 0) {
        return Text::kNotParsed;
    }
    *pAddr = parsed;
    return Text::kParsed;
}

bool FormatAddress(SOCKADDR_IN addr, wchar_t (&szText)[64]) {
    std::memset(szText, 0, sizeof szText);
    addr.sin_port = 0;
    DWORD dwLength = 64;
    return os::WSAAddressToStringW(reinterpret_cast<SOCKADDR*>(&addr), sizeof addr, nullptr,
                                   szText, &dwLength) == 0;
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
