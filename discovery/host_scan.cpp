#include "quorvel/discovery.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <type_traits>

#include "core/error.h"
#include "core/ipv4_text.h"
#include "core/owner.h"
#include "discovery/address_text.h"
#include "platform/os.h"

namespace os = quorvel::os;
using quorvel::Fail;
using quorvel::RequireOpen;
using quorvel::ScopedKernelHandle;

namespace {

constexpr unsigned kOctetsPerWorker = 4;  // 256 / 64
constexpr unsigned kFirstOctet = 1;       // the network address (0) is never probed
constexpr unsigned kEndOctet = 255;       // nor the broadcast address (255)
constexpr ULONG kMacBytes = 6;
constexpr DWORD kProgressInterval = 100;  // ms between two progress reports

// The last octets that worker dwIndex probes: [first, end).
void Slice(unsigned long dwIndex, unsigned* puFirst, unsigned* puEnd) {
    *puFirst = std::max<unsigned>(dwIndex * kOctetsPerWorker, kFirstOctet);
    *puEnd = std::min<unsigned>((dwIndex + 1) * kOctetsPerWorker, kEndOctet);
}

IN_ADDR WithLastOctet(IN_ADDR addr, unsigned uOctet) {
    addr.S_un.S_un_b.s_b4 = static_cast<UCHAR>(uOctet);
    return addr;
}

// The results by which the system says that nobody answered a probe: the
// host is not there, which is no failure of the probe. Older systems give
// ERROR_GEN_FAILURE for it.
bool IsNoAnswer(DWORD dwResult) {
    return dwResult == ERROR_BAD_NET_NAME || dwResult == ERROR_GEN_FAILURE;
}

// Asks for the hardware address of dest: NO_ERROR with a non-empty answer,
// ERROR_BAD_NET_NAME when nobody answered, else the error of the probe.
DWORD Probe(IN_ADDR dest, IN_ADDR source, unsigned long long* pMac) {
    ULONG mac[2] = {0, 0};
    ULONG cbMac = kMacBytes;
    DWORD dwResult = os::SendARP(dest.S_un.S_addr, source.S_un.S_addr, mac, &cbMac);
    if (dwResult == NO_ERROR && cbMac == 0) return ERROR_BAD_NET_NAME;  // an empty answer
    if (dwResult != NO_ERROR) return IsNoAnswer(dwResult) ? ERROR_BAD_NET_NAME : dwResult;
    if (pMac) {
        *pMac = 0;
        std::memcpy(pMac, mac, std::min<ULONG>(cbMac, kMacBytes));
    }
    return NO_ERROR;
}

}  // namespace

#if defined(_M_IX86) || defined(__i386__)
static_assert(std::is_same<CX_SCAN_PROGRESS_PROC,
                           void(__stdcall*)(void*, unsigned long, unsigned long)>::value,
              "the progress callback is __stdcall");
#endif

// What the workers of one scan report; written by the workers, read by
// FindHost (the counts while they run, the rest once all have ended).
struct CxNetworkHostFind::Scan {
    std::atomic<unsigned char> answered[kEndOctet];
    std::atomic<DWORD> failed[kEndOctet];  // a probe's error other than "no answer"
    std::atomic<unsigned long> probed;
    std::atomic<unsigned long> answers;
};

CxNetworkHostFind::CxNetworkHostFind() : m_pScan(nullptr) {
    m_byNextHost = 0;
    std::memset(&m_saLocal, 0, sizeof m_saLocal);
    std::memset(m_hThreads, 0, sizeof m_hThreads);
    std::memset(m_Params, 0, sizeof m_Params);
    std::memset(m_byHostFound, 0, sizeof m_byHostFound);
    std::memset(&m_HostInfo, 0, sizeof m_HostInfo);
}

CxNetworkHostFind::CxNetworkHostFind(const CxNetworkHostFind& other) : CxNetworkHostFind() {
    *this = other;
}

CxNetworkHostFind& CxNetworkHostFind::operator=(const CxNetworkHostFind& other) {
    if (this != &other) {
        m_byNextHost = other.m_byNextHost;
        m_saLocal = other.m_saLocal;
        std::memcpy(m_hThreads, other.m_hThreads, sizeof m_hThreads);
        std::memcpy(m_Params, other.m_Params, sizeof m_Params);
        std::memcpy(m_byHostFound, other.m_byHostFound, sizeof m_byHostFound);
        std::memcpy(&m_HostInfo, &other.m_HostInfo, sizeof m_HostInfo);
        m_pScan = nullptr;  // a scan belongs to the object whose FindHost runs it
    }
    return *this;
}

