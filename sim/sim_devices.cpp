#include "sim/sim_devices.h"

#include <setupapi.h>

#include <dbt.h>

#include <cassert>
#include <cstring>
#include <cwchar>
#include <mutex>

#include "platform/os.h"

namespace os = quorvel::os;

namespace qvsim {
namespace {

const wchar_t kDeviceClasses[] = L"System\\CurrentControlSet\\Control\\DeviceClasses\\";
const wchar_t kDeviceMap[] = L"HARDWARE\\DEVICEMAP\\";
constexpr DWORD kIdLength = 200;

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

bool SetText(HDEVINFO set, SP_DEVINFO_DATA* dev, DWORD property, const std::wstring& text) {
    return SetupDiSetDeviceRegistryPropertyW(
        set, dev, property, reinterpret_cast<const BYTE*>(text.c_str()),
        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

DeviceDesc PortLikeDevice(const std::wstring& name, const GUID& interfaceClass) {
    DeviceDesc desc;
    desc.interfaceClass = interfaceClass;
    desc.setupClass = kPortsSetupClass;
    desc.name = name;
    desc.hardwareIds = {L"QV\\" + name, L"QV\\SECOND"};
    desc.friendlyName = L"Friendly " + name;
    desc.locationInfo = L"Bay " + name;
    desc.description = L"Description " + name;
    return desc;
}

SimDevice::SimDevice(const DeviceDesc& desc) : m_desc(desc) { m_ok = Create(); }

bool SimDevice::Create() {
    m_dev.cbSize = sizeof m_dev;
    m_iface.cbSize = sizeof m_iface;
    m_set = SetupDiCreateDeviceInfoList(&m_desc.setupClass, nullptr);
    if (m_set == INVALID_HANDLE_VALUE) return Fail(GetLastError());
    bool generated = m_desc.instanceId.empty();
    const wchar_t* deviceName = generated ? m_desc.name.c_str() : m_desc.instanceId.c_str();
    if (!SetupDiCreateDeviceInfoW(m_set, deviceName, &m_desc.setupClass, nullptr, nullptr,
                                  generated ? DICD_GENERATE_ID : 0, &m_dev)) {
        return Fail(GetLastError());
    }
    if (!SetupDiRegisterDeviceInfo(m_set, &m_dev, 0, nullptr, nullptr, nullptr)) {
        DWORD error = GetLastError();
        SetupDiDeleteDeviceInfo(m_set, &m_dev);
        return Fail(error);
    }
    m_haveDev = true;
    wchar_t id[kIdLength] = {};
    if (!SetupDiGetDeviceInstanceIdW(m_set, &m_dev, id, kIdLength, nullptr)) {
        return Fail(GetLastError());
    }
    m_instanceId = id;

    if (!m_desc.hardwareIds.empty()) {
        std::wstring multi;
        for (const auto& hwid : m_desc.hardwareIds) multi += hwid + L'\0';
        multi += L'\0';
        if (!SetupDiSetDeviceRegistryPropertyW(
                m_set, &m_dev, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(multi.data()),
                static_cast<DWORD>(multi.size() * sizeof(wchar_t)))) {
            return Fail(GetLastError());
        }
    }
    if (m_desc.friendlyName && !SetText(m_set, &m_dev, SPDRP_FRIENDLYNAME, *m_desc.friendlyName)) {
        return Fail(GetLastError());
    }
    if (m_desc.locationInfo &&
        !SetText(m_set, &m_dev, SPDRP_LOCATION_INFORMATION, *m_desc.locationInfo)) {
        return Fail(GetLastError());
    }
    if (m_desc.description && !SetText(m_set, &m_dev, SPDRP_DEVICEDESC, *m_desc.description)) {
        return Fail(GetLastError());
    }
    if (m_desc.portName) {
        HKEY params = SetupDiCreateDevRegKeyW(m_set, &m_dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                              nullptr, nullptr);
        if (params == INVALID_HANDLE_VALUE) return Fail(GetLastError());
        const std::wstring& port = *m_desc.portName;
        LONG status = RegSetValueExW(params, L"PortName", 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>(port.c_str()),
                                     static_cast<DWORD>((port.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(params);
        if (status != ERROR_SUCCESS) return Fail(static_cast<DWORD>(status));
    }

    HKEY parent = nullptr;
    std::wstring parentKey = std::wstring(kDeviceClasses) + GuidText(m_desc.interfaceClass);
    m_parentExisted =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, parentKey.c_str(), 0, KEY_READ, &parent) == ERROR_SUCCESS;
    if (parent) RegCloseKey(parent);
    if (!SetupDiCreateDeviceInterfaceW(m_set, &m_dev, &m_desc.interfaceClass, nullptr, 0,
                                       &m_iface)) {
        return Fail(GetLastError());
    }
    m_haveIface = true;
    union {
        SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
        BYTE bytes[4096];
    } buffer = {};
    buffer.detail.cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(m_set, &m_iface, &buffer.detail, sizeof buffer, nullptr,
                                          nullptr)) {
        return Fail(GetLastError());
    }
    m_path = buffer.detail.DevicePath;

    // "\\?\root#x#0000#{guid}" is kept as "##?#root#x#0000#{guid}".
    m_classParent = std::wstring(kDeviceClasses) + GuidText(m_desc.interfaceClass);
    m_classKey = m_classParent + L"\\##?#" + m_path.substr(4);
    if (m_desc.linked) {
        HKEY key = nullptr;
        LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, (m_classKey + L"\\#\\Control").c_str(), 0,
                                      nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        if (status != ERROR_SUCCESS) return Fail(static_cast<DWORD>(status));
        DWORD linked = 1;
        status = RegSetValueExW(key, L"Linked", 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&linked), sizeof linked);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS) return Fail(static_cast<DWORD>(status));
    }
    return true;
}

SimDevice::~SimDevice() { Remove(); }

bool SimDevice::Fail(DWORD error) {
    if (!m_error) m_error = error ? error : ERROR_GEN_FAILURE;
    return false;
}

void SimDevice::Remove() {
    if (m_set == INVALID_HANDLE_VALUE) return;
    if (m_haveIface) SetupDiRemoveDeviceInterface(m_set, &m_iface);
    if (!m_classKey.empty()) {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_classKey.c_str());
        // The class's own key goes too if this device brought it, and only
        // once no other interface is left under it.
        if (!m_parentExisted) RegDeleteKeyW(HKEY_LOCAL_MACHINE, m_classParent.c_str());
    }
    if (m_haveDev) SetupDiRemoveDevice(m_set, &m_dev);
    SetupDiDestroyDeviceInfoList(m_set);
    m_set = INVALID_HANDLE_VALUE;
    m_haveIface = m_haveDev = false;
}

DeviceMapValue::DeviceMapValue(const wchar_t* map, const std::wstring& name,
                               const std::wstring& port)
    : DeviceMapValue(map, name, port.c_str(),
                     static_cast<DWORD>((port.size() + 1) * sizeof(wchar_t)), REG_SZ) {}

DeviceMapValue::DeviceMapValue(const wchar_t* map, const std::wstring& name, const void* data,
                               DWORD cb, DWORD type)
    : m_key(std::wstring(kDeviceMap) + map), m_name(name) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, m_key.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    m_ok = RegSetValueExW(key, m_name.c_str(), 0, type, static_cast<const BYTE*>(data), cb) ==
           ERROR_SUCCESS;
    RegCloseKey(key);
}

DeviceMapValue::~DeviceMapValue() {
    if (!m_ok) return;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_key.c_str(), 0, KEY_ALL_ACCESS, &key) ==
        ERROR_SUCCESS) {
        RegDeleteValueW(key, m_name.c_str());
        RegCloseKey(key);
    }
}

