#include "quorvel/discovery.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/shared_link.h"
#include "platform/os.h"

using quorvel::SharedLink;
namespace os = quorvel::os;

namespace {

// GetAdaptersInfo may report a larger list again if adapters appear between
// two calls; this many tries is plenty.
constexpr int kListTries = 4;

void ClearLinks(IP_ADAPTER_INFO* pInfo) {
    pInfo->Next = nullptr;
    pInfo->IpAddressList.Next = nullptr;
    pInfo->GatewayList.Next = nullptr;
    pInfo->DhcpServer.Next = nullptr;
    pInfo->PrimaryWinsServer.Next = nullptr;
    pInfo->SecondaryWinsServer.Next = nullptr;
}

}  // namespace

CxAdapterFind::CxAdapterFind() : m_pLink(nullptr), m_cbBlock(0) {
    std::memset(&m_AdapterList, 0, sizeof m_AdapterList);
    std::memset(&m_AdapterInfo, 0, sizeof m_AdapterInfo);
}

CxAdapterFind::CxAdapterFind(const CxAdapterFind& other) : CxAdapterFind() { *this = other; }

CxAdapterFind& CxAdapterFind::operator=(const CxAdapterFind& other) {
    if (this != &other) {
        FindAdapterClose();  // lets go of whatever this object held
        std::memcpy(&m_AdapterList, &other.m_AdapterList, sizeof m_AdapterList);
        std::memcpy(&m_AdapterInfo, &other.m_AdapterInfo, sizeof m_AdapterInfo);
        m_cbBlock = other.m_cbBlock;
        m_pLink = SharedLink::Share(other.m_pLink);
    }
    return *this;
}

CxAdapterFind::~CxAdapterFind() { FindAdapterClose(); }

bool CxAdapterFind::Holds() const { return m_AdapterList.Next && m_pLink && m_pLink->live; }

void CxAdapterFind::ClearCursorLinks() { ClearLinks(&m_AdapterInfo); }

void CxAdapterFind::FindAdapterClose() {
    if (m_pLink && m_pLink->owner == this && m_pLink->live) {
        m_pLink->live = false;  // copies stop walking the block before it goes
        os::HeapFree(os::GetProcessHeap(), 0, m_AdapterList.Next);
    }
    SharedLink::Release(m_pLink);
    std::memset(&m_AdapterList, 0, sizeof m_AdapterList);
    m_cbBlock = 0;
    // The cursor keeps the last adapter's fields but nothing that leads
    // into the released block.
    ClearCursorLinks();
}

int CxAdapterFind::FindAdapter() {
    FindAdapterClose();
    HANDLE hHeap = os::GetProcessHeap();
    ULONG cbBlock = sizeof(IP_ADAPTER_INFO);
    // GetAdaptersInfo returns its error rather than setting it: a failure
    // leaves that code as the thread's last error, set after the clean-up.
    DWORD dwResult = ERROR_BUFFER_OVERFLOW;
    for (int nTry = 0; nTry < kListTries; ++nTry) {
        auto* pBlock =
            static_cast<IP_ADAPTER_INFO*>(os::HeapAlloc(hHeap, HEAP_ZERO_MEMORY, cbBlock));
        if (!pBlock) {
            os::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        ULONG cbNeeded = cbBlock;
        dwResult = os::GetAdaptersInfo(pBlock, &cbNeeded);
        if (dwResult == NO_ERROR) {
            SharedLink* link = SharedLink::Create(this);
            if (!link) {
                os::HeapFree(hHeap, 0, pBlock);
                os::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return 0;
            }
            m_pLink = link;
            m_AdapterList.Next = pBlock;
            m_cbBlock = cbBlock;
            std::memcpy(&m_AdapterInfo, &m_AdapterList, sizeof m_AdapterInfo);
            return FindNextAdapter();
        }
        os::HeapFree(hHeap, 0, pBlock);
        if (dwResult != ERROR_BUFFER_OVERFLOW || cbNeeded <= cbBlock) break;
        cbBlock = cbNeeded;
    }
    os::SetLastError(dwResult);
    return 0;
}

int CxAdapterFind::FindNextAdapter() {
    if (!Holds() || !m_AdapterInfo.Next) return 0;
    auto uBegin = reinterpret_cast<std::uintptr_t>(m_AdapterList.Next);
    auto uEnd = uBegin + m_cbBlock;
    auto uNext = reinterpret_cast<std::uintptr_t>(m_AdapterInfo.Next);
    if (uNext < uBegin || uNext >= uEnd) {  // not a record of this block: the walk ends
        m_AdapterInfo.Next = nullptr;
        return 0;
    }
    // Records may lie closer together than the size of the record: copy
    // only as far as the block reaches.
    IP_ADAPTER_INFO info;
    std::memset(&info, 0, sizeof info);
    std::memcpy(&info, m_AdapterInfo.Next, std::min<std::uintptr_t>(sizeof info, uEnd - uNext));
    std::memcpy(&m_AdapterInfo, &info, sizeof info);
    return 1;
}

void CxAdapterFind::GetAdapterInfo(IP_ADAPTER_INFO* pInfo) {
    if (!pInfo) return;
    std::memcpy(pInfo, &m_AdapterInfo, sizeof *pInfo);
    if (!Holds()) ClearLinks(pInfo);
}
