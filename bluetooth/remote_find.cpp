#include <algorithm>
#include <cstring>

#include "bluetooth/common.h"

namespace os = quorvel::os;
namespace bth = quorvel::bth;
using quorvel::FailSocket;
using quorvel::RequireOpen;
using Lookup = quorvel::SharedHandle<quorvel::NameLookupTraits>;
using ResultBlock = quorvel::ScopedHandle<quorvel::HeapBlockTraits<WSAQUERYSETW>>;

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
    : CxBthRemoteDeviceFind() {
    *this = other;
}

CxBthRemoteDeviceFind& CxBthRemoteDeviceFind::operator=(const CxBthRemoteDeviceFind& other) {
    if (this != &other) {
        Close();
        Lookup(m_hLookup, m_pLink, this).ShareFrom(other.m_hLookup, other.m_pLink);
        m_bthDevInfo = other.m_bthDevInfo;
    }
    return *this;
}

CxBthRemoteDeviceFind::~CxBthRemoteDeviceFind() { Close(); }

int CxBthRemoteDeviceFind::FindDevice() {
    Close();
    WSAQUERYSETW query;
    PrepareQuery(&query);
    HANDLE hLookup = nullptr;
    if (os::WSALookupServiceBeginW(&query, kBeginFlags, &hLookup) == SOCKET_ERROR) {
        return quorvel::FailedCall("WSALookupServiceBeginW");
    }
    if (!Lookup(m_hLookup, m_pLink, this).Adopt(hLookup)) return 0;
    return FindNextDevice();
}

int CxBthRemoteDeviceFind::FindNextDevice() {
    // No lookup, or one that its owner has ended.
    HANDLE hLookup = Lookup(m_hLookup, m_pLink, this).Get();
    if (!RequireOpen(hLookup != nullptr)) return 0;
    WSAQUERYSETW query;
    PrepareQuery(&query);
    DWORD dwLength = sizeof query;
    WSAQUERYSETW* pResult = &query;
    ResultBlock block;
    if (os::WSALookupServiceNextW(hLookup, kNextFlags, &dwLength, &query) == SOCKET_ERROR) {
        if (os::WSAGetLastError() != WSAEFAULT) return quorvel::FailedCall("WSALookupServiceNextW");
        // The length now holds what one result needs; never less than the
        // record the fields are read from.
        dwLength = std::max<DWORD>(dwLength, sizeof query);
        block.reset(static_cast<WSAQUERYSETW*>(
            os::HeapAlloc(os::GetProcessHeap(), HEAP_ZERO_MEMORY, dwLength)));
        if (!block) return FailSocket(WSA_NOT_ENOUGH_MEMORY);
        pResult = block.get();
        if (os::WSALookupServiceNextW(hLookup, kNextFlags, &dwLength, pResult) == SOCKET_ERROR) {
            quorvel::FailedCall("WSALookupServiceNextW");
            block.reset();
            return 0;
        }
    }
    m_bthDevInfo = RecordOf(*pResult);
    return 1;
}

void CxBthRemoteDeviceFind::GetDeviceInfo(BTH_DEV_INFO* pInfo) {
    bth::CopyRecord(pInfo, &m_bthDevInfo);
}

void CxBthRemoteDeviceFind::Close() { Lookup(m_hLookup, m_pLink, this).Release(); }