std::vector<std::wstring> ReadDeviceMap(const wchar_t* map) {
    std::vector<std::wstring> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kDeviceMap) + map).c_str(), 0, KEY_READ,
                      &key) != ERROR_SUCCESS) {
        return ports;
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[16384];
        DWORD cchName = 16384;
        BYTE data[4096] = {};
        DWORD cbData = sizeof data - sizeof(wchar_t);
        DWORD type = 0;
        LONG status = RegEnumValueW(key, i, name, &cchName, nullptr, &type, data, &cbData);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) continue;
        ports.emplace_back(reinterpret_cast<const wchar_t*>(data));
    }
    RegCloseKey(key);
    return ports;
}

namespace {

constexpr BYTE kFillerByte = 0x23;  // characters U+2323 in the text

struct Filler {
    decltype(os::RegEnumValueW) realEnum = nullptr;
    decltype(os::RegQueryValueExW) realQuery = nullptr;
    int filled = 0;
};
Filler* g_filler = nullptr;

// Fills bytes [from, to) of a buffer with the filler.
void Fill(void* buffer, DWORD from, DWORD to) {
    std::memset(static_cast<BYTE*>(buffer) + from, kFillerByte, to - from);
}

LSTATUS WINAPI FillingEnumValue(HKEY key, DWORD index, LPWSTR name, LPDWORD cchName,
                                LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD cbData) {
    DWORD nameCapacity = cchName ? *cchName : 0;
    DWORD dataCapacity = cbData ? *cbData : 0;
    LSTATUS status =
        g_filler->realEnum(key, index, name, cchName, reserved, type, data, cbData);
    if (status != ERROR_SUCCESS) return status;
    if (name && cchName && *cchName + 1 < nameCapacity) {
        Fill(name, (*cchName + 1) * sizeof(wchar_t), nameCapacity * sizeof(wchar_t));
    }
    if (data && cbData && *cbData < dataCapacity) Fill(data, *cbData, dataCapacity);
    ++g_filler->filled;
    return status;
}

LSTATUS WINAPI FillingQueryValue(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type,
                                 LPBYTE data, LPDWORD cbData) {
    DWORD dataCapacity = cbData ? *cbData : 0;
    LSTATUS status = g_filler->realQuery(key, name, reserved, type, data, cbData);
    if (status != ERROR_SUCCESS) return status;
    if (data && cbData && *cbData < dataCapacity) Fill(data, *cbData, dataCapacity);
    ++g_filler->filled;
    return status;
}

}  // namespace

