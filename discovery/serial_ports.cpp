// CxSerialPortFind: the device map and the COM-port interface class merged
// into one list of serial ports.
#include "quorvel/discovery.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

#include "platform/os.h"

namespace os = quorvel::os;

namespace quorvel {

struct PortEntry {
    std::wstring strPortName, strPath, strFriendlyName, strHardwareID, strInstanceID, strSerial;
    int nSource = 0;
    bool bUsb = false;
    unsigned short wVendorId = 0, wProductId = 0;
};

struct SerialPortList {
    std::vector<PortEntry> ports;
    PortEntry current;  // the port read last
};

}  // namespace quorvel

using quorvel::PortEntry;
using quorvel::SerialPortList;

namespace {

constexpr size_t kTextCapacity = QV_DEVICE_TEXT_CCH;  // characters, with the terminator
const wchar_t kSerialMap[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Each closes its handle once, also when a walk is left half-way.
struct KeyGuard {
    HKEY hKey = nullptr;
    ~KeyGuard() {
        if (hKey && hKey != INVALID_HANDLE_VALUE) os::RegCloseKey(hKey);
    }
};
struct DevInfoGuard {
    HDEVINFO hDevInfo = INVALID_HANDLE_VALUE;
    ~DevInfoGuard() {
        if (hDevInfo != INVALID_HANDLE_VALUE) os::SetupDiDestroyDeviceInfoList(hDevInfo);
    }
};

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

// Text up to the first NUL of a buffer of count characters.
std::wstring FromBuffer(const wchar_t* psz, size_t count) {
    size_t n = 0;
    while (n < count && psz[n]) ++n;
    return std::wstring(psz, n);
}

// Copies text into a caller buffer of kTextCapacity characters, cut to fit.
void CopyOut(const std::wstring& text, wchar_t* pszOut) {
    if (!pszOut) return;
    size_t n = std::min(text.size(), kTextCapacity - 1);
    std::memcpy(pszOut, text.data(), n * sizeof(wchar_t));
    pszOut[n] = L'\0';
}

bool IsHex(wchar_t c) { return std::iswxdigit(c) != 0; }

// The four hex digits after key ("VID_") in text, any case; false if none.
bool FindId(const std::wstring& text, const wchar_t* key, unsigned short* pwId) {
    std::wstring upper = Upper(text);
    size_t keyLength = std::wcslen(key);
    for (size_t at = upper.find(key); at != std::wstring::npos; at = upper.find(key, at + 1)) {
        size_t digits = at + keyLength;
        if (digits + 4 > upper.size()) break;
        if (!std::all_of(upper.begin() + digits, upper.begin() + digits + 4, IsHex)) continue;
        if (digits + 4 < upper.size() && IsHex(upper[digits + 4])) continue;
        *pwId =
            static_cast<unsigned short>(std::wcstoul(upper.substr(digits, 4).c_str(), nullptr, 16));
        return true;
    }
    return false;
}

// Vendor, product and serial number, where the identifiers carry them.
void ParseUsbIdentity(PortEntry* port) {
    unsigned short wVendor = 0, wProduct = 0;
    for (const std::wstring* id : {&port->strHardwareID, &port->strInstanceID}) {
        if (FindId(*id, L"VID_", &wVendor) && FindId(*id, L"PID_", &wProduct)) {
            port->bUsb = true;
            port->wVendorId = wVendor;
            port->wProductId = wProduct;
            break;
        }
    }
    const std::wstring& instance = port->strInstanceID;
    size_t slash = instance.rfind(L'\\');
    if (Upper(instance).rfind(L"USB\\", 0) == 0 && slash != std::wstring::npos &&
        slash + 1 < instance.size() && instance.find(L'&', slash) == std::wstring::npos) {
        port->strSerial = instance.substr(slash + 1);
    }
}

// "COM3" from a friendly name that ends in "(COM3)"; empty otherwise.
std::wstring NameFromFriendlyName(const std::wstring& friendly) {
    if (friendly.empty() || friendly.back() != L')') return std::wstring();
    size_t open = friendly.rfind(L'(');
    if (open == std::wstring::npos) return std::wstring();
    std::wstring inside = friendly.substr(open + 1, friendly.size() - open - 2);
    if (inside.size() < 4 || Upper(inside.substr(0, 3)) != L"COM") return std::wstring();
    if (!std::all_of(inside.begin() + 3, inside.end(),
                     [](wchar_t c) { return std::iswdigit(c) != 0; })) {
        return std::wstring();
    }
    return inside;
}

// Natural order for a person: runs of digits compare by value, the rest
// without case; named ports before unnamed ones, which go by path.
bool NaturalLess(const PortEntry& a, const PortEntry& b) {
    if (a.strPortName.empty() != b.strPortName.empty()) return b.strPortName.empty();
    if (a.strPortName.empty()) return Upper(a.strPath) < Upper(b.strPath);
    const std::wstring x = Upper(a.strPortName), y = Upper(b.strPortName);
    size_t i = 0, j = 0;
    while (i < x.size() && j < y.size()) {
        if (std::iswdigit(x[i]) && std::iswdigit(y[j])) {
            size_t iEnd = i, jEnd = j;
            while (iEnd < x.size() && std::iswdigit(x[iEnd])) ++iEnd;
            while (jEnd < y.size() && std::iswdigit(y[jEnd])) ++jEnd;
            // Compare by value without converting: leading zeros off, then
            // the longer number is larger, then digit by digit.
            size_t iStart = i, jStart = j;
            while (iStart + 1 < iEnd && x[iStart] == L'0') ++iStart;
            while (jStart + 1 < jEnd && y[jStart] == L'0') ++jStart;
            if (iEnd - iStart != jEnd - jStart) return iEnd - iStart < jEnd - jStart;
            int order = x.compare(iStart, iEnd - iStart, y, jStart, jEnd - jStart);
            if (order != 0) return order < 0;
            i = iEnd;
            j = jEnd;
        } else {
            if (x[i] != y[j]) return x[i] < y[j];
            ++i;
            ++j;
        }
    }
    if (x.size() - i != y.size() - j) return x.size() - i < y.size() - j;
    return x < y;  // "COM01" and "COM1": a fixed order all the same
}

PortEntry* FindByName(std::vector<PortEntry>& ports, const std::wstring& name) {
    std::wstring upper = Upper(name);
    for (PortEntry& port : ports) {
        if (!port.strPortName.empty() && Upper(port.strPortName) == upper) return &port;
    }
    return nullptr;
}

// The port names of the device map. False if the key cannot be read.
bool ReadMap(std::vector<PortEntry>& ports) {
    KeyGuard key;
    if (os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialMap, 0, KEY_READ, &key.hKey) !=
        ERROR_SUCCESS) {
        key.hKey = nullptr;
        return false;
    }
    HKEY hKey = key.hKey;
    for (DWORD dwIndex = 0;; ++dwIndex) {
        // Value names such as "\Device\Serial0" are short, but a longer one
        // is skipped rather than ending the walk.
        wchar_t szName[kTextCapacity] = {};
        wchar_t szData[kTextCapacity + 1] = {};
        DWORD dwNameLength = kTextCapacity;
        DWORD dwType = 0;
        DWORD cbData = kTextCapacity * sizeof(wchar_t);
        LONG lStatus = os::RegEnumValueW(hKey, dwIndex, szName, &dwNameLength, nullptr, &dwType,
                                         reinterpret_cast<BYTE*>(szData), &cbData);
        if (lStatus == ERROR_NO_MORE_ITEMS) break;
        if (lStatus != ERROR_SUCCESS || dwType != REG_SZ) continue;
        std::wstring name = FromBuffer(szData, cbData / sizeof(wchar_t));
        if (name.empty() || FindByName(ports, name)) continue;
        PortEntry port;
        port.strPortName = name;
        port.nSource = CX_PORT_FROM_MAP;
        ports.push_back(port);
    }
    return true;
}

std::wstring DeviceText(HDEVINFO hDevInfo, SP_DEVINFO_DATA* pDevice, DWORD dwProperty) {
    wchar_t szText[kTextCapacity] = {};
    DWORD dwType = 0;
    DWORD cbNeeded = 0;
    std::vector<wchar_t> longText;
    const wchar_t* pszText = szText;
    size_t cchText = 0;  // as far as the data reaches
    if (!os::SetupDiGetDeviceRegistryPropertyW(hDevInfo, pDevice, dwProperty, &dwType,
                                               reinterpret_cast<BYTE*>(szText),
                                               kTextCapacity * sizeof(wchar_t), &cbNeeded)) {
        // Too long for the buffer: read it whole, the getters cut it.
        if (os::GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
            cbNeeded <= kTextCapacity * sizeof(wchar_t)) {
            return std::wstring();  // missing
        }
        longText.assign(cbNeeded / sizeof(wchar_t), L'\0');
        DWORD cbRead = 0;
        if (!os::SetupDiGetDeviceRegistryPropertyW(
                hDevInfo, pDevice, dwProperty, &dwType, reinterpret_cast<BYTE*>(longText.data()),
                static_cast<DWORD>(longText.size() * sizeof(wchar_t)), &cbRead)) {
            return std::wstring();  // it grew in between: missing
        }
        pszText = longText.data();
        cchText = std::min<size_t>(cbRead / sizeof(wchar_t), longText.size());
    } else {
        cchText = std::min<size_t>(cbNeeded / sizeof(wchar_t), kTextCapacity);
    }
    if (dwType != REG_SZ && dwType != REG_MULTI_SZ && dwType != REG_EXPAND_SZ) {
        return std::wstring();
    }
    return FromBuffer(pszText, cchText);  // the first string of a list
}

// The "PortName" value of the device's parameters key; empty if none.
std::wstring DevicePortName(HDEVINFO hDevInfo, SP_DEVINFO_DATA* pDevice) {
    KeyGuard key;
    key.hKey =
        os::SetupDiOpenDevRegKey(hDevInfo, pDevice, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key.hKey == INVALID_HANDLE_VALUE || !key.hKey) return std::wstring();
    wchar_t szName[kTextCapacity + 1] = {};
    DWORD dwType = 0;
    DWORD cbData = kTextCapacity * sizeof(wchar_t);
    LONG lStatus = os::RegQueryValueExW(key.hKey, L"PortName", nullptr, &dwType,
                                        reinterpret_cast<BYTE*>(szName), &cbData);
    if (lStatus != ERROR_SUCCESS || dwType != REG_SZ) return std::wstring();
    return FromBuffer(szName, cbData / sizeof(wchar_t));
}

// One present COM-port interface; false if it cannot be read.
bool ReadInterface(HDEVINFO hDevInfo, SP_DEVICE_INTERFACE_DATA* pInterface, PortEntry* port) {
    SP_DEVINFO_DATA device;
    std::memset(&device, 0, sizeof device);
    device.cbSize = sizeof device;
    DWORD cbDetail = 0;
    os::SetupDiGetDeviceInterfaceDetailW(hDevInfo, pInterface, nullptr, 0, &cbDetail, nullptr);
    if (cbDetail < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return false;
    std::vector<unsigned char> detail(cbDetail + sizeof(wchar_t), 0);
    auto* pDetail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detail.data());
    pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!os::SetupDiGetDeviceInterfaceDetailW(hDevInfo, pInterface, pDetail, cbDetail, nullptr,
                                              &device)) {
        return false;
    }
    size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    std::wstring path = FromBuffer(pDetail->DevicePath, (cbDetail - pathOffset) / sizeof(wchar_t));
    if (path.size() < kTextCapacity) port->strPath = path;

