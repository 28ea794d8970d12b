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
