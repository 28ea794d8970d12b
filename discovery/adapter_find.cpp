#include "quorvel/discovery.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/error.h"
#include "core/owner.h"
#include "platform/os.h"

namespace os = quorvel::os;
using quorvel::Fail;
using quorvel::RequireOpen;
using HeapBlock = quorvel::HeapBlockTraits<IP_ADAPTER_INFO>;
using AdapterBlock = quorvel::SharedHandle<HeapBlock>;

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
        std::memcpy(&m_AdapterInfo, &other.m_AdapterInfo, sizeof m_AdapterInfo);
        AdapterBlock block(m_AdapterList.Next, m_pLink, this);
        block.ShareFrom(other.m_AdapterList.Next, other.m_pLink);
        m_cbBlock = block.Held() ? other.m_cbBlock : 0;
    }
    return *this;
}

CxAdapterFind::~CxAdapterFind() { FindAdapterClose(); }

void CxAdapterFind::FindAdapterClose() {
    AdapterBlock(m_AdapterList.Next, m_pLink, this).Release();
    std::memset(&m_AdapterList, 0, sizeof m_AdapterList);
    m_cbBlock = 0;
    // The cursor keeps the last adapter's fields but nothing that leads
    // into the released block.
    ClearLinks(&m_AdapterInfo);
}

int CxAdapterFind::FindAdapter() {
    FindAdapterClose();
    ULONG cbBlock = sizeof(IP_ADAPTER_INFO);
    // GetAdaptersInfo returns its error rather than setting it: a failure
    // leaves that code as the thread's last error, set after the clean-up.
    DWORD dwResult = ERROR_BUFFER_OVERFLOW;
    for (int nTry = 0; nTry < kListTries; ++nTry) {
        quorvel::ScopedHandle<HeapBlock> block(static_cast<IP_ADAPTER_INFO*>(
            os::HeapAlloc(os::GetProcessHeap(), HEAP_ZERO_MEMORY, cbBlock)));
        if (!block) return Fail(ERROR_NOT_ENOUGH_MEMORY);
        ULONG cbNeeded = cbBlock;
        dwResult = os::GetAdaptersInfo(block.get(), &cbNeeded);
        if (dwResult == NO_ERROR) {
            if (!AdapterBlock(m_AdapterList.Next, m_pLink, this).Adopt(block.release())) return 0;
            m_cbBlock = cbBlock;
            std::memcpy(&m_AdapterInfo, &m_AdapterList, sizeof m_AdapterInfo);
            return FindNextAdapter();
        }
        block.reset();
        if (dwResult != ERROR_BUFFER_OVERFLOW || cbNeeded <= cbBlock) break;
        cbBlock = cbNeeded;
    }
    return Fail(dwResult);
}

int CxAdapterFind::FindNextAdapter() {
    if (!RequireOpen(AdapterBlock(m_AdapterList.Next, m_pLink, this).Held())) return 0;
    if (!m_AdapterInfo.Next) return Fail(ERROR_NO_MORE_ITEMS);
    auto uBegin = reinterpret_cast<std::uintptr_t>(m_AdapterList.Next);
    auto uEnd = uBegin + m_cbBlock;
    auto uNext = reinterpret_cast<std::uintptr_t>(m_AdapterInfo.Next);
    if (uNext < uBegin || uNext >= uEnd) {  // not a record of this block: the walk ends
        m_AdapterInfo.Next = nullptr;
        return Fail(ERROR_NO_MORE_ITEMS);
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
    if (!AdapterBlock(m_AdapterList.Next, m_pLink, this).Held()) ClearLinks(pInfo);
}
