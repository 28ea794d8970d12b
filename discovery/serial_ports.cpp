// CxSerialPortFind: the device map and the COM-port interface class merged
// into one list of serial ports.
#include "quorvel/discovery.h"

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <new>

#include "core/error.h"
#include "core/owner.h"
#include "discovery/device_text.h"
#include "discovery/port_list.h"
#include "platform/os.h"

namespace os = quorvel::os;
using quorvel::Fail;
using quorvel::PortEntry;
using quorvel::RequireOpen;
using quorvel::SerialPortList;
using Text = quorvel::PortText;

namespace quorvel::ports {

bool Append(SerialPortList* list, const PortEntry& port) {
    if (list->count == list->capacity) {
        size_t capacity = list->capacity ? list->capacity * 2 : 8;
        PortEntry* ports = new (std::nothrow) PortEntry[capacity];
        if (!ports) return false;
        if (list->count) std::memcpy(ports, list->ports, list->count * sizeof(PortEntry));
        delete[] list->ports;
        list->ports = ports;
        list->capacity = capacity;
    }
    list->ports[list->count++] = port;
    return true;
}

void ClearPorts(SerialPortList* list) {
    delete[] list->ports;
    list->ports = nullptr;
    list->count = list->capacity = 0;
    list->open = false;
}

SerialPortList* NewList() {
    SerialPortList* list = new (std::nothrow) SerialPortList;
    if (list) std::memset(list, 0, sizeof *list);
    return list;
}

void DeleteList(SerialPortList* list) {
    if (!list) return;
    ClearPorts(list);
    delete list;
}

}  // namespace quorvel::ports

using quorvel::ports::Append;
using quorvel::ports::ClearPorts;
using quorvel::ports::DeleteList;
using quorvel::ports::NewList;

