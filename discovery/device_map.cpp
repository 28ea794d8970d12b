#include "quorvel/discovery.h"

#include <algorithm>
#include <cstring>

#include "core/shared_link.h"
#include "platform/os.h"

using quorvel::SharedLink;
namespace os = quorvel::os;

namespace {

constexpr DWORD kTextCch = QV_DEVICE_TEXT_CCH;

// The map a device interface class selects, or nullptr.
const wchar_t* MapType(const GUID& guid) {
    if (IsEqualGUID(guid, QV_GUID_DEVINTERFACE_COMPORT)) return L"SERIALCOMM";
    if (IsEqualGUID(guid, QV_GUID_DEVINTERFACE_PARALLEL)) return L"PARALLEL PORTS";
    return nullptr;
}

}  // namespace

CxDeviceMapFind::CxDeviceMapFind() : m_hKey(nullptr), m_nIndex(-1), m_pLink(nullptr) {
    std::memset(m_szDevicePath, 0, sizeof m_szDevicePath);
}

CxDeviceMapFind::CxDeviceMapFind(const CxDeviceMapFind& other)
    : m_hKey(nullptr), m_nIndex(-1), m_pLink(nullptr) {
    *this = other;
}

CxDeviceMapFind& CxDeviceMapFind::operator=(const CxDeviceMapFind& other) {
    if (this != &other) {
        Close();  // lets go of whatever this object held
        m_hKey = other.m_hKey;
        m_nIndex = other.m_nIndex;
        std::memcpy(m_szDevicePath, other.m_szDevicePath, sizeof m_szDevicePath);
        m_pLink = SharedLink::Share(other.m_pLink);
    }
    return *this;
}

CxDeviceMapFind::~CxDeviceMapFind() { Close(); }

HKEY CxDeviceMapFind::Key() const { return m_hKey && m_pLink && m_pLink->live ? m_hKey : nullptr; }

void CxDeviceMapFind::Close() {
    if (m_pLink && m_pLink->owner == this && m_pLink->live) {
        m_pLink->live = false;  // copies stop using the key before it goes
        os::RegCloseKey(m_hKey);
    }
    SharedLink::Release(m_pLink);
    m_hKey = nullptr;
    m_nIndex = -1;
}

int CxDeviceMapFind::FindDeviceMap(GUID* pGuid) {
    Close();
    const wchar_t* pszType = pGuid ? MapType(*pGuid) : nullptr;
    if (!pszType) return 0;
    wchar_t szPath[kTextCch];
    os::wsprintfW(szPath, L"HARDWARE\\DEVICEMAP\\%s", pszType);
    SharedLink* link = SharedLink::Create(this);
    if (!link) return 0;
    HKEY hKey = nullptr;
    if (os::RegOpenKeyW(HKEY_LOCAL_MACHINE, szPath, &hKey) != ERROR_SUCCESS || !hKey) {
        SharedLink::Release(link);
        return 0;
    }
    m_hKey = hKey;
    m_pLink = link;
    DWORD dwValues = 0;
    if (os::RegQueryInfoKeyW(hKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             &dwValues, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
        dwValues == 0) {
        return 0;  // the key stays open until Close, as for an empty map
    }
    m_nIndex = -1;
    return FindNextDeviceMap();
}

int CxDeviceMapFind::FindNextDeviceMap() {
    HKEY hKey = Key();
    if (!hKey) return 0;
    for (;;) {
        ++m_nIndex;
        wchar_t szName[kTextCch] = {};
        DWORD cchName = kTextCch;
        LONG lStatus = os::RegEnumValueW(hKey, static_cast<DWORD>(m_nIndex), szName, &cchName,
                                         nullptr, nullptr, nullptr, nullptr);
        if (lStatus == ERROR_MORE_DATA) continue;  // a name too long to query: skip the value
        if (lStatus != ERROR_SUCCESS) return 0;
        wchar_t szData[kTextCch] = {};
        DWORD dwType = REG_SZ;
        DWORD cbData = sizeof szData;
        lStatus = os::RegQueryValueExW(hKey, szName, nullptr, &dwType,
                                       reinterpret_cast<BYTE*>(szData), &cbData);
        if (lStatus == ERROR_MORE_DATA) continue;  // a port name that does not fit: skip it
        if (lStatus != ERROR_SUCCESS) return 0;
        // The data need not carry its terminator: read only as far as it reaches.
        size_t cchData = std::min<size_t>(cbData / sizeof(wchar_t), kTextCch);
        size_t cch = 0;
        while (cch < cchData && szData[cch]) ++cch;
        if (cch == kTextCch) continue;  // 260 characters and no room for the terminator
        std::memcpy(m_szDevicePath, szData, cch * sizeof(wchar_t));
        m_szDevicePath[cch] = L'\0';
        return 1;
    }
}

void CxDeviceMapFind::GetDevicePath(wchar_t* pszPath) {
    if (pszPath) os::lstrcpynW(pszPath, m_szDevicePath, kTextCch);
}
