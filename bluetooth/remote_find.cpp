#include <algorithm>
#include <cstring>

#include "bluetooth/common.h"

using quorvel::SharedLink;
namespace os = quorvel::os;
namespace bth = quorvel::bth;

namespace {

constexpr DWORD kBeginFlags = LUP_CONTAINERS | LUP_FLUSHCACHE;                // 0x1002
constexpr DWORD kNextFlags = LUP_FLUSHCACHE | LUP_RETURN_ALL | LUP_NEAREST;  // 0x1FF8

void PrepareQuery(WSAQUERYSETW* pQuery) {
    std::memset(pQuery, 0, sizeof *pQuery);
    pQuery->dwSize = sizeof *pQuery;
    pQuery->dwNameSpace = NS_BTH;
}

// The record of one lookup result. A result without an address, a name or
// a class of device leaves that field empty.
BTH_DEV_INFO RecordOf(const WSAQUERYSETW& result) {
    BTH_DEV_INFO record;
    std::memset(&record, 0, sizeof record);
    const CSADDR_INFO* pAddr = result.dwNumberOfCsAddrs > 0 ? result.lpcsaBuffer : nullptr;
    if (pAddr && pAddr->RemoteAddr.lpSockaddr &&
        pAddr->RemoteAddr.iSockaddrLength >= bth::kSockaddrLength) {
        SOCKADDR_BTH sa;
        std::memcpy(&sa, pAddr->RemoteAddr.lpSockaddr, sizeof sa);
        bth::AddressToText(sa.btAddr, record.szAddress);
    }
    if (result.lpszServiceInstanceName) {
        os::lstrcpynW(record.szName, result.lpszServiceInstanceName, bth::kNameCapacity);
    }
    // In the Bluetooth name space the class of device rides in Data1.
    if (result.lpServiceClassId) record.ulClassofDevice = result.lpServiceClassId->Data1;
    return record;
}

}  // namespace

CxBthRemoteDeviceFind::CxBthRemoteDeviceFind() : m_hLookup(nullptr), m_pLink(nullptr) {
    std::memset(&m_bthDevInfo, 0, sizeof m_bthDevInfo);
}

CxBthRemoteDeviceFind::CxBthRemoteDeviceFind(const CxBthRemoteDeviceFind& other)
    : m_hLookup(other.m_hLookup),
      m_bthDevInfo(other.m_bthDevInfo),
      m_pLink(SharedLink::Share(other.m_pLink)) {}

CxBthRemoteDeviceFind& CxBthRemoteDeviceFind::operator=(const CxBthRemoteDeviceFind& other) {
    if (this != &other) {
        Close();
        m_hLookup = other.m_hLookup;
        m_bthDevInfo = other.m_bthDevInfo;
        m_pLink = SharedLink::Share(other.m_pLink);
    }
    return *this;
}

CxBthRemoteDeviceFind::~CxBthRemoteDeviceFind() { Close(); }

int CxBthRemoteDeviceFind::FindDevice() {
    Close();
    WSAQUERYSETW query;
    PrepareQuery(&query);
    HANDLE hLookup = nullptr;
    if (os::WSALookupServiceBeginW(&query, kBeginFlags, &hLookup) == SOCKET_ERROR) return 0;
    m_pLink = SharedLink::Create(this);
    if (!m_pLink) {
        os::WSALookupServiceEnd(hLookup);
        os::WSASetLastError(WSA_NOT_ENOUGH_MEMORY);
        return 0;
    }
    m_hLookup = hLookup;
    return FindNextDevice();
}

int CxBthRemoteDeviceFind::FindNextDevice() {
    // A copy whose owner has ended the lookup asks with no handle, as a new
    // object does, and gets the platform's answer to that.
    HANDLE hLookup = bth::Live(m_pLink) ? m_hLookup : nullptr;
    WSAQUERYSETW query;
    PrepareQuery(&query);
    DWORD dwLength = sizeof query;
    WSAQUERYSETW* pResult = &query;
    void* pHeap = nullptr;
    if (os::WSALookupServiceNextW(hLookup, kNextFlags, &dwLength, &query) == SOCKET_ERROR) {
        if (os::WSAGetLastError() != WSAEFAULT) return 0;
        // The length now holds what one result needs; never less than the
        // record the fields are read from.
        dwLength = std::max<DWORD>(dwLength, sizeof query);
        HANDLE hHeap = os::GetProcessHeap();
        pHeap = os::HeapAlloc(hHeap, HEAP_ZERO_MEMORY, dwLength);
        if (!pHeap) {
            os::WSASetLastError(WSA_NOT_ENOUGH_MEMORY);
            return 0;
        }
        pResult = static_cast<WSAQUERYSETW*>(pHeap);
        if (os::WSALookupServiceNextW(hLookup, kNextFlags, &dwLength, pResult) == SOCKET_ERROR) {
            int nError = os::WSAGetLastError();
            os::HeapFree(hHeap, 0, pHeap);
            os::WSASetLastError(nError);
            return 0;
        }
    }
    m_bthDevInfo = RecordOf(*pResult);
    if (pHeap) os::HeapFree(os::GetProcessHeap(), 0, pHeap);
    return 1;
}

void CxBthRemoteDeviceFind::GetDeviceInfo(BTH_DEV_INFO* pInfo) {
    if (!pInfo) {
        os::SetLastError(ERROR_INVALID_PARAMETER);
        return;
    }
    std::memcpy(pInfo, &m_bthDevInfo, sizeof m_bthDevInfo);
}

void CxBthRemoteDeviceFind::Close() {
    if (bth::Owns(m_pLink, this)) {
        m_pLink->live = false;
        os::WSALookupServiceEnd(m_hLookup);
    }
    m_hLookup = nullptr;
    SharedLink::Release(m_pLink);
}
