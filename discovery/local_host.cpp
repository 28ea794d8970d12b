#include "quorvel/discovery.h"

#include <cstring>
#include <new>

#include "core/error.h"
#include "core/ipv4_text.h"
#include "platform/os.h"

namespace os = quorvel::os;
using quorvel::Fail;
using quorvel::RequireOpen;

namespace {
constexpr int kHostNameBytes = 260;
}

CxLocalHostIPAddrFind::CxLocalHostIPAddrFind()
    : m_pHostEnt(nullptr), m_nIndex(-1), m_pAddrs(nullptr), m_nAddrs(0), m_nAddrsReserved(0) {
    std::memset(m_szIPAddr, 0, sizeof m_szIPAddr);
}

CxLocalHostIPAddrFind::CxLocalHostIPAddrFind(const CxLocalHostIPAddrFind& other)
    : m_pHostEnt(nullptr), m_nIndex(-1), m_pAddrs(nullptr), m_nAddrs(0), m_nAddrsReserved(0) {
    std::memset(m_szIPAddr, 0, sizeof m_szIPAddr);
    *this = other;
}

// A copy that cannot get the memory for the addresses keeps none: its walk
// is at its end.
CxLocalHostIPAddrFind& CxLocalHostIPAddrFind::operator=(const CxLocalHostIPAddrFind& other) {
    if (this != &other) {
        IN_ADDR* pAddrs = other.m_nAddrs ? new (std::nothrow) IN_ADDR[other.m_nAddrs] : nullptr;
        size_t nAddrs = pAddrs ? other.m_nAddrs : 0;
        if (nAddrs) std::memcpy(pAddrs, other.m_pAddrs, nAddrs * sizeof(IN_ADDR));
        delete[] m_pAddrs;
        m_pAddrs = pAddrs;
        m_nAddrs = nAddrs;
        m_nAddrsReserved = 0;
        m_pHostEnt = other.m_pHostEnt;
        m_nIndex = other.m_nIndex;
        std::memcpy(m_szIPAddr, other.m_szIPAddr, sizeof m_szIPAddr);
    }
    return *this;
}

CxLocalHostIPAddrFind::~CxLocalHostIPAddrFind() { FindIPAddrClose(); }

int CxLocalHostIPAddrFind::FindIPAddr() {
    FindIPAddrClose();
    char szName[kHostNameBytes] = {};
    // On failure the name stays empty, which resolves to the local host too.
    if (os::gethostname(szName, kHostNameBytes - 1) != 0) szName[0] = '\0';
    m_pHostEnt = os::gethostbyname(szName);
    if (!m_pHostEnt) return quorvel::FailedCall("gethostbyname");
    // The entry lives in the socket library's storage for this thread, which
    // the next lookup on the thread overwrites: keep the addresses now.
    if (m_pHostEnt->h_addrtype == AF_INET && m_pHostEnt->h_length == 4 &&
        m_pHostEnt->h_addr_list) {
        size_t nAddrs = 0;
        while (m_pHostEnt->h_addr_list[nAddrs]) ++nAddrs;
        if (nAddrs) {
            m_pAddrs = new (std::nothrow) IN_ADDR[nAddrs];
            if (!m_pAddrs) {
                return quorvel::FailSocket(WSA_NOT_ENOUGH_MEMORY);
            }
            for (size_t i = 0; i < nAddrs; ++i) {
                std::memcpy(&m_pAddrs[i], m_pHostEnt->h_addr_list[i], sizeof(IN_ADDR));
            }
            m_nAddrs = nAddrs;
        }
    }
    if (!m_nAddrs) {  // a walk at its end from the start
        m_nIndex = 0;
        return Fail(ERROR_NO_MORE_ITEMS);
    }
    return FindNextIPAddr();
}

int CxLocalHostIPAddrFind::FindNextIPAddr() {
    // A walk is open from a FindIPAddr whose lookup answered until the close.
    if (!RequireOpen(m_nIndex >= 0 || m_nAddrs)) return 0;
    // Stays at the end once there, so the index cannot run on and wrap.
    if (m_nIndex + 1 >= static_cast<int>(m_nAddrs)) {
        if (m_nAddrs) m_nIndex = static_cast<int>(m_nAddrs);
        return Fail(ERROR_NO_MORE_ITEMS);
    }
    ++m_nIndex;
    wchar_t szText[QV_IPADDR_CCH] = {};
    if (!quorvel::FormatIPv4(m_pAddrs[m_nIndex], szText, QV_IPADDR_CCH)) return 0;
    std::memcpy(m_szIPAddr, szText, sizeof m_szIPAddr);
    m_szIPAddr[QV_IPADDR_CCH - 1] = L'\0';
    return 1;
}

void CxLocalHostIPAddrFind::GetIPAddr(wchar_t* pszAddr) {
    if (pszAddr) os::lstrcpynW(pszAddr, m_szIPAddr, QV_IPADDR_CCH);
}

void CxLocalHostIPAddrFind::FindIPAddrClose() {
    delete[] m_pAddrs;
    m_pAddrs = nullptr;
    m_nAddrs = 0;
    m_nIndex = -1;
}

int GetFirstValidIPAddress(wchar_t* pszAddr) {
    if (!pszAddr) return Fail(ERROR_INVALID_PARAMETER);
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
