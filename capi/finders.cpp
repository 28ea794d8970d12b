// The finders of the C interface: each walks a C++ finder to its end into a
// list (a snapshot), which the host reads by index.
#include <new>
#include <type_traits>

#include "capi/common.h"
#include "capi/finders.h"
#include "discovery/port_list.h"
#include "platform/os.h"

namespace capi = quorvel::capi;
using capi::Call;
using capi::KindBit;
namespace os = quorvel::os;

namespace quorvel::capi {

namespace {

// Text into a record's field, cut to fit.
template <size_t N>
void CopyText(wchar_t (&szTo)[N], const wchar_t* pszFrom) {
    size_t n = quorvel::BoundedLength(pszFrom, N - 1);
    std::memcpy(szTo, pszFrom, n * sizeof(wchar_t));
    szTo[n] = L'\0';
}

}  // namespace

void ReadSerialPort(CxSerialPortFind& find, qv_serial_port_info* info) {
    qv_serial_port_info& port = *info;
    std::memset(&port, 0, sizeof port);
    port.size = sizeof port;
    int nSource = find.GetSource();
    port.sources = (nSource & CX_PORT_FROM_MAP ? QV_PORT_FROM_MAP : 0) |
                   (nSource & CX_PORT_FROM_INTERFACE ? QV_PORT_FROM_INTERFACE : 0);
    port.is_usb = find.GetUsbIds(&port.vendor_id, &port.product_id) ? 1 : 0;
    find.GetPortName(port.name);
    find.GetDevicePath(port.path);
    find.GetFriendlyName(port.friendly_name);
    find.GetHardwareID(port.hardware_id);
    find.GetInstanceID(port.instance_id);
    find.GetSerialNumber(port.serial_number);
    unsigned long long ullAddress = 0;
    if (find.GetBluetoothAddress(&ullAddress)) {
        port.is_bluetooth = 1;
        wchar_t szText[QV_DEVICE_TEXT_CCH];
        ports::BluetoothAddressText(ullAddress, szText);
        CopyText(port.bluetooth_address, szText);
        find.GetBluetoothName(szText);
        CopyText(port.bluetooth_name, szText);
    }
}

List::~List() {
    delete[] m_pbItems;
    delete[] m_pbScratch;
}

bool List::Add(const void* pItem) {
    if (m_dwCount == m_dwCapacity) {
        DWORD dwCapacity = m_dwCapacity ? m_dwCapacity * 2 : 8;
        BYTE* pbItems = new (std::nothrow) BYTE[static_cast<size_t>(dwCapacity) * m_cbItem];
        if (!pbItems) return false;
        if (m_pbItems) std::memcpy(pbItems, m_pbItems, static_cast<size_t>(m_dwCount) * m_cbItem);
        delete[] m_pbItems;
        m_pbItems = pbItems;
        m_dwCapacity = dwCapacity;
    }
    std::memcpy(m_pbItems + static_cast<size_t>(m_dwCount++) * m_cbItem, pItem, m_cbItem);
    return true;
}

DWORD List::Item(DWORD dwIndex, const void** ppItem) const {
    if (dwIndex >= m_dwCount) return ERROR_NO_MORE_ITEMS;
    *ppItem = m_pbItems + static_cast<size_t>(dwIndex) * m_cbItem;
    return ERROR_SUCCESS;
}

DWORD Walk(List* list, int nFirst, int (*pfnNext)(void*), void* pFinder,
           void (*pfnRead)(void*, void*), qv_handle* pHandle) {
    if (!list) return capi::Refuse(ERROR_NOT_ENOUGH_MEMORY);
    int nResult = nFirst;
    if (!nResult && os::GetLastError() != ERROR_NO_MORE_ITEMS) {
        // The first item could not be read: the walk may still go on (a
        // device whose path is too long is left out), or it never began.
        DWORD dwError = LastError();
        nResult = pfnNext(pFinder);
        if (!nResult && os::GetLastError() == ERROR_INVALID_HANDLE) {
            list->Release();
            return dwError;
        }
    }
    // Bounded, should a finder keep failing without ever reaching its end.
    constexpr int kMaxSteps = 1 << 16;
    for (int n = 0; n < kMaxSteps; ++n, nResult = pfnNext(pFinder)) {
        if (nResult) {
            pfnRead(pFinder, list->Scratch());
            if (!list->Add(list->Scratch())) {
                list->Release();
                return capi::Refuse(ERROR_NOT_ENOUGH_MEMORY);
            }
            continue;
        }
        DWORD dwError = os::GetLastError();
        if (dwError == ERROR_NO_MORE_ITEMS || dwError == ERROR_INVALID_HANDLE) break;
    }
    return Register(list, pHandle);
}

}  // namespace quorvel::capi

