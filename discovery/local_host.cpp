#include "quorvel/discovery.h"

#include <cstring>

#include "discovery/address_text.h"
#include "platform/os.h"

namespace os = quorvel::os;

namespace {
constexpr int kHostNameBytes = 260;
}

CxLocalHostIPAddrFind::CxLocalHostIPAddrFind() : m_pHostEnt(nullptr), m_nIndex(-1) {
    std::memset(m_szIPAddr, 0, sizeof m_szIPAddr);
}

CxLocalHostIPAddrFind::CxLocalHostIPAddrFind(const CxLocalHostIPAddrFind& other)
    : m_pHostEnt(other.m_pHostEnt), m_nIndex(other.m_nIndex), m_Addrs(other.m_Addrs) {
    std::memcpy(m_szIPAddr, other.m_szIPAddr, sizeof m_szIPAddr);
}

CxLocalHostIPAddrFind& CxLocalHostIPAddrFind::operator=(const CxLocalHostIPAddrFind& other) {
    if (this != &other) {
        m_pHostEnt = other.m_pHostEnt;
        m_nIndex = other.m_nIndex;
        m_Addrs = other.m_Addrs;
        std::memcpy(m_szIPAddr, other.m_szIPAddr, sizeof m_szIPAddr);
    }
    return *this;
}

CxLocalHostIPAddrFind::~CxLocalHostIPAddrFind() { FindIPAddrClose(); }

int CxLocalHostIPAddrFind::FindIPAddr() {
    m_Addrs.clear();
    m_nIndex = -1;
    char szName[kHostNameBytes] = {};
    // On failure the name stays empty, which resolves to the local host too.
    if (os::gethostname(szName, kHostNameBytes - 1) != 0) szName[0] = '\0';
    m_pHostEnt = os::gethostbyname(szName);
    if (!m_pHostEnt) return 0;
    // The entry lives in the socket library's storage for this thread, which
    // the next lookup on the thread overwrites: keep the addresses now.
    if (m_pHostEnt->h_addrtype == AF_INET && m_pHostEnt->h_length == 4 &&
        m_pHostEnt->h_addr_list) {
        for (char** pp = m_pHostEnt->h_addr_list; *pp; ++pp) {
            IN_ADDR addr;
            std::memcpy(&addr, *pp, sizeof addr);
            m_Addrs.push_back(addr);
        }
    }
    return FindNextIPAddr();
}

int CxLocalHostIPAddrFind::FindNextIPAddr() {
    // Stays at the end once there, so the index cannot run on and wrap.
    if (m_nIndex + 1 >= static_cast<int>(m_Addrs.size())) {
        if (!m_Addrs.empty()) m_nIndex = static_cast<int>(m_Addrs.size());
        return 0;
    }
    ++m_nIndex;
    wchar_t szText[QV_IPADDR_CCH] = {};
    if (!quorvel::discovery::AddressToText(m_Addrs[static_cast<size_t>(m_nIndex)], szText,
                                           QV_IPADDR_CCH)) {
        return 0;
    }
    std::memcpy(m_szIPAddr, szText, sizeof m_szIPAddr);
    m_szIPAddr[QV_IPADDR_CCH - 1] = L'\0';
    return 1;
}

void CxLocalHostIPAddrFind::GetIPAddr(wchar_t* pszAddr) {
    if (pszAddr) os::lstrcpynW(pszAddr, m_szIPAddr, QV_IPADDR_CCH);
}

void CxLocalHostIPAddrFind::FindIPAddrClose() {
    m_Addrs.clear();
    m_nIndex = -1;
}

int GetFirstValidIPAddress(wchar_t* pszAddr) {
    if (!pszAddr) return 0;
    CxLocalHostIPAddrFind find;
    int nFound = find.FindIPAddr();
    while (nFound) {
        find.GetIPAddr(pszAddr);
        if (IsValidIPAddress(pszAddr)) break;
        nFound = find.FindNextIPAddr();
    }
    find.FindIPAddrClose();
    return nFound;
}