    port->strFriendlyName = DeviceText(hDevInfo, &device, SPDRP_FRIENDLYNAME);
    port->strHardwareID = DeviceText(hDevInfo, &device, SPDRP_HARDWAREID);
    wchar_t szInstance[kTextCapacity] = {};
    if (os::SetupDiGetDeviceInstanceIdW(hDevInfo, &device, szInstance, kTextCapacity, nullptr)) {
        port->strInstanceID = FromBuffer(szInstance, kTextCapacity);
    }
    port->strPortName = DevicePortName(hDevInfo, &device);
    if (port->strPortName.empty()) port->strPortName = NameFromFriendlyName(port->strFriendlyName);
    port->nSource = CX_PORT_FROM_INTERFACE;
    ParseUsbIdentity(port);
    return true;
}

// The present COM-port interfaces, merged into ports. False if the set
// cannot be built.
bool ReadInterfaces(std::vector<PortEntry>& ports) {
    GUID guid = QV_GUID_DEVINTERFACE_COMPORT;
    DevInfoGuard set;
    set.hDevInfo =
        os::SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    HDEVINFO hDevInfo = set.hDevInfo;
    if (hDevInfo == INVALID_HANDLE_VALUE) return false;
    for (DWORD dwIndex = 0;; ++dwIndex) {
        SP_DEVICE_INTERFACE_DATA data;
        std::memset(&data, 0, sizeof data);
        data.cbSize = sizeof data;
        if (!os::SetupDiEnumDeviceInterfaces(hDevInfo, nullptr, &guid, dwIndex, &data)) break;
        PortEntry found;
        if (!ReadInterface(hDevInfo, &data, &found)) continue;
        if (found.strPortName.empty() && found.strPath.empty()) continue;  // nothing to open
        PortEntry* known =
            found.strPortName.empty() ? nullptr : FindByName(ports, found.strPortName);
        if (!known) {
            ports.push_back(found);
        } else if (known->nSource == CX_PORT_FROM_MAP) {
            found.strPortName = known->strPortName;  // the map's spelling
            found.nSource = CX_PORT_FROM_BOTH;
            *known = found;
        }
    }
    return true;
}

}  // namespace

