#include "quorvel/discovery.h"

#include <cstddef>
#include <cstring>
#include <new>

#include "core/error.h"
#include "core/owner.h"
#include "discovery/device_text.h"
#include "platform/os.h"

namespace os = quorvel::os;
using quorvel::Fail;
using quorvel::RequireOpen;
using DeviceSet = quorvel::SharedHandle<quorvel::DeviceInfoSetTraits>;

namespace {

constexpr DWORD kTextCch = QV_DEVICE_TEXT_CCH;
constexpr DWORD kTextBytes = kTextCch * sizeof(wchar_t);

// Copies at most kTextCch - 1 characters of a text that may lack its
// terminator within cch characters, and terminates it.
void CopyBounded(wchar_t* pszTo, const wchar_t* pszFrom, size_t cch) {
    size_t n = quorvel::BoundedLength(pszFrom, cch < kTextCch - 1 ? cch : kTextCch - 1);
    std::memcpy(pszTo, pszFrom, n * sizeof(wchar_t));
    pszTo[n] = L'\0';
}

bool IsTextType(DWORD dwType) {
    return dwType == REG_SZ || dwType == REG_MULTI_SZ || dwType == REG_EXPAND_SZ;
}

}  // namespace

namespace quorvel::discovery {

void ReadDeviceText(HDEVINFO hDevInfo, SP_DEVINFO_DATA* pDevice, DWORD dwProperty,
                    wchar_t* pszText) {
    pszText[0] = L'\0';  // missing: never the previous device's text
    // One spare character, so a value that fills the buffer is still cut
    // and terminated inside it.
    wchar_t szValue[kTextCch + 1] = {};
    DWORD dwType = 0;
    DWORD cbNeeded = 0;
    if (os::SetupDiGetDeviceRegistryPropertyW(hDevInfo, pDevice, dwProperty, &dwType,
                                              reinterpret_cast<BYTE*>(szValue), kTextBytes,
                                              &cbNeeded)) {
        if (IsTextType(dwType)) {
            CopyBounded(pszText, szValue, (cbNeeded < kTextBytes ? cbNeeded : kTextBytes) / 2);
        }
        return;
    }
    if (os::GetLastError() != ERROR_INSUFFICIENT_BUFFER || cbNeeded <= kTextBytes) return;
    // Too long for the buffer: read it whole, then cut it.
    size_t cchLong = cbNeeded / sizeof(wchar_t) + 1;
    wchar_t* pszLong = new (std::nothrow) wchar_t[cchLong]();
    if (!pszLong) return;  // no memory: as if missing
    DWORD cbRead = 0;
    if (os::SetupDiGetDeviceRegistryPropertyW(hDevInfo, pDevice, dwProperty, &dwType,
                                              reinterpret_cast<BYTE*>(pszLong),
                                              static_cast<DWORD>(cchLong * sizeof(wchar_t)),
                                              &cbRead) &&
        IsTextType(dwType)) {
        CopyBounded(pszText, pszLong, cbRead / sizeof(wchar_t));
    }
    delete[] pszLong;
}

void ReadInstanceID(HDEVINFO hDevInfo, SP_DEVINFO_DATA* pDevice, wchar_t* pszText) {
    wchar_t szID[kTextCch + 1] = {};
    if (os::SetupDiGetDeviceInstanceIdW(hDevInfo, pDevice, szID, kTextCch, nullptr)) {
        CopyBounded(pszText, szID, kTextCch);
    } else {
        pszText[0] = L'\0';
    }
}

}  // namespace quorvel::discovery

CxDeviceFind::CxDeviceFind()
    : m_hDevInfo(INVALID_HANDLE_VALUE),
      m_nIndex(-1),
      m_guidDevice(),
      m_guidClass(),
      m_pLink(nullptr) {
    std::memset(m_szInstanceID, 0, sizeof m_szInstanceID);
    std::memset(m_szDevicePath, 0, sizeof m_szDevicePath);
    std::memset(m_szHardwareID, 0, sizeof m_szHardwareID);
    std::memset(m_szFriendlyName, 0, sizeof m_szFriendlyName);
    std::memset(m_szLocationInfo, 0, sizeof m_szLocationInfo);
    std::memset(m_szDescription, 0, sizeof m_szDescription);
}

CxDeviceFind::CxDeviceFind(const CxDeviceFind& other) : m_pLink(nullptr) { *this = other; }

CxDeviceFind& CxDeviceFind::operator=(const CxDeviceFind& other) {
    if (this != &other) {
        Close();  // lets go of whatever this object held
        DeviceSet(m_hDevInfo, m_pLink, this).ShareFrom(other.m_hDevInfo, other.m_pLink);
        m_nIndex = other.m_nIndex;
        m_guidDevice = other.m_guidDevice;
        m_guidClass = other.m_guidClass;
        std::memcpy(m_szInstanceID, other.m_szInstanceID, sizeof m_szInstanceID);
        std::memcpy(m_szDevicePath, other.m_szDevicePath, sizeof m_szDevicePath);
        std::memcpy(m_szHardwareID, other.m_szHardwareID, sizeof m_szHardwareID);
        std::memcpy(m_szFriendlyName, other.m_szFriendlyName, sizeof m_szFriendlyName);
        std::memcpy(m_szLocationInfo, other.m_szLocationInfo, sizeof m_szLocationInfo);
        std::memcpy(m_szDescription, other.m_szDescription, sizeof m_szDescription);
    }
    return *this;
}

