// IPv4 address text, written once for the socket endpoints and the finders.
// Parsing and formatting go through Windows Sockets (start it first).
#pragma once

#include <cstring>

#include "platform/os.h"

namespace quorvel {

enum class Ipv4Parse { kParsed, kNotParsed, kTooLong };

// Parses numeric IPv4 text (a port in it is kept; callers set their own
// afterwards) into *pAddr, which is zeroed with family AF_INET first. NULL and
// text the platform refuses leave 0.0.0.0; text of more than cchMax characters
// is not handed to the platform at all. The platform reads a bounded, writable
// copy, so a text without a terminator is never read past cchMax + 1
// characters.
inline Ipv4Parse ParseIPv4(const wchar_t* pszText, size_t cchMax, SOCKADDR_IN* pAddr) {
    std::memset(pAddr, 0, sizeof *pAddr);
    pAddr->sin_family = AF_INET;
    if (!pszText) return Ipv4Parse::kNotParsed;
    wchar_t szText[260];
    if (cchMax > 259) cchMax = 259;
    size_t n = 0;
    while (n <= cchMax && pszText[n]) ++n;
    if (n > cchMax) return Ipv4Parse::kTooLong;
    std::memcpy(szText, pszText, n * sizeof(wchar_t));
    szText[n] = L'\0';
    SOCKADDR_IN parsed;
    std::memset(&parsed, 0, sizeof parsed);
    parsed.sin_family = AF_INET;
    INT nLength = sizeof parsed;
    if (os::WSAStringToAddressW(szText, AF_INET, nullptr, reinterpret_cast<SOCKADDR*>(&parsed),
                                &nLength) != 0) {
        return Ipv4Parse::kNotParsed;
    }
    *pAddr = parsed;
    return Ipv4Parse::kParsed;
}

// The dotted text of addr, without a port, into pszText (cchText characters).
// False when the platform cannot convert it.
inline bool FormatIPv4(IN_ADDR addr, wchar_t* pszText, DWORD cchText) {
    SOCKADDR_IN sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr = addr;
    DWORD cch = cchText;
    return os::WSAAddressToStringW(reinterpret_cast<SOCKADDR*>(&sa), sizeof sa, nullptr, pszText,
                                   &cch) == 0;
}

// The same text made without the platform (at most 16 characters with the
// terminator), for where its conversion failed.
inline void FormatIPv4Dotted(IN_ADDR addr, wchar_t* pszText) {
    const UCHAR by[4] = {addr.S_un.S_un_b.s_b1, addr.S_un.S_un_b.s_b2, addr.S_un.S_un_b.s_b3,
                         addr.S_un.S_un_b.s_b4};
    wchar_t* p = pszText;
    for (int i = 0; i < 4; ++i) {
        if (i) *p++ = L'.';
        unsigned v = by[i];
        if (v >= 100) *p++ = static_cast<wchar_t>(L'0' + v / 100);
        if (v >= 10) *p++ = static_cast<wchar_t>(L'0' + v / 10 % 10);
        *p++ = static_cast<wchar_t>(L'0' + v % 10);
    }
    *p = L'\0';
}

}  // namespace quorvel