CxSerialPortFind::CxSerialPortFind() : m_nIndex(-1), m_pList(nullptr) {}

CxSerialPortFind::CxSerialPortFind(const CxSerialPortFind& other) : m_nIndex(-1), m_pList(nullptr) {
    *this = other;
}

CxSerialPortFind& CxSerialPortFind::operator=(const CxSerialPortFind& other) {
    if (this == &other) return *this;
    SerialPortList* copy = nullptr;
    if (other.m_pList) {
        try {
            copy = new SerialPortList(*other.m_pList);
        } catch (...) {
            copy = nullptr;
        }
    }
    delete m_pList;
    m_pList = copy;
    m_nIndex = copy ? other.m_nIndex : -1;
    return *this;
}

CxSerialPortFind::~CxSerialPortFind() {
    delete m_pList;
    m_pList = nullptr;
}

int CxSerialPortFind::FindPort() {
    Close();
    try {
        if (!m_pList) m_pList = new SerialPortList;
        std::vector<PortEntry> ports;
        // Either source may be missing; the other is listed all the same.
        ReadMap(ports);
        ReadInterfaces(ports);
        for (PortEntry& port : ports) {
            if (!port.strPortName.empty()) port.strPath = L"\\\\.\\" + port.strPortName;
        }
        std::stable_sort(ports.begin(), ports.end(), NaturalLess);
        m_pList->ports.swap(ports);
    } catch (...) {
        if (m_pList) m_pList->ports.clear();
        os::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    return FindNextPort();
}

int CxSerialPortFind::FindNextPort() {
    if (!m_pList || m_nIndex + 1 >= static_cast<int>(m_pList->ports.size())) {
        os::SetLastError(ERROR_NO_MORE_ITEMS);
        return 0;
    }
    ++m_nIndex;
    try {
        m_pList->current = m_pList->ports[m_nIndex];
    } catch (...) {
        os::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    return 1;
}

void CxSerialPortFind::Close() {
    if (m_pList) m_pList->ports.clear();
    m_nIndex = -1;
}

namespace {

// The port read last, or an empty one.
const PortEntry& Current(const SerialPortList* list) {
    static const PortEntry kNoPort;
    return list ? list->current : kNoPort;
}

}  // namespace

void CxSerialPortFind::GetPortName(wchar_t* pszName) {
    CopyOut(Current(m_pList).strPortName, pszName);
}
void CxSerialPortFind::GetDevicePath(wchar_t* pszPath) {
    CopyOut(Current(m_pList).strPath, pszPath);
}
void CxSerialPortFind::GetFriendlyName(wchar_t* pszName) {
    CopyOut(Current(m_pList).strFriendlyName, pszName);
}
void CxSerialPortFind::GetHardwareID(wchar_t* pszID) {
    CopyOut(Current(m_pList).strHardwareID, pszID);
}
void CxSerialPortFind::GetInstanceID(wchar_t* pszID) {
    CopyOut(Current(m_pList).strInstanceID, pszID);
}
void CxSerialPortFind::GetSerialNumber(wchar_t* pszSerial) {
    CopyOut(Current(m_pList).strSerial, pszSerial);
}
int CxSerialPortFind::GetSource() { return Current(m_pList).nSource; }

int CxSerialPortFind::GetUsbIds(unsigned short* pwVendorId, unsigned short* pwProductId) {
    const PortEntry& port = Current(m_pList);
    if (pwVendorId) *pwVendorId = port.bUsb ? port.wVendorId : 0;
    if (pwProductId) *pwProductId = port.bUsb ? port.wProductId : 0;
    return port.bUsb ? 1 : 0;
}
