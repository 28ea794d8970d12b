#include "quorvel/discovery.h"

#include <algorithm>
#include <cstring>

#include "core/error.h"
#include "core/owner.h"
#include "platform/os.h"

namespace os = quorvel::os;
using quorvel::Fail;
using quorvel::RequireOpen;
using MapKey = quorvel::SharedHandle<quorvel::RegistryKeyTraits>;

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
        MapKey(m_hKey, m_pLink, this).ShareFrom(other.m_hKey, other.m_pLink);
        m_nIndex = other.m_nIndex;
        std::memcpy(m_szDevicePath, other.m_szDevicePath, sizeof m_szDevicePath);
    }
    return *this;
}

CxDeviceMapFind::~CxDeviceMapFind() { Close(); }

void CxDeviceMapFind::Close() {
    MapKey(m_hKey, m_pLink, this).Release();
    m_nIndex = -1;
}

int CxDeviceMapFind::FindDeviceMap(GUID* pGuid) {
    Close();
    const wchar_t* pszType = pGuid ? MapType(*pGuid) : nullptr;
    if (!pszType) return Fail(ERROR_INVALID_PARAMETER);
    wchar_t szPath[kTextCch];
    os::wsprintfW(szPath, L"HARDWARE\\DEVICEMAP\\%s", pszType);
    HKEY hKey = nullptr;
    LONG lStatus = os::RegOpenKeyW(HKEY_LOCAL_MACHINE, szPath, &hKey);
    if (lStatus != ERROR_SUCCESS) return Fail(static_cast<DWORD>(lStatus));
    if (!hKey) return Fail(ERROR_FILE_NOT_FOUND);
    if (!MapKey(m_hKey, m_pLink, this).Adopt(hKey)) return 0;
    DWORD dwValues = 0;
    lStatus = os::RegQueryInfoKeyW(hKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   &dwValues, nullptr, nullptr, nullptr, nullptr);
    // The key stays open until Close, as for an empty map.
    if (lStatus != ERROR_SUCCESS) return Fail(static_cast<DWORD>(lStatus));
    if (dwValues == 0) return Fail(ERROR_NO_MORE_ITEMS);
    m_nIndex = -1;
    return FindNextDeviceMap();
}

int CxDeviceMapFind::FindNextDeviceMap() {
    HKEY hKey = MapKey(m_hKey, m_pLink, this).Get();
    if (!RequireOpen(hKey != nullptr)) return 0;
    for (;;) {
        ++m_nIndex;
        wchar_t szName[kTextCch] = {};
        DWORD cchName = kTextCch;
        LONG lStatus = os::RegEnumValueW(hKey, static_cast<DWORD>(m_nIndex), szName, &cchName,
                                         nullptr, nullptr, nullptr, nullptr);
        if (lStatus == ERROR_MORE_DATA) continue;  // a name too long to query: skip the value
        if (lStatus != ERROR_SUCCESS) return Fail(static_cast<DWORD>(lStatus));
        wchar_t szData[kTextCch] = {};
        DWORD dwType = REG_SZ;
        DWORD cbData = sizeof szData;
        lStatus = os::RegQueryValueExW(hKey, szName, nullptr, &dwType,
                                       reinterpret_cast<BYTE*>(szData), &cbData);
        if (lStatus == ERROR_MORE_DATA) continue;  // a port name that does not fit: skip it
        if (lStatus != ERROR_SUCCESS) return Fail(static_cast<DWORD>(lStatus));
        // The data need not carry its terminator: read only as far as it reaches.
        size_t cchData = std::min<size_t>(cbData / sizeof(wchar_t), kTextCch);
        size_t cch = quorvel::BoundedLength(szData, cchData);
        if (cch == kTextCch) continue;  // 260 characters and no room for the terminator
        std::memcpy(m_szDevicePath, szData, cch * sizeof(wchar_t));
        m_szDevicePath[cch] = L'\0';
        return 1;
    }
}

void CxDeviceMapFind::GetDevicePath(wchar_t* pszPath) {
    if (pszPath) os::lstrcpynW(pszPath, m_szDevicePath, kTextCch);
}