RegistryFiller::RegistryFiller() {
    assert(!g_filler && "one RegistryFiller at a time");
    g_filler = new Filler;
    g_filler->realEnum = os::RegEnumValueW;
    g_filler->realQuery = os::RegQueryValueExW;
    os::RegEnumValueW = &FillingEnumValue;
    os::RegQueryValueExW = &FillingQueryValue;
}

RegistryFiller::~RegistryFiller() {
    os::RegEnumValueW = g_filler->realEnum;
    os::RegQueryValueExW = g_filler->realQuery;
    delete g_filler;
    g_filler = nullptr;
}

int RegistryFiller::Filled() const { return g_filler->filled; }

}  // namespace qvsim

namespace qvsim {

// ---- ComPortNode ---------------------------------------------------------

DeviceDesc ComPortNode::Desc(const std::wstring& port, const std::wstring& instanceId,
                             const std::wstring& friendly) {
    DeviceDesc desc;
    desc.interfaceClass = kComPortInterface;
    desc.setupClass = kPortsSetupClass;
    desc.name = L"QVSIMPORT";
    desc.instanceId = instanceId;
    desc.hardwareIds = {instanceId.substr(0, instanceId.rfind(L'\\'))};
    desc.friendlyName = friendly + L" (" + port + L")";
    desc.portName = port;
    return desc;
}

ComPortNode::ComPortNode(const std::wstring& port, const std::wstring& instanceId, bool mapped,
                         const std::wstring& friendly)
    : m_device(Desc(port, instanceId, friendly)) {
    if (mapped) m_map.emplace(L"SERIALCOMM", L"\\Device\\QvSim" + port, port);
}

void ComPortNode::Remove() {
    m_map.reset();
    m_device.Remove();
}

// ---- BluetoothDeviceRecord -------------------------------------------------

BluetoothDeviceRecord::BluetoothDeviceRecord(unsigned long long address,
                                             const std::string& utf8Name) {
    wchar_t hex[16] = {};
    swprintf(hex, 16, L"%04x%08x", static_cast<unsigned>(address >> 32),
             static_cast<unsigned>(address & 0xFFFFFFFFu));
    const std::wstring parts[] = {L"SYSTEM\\CurrentControlSet\\Services\\BTHPORT", L"\\Parameters",
                                  L"\\Devices", std::wstring(L"\\") + hex};
    std::wstring key;
    for (const std::wstring& part : parts) {
        key += part;
        HKEY opened = nullptr;
        if (m_made.empty() &&
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) {
            m_made = key;
        }
        if (opened) RegCloseKey(opened);
    }
    HKEY device = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &device, nullptr) != ERROR_SUCCESS) {
        return;
    }
    m_ok = RegSetValueExW(device, L"Name", 0, REG_BINARY,
                          reinterpret_cast<const BYTE*>(utf8Name.c_str()),
                          static_cast<DWORD>(utf8Name.size() + 1)) == ERROR_SUCCESS;
    RegCloseKey(device);
}

