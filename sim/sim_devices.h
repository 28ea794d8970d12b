// Device fixtures in Wine's (or Windows') real SetupAPI and registry, for the
// tests of device interface and device map enumeration.
//
// SimDevice registers a root-enumerated device node of a setup class, sets
// its registry properties, adds one interface of an interface class and marks
// the interface linked (the Linked value under its DeviceClasses key), so
// that an enumeration with DIGCF_PRESENT | DIGCF_DEVICEINTERFACE finds it.
// The destructor removes the interface, its DeviceClasses key and the device
// node again. Use an interface class GUID of the test's own, or the COM-port
// interface class; the device's name keeps its instance IDs apart from the
// system's ("ROOT\<name>\0000", "ROOT\<name>\0001", ...).
//
// DeviceMapValue adds one value to HKLM\HARDWARE\DEVICEMAP\<map> (the map
// being "SERIALCOMM" or "PARALLEL PORTS") and removes that value, and only
// that one, in its destructor. Keys under HARDWARE are volatile.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <setupapi.h>

#include <optional>
#include <string>
#include <vector>

namespace qvsim {

struct DeviceDesc {
    GUID interfaceClass = {};          // the class the interface is registered under
    GUID setupClass = {};              // the device node's setup class
    std::wstring name = L"QVTESTDEV";  // device part of the instance ID
    std::vector<std::wstring> hardwareIds;       // SPDRP_HARDWAREID; empty: not set
    std::optional<std::wstring> friendlyName;    // SPDRP_FRIENDLYNAME
    std::optional<std::wstring> locationInfo;    // SPDRP_LOCATION_INFORMATION
    std::optional<std::wstring> description;     // SPDRP_DEVICEDESC
    bool linked = true;  // false: registered, but not present to DIGCF_PRESENT
    // A whole instance ID to register as is ("USB\VID_0403&PID_6001\A50285BI");
    // empty: "ROOT\<name>\NNNN" as above.
    std::wstring instanceId;
    // "PortName" in the device's parameters key (DIREG_DEV), as a ports
    // class installer writes it; not set: no such value.
    std::optional<std::wstring> portName;
};

// The setup class of ports, {4D36E978-E325-11CE-BFC1-08002BE10318}.
constexpr GUID kPortsSetupClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// The COM-port interface class, {86E0D1E0-8089-11D0-9CE4-08003E301F73}.
constexpr GUID kComPortInterface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

// A linked device of the ports setup class with every property set from its
// name: hardware IDs "QV\<name>" and "QV\SECOND", friendly name
// "Friendly <name>", location "Bay <name>", description "Description <name>".
DeviceDesc PortLikeDevice(const std::wstring& name, const GUID& interfaceClass);

class SimDevice {
public:
    explicit SimDevice(const DeviceDesc& desc);
    ~SimDevice();  // Remove
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    bool Ok() const { return m_ok; }        // everything was created
    DWORD Error() const { return m_error; }  // the first error, if not
    const std::wstring& Path() const { return m_path; }  // the interface's device path
    const std::wstring& InstanceId() const { return m_instanceId; }
    // Removes interface, DeviceClasses key and device node (once).
    void Remove();

private:
    bool Create();
    bool Fail(DWORD error);  // records the first error; false

    DeviceDesc m_desc;
    HDEVINFO m_set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA m_dev = {};
    SP_DEVICE_INTERFACE_DATA m_iface = {};
    bool m_haveDev = false;
    bool m_haveIface = false;
    bool m_ok = false;
    DWORD m_error = 0;
    std::wstring m_path;
    std::wstring m_instanceId;
    std::wstring m_classParent;  // DeviceClasses\{guid}
    std::wstring m_classKey;     // DeviceClasses\{guid}\##?#...
    bool m_parentExisted = false;
};

class DeviceMapValue {
public:
    // A port name as REG_SZ with its terminator.
    DeviceMapValue(const wchar_t* map, const std::wstring& name, const std::wstring& port);
    // Raw data of any type and length (for example text without a terminator).
    DeviceMapValue(const wchar_t* map, const std::wstring& name, const void* data, DWORD cb,
                   DWORD type);
    ~DeviceMapValue();
    DeviceMapValue(const DeviceMapValue&) = delete;
    DeviceMapValue& operator=(const DeviceMapValue&) = delete;

