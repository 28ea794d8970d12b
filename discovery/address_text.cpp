#include "quorvel/discovery.h"

#include <cstring>
#include <vector>

#include "core/error.h"
#include "core/ipv4_text.h"
#include "discovery/address_text.h"
#include "platform/os.h"

namespace os = quorvel::os;
using quorvel::BoundedLength;
using quorvel::FailSocket;

namespace {

constexpr size_t kNameBytes = 260;   // the ANSI host name, with its terminator
constexpr size_t kParseMax = 259;    // longest address text handed to the parser
constexpr size_t kMacTextCch = 18;   // "11-22-33-44-55-66" and the terminator

}  // namespace

namespace quorvel::discovery {

bool CopyAnsi(const char* pszFrom, UINT uCodePage, wchar_t* pszTo, size_t cchTo) {
    pszTo[0] = L'\0';
    int cch = os::MultiByteToWideChar(uCodePage, 0, pszFrom, -1, nullptr, 0);
    if (cch <= 0) return false;
    std::vector<wchar_t> text(static_cast<size_t>(cch) + 1, L'\0');
    if (os::MultiByteToWideChar(uCodePage, 0, pszFrom, -1, text.data(), cch) <= 0) return false;
    size_t n = 0;
    while (n + 1 < cchTo && text[n]) {
        pszTo[n] = text[n];
        ++n;
    }
    pszTo[n] = L'\0';
    return true;
}

}  // namespace quorvel::discovery

int IsValidIPAddress(const wchar_t* pszAddr) {
    SOCKADDR_IN sa;
    if (quorvel::ParseIPv4(pszAddr, kParseMax, &sa) != quorvel::Ipv4Parse::kParsed) return 0;
    switch (sa.sin_addr.S_un.S_un_b.s_b1) {
        case 0:    // this network
        case 127:  // loopback
        case 169:  // link-local (the whole first octet)
        case 255:  // broadcast
            return 0;
        default:
            return 1;
    }
}

int GetIPAddrByDomainName(const wchar_t* pszName, wchar_t* pszAddr) {
    if (!pszName || !pszAddr) {
        return FailSocket(WSAEINVAL);
    }
    // A name that cannot be converted fails; it is never looked up as the
    // empty name, which would resolve to the local host.
    int cb = os::WideCharToMultiByte(CP_ACP, 0, pszName, -1, nullptr, 0, nullptr, nullptr);
    std::vector<char> name(cb > 0 ? static_cast<size_t>(cb) + 1 : 1, '\0');
    if (cb <= 0 ||
        os::WideCharToMultiByte(CP_ACP, 0, pszName, -1, name.data(), cb, nullptr, nullptr) <= 0) {
        return FailSocket(WSAEINVAL);
    }
    char szName[kNameBytes] = {};
    std::strncpy(szName, name.data(), kNameBytes - 1);  // a longer name is cut
    hostent* pEntry = os::gethostbyname(szName);
    if (!pEntry) {
        // The system's reason (WSAHOST_NOT_FOUND for an unknown name) stands.
        int nError = os::WSAGetLastError();
        return FailSocket(nError ? nError : WSAHOST_NOT_FOUND);
    }
    if (pEntry->h_addrtype != AF_INET || pEntry->h_length != 4 || !pEntry->h_addr_list ||
        !pEntry->h_addr_list[0]) {
        return FailSocket(WSANO_DATA);  // a name without an IPv4 address
    }
    IN_ADDR addr;
    std::memcpy(&addr, pEntry->h_addr_list[0], sizeof addr);
    const char* pszText = os::inet_ntoa(addr);
    if (!pszText) {
        return FailSocket(WSAEINVAL);
    }
    // Converted aside first: a text that cannot be converted is a failure,
    // never an empty address reported as found, and pszAddr stays untouched.
    wchar_t szAddr[QV_IPADDR_CCH];
    if (!quorvel::discovery::CopyAnsi(pszText, CP_ACP, szAddr, QV_IPADDR_CCH)) {
        return FailSocket(WSAEINVAL);
    }
    std::memcpy(pszAddr, szAddr, sizeof szAddr);
    return 1;
}

void MacAddressToString(unsigned long long* pMac, wchar_t* pszMac, unsigned long cchMac) {
    if (!pMac || !pszMac || cchMac == 0) return;
    if (cchMac < kMacTextCch) {  // never a cut address
        pszMac[0] = L'\0';
        return;
    }
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    unsigned char by[8];
    std::memcpy(by, pMac, sizeof by);
    wchar_t* p = pszMac;
    for (int i = 0; i < 6; ++i) {
        if (i) *p++ = L'-';
        *p++ = kDigits[by[i] >> 4];
        *p++ = kDigits[by[i] & 0x0F];
    }
    *p = L'\0';
}

namespace {

int HexDigit(wchar_t ch) {
    if (ch >= L'0' && ch <= L'9') return ch - L'0';
    if (ch >= L'a' && ch <= L'f') return ch - L'a' + 10;
    if (ch >= L'A' && ch <= L'F') return ch - L'A' + 10;
    return -1;
}

}  // namespace

namespace quorvel::discovery {

bool ParseMacText(const wchar_t* pszMac, unsigned long long* pMac) {
    *pMac = 0;
    if (!pszMac) return false;
    // Fields as the format "%02X-%02X-...": white space before a field is
    // skipped, one or two hex digits, "-" between fields. The scan stops at
    // the first mismatch; fields it could not read stay 0.
    // It never looks past the capacity of MAC text (QV_MACADDR_CCH), so
    // text without a terminator in a buffer of that size is not overrun.
    wchar_t szText[QV_MACADDR_CCH + 1];
    size_t n = BoundedLength(pszMac, QV_MACADDR_CCH);
    std::memcpy(szText, pszMac, n * sizeof(wchar_t));
    szText[n] = L'\0';
    unsigned char by[8] = {};
    const wchar_t* p = szText;
    int nFields = 0;
    for (int i = 0; i < 6; ++i, ++nFields) {
        if (i) {
            if (*p != L'-') break;
            ++p;
        }
        while (*p == L' ' || (*p >= L'\t' && *p <= L'\r')) ++p;
        int hi = HexDigit(*p);
        if (hi < 0) break;
        ++p;
        int lo = HexDigit(*p);
        if (lo >= 0) {
            ++p;
            by[i] = static_cast<unsigned char>(hi * 16 + lo);
        } else {
            by[i] = static_cast<unsigned char>(hi);
        }
    }
    std::memcpy(pMac, by, sizeof by);
    return nFields == 6 && *p == L'\0';
}

}  // namespace quorvel::discovery

void StringToMacAddress(const wchar_t* pszMac, unsigned long long* pMac) {
    if (pMac) quorvel::discovery::ParseMacText(pszMac, pMac);
}