CxDeviceFind::~CxDeviceFind() { Close(); }

void CxDeviceFind::Close() {
    DeviceSet(m_hDevInfo, m_pLink, this).Release();
    m_nIndex = -1;
}

int CxDeviceFind::FindDevice(GUID* pGuid) {
    Close();
    if (!pGuid) return Fail(ERROR_INVALID_PARAMETER);
    m_guidDevice = *pGuid;
    HDEVINFO hDevInfo = os::SetupDiGetClassDevsW(&m_guidDevice, nullptr, nullptr,
                                                 DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (hDevInfo == INVALID_HANDLE_VALUE) return quorvel::FailedCall("SetupDiGetClassDevsW");
    if (!DeviceSet(m_hDevInfo, m_pLink, this).Adopt(hDevInfo)) return 0;
    m_nIndex = -1;
    return FindNextDevice();
}

int CxDeviceFind::FindNextDevice() {
    HDEVINFO hDevInfo = DeviceSet(m_hDevInfo, m_pLink, this).Get();
    if (!RequireOpen(hDevInfo != INVALID_HANDLE_VALUE)) return 0;
    SP_DEVICE_INTERFACE_DATA ifdata;
    std::memset(&ifdata, 0, sizeof ifdata);
    ifdata.cbSize = sizeof ifdata;
    ++m_nIndex;
    if (!os::SetupDiEnumDeviceInterfaces(hDevInfo, nullptr, &m_guidDevice,
                                         static_cast<DWORD>(m_nIndex), &ifdata)) {
        // The last error stays: ERROR_NO_MORE_ITEMS after the last.
        return quorvel::FailedCall("SetupDiEnumDeviceInterfaces");
    }

    // The detail record: its size field, then room for 260 characters of path.
    constexpr size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    constexpr DWORD kDetailBytes = static_cast<DWORD>(kPathOffset + kTextBytes);
    union {
        SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
        BYTE bytes[kDetailBytes + sizeof(wchar_t)];
    } buffer;
    std::memset(&buffer, 0, sizeof buffer);
    buffer.detail.cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA devinfo;
    std::memset(&devinfo, 0, sizeof devinfo);
    devinfo.cbSize = sizeof devinfo;
    if (!os::SetupDiGetDeviceInterfaceDetailW(hDevInfo, &ifdata, &buffer.detail, kDetailBytes,
                                              nullptr, &devinfo)) {
        return quorvel::FailedCall("SetupDiGetDeviceInterfaceDetailW");
    }
    m_guidClass = devinfo.ClassGuid;
    CopyBounded(m_szDevicePath, buffer.detail.DevicePath, kTextCch);

    using quorvel::discovery::ReadDeviceText;
    ReadDeviceText(hDevInfo, &devinfo, SPDRP_HARDWAREID, m_szHardwareID);
    ReadDeviceText(hDevInfo, &devinfo, SPDRP_FRIENDLYNAME, m_szFriendlyName);
    ReadDeviceText(hDevInfo, &devinfo, SPDRP_LOCATION_INFORMATION, m_szLocationInfo);
    ReadDeviceText(hDevInfo, &devinfo, SPDRP_DEVICEDESC, m_szDescription);
    quorvel::discovery::ReadInstanceID(hDevInfo, &devinfo, m_szInstanceID);
    return 1;
}

static void CopyText(wchar_t* pszTo, const wchar_t* pszFrom) {
    if (pszTo) CopyBounded(pszTo, pszFrom, kTextCch);
}

void CxDeviceFind::GetDevicePath(wchar_t* pszPath) { CopyText(pszPath, m_szDevicePath); }
void CxDeviceFind::GetDeviceInstanceID(wchar_t* pszID) { CopyText(pszID, m_szInstanceID); }
void CxDeviceFind::GetDeviceHardwareID(wchar_t* pszID) { CopyText(pszID, m_szHardwareID); }
void CxDeviceFind::GetDeviceFriendlyName(wchar_t* pszName) { CopyText(pszName, m_szFriendlyName); }
void CxDeviceFind::GetDeviceLocationInfo(wchar_t* pszInfo) { CopyText(pszInfo, m_szLocationInfo); }
void CxDeviceFind::GetDeviceDescription(wchar_t* pszDesc) { CopyText(pszDesc, m_szDescription); }

void CxDeviceFind::GetClassGuid(GUID* pGuid) {
    if (pGuid) *pGuid = m_guidClass;
}

void CxDeviceFind::GetDeviceGuid(GUID* pGuid) {
    if (pGuid) *pGuid = m_guidDevice;
}