namespace {

constexpr size_t kTextCapacity = QV_DEVICE_TEXT_CCH;  // characters, with the terminator

const wchar_t kSerialMap[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

// The error a failed step left, never 0.
DWORD FailureError() {
    DWORD dwError = os::GetLastError();
    return dwError ? dwError : ERROR_GEN_FAILURE;
}

size_t Length(const Text& text) { return std::wcslen(text.sz); }
bool Empty(const Text& text) { return text.sz[0] == L'\0'; }
void Clear(Text* text) { text->sz[0] = L'\0'; }

// Sets text to count characters of psz (up to its first NUL), cut to fit.
void Assign(Text* text, const wchar_t* psz, size_t count) {
    size_t n = quorvel::BoundedLength(psz, count < kTextCapacity - 1 ? count : kTextCapacity - 1);
    std::memcpy(text->sz, psz, n * sizeof(wchar_t));
    text->sz[n] = L'\0';
}

wchar_t Upper(wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); }
bool IsHex(wchar_t c) { return std::iswxdigit(c) != 0; }
bool IsDigit(wchar_t c) { return std::iswdigit(c) != 0; }

// Compares two texts without case: negative, 0 or positive.
int CompareNoCase(const Text& a, const Text& b) {
    for (size_t i = 0;; ++i) {
        wchar_t x = Upper(a.sz[i]), y = Upper(b.sz[i]);
        if (x != y) return x < y ? -1 : 1;
        if (!x) return 0;
    }
}

// Whether text starts with prefix (upper case), without case.
bool StartsNoCase(const wchar_t* text, const wchar_t* prefix) {
    for (; *prefix; ++text, ++prefix) {
        if (Upper(*text) != *prefix) return false;
    }
    return true;
}

// Copies text into a caller buffer of kTextCapacity characters.
void CopyOut(const Text& text, wchar_t* pszOut) {
    if (!pszOut) return;
    std::memcpy(pszOut, text.sz, (Length(text) + 1) * sizeof(wchar_t));
}

// The four hex digits after key ("VID_", upper case) in text, any case;
// false if none.
bool FindId(const Text& text, const wchar_t* key, unsigned short* pwId) {
    size_t length = Length(text);
    size_t keyLength = std::wcslen(key);
    for (size_t at = 0; at + keyLength <= length; ++at) {
        if (!StartsNoCase(text.sz + at, key)) continue;
        size_t digits = at + keyLength;
        if (digits + 4 > length) break;
        unsigned value = 0;
        bool bHex = true;
        for (size_t i = digits; i < digits + 4; ++i) {
            wchar_t c = Upper(text.sz[i]);
            if (!IsHex(c)) {
                bHex = false;
                break;
            }
            value = value * 16 + static_cast<unsigned>(c <= L'9' ? c - L'0' : c - L'A' + 10);
        }
        if (!bHex) continue;
        if (digits + 4 < length && IsHex(text.sz[digits + 4])) continue;
        *pwId = static_cast<unsigned short>(value);
        return true;
    }
    return false;
}

// Vendor, product and serial number, where the identifiers carry them.
void ParseUsbIdentity(PortEntry* port) {
    unsigned short wVendor = 0, wProduct = 0;
    const Text* ids[] = {&port->hardwareID, &port->instanceID};
    for (const Text* id : ids) {
        if (FindId(*id, L"VID_", &wVendor) && FindId(*id, L"PID_", &wProduct)) {
            port->bUsb = true;
            port->wVendorId = wVendor;
            port->wProductId = wProduct;
            break;
        }
    }
    const wchar_t* instance = port->instanceID.sz;
    const wchar_t* slash = std::wcsrchr(instance, L'\\');
    if (StartsNoCase(instance, L"USB\\") && slash && slash[1] && !std::wcschr(slash, L'&')) {
        Assign(&port->serial, slash + 1, kTextCapacity);
    }
}

// The remote device of a port of the Bluetooth serial profile: the system
// enumerates it under "BTHENUM", and the last component of its instance ID
// ends in "&<12 hex digits>_<service>", the remote address (all zeros for a
// port that waits for incoming connections, which has no remote device).
void ParseBluetoothIdentity(PortEntry* port) {
    const wchar_t* instance = port->instanceID.sz;
    if (!StartsNoCase(instance, L"BTHENUM\\")) return;
    const wchar_t* last = std::wcsrchr(instance, L'\\');
    const wchar_t* amp = std::wcsrchr(last, L'&');
    if (!amp) return;
    unsigned long long ullAddress = 0;
    for (int i = 1; i <= 12; ++i) {
        wchar_t c = Upper(amp[i]);
        if (!IsHex(c)) return;
        ullAddress = ullAddress * 16 + static_cast<unsigned>(c <= L'9' ? c - L'0' : c - L'A' + 10);
    }
    if ((amp[13] != L'_' && amp[13] != L'\0') || !ullAddress) return;
    port->bBluetooth = true;
    port->ullBluetoothAddress = ullAddress;
}

// The remote device's name as the Bluetooth stack records it: the "Name"
// value (UTF-8 bytes) of its key under the stack's device records, named by
// the address in 12 hex digits. Empty where the system has none.
void ReadBluetoothName(PortEntry* port) {
    wchar_t szKey[96];
    os::wsprintfW(szKey,
                  L"SYSTEM\\CurrentControlSet\\Services\\BTHPORT\\Parameters\\Devices\\%04x%08x",
                  static_cast<unsigned>(port->ullBluetoothAddress >> 32),
                  static_cast<unsigned>(port->ullBluetoothAddress & 0xFFFFFFFFu));
    quorvel::ScopedRegistryKey key;
    if (os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, szKey, 0, KEY_READ, key.receive()) != ERROR_SUCCESS) {
        static_cast<void>(key.release());  // nothing was opened: nothing to close
        return;
    }
    char acName[kTextCapacity * 3];  // UTF-8 of a name that fits the text
    DWORD dwType = 0;
    DWORD cbName = sizeof acName;
    if (os::RegQueryValueExW(key.get(), L"Name", nullptr, &dwType, reinterpret_cast<BYTE*>(acName),
                             &cbName) != ERROR_SUCCESS ||
        dwType != REG_BINARY) {
        return;
    }
    int cb = 0;
    while (cb < static_cast<int>(cbName) && acName[cb]) ++cb;
    int cch = cb ? os::MultiByteToWideChar(CP_UTF8, 0, acName, cb, port->bluetoothName.sz,
                                           static_cast<int>(kTextCapacity - 1))
                 : 0;
    port->bluetoothName.sz[cch > 0 ? cch : 0] = L'\0';
}

// "COM3" from a friendly name that ends in "(COM3)"; empty otherwise.
void NameFromFriendlyName(const Text& friendly, Text* name) {
    Clear(name);
    size_t length = Length(friendly);
    if (length == 0 || friendly.sz[length - 1] != L')') return;
    const wchar_t* open = std::wcsrchr(friendly.sz, L'(');
    if (!open) return;
    const wchar_t* inside = open + 1;
    size_t insideLength = static_cast<size_t>(friendly.sz + length - 1 - inside);
    if (insideLength < 4 || !StartsNoCase(inside, L"COM")) return;
    for (size_t i = 3; i < insideLength; ++i) {
        if (!IsDigit(inside[i])) return;
    }
    Assign(name, inside, insideLength);
}