CxNetworkHostFind::~CxNetworkHostFind() = default;

unsigned long WINAPI CxNetworkHostFind::FindHostProc(void* pParam) {
    auto* pFind = static_cast<FIND_HOST_PARAM*>(pParam);
    if (pFind && pFind->pThis) pFind->pThis->OnFindHostProc(pFind->dwIndex);
    return 0;
}

void CxNetworkHostFind::OnFindHostProc(unsigned long dwIndex) {
    Scan* pScan = m_pScan;
    if (!pScan || dwIndex >= kWorkers) return;
    unsigned uFirst = 0, uEnd = 0;
    Slice(dwIndex, &uFirst, &uEnd);
    for (unsigned h = uFirst; h < uEnd; ++h) {
        DWORD dwResult = Probe(WithLastOctet(m_saLocal.sin_addr, h), m_saLocal.sin_addr, nullptr);
        if (dwResult == NO_ERROR) {
            pScan->answered[h].store(kHostAnswered, std::memory_order_relaxed);
            pScan->answers.fetch_add(1, std::memory_order_relaxed);
        } else if (dwResult != ERROR_BAD_NET_NAME) {
            pScan->failed[h].store(dwResult, std::memory_order_relaxed);
        }
        pScan->probed.fetch_add(1, std::memory_order_relaxed);
    }
}

int CxNetworkHostFind::FindHost() { return FindHost(nullptr, nullptr); }

int CxNetworkHostFind::FindHost(CX_SCAN_PROGRESS_PROC pfnProgress, void* pParam) {
    // A scan starts afresh; one that fails reports nothing of an earlier one.
    std::memset(m_byHostFound, 0, sizeof m_byHostFound);
    m_byNextHost = 0;
    wchar_t szLocal[QV_IPADDR_CCH] = {};
    {
        CxLocalHostIPAddrFind find;
        int nFound = find.FindIPAddr();
        if (nFound) find.GetIPAddr(szLocal);
        find.FindIPAddrClose();
        if (!nFound) {
            // Never the "nobody answered" of a scan that did not run.
            DWORD dwError = os::GetLastError();
            if (dwError == ERROR_SUCCESS || dwError == ERROR_NO_MORE_ITEMS) {
                return Fail(ERROR_NOT_FOUND);
            }
            return 0;
        }
    }
    SOCKADDR_IN sa;
    if (quorvel::ParseIPv4(szLocal, QV_IPADDR_CCH - 1, &sa) != quorvel::Ipv4Parse::kParsed) {
        return Fail(ERROR_INVALID_DATA);
    }
    m_saLocal = sa;
    m_saLocal.sin_port = 0;

    Scan scan;
    for (auto& answered : scan.answered) answered.store(0, std::memory_order_relaxed);
    for (auto& failed : scan.failed) failed.store(ERROR_SUCCESS, std::memory_order_relaxed);
    scan.probed.store(0, std::memory_order_relaxed);
    scan.answers.store(0, std::memory_order_relaxed);
    m_pScan = &scan;
    {
        // The workers' handles, closed when the scan is over; m_hThreads
        // shows them while it runs.
        ScopedKernelHandle workers[kWorkers];
        HANDLE hStarted[kWorkers];
        DWORD nStarted = 0;
        for (int i = 0; i < kWorkers; ++i) {
            m_Params[i].pThis = this;
            m_Params[i].dwIndex = static_cast<unsigned long>(i);
            DWORD dwThreadId = 0;
            workers[i].reset(os::CreateThread(nullptr, 0, &CxNetworkHostFind::FindHostProc,
                                              &m_Params[i], 0, &dwThreadId));
            m_hThreads[i] = workers[i].get();
            if (workers[i]) {
                hStarted[nStarted++] = workers[i].get();
            } else {  // this slice goes unprobed, and says so
                unsigned uFirst = 0, uEnd = 0;
                Slice(static_cast<unsigned long>(i), &uFirst, &uEnd);
                for (unsigned h = uFirst; h < uEnd; ++h) m_byHostFound[h] = kHostNotProbed;
            }
        }
        if (nStarted == 0) {
            m_pScan = nullptr;
            return quorvel::FailedCall("CreateThread");  // the last one's error
        }
        auto progress = [&] {
            if (pfnProgress) {
                pfnProgress(pParam, scan.probed.load(std::memory_order_relaxed),
                            scan.answers.load(std::memory_order_relaxed));
            }
        };
        // With a progress callback the wait wakes now and then to report.
        DWORD dwWait = WAIT_TIMEOUT;
        for (;;) {
            dwWait = os::WaitForMultipleObjects(nStarted, hStarted, TRUE,
                                                pfnProgress ? kProgressInterval : INFINITE);
            if (dwWait != WAIT_TIMEOUT || !pfnProgress) break;
            progress();
        }
        if (dwWait >= WAIT_OBJECT_0 + nStarted) {
            // The joint wait failed: wait for each worker on its own, since
            // none may outlive this call.
            for (DWORD i = 0; i < nStarted; ++i) {
                while (os::WaitForSingleObject(hStarted[i], INFINITE) == WAIT_FAILED) os::Sleep(10);
            }
        }
        for (auto& hThread : m_hThreads) hThread = nullptr;
    }
    m_pScan = nullptr;
    DWORD dwFirstFailure = ERROR_SUCCESS;
    unsigned long ulProbed = 0, ulFailed = 0;
    for (unsigned h = kFirstOctet; h < kEndOctet; ++h) {
        if (scan.answered[h].load(std::memory_order_relaxed) == kHostAnswered) {
            m_byHostFound[h] = kHostAnswered;
        }
        if (m_byHostFound[h] == kHostNotProbed) continue;
        ++ulProbed;
        DWORD dwFailed = scan.failed[h].load(std::memory_order_relaxed);
        if (dwFailed != ERROR_SUCCESS) {
            ++ulFailed;
            if (dwFirstFailure == ERROR_SUCCESS) dwFirstFailure = dwFailed;
        }
    }
    if (pfnProgress) {
        pfnProgress(pParam, scan.probed.load(std::memory_order_relaxed),
                    scan.answers.load(std::memory_order_relaxed));
    }
    if (ulProbed && ulFailed == ulProbed) {
        // No probe could be made at all: that is not an empty network.
        return Fail(dwFirstFailure);
    }
    m_byNextHost = kFirstOctet;
    return FindNextHost();
}