namespace {

// ANSI text of the system's records.
template <size_t N>
void CopyAnsi(wchar_t (&szTo)[N], const char* pszFrom, size_t cchFrom) {
    size_t n = 0;
    while (n < cchFrom && pszFrom[n]) ++n;
    int cch = n ? os::MultiByteToWideChar(CP_ACP, 0, pszFrom, static_cast<int>(n), szTo,
                                          static_cast<int>(N - 1))
                : 0;
    szTo[cch > 0 ? cch : 0] = L'\0';
}

// cbFirst: the size of the record's first version, which hosts may still use.
template <class Record>
DWORD GetRecord(qv_handle list, DWORD dwKind, DWORD index, Record* info,
                size_t cbFirst = sizeof(Record)) {
    Call call(list, KindBit(dwKind));
    if (call.Status()) return call.Status();
    if (!info || info->size < cbFirst) return capi::Refuse(ERROR_INVALID_PARAMETER);
    const void* pItem = nullptr;
    if (DWORD dwStatus = call.Get<capi::List>()->Item(index, &pItem)) return dwStatus;
    return capi::PutRecord(*static_cast<const Record*>(pItem), cbFirst, info);
}

// ---- serial ports

int NextPort(void* pFinder) { return static_cast<CxSerialPortFind*>(pFinder)->FindNextPort(); }
void ReadPort(void* pFinder, void* pItem) {
    capi::ReadSerialPort(*static_cast<CxSerialPortFind*>(pFinder),
                         static_cast<qv_serial_port_info*>(pItem));
}

// ---- device interfaces

int NextInterface(void* pFinder) { return static_cast<CxDeviceFind*>(pFinder)->FindNextDevice(); }
void ReadInterface(void* pFinder, void* pItem) {
    CxDeviceFind& find = *static_cast<CxDeviceFind*>(pFinder);
    qv_device_interface_info& device = *static_cast<qv_device_interface_info*>(pItem);
    std::memset(&device, 0, sizeof device);
    device.size = sizeof device;
    find.GetDeviceGuid(&device.interface_class);
    find.GetClassGuid(&device.setup_class);
    find.GetDevicePath(device.path);
    find.GetDeviceInstanceID(device.instance_id);
    find.GetDeviceHardwareID(device.hardware_id);
    find.GetDeviceFriendlyName(device.friendly_name);
    find.GetDeviceLocationInfo(device.location);
    find.GetDeviceDescription(device.description);
}

// ---- adapters

int NextAdapter(void* pFinder) { return static_cast<CxAdapterFind*>(pFinder)->FindNextAdapter(); }
void ReadAdapter(void* pFinder, void* pItem) {
    IP_ADAPTER_INFO info;
    std::memset(&info, 0, sizeof info);
    static_cast<CxAdapterFind*>(pFinder)->GetAdapterInfo(&info);
    qv_adapter_info& adapter = *static_cast<qv_adapter_info*>(pItem);
    std::memset(&adapter, 0, sizeof adapter);
    adapter.size = sizeof adapter;
    adapter.index = info.Index;
    adapter.type = info.Type;
    adapter.dhcp_enabled = info.DhcpEnabled ? 1 : 0;
    adapter.mac_length = info.AddressLength < sizeof adapter.mac ? info.AddressLength
                                                                 : sizeof adapter.mac;
    std::memcpy(adapter.mac, info.Address, adapter.mac_length);
    unsigned long long ullMac = 0;
    for (DWORD i = 0; i < adapter.mac_length && i < 6; ++i) {
        ullMac |= static_cast<unsigned long long>(info.Address[i]) << (8 * i);
    }
    MacAddressToString(&ullMac, adapter.mac_text, QV_MAC_ADDRESS_CCH);
    CopyAnsi(adapter.name, info.AdapterName, sizeof info.AdapterName);
    CopyAnsi(adapter.description, info.Description, sizeof info.Description);
    CopyAnsi(adapter.address, info.IpAddressList.IpAddress.String,
             sizeof info.IpAddressList.IpAddress.String);
    CopyAnsi(adapter.mask, info.IpAddressList.IpMask.String,
             sizeof info.IpAddressList.IpMask.String);
    CopyAnsi(adapter.gateway, info.GatewayList.IpAddress.String,
             sizeof info.GatewayList.IpAddress.String);
}

// ---- local addresses

struct AddressItem {
    wchar_t sz[QV_IP_ADDRESS_CCH];
};
int NextAddress(void* pFinder) {
    return static_cast<CxLocalHostIPAddrFind*>(pFinder)->FindNextIPAddr();
}
void ReadAddress(void* pFinder, void* pItem) {
    static_cast<CxLocalHostIPAddrFind*>(pFinder)->GetIPAddr(static_cast<AddressItem*>(pItem)->sz);
}

// ---- hosts

int NextHost(void* pFinder) { return static_cast<CxNetworkHostFind*>(pFinder)->FindNextHost(); }
void ReadHost(void* pFinder, void* pItem) {
    NET_HOST_INFO info;
    std::memset(&info, 0, sizeof info);
    static_cast<CxNetworkHostFind*>(pFinder)->GetHostInfo(&info);
    qv_host_info& host = *static_cast<qv_host_info*>(pItem);
    std::memset(&host, 0, sizeof host);
    host.size = sizeof host;
    capi::CopyText(host.address, info.szIPAddress);
    capi::CopyText(host.mac_text, info.szMacAddress);
    capi::CopyText(host.host_name, info.szHostName);
}

static_assert(std::is_same<qv_scan_progress_proc, CX_SCAN_PROGRESS_PROC>::value,
              "the scan's progress callback is the C++ class's (WINAPI, CALLBACK)");

}  // namespace