    bool Ok() const { return m_ok; }

private:
    std::wstring m_key;
    std::wstring m_name;
    bool m_ok = false;
};

// A COM port as a ports class installer registers one: a device-map value
// (unless mapped is false) and a device of the ports setup class with a
// COM-port interface, the instance ID given, the instance ID up to its last
// backslash as hardware ID, friendly name "<friendly> (<port>)" and the
// port name in its parameters key. The destructor removes both, the map
// value first.
class ComPortNode {
public:
    ComPortNode(const std::wstring& port, const std::wstring& instanceId, bool mapped = true,
                const std::wstring& friendly = L"USB Serial Port");
    ComPortNode(const ComPortNode&) = delete;
    ComPortNode& operator=(const ComPortNode&) = delete;

    bool Ok() const { return m_device.Ok() && (!m_map || m_map->Ok()); }
    DWORD Error() const { return m_device.Error(); }
    const SimDevice& Device() const { return m_device; }
    void Remove();  // the port leaves

private:
    static DeviceDesc Desc(const std::wstring& port, const std::wstring& instanceId,
                           const std::wstring& friendly);
    // The device comes before its map value and goes after it, as a port
    // driver writes and deletes the value while its device is there: a
    // reading between the two sees the same port (name, path, instance).
    SimDevice m_device;
    std::optional<DeviceMapValue> m_map;
};

// A remote Bluetooth device as the system's Bluetooth stack records it:
// HKLM\SYSTEM\CurrentControlSet\Services\BTHPORT\Parameters\Devices\<12 hex
// digits of the address> with its "Name" (UTF-8 bytes, REG_BINARY). The
// destructor removes the device's key, and the keys above it that it made.
class BluetoothDeviceRecord {
public:
    BluetoothDeviceRecord(unsigned long long address, const std::string& utf8Name);
    ~BluetoothDeviceRecord();
    BluetoothDeviceRecord(const BluetoothDeviceRecord&) = delete;
    BluetoothDeviceRecord& operator=(const BluetoothDeviceRecord&) = delete;
    bool Ok() const { return m_ok; }

private:
    std::wstring m_made;  // the highest key this record made
    bool m_ok = false;
};

// The system's device notifications, simulated (Wine delivers none). While
// it lives, the library's RegisterDeviceNotificationW records the window and
// its filter and answers with a handle of its own (or fails, see Refuse),
// and UnregisterDeviceNotification takes the handle back. Send sends every
// registered window WM_DEVICECHANGE as the system does when a device
// interface arrives or leaves. One at a time; make it while no library
// thread runs.
class DeviceNotifier {
public:
    struct Registration {
        HWND hwnd;
        DWORD flags;
        DWORD deviceType;
        GUID interfaceClass;
        bool open;  // not yet taken back
    };

    DeviceNotifier();
    ~DeviceNotifier();
    DeviceNotifier(const DeviceNotifier&) = delete;
    DeviceNotifier& operator=(const DeviceNotifier&) = delete;

    std::vector<Registration> Registrations() const;
    int Unregistered() const;  // handles taken back
    int Bad() const;           // unregistrations of handles not given, or taken back already
    // Registrations fail with this error from now on (0: they succeed).
    void Refuse(DWORD error);
    // Sends WM_DEVICECHANGE (DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE,
    // with a DEV_BROADCAST_DEVICEINTERFACE_W of the COM-port class naming
    // path) to each open registration's window; how many took it.
    int Send(bool arrival, const std::wstring& path = L"\\\\?\\QVSIM#PORT");
};

// The port names of a device map in the registry's enumeration order, read
// directly (what a finder should list).
std::vector<std::wstring> ReadDeviceMap(const wchar_t* map);

// While it lives, the library's RegEnumValueW and RegQueryValueExW fill
// what a successful call left of the caller's buffers with non-zero bytes
// (0x23): the value name after its terminator, the data after
// the length the call reported. A reader that goes by the buffer instead
// of the reported length then reads that filler, as it may on a system
// that leaves earlier contents there.
class RegistryFiller {
public:
    RegistryFiller();
    ~RegistryFiller();
    RegistryFiller(const RegistryFiller&) = delete;
    RegistryFiller& operator=(const RegistryFiller&) = delete;

    int Filled() const;  // calls whose buffers got filler
};

}  // namespace qvsim