// Natural order for a person: runs of digits compare by value, the rest
// without case; named ports before unnamed ones, which go by path.
bool NaturalLess(const PortEntry& a, const PortEntry& b) {
    if (Empty(a.portName) != Empty(b.portName)) return Empty(b.portName);
    if (Empty(a.portName)) return CompareNoCase(a.path, b.path) < 0;
    const wchar_t* x = a.portName.sz;
    const wchar_t* y = b.portName.sz;
    size_t xSize = Length(a.portName), ySize = Length(b.portName);
    size_t i = 0, j = 0;
    while (i < xSize && j < ySize) {
        if (IsDigit(x[i]) && IsDigit(y[j])) {
            size_t iEnd = i, jEnd = j;
            while (iEnd < xSize && IsDigit(x[iEnd])) ++iEnd;
            while (jEnd < ySize && IsDigit(y[jEnd])) ++jEnd;
            // Compare by value without converting: leading zeros off, then
            // the longer number is larger, then digit by digit.
            size_t iStart = i, jStart = j;
            while (iStart + 1 < iEnd && x[iStart] == L'0') ++iStart;
            while (jStart + 1 < jEnd && y[jStart] == L'0') ++jStart;
            if (iEnd - iStart != jEnd - jStart) return iEnd - iStart < jEnd - jStart;
            for (size_t k = 0; k < iEnd - iStart; ++k) {
                if (x[iStart + k] != y[jStart + k]) return x[iStart + k] < y[jStart + k];
            }
            i = iEnd;
            j = jEnd;
        } else {
            if (Upper(x[i]) != Upper(y[j])) return Upper(x[i]) < Upper(y[j]);
            ++i;
            ++j;
        }
    }
    if (xSize - i != ySize - j) return xSize - i < ySize - j;
    return CompareNoCase(a.portName, b.portName) < 0;  // "COM01" and "COM1": a fixed order
}

PortEntry* FindByName(SerialPortList* list, const Text& name) {
    for (size_t i = 0; i < list->count; ++i) {
        PortEntry& port = list->ports[i];
        if (!Empty(port.portName) && CompareNoCase(port.portName, name) == 0) return &port;
    }
    return nullptr;
}

// The port names of the device map. ERROR_NOT_ENOUGH_MEMORY; the error of
// a key that cannot be read whole (what was read is listed); or
// ERROR_SUCCESS, also when the map does not exist.
DWORD ReadMap(SerialPortList* list) {
    quorvel::ScopedRegistryKey key;
    LONG lOpened = os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialMap, 0, KEY_READ, key.receive());
    if (lOpened != ERROR_SUCCESS) {
        static_cast<void>(key.release());  // nothing was opened: nothing to close
        return lOpened == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(lOpened);
    }
    HKEY hKey = key.get();
    DWORD dwIncomplete = ERROR_SUCCESS;
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
        // A value too long for the texts is left out; another failure means
        // the map was not read whole.
        if (lStatus != ERROR_SUCCESS && lStatus != ERROR_MORE_DATA && !dwIncomplete) {
            dwIncomplete = static_cast<DWORD>(lStatus);
        }
        if (lStatus != ERROR_SUCCESS || dwType != REG_SZ) continue;
        PortEntry port = {};
        Assign(&port.portName, szData, cbData / sizeof(wchar_t));
        if (Empty(port.portName) || FindByName(list, port.portName)) continue;
        port.nSource = CX_PORT_FROM_MAP;
        if (!Append(list, port)) return ERROR_NOT_ENOUGH_MEMORY;
    }
    return dwIncomplete;
}