extern "C" {

DWORD WINAPI qv_list_count(qv_handle list, DWORD* count) {
    if (count) *count = 0;
    Call call(list, capi::kLists);
    if (call.Status()) return call.Status();
    if (!count) return capi::Refuse(ERROR_INVALID_PARAMETER);
    *count = call.Get<capi::List>()->Count();
    return ERROR_SUCCESS;
}

DWORD WINAPI qv_find_serial_ports(qv_handle* list) {
    if (!list) return capi::Refuse(ERROR_INVALID_PARAMETER);
    *list = nullptr;
    CxSerialPortFind find;
    int nFirst = find.FindPort();
    return capi::Walk(capi::List::Make<qv_serial_port_info>(QV_KIND_PORT_LIST), nFirst, NextPort,
                      &find, ReadPort, list);
}

DWORD WINAPI qv_list_serial_port(qv_handle list, DWORD index, qv_serial_port_info* info) {
    return GetRecord(list, QV_KIND_PORT_LIST, index, info, capi::kPortInfoFirstSize);
}

DWORD WINAPI qv_find_usb_port(DWORD vendor_id, DWORD product_id, const wchar_t* serial_number,
                              qv_handle* list) {
    if (!list) return capi::Refuse(ERROR_INVALID_PARAMETER);
    *list = nullptr;
    if (vendor_id > 0xFFFF || product_id > 0xFFFF) return capi::Refuse(ERROR_INVALID_PARAMETER);
    CxSerialPortFind find;
    int nFirst = find.FindUsbPort(static_cast<unsigned short>(vendor_id),
                                  static_cast<unsigned short>(product_id), serial_number);
    if (!nFirst && os::GetLastError() == ERROR_INVALID_PARAMETER) return capi::Refuse(ERROR_INVALID_PARAMETER);
    return capi::Walk(capi::List::Make<qv_serial_port_info>(QV_KIND_PORT_LIST), nFirst, NextPort,
                      &find, ReadPort, list);
}

DWORD WINAPI qv_find_device_interfaces(const GUID* interface_class, qv_handle* list) {
    if (!list) return capi::Refuse(ERROR_INVALID_PARAMETER);
    *list = nullptr;
    if (!interface_class) return capi::Refuse(ERROR_INVALID_PARAMETER);
    GUID guid = *interface_class;
    CxDeviceFind find;
    int nFirst = find.FindDevice(&guid);
    return capi::Walk(capi::List::Make<qv_device_interface_info>(QV_KIND_INTERFACE_LIST), nFirst,
                      NextInterface, &find, ReadInterface, list);
}

DWORD WINAPI qv_list_device_interface(qv_handle list, DWORD index,
                                      qv_device_interface_info* info) {
    return GetRecord(list, QV_KIND_INTERFACE_LIST, index, info);
}

DWORD WINAPI qv_find_adapters(qv_handle* list) {
    if (!list) return capi::Refuse(ERROR_INVALID_PARAMETER);
    *list = nullptr;
    CxAdapterFind find;
    int nFirst = find.FindAdapter();
    if (!nFirst && os::GetLastError() == ERROR_NO_DATA) os::SetLastError(ERROR_NO_MORE_ITEMS);
    return capi::Walk(capi::List::Make<qv_adapter_info>(QV_KIND_ADAPTER_LIST), nFirst, NextAdapter,
                      &find, ReadAdapter, list);
}

DWORD WINAPI qv_list_adapter(qv_handle list, DWORD index, qv_adapter_info* info) {
    return GetRecord(list, QV_KIND_ADAPTER_LIST, index, info);
}

DWORD WINAPI qv_find_local_addresses(qv_handle* list) {
    if (!list) return capi::Refuse(ERROR_INVALID_PARAMETER);
    *list = nullptr;
    capi::Sockets sockets;
    CxLocalHostIPAddrFind find;
    int nFirst = find.FindIPAddr();
    return capi::Walk(capi::List::Make<AddressItem>(QV_KIND_ADDRESS_LIST), nFirst, NextAddress,
                      &find, ReadAddress, list);
}

DWORD WINAPI qv_list_local_address(qv_handle list, DWORD index, wchar_t* text, DWORD capacity,
                                   DWORD* length) {
    if (length) *length = 0;
    Call call(list, KindBit(QV_KIND_ADDRESS_LIST));
    if (call.Status()) return call.Status();
    const void* pItem = nullptr;
    if (DWORD dwStatus = call.Get<capi::List>()->Item(index, &pItem)) return dwStatus;
    return capi::PutText(static_cast<const AddressItem*>(pItem)->sz, QV_IP_ADDRESS_CCH, text,
                         capacity, length);
}

DWORD WINAPI qv_find_hosts(qv_scan_progress_proc progress, void* context, qv_handle* list) {
    if (!list) return capi::Refuse(ERROR_INVALID_PARAMETER);
    *list = nullptr;
    capi::Sockets sockets;
    CxNetworkHostFind find;
    int nFirst = find.FindHost(progress, context);
    return capi::Walk(capi::List::Make<qv_host_info>(QV_KIND_HOST_LIST), nFirst, NextHost, &find,
                      ReadHost, list);
}

DWORD WINAPI qv_list_host(qv_handle list, DWORD index, qv_host_info* info) {
    return GetRecord(list, QV_KIND_HOST_LIST, index, info);
}

DWORD WINAPI qv_list_bth_device(qv_handle list, DWORD index, qv_bth_device* info) {
    return GetRecord(list, QV_KIND_BTH_DEVICE_LIST, index, info);
}

}  // extern "C"