BluetoothDeviceRecord::~BluetoothDeviceRecord() {
    if (!m_made.empty()) RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_made.c_str());
    if (!m_made.empty()) RegDeleteKeyW(HKEY_LOCAL_MACHINE, m_made.c_str());
}

// ---- DeviceNotifier ----------------------------------------------------------

namespace {

struct Notifier {
    decltype(os::RegisterDeviceNotificationW) realRegister = nullptr;
    decltype(os::UnregisterDeviceNotification) realUnregister = nullptr;
    mutable std::mutex lock;
    std::vector<DeviceNotifier::Registration> registrations;
    int unregistered = 0;
    int bad = 0;
    DWORD refuse = 0;
};
Notifier* g_notifier = nullptr;

// Handle n is the registration at index n - 1.
HDEVNOTIFY WINAPI RegisterNotification(HANDLE recipient, LPVOID filter, DWORD flags) {
    std::lock_guard<std::mutex> held(g_notifier->lock);
    if (g_notifier->refuse) {
        SetLastError(g_notifier->refuse);
        return nullptr;
    }
    DeviceNotifier::Registration r = {};
    r.hwnd = static_cast<HWND>(recipient);
    r.flags = flags;
    if (filter) {
        auto* header = static_cast<DEV_BROADCAST_HDR*>(filter);
        r.deviceType = header->dbch_devicetype;
        if (r.deviceType == DBT_DEVTYP_DEVICEINTERFACE) {
            auto* record = static_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(filter);
            r.interfaceClass = record->dbcc_classguid;
        }
    }
    r.open = true;
    g_notifier->registrations.push_back(r);
    return reinterpret_cast<HDEVNOTIFY>(static_cast<UINT_PTR>(g_notifier->registrations.size()));
}

BOOL WINAPI UnregisterNotification(HDEVNOTIFY handle) {
    std::lock_guard<std::mutex> held(g_notifier->lock);
    UINT_PTR n = reinterpret_cast<UINT_PTR>(handle);
    if (n == 0 || n > g_notifier->registrations.size() || !g_notifier->registrations[n - 1].open) {
        ++g_notifier->bad;
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    g_notifier->registrations[n - 1].open = false;
    ++g_notifier->unregistered;
    return TRUE;
}

}  // namespace

DeviceNotifier::DeviceNotifier() {
    assert(!g_notifier && "one DeviceNotifier at a time");
    g_notifier = new Notifier;
    g_notifier->realRegister = os::RegisterDeviceNotificationW;
    g_notifier->realUnregister = os::UnregisterDeviceNotification;
    os::RegisterDeviceNotificationW = &RegisterNotification;
    os::UnregisterDeviceNotification = &UnregisterNotification;
}

DeviceNotifier::~DeviceNotifier() {
    os::RegisterDeviceNotificationW = g_notifier->realRegister;
    os::UnregisterDeviceNotification = g_notifier->realUnregister;
    delete g_notifier;
    g_notifier = nullptr;
}

std::vector<DeviceNotifier::Registration> DeviceNotifier::Registrations() const {
    std::lock_guard<std::mutex> held(g_notifier->lock);
    return g_notifier->registrations;
}

int DeviceNotifier::Unregistered() const {
    std::lock_guard<std::mutex> held(g_notifier->lock);
    return g_notifier->unregistered;
}

int DeviceNotifier::Bad() const {
    std::lock_guard<std::mutex> held(g_notifier->lock);
    return g_notifier->bad;
}

void DeviceNotifier::Refuse(DWORD error) {
    std::lock_guard<std::mutex> held(g_notifier->lock);
    g_notifier->refuse = error;
}

int DeviceNotifier::Send(bool arrival, const std::wstring& path) {
    std::vector<HWND> windows;
    for (const Registration& r : Registrations()) {
        if (r.open) windows.push_back(r.hwnd);
    }
    // The record with the path after its fixed part, as the system builds it.
    std::vector<BYTE> block(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) +
                            path.size() * sizeof(wchar_t));
    auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(block.data());
    record->dbcc_size = static_cast<DWORD>(block.size());
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record->dbcc_classguid = kComPortInterface;
    std::memcpy(record->dbcc_name, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    int reached = 0;
    for (HWND hwnd : windows) {
        DWORD_PTR result = 0;
        if (SendMessageTimeoutW(hwnd, WM_DEVICECHANGE,
                                arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                                reinterpret_cast<LPARAM>(record), SMTO_ABORTIFHUNG, 5000,
                                &result)) {
            ++reached;
        }
    }
    return reached;
}

}  // namespace qvsim