int CxNetworkHostFind::FindNextHost() {
    // A walk is open from a FindHost that scanned until FindHostClose.
    if (!RequireOpen(m_byNextHost != 0)) return 0;
    for (unsigned h = m_byNextHost; h < kEndOctet; ++h) {
        if (m_byHostFound[h] != kHostAnswered) continue;
        IN_ADDR dest = WithLastOctet(m_saLocal.sin_addr, h);
        unsigned long long ullMac = 0;
        if (Probe(dest, m_saLocal.sin_addr, &ullMac) != NO_ERROR) continue;  // gone since the scan

        MacAddressToString(&ullMac, m_HostInfo.szMacAddress, QV_MACADDR_CCH);
        if (!quorvel::FormatIPv4(dest, m_HostInfo.szIPAddress, QV_IPADDR_CCH)) {
            quorvel::FormatIPv4Dotted(dest, m_HostInfo.szIPAddress);
        }
        // Never the name of the host reported before: empty when the lookup fails.
        hostent* pEntry =
            os::gethostbyaddr(reinterpret_cast<const char*>(&dest), sizeof dest, AF_INET);
        if (pEntry && pEntry->h_name) {
            quorvel::discovery::CopyAnsi(pEntry->h_name, CP_THREAD_ACP, m_HostInfo.szHostName,
                                         QV_HOSTNAME_CCH);
        } else {
            m_HostInfo.szHostName[0] = L'\0';
        }
        m_byNextHost = static_cast<unsigned char>(h + 1);
        return 1;
    }
    return Fail(ERROR_NO_MORE_ITEMS);
}

void CxNetworkHostFind::GetHostInfo(NET_HOST_INFO* pHostInfo) {
    if (pHostInfo) std::memcpy(pHostInfo, &m_HostInfo, sizeof *pHostInfo);
}

void CxNetworkHostFind::FindHostClose() { m_byNextHost = 0; }