// The "PortName" value of the device's parameters key; empty if none.
void DevicePortName(HDEVINFO hDevInfo, SP_DEVINFO_DATA* pDevice, Text* name) {
    Clear(name);
    HKEY hOpened =
        os::SetupDiOpenDevRegKey(hDevInfo, pDevice, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (hOpened == INVALID_HANDLE_VALUE) return;
    quorvel::ScopedRegistryKey key(hOpened);
    if (!key) return;
    wchar_t szName[kTextCapacity + 1] = {};
    DWORD dwType = 0;
    DWORD cbData = kTextCapacity * sizeof(wchar_t);
    LONG lStatus = os::RegQueryValueExW(key.get(), L"PortName", nullptr, &dwType,
                                        reinterpret_cast<BYTE*>(szName), &cbData);
    if (lStatus != ERROR_SUCCESS || dwType != REG_SZ) return;
    Assign(name, szName, cbData / sizeof(wchar_t));
}

// One present COM-port interface: ERROR_SUCCESS, or why it cannot be read
// (ERROR_NOT_ENOUGH_MEMORY if memory ran out).
DWORD ReadInterface(HDEVINFO hDevInfo, SP_DEVICE_INTERFACE_DATA* pInterface, PortEntry* port) {
    SP_DEVINFO_DATA device;
    std::memset(&device, 0, sizeof device);
    device.cbSize = sizeof device;
    DWORD cbDetail = 0;
    os::SetupDiGetDeviceInterfaceDetailW(hDevInfo, pInterface, nullptr, 0, &cbDetail, nullptr);
    if (cbDetail < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return FailureError();
    // Whole DWORDs (the record's alignment), zeroed, with room for a terminator.
    size_t cWords = (cbDetail + sizeof(wchar_t) + sizeof(DWORD) - 1) / sizeof(DWORD);
    DWORD* pBlock = new (std::nothrow) DWORD[cWords]();
    if (!pBlock) return ERROR_NOT_ENOUGH_MEMORY;
    auto* pDetail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(pBlock);
    pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!os::SetupDiGetDeviceInterfaceDetailW(hDevInfo, pInterface, pDetail, cbDetail, nullptr,
                                              &device)) {
        DWORD dwError = FailureError();
        delete[] pBlock;
        return dwError;
    }
    size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    size_t cchPath = (cbDetail - pathOffset) / sizeof(wchar_t);
    size_t pathLength = 0;
    while (pathLength < cchPath && pDetail->DevicePath[pathLength]) ++pathLength;
    if (pathLength < kTextCapacity) Assign(&port->path, pDetail->DevicePath, pathLength);
    delete[] pBlock;

    using quorvel::discovery::ReadDeviceText;
    ReadDeviceText(hDevInfo, &device, SPDRP_FRIENDLYNAME, port->friendlyName.sz);
    ReadDeviceText(hDevInfo, &device, SPDRP_HARDWAREID, port->hardwareID.sz);
    quorvel::discovery::ReadInstanceID(hDevInfo, &device, port->instanceID.sz);
    DevicePortName(hDevInfo, &device, &port->portName);
    if (Empty(port->portName)) NameFromFriendlyName(port->friendlyName, &port->portName);
    port->nSource = CX_PORT_FROM_INTERFACE;
    ParseUsbIdentity(port);
    ParseBluetoothIdentity(port);
    if (port->bBluetooth) ReadBluetoothName(port);
    return ERROR_SUCCESS;
}

// The present COM-port interfaces, merged into the list: as ReadMap. A set
// that cannot be built lists nothing; an interface that cannot be read is
// left out.
DWORD ReadInterfaces(SerialPortList* list) {
    GUID guid = QV_GUID_DEVINTERFACE_COMPORT;
    quorvel::ScopedDeviceInfoSet set(
        os::SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    HDEVINFO hDevInfo = set.get();
    if (!set) return FailureError();
    DWORD dwIncomplete = ERROR_SUCCESS;
    for (DWORD dwIndex = 0;; ++dwIndex) {
        SP_DEVICE_INTERFACE_DATA data;
        std::memset(&data, 0, sizeof data);
        data.cbSize = sizeof data;
        if (!os::SetupDiEnumDeviceInterfaces(hDevInfo, nullptr, &guid, dwIndex, &data)) {
            DWORD dwError = os::GetLastError();
            if (dwError == ERROR_NO_MORE_ITEMS) return dwIncomplete;
            return dwError ? dwError : ERROR_GEN_FAILURE;
        }
        PortEntry found = {};
        if (DWORD dwError = ReadInterface(hDevInfo, &data, &found)) {
            if (dwError == ERROR_NOT_ENOUGH_MEMORY) return dwError;
            if (!dwIncomplete) dwIncomplete = dwError;
            continue;
        }
        if (Empty(found.portName) && Empty(found.path)) continue;  // nothing to open
        PortEntry* known = Empty(found.portName) ? nullptr : FindByName(list, found.portName);
        if (!known) {
            if (!Append(list, found)) return ERROR_NOT_ENOUGH_MEMORY;
        } else if (known->nSource == CX_PORT_FROM_MAP) {
            found.portName = known->portName;  // the map's spelling
            found.nSource = CX_PORT_FROM_BOTH;
            *known = found;
        }
    }
}

// Stable insertion sort: the lists are short.
void SortPorts(SerialPortList* list) {
    for (size_t i = 1; i < list->count; ++i) {
        if (!NaturalLess(list->ports[i], list->ports[i - 1])) continue;
        PortEntry held = list->ports[i];
        size_t j = i;
        for (; j > 0 && NaturalLess(held, list->ports[j - 1]); --j) {
            list->ports[j] = list->ports[j - 1];
        }
        list->ports[j] = held;
    }
}

}  // namespace

namespace quorvel::ports {

DWORD ReadPortList(SerialPortList* list, int* pnIncomplete) {
    if (pnIncomplete) *pnIncomplete = 0;
    // Either source may be missing; the other is listed all the same.
    DWORD dwMap = ReadMap(list);
    if (dwMap == ERROR_NOT_ENOUGH_MEMORY) return dwMap;
    DWORD dwInterfaces = ReadInterfaces(list);
    if (dwInterfaces == ERROR_NOT_ENOUGH_MEMORY) return dwInterfaces;
    if (pnIncomplete) {
        *pnIncomplete = (dwMap ? CX_PORT_FROM_MAP : 0) | (dwInterfaces ? CX_PORT_FROM_INTERFACE : 0);
    }
    for (size_t i = 0; i < list->count; ++i) {
        PortEntry& port = list->ports[i];
        if (Empty(port.portName)) continue;
        wchar_t szPath[4 + kTextCapacity] = L"\\\\.\\";
        std::memcpy(szPath + 4, port.portName.sz, (Length(port.portName) + 1) * sizeof(wchar_t));
        Assign(&port.path, szPath, 4 + kTextCapacity);
    }
    SortPorts(list);
    return dwMap ? dwMap : dwInterfaces;
}

bool SameName(const PortEntry& a, const PortEntry& b) {
    return !Empty(a.portName) && CompareNoCase(a.portName, b.portName) == 0;
}

bool SamePort(const PortEntry& a, const PortEntry& b) {
    return CompareNoCase(a.portName, b.portName) == 0 && CompareNoCase(a.path, b.path) == 0 &&
           CompareNoCase(a.instanceID, b.instanceID) == 0;
}

bool TextEqualsNoCase(const PortText& text, const wchar_t* psz) {
    for (size_t i = 0;; ++i) {
        if (Upper(text.sz[i]) != Upper(psz[i])) return false;
        if (!psz[i]) return true;
    }
}

void BluetoothAddressText(unsigned long long ullAddress, wchar_t* pszText) {
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    wchar_t* at = pszText;
    *at++ = L'(';
    for (int shift = 40; shift >= 0; shift -= 8) {
        unsigned byte = static_cast<unsigned>(ullAddress >> shift) & 0xFF;
        *at++ = kDigits[byte >> 4];
        *at++ = kDigits[byte & 0xF];
        *at++ = shift ? L':' : L')';
    }
    *at = L'\0';
}

}  // namespace quorvel::ports

bool quorvel::PortFindAccess::Reserve(CxSerialPortFind& find) {
    if (!find.m_pList) find.m_pList = NewList();
    SerialPortList* list = find.m_pList;
    if (!list) return false;
    if (list->capacity) return true;
    PortEntry none = {};
    if (!Append(list, none)) return false;
    list->count = 0;
    return true;
}

void quorvel::PortFindAccess::Place(CxSerialPortFind& find, const PortEntry& port) {
    SerialPortList* list = find.m_pList;
    list->ports[0] = port;
    list->count = 1;
    list->current = port;
    list->open = true;
    find.m_nIndex = 0;
}

CxSerialPortFind::CxSerialPortFind() : m_nIndex(-1), m_pList(nullptr) {}

CxSerialPortFind::CxSerialPortFind(const CxSerialPortFind& other) : m_nIndex(-1), m_pList(nullptr) {
    *this = other;
}

CxSerialPortFind& CxSerialPortFind::operator=(const CxSerialPortFind& other) {
    if (this == &other) return *this;
    SerialPortList* copy = nullptr;
    if (other.m_pList) {
        copy = NewList();
        if (copy) {
            copy->current = other.m_pList->current;
            copy->open = other.m_pList->open;
            for (size_t i = 0; i < other.m_pList->count; ++i) {
                if (!Append(copy, other.m_pList->ports[i])) {
                    DeleteList(copy);
                    copy = nullptr;
                    break;
                }
            }
        }
    }
    DeleteList(m_pList);
    m_pList = copy;
    m_nIndex = copy ? other.m_nIndex : -1;
    return *this;
}

CxSerialPortFind::~CxSerialPortFind() {
    DeleteList(m_pList);
    m_pList = nullptr;
}

// Lists the ports; false with ERROR_NOT_ENOUGH_MEMORY if memory ran out. A
// source that cannot be read lists what it could.
static bool ListPorts(SerialPortList*& list) {
    if (!list) list = NewList();
    if (!list || quorvel::ports::ReadPortList(list) == ERROR_NOT_ENOUGH_MEMORY) {
        if (list) ClearPorts(list);
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    list->open = true;
    return true;
}

int CxSerialPortFind::FindPort() {
    Close();
    if (!ListPorts(m_pList)) return 0;
    return FindNextPort();
}

int CxSerialPortFind::FindUsbPort(unsigned short wVendorId, unsigned short wProductId,
                                  const wchar_t* pszSerial) {
    Close();
    if (pszSerial && quorvel::BoundedLength(pszSerial, kTextCapacity) >= kTextCapacity) {
        return Fail(ERROR_INVALID_PARAMETER);  // longer than any serial number listed
    }
    if (!ListPorts(m_pList)) return 0;
    size_t kept = 0;
    for (size_t i = 0; i < m_pList->count; ++i) {
        const PortEntry& port = m_pList->ports[i];
        if (!port.bUsb || port.wVendorId != wVendorId || port.wProductId != wProductId) continue;
        bool bAnySerial = !pszSerial || !pszSerial[0];
        if (!bAnySerial && !quorvel::ports::TextEqualsNoCase(port.serial, pszSerial)) continue;
        m_pList->ports[kept++] = port;
    }
    m_pList->count = kept;
    return FindNextPort();
}

int CxSerialPortFind::FindNextPort() {
    if (!RequireOpen(m_pList && m_pList->open)) return 0;
    if (m_nIndex + 1 >= static_cast<int>(m_pList->count)) return Fail(ERROR_NO_MORE_ITEMS);
    ++m_nIndex;
    m_pList->current = m_pList->ports[m_nIndex];
    return 1;
}

void CxSerialPortFind::Close() {
    if (m_pList) ClearPorts(m_pList);
    m_nIndex = -1;
}

namespace {

// The port read last, or an empty one.
const PortEntry& Current(const SerialPortList* list) {
    static const PortEntry kNoPort = {};
    return list ? list->current : kNoPort;
}

}  // namespace

void CxSerialPortFind::GetPortName(wchar_t* pszName) {
    CopyOut(Current(m_pList).portName, pszName);
}
void CxSerialPortFind::GetDevicePath(wchar_t* pszPath) {
    CopyOut(Current(m_pList).path, pszPath);
}
void CxSerialPortFind::GetFriendlyName(wchar_t* pszName) {
    CopyOut(Current(m_pList).friendlyName, pszName);
}
void CxSerialPortFind::GetHardwareID(wchar_t* pszID) {
    CopyOut(Current(m_pList).hardwareID, pszID);
}
void CxSerialPortFind::GetInstanceID(wchar_t* pszID) {
    CopyOut(Current(m_pList).instanceID, pszID);
}
void CxSerialPortFind::GetSerialNumber(wchar_t* pszSerial) {
    CopyOut(Current(m_pList).serial, pszSerial);
}
int CxSerialPortFind::GetSource() { return Current(m_pList).nSource; }

int CxSerialPortFind::GetBluetoothAddress(unsigned long long* pullAddress) {
    const PortEntry& port = Current(m_pList);
    if (pullAddress) *pullAddress = port.bBluetooth ? port.ullBluetoothAddress : 0;
    return port.bBluetooth ? 1 : 0;
}

void CxSerialPortFind::GetBluetoothName(wchar_t* pszName) {
    CopyOut(Current(m_pList).bluetoothName, pszName);
}

int CxSerialPortFind::GetUsbIds(unsigned short* pwVendorId, unsigned short* pwProductId) {
    const PortEntry& port = Current(m_pList);
    if (pwVendorId) *pwVendorId = port.bUsb ? port.wVendorId : 0;
    if (pwProductId) *pwProductId = port.bUsb ? port.wProductId : 0;
    return port.bUsb ? 1 : 0;
}
