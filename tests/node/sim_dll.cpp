// The Node.js package's tests load a build of quorvel.dll that has simulated
// serial ports, a simulated adapter list and device-node fixtures plugged
// into its platform layer, and drive them from JavaScript through these
// exports (cdecl, under their plain names). That build (quorvel_node_sim)
// is never shipped.
#include <winsock2.h>
#include <windows.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/sim_adapters.h"
#include "sim/sim_devices.h"
#include "quorvel/quorvel_c.h"
#include "sim/sim_serial.h"

#define QVSIM_EXPORT extern "C" __declspec(dllexport)

namespace {

// The port-class interface GUID {86E0D1E0-8089-11D0-9CE4-08003E301F73}.
constexpr GUID kComPortInterface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

struct Sims {
    std::unique_ptr<qvsim::SerialBus> bus;
    std::map<std::wstring, qvsim::SerialPort*> ports;
    std::unique_ptr<qvsim::AdapterList> adapters;
    std::vector<std::unique_ptr<qvsim::SimDevice>> devices;
    std::vector<std::unique_ptr<qvsim::DeviceMapValue>> mapValues;
};
Sims& State() {
    static Sims* sims = new Sims;  // lives until the process ends
    return *sims;
}

std::mutex g_lock;
using Held = std::lock_guard<std::mutex>;

qvsim::SerialPort* Port(const wchar_t* name) {
    auto it = State().ports.find(name ? name : L"");
    return it == State().ports.end() ? nullptr : it->second;
}

}  // namespace

// A simulated port "COMn" (opened as "COMn" or "\\.\COMn"). Once the first is
// added, no real COM port opens in this process.
QVSIM_EXPORT DWORD qvsim_serial_add(const wchar_t* name) {
    Held held(g_lock);
    if (!name || Port(name)) return ERROR_INVALID_PARAMETER;
    if (!State().bus) State().bus.reset(new qvsim::SerialBus);
    State().ports[name] = &State().bus->Add(name);
    return 0;
}

// Bytes arriving from the line; with a non-zero comm error (CE_FRAME,
// CE_RXPARITY, CE_OVERRUN) they arrive with that error.
QVSIM_EXPORT DWORD qvsim_serial_arrive(const wchar_t* name, const char* data, DWORD cb,
                                              DWORD commError) {
    Held held(g_lock);
    qvsim::SerialPort* port = Port(name);
    if (!port || (cb && !data)) return ERROR_INVALID_PARAMETER;
    std::string bytes(data ? data : "", cb);
    if (commError) {
        port->LineError(commError, bytes);
    } else {
        port->Arrive(bytes);
    }
    return 0;
}

// The device goes away as a USB adapter does.
QVSIM_EXPORT DWORD qvsim_serial_remove(const wchar_t* name) {
    Held held(g_lock);
    qvsim::SerialPort* port = Port(name);
    if (!port) return ERROR_INVALID_PARAMETER;
    port->Remove(ERROR_DEVICE_NOT_CONNECTED);
    return 0;
}

// The modem lines: the inputs the device sets (MS_*_ON bits), line calls
// the driver refuses with error (0: none), a baud rate it rounds, and the
// outputs now (1 DTR, 2 RTS, 4 break).
QVSIM_EXPORT DWORD qvsim_serial_modem(const wchar_t* name, DWORD lines, DWORD refuse) {
    Held held(g_lock);
    qvsim::SerialPort* port = Port(name);
    if (!port) return ERROR_INVALID_PARAMETER;
    port->SetModemLines(lines);
    port->RefuseLineCalls(refuse);
    return 0;
}

QVSIM_EXPORT DWORD qvsim_serial_round_baud(const wchar_t* name, DWORD asked, DWORD taken) {
    Held held(g_lock);
    qvsim::SerialPort* port = Port(name);
    if (!port) return ERROR_INVALID_PARAMETER;
    port->RoundBaud(asked, taken);
    return 0;
}

QVSIM_EXPORT DWORD qvsim_serial_lines_out(const wchar_t* name) {
    Held held(g_lock);
    qvsim::SerialPort* port = Port(name);
    if (!port) return 0xFFFFFFFF;
    return (port->Dtr() ? 1 : 0) | (port->Rts() ? 2 : 0) | (port->BreakOn() ? 4 : 0);
}

// Writes stay pending (stall non-zero) until released (zero).
QVSIM_EXPORT DWORD qvsim_serial_stall(const wchar_t* name, DWORD stall) {
    Held held(g_lock);
    qvsim::SerialPort* port = Port(name);
    if (!port) return ERROR_INVALID_PARAMETER;
    port->StallWrites(stall != 0);
    if (!stall) port->ReleaseWrites();
    return 0;
}

// The WriteFile calls made on the port so far.
QVSIM_EXPORT DWORD qvsim_serial_write_requests(const wchar_t* name) {
    Held held(g_lock);
    qvsim::SerialPort* port = Port(name);
    return port ? static_cast<DWORD>(port->WriteRequests()) : 0xFFFFFFFF;
}

// The DCB the port was last given, as six numbers: baud rate, data bits,
// parity and stop bits (the DCB's codes), the flow flags (1 fOutxCtsFlow,
// 2 fOutxDsrFlow, 4 fOutX, 8 fInX) and fRtsControl.
QVSIM_EXPORT DWORD qvsim_serial_settings(const wchar_t* name, DWORD* values) {
    Held held(g_lock);
    qvsim::SerialPort* port = Port(name);
    if (!port || !values) return ERROR_INVALID_PARAMETER;
    DCB dcb = port->Settings();
    values[0] = dcb.BaudRate;
    values[1] = dcb.ByteSize;
    values[2] = dcb.Parity;
    values[3] = dcb.StopBits;
    values[4] = (dcb.fOutxCtsFlow ? 1 : 0) | (dcb.fOutxDsrFlow ? 2 : 0) | (dcb.fOutX ? 4 : 0) | (dcb.fInX ? 8 : 0);
    values[5] = dcb.fRtsControl;
    return 0;
}

// Everything the port has sent: copies up to cb bytes, returns the length.
QVSIM_EXPORT DWORD qvsim_serial_sent(const wchar_t* name, char* buffer, DWORD cb) {
    Held held(g_lock);
    qvsim::SerialPort* port = Port(name);
    if (!port) return 0;
    std::string sent = port->Sent();
    if (buffer) memcpy(buffer, sent.data(), sent.size() < cb ? sent.size() : cb);
    return static_cast<DWORD>(sent.size());
}

// GetAdaptersInfo answers with count records ("adapter0", ...).
QVSIM_EXPORT DWORD qvsim_adapters(int count) {
    Held held(g_lock);
    State().adapters.reset();
    State().adapters.reset(new qvsim::AdapterList(count, sizeof(IP_ADAPTER_INFO)));
    return 0;
}

// A USB serial adapter on port (e.g. "COM9") as Windows registers one: a
// device-map value and a ports-class device node "USB\VID_v&PID_p\serial"
// with its location text (none if NULL).
QVSIM_EXPORT DWORD qvsim_usb_port(const wchar_t* port, const wchar_t* instanceId,
                                         const wchar_t* hardwareId, const wchar_t* friendly,
                                         const wchar_t* location) {
    Held held(g_lock);
    if (!port || !instanceId || !hardwareId || !friendly) return ERROR_INVALID_PARAMETER;
    qvsim::DeviceDesc desc;
    desc.interfaceClass = kComPortInterface;
    desc.setupClass = qvsim::kPortsSetupClass;
    desc.name = std::wstring(L"QVNODE") + port;
    desc.instanceId = instanceId;
    desc.hardwareIds = {hardwareId};
    desc.friendlyName = friendly;
    desc.portName = port;
    if (location) desc.locationInfo = location;
    std::unique_ptr<qvsim::SimDevice> device(new qvsim::SimDevice(desc));
    if (!device->Ok()) return device->Error() ? device->Error() : ERROR_GEN_FAILURE;
    std::unique_ptr<qvsim::DeviceMapValue> value(
        new qvsim::DeviceMapValue(L"SERIALCOMM", std::wstring(L"\\Device\\QvNode") + port, port));
    if (!value->Ok()) return ERROR_GEN_FAILURE;
    State().devices.push_back(std::move(device));
    State().mapValues.push_back(std::move(value));
    return 0;
}

// Removes the device fixtures and the adapter list (the serial ports stay).
QVSIM_EXPORT DWORD qvsim_reset() {
    Held held(g_lock);
    State().devices.clear();
    State().mapValues.clear();
    State().adapters.reset();
    return 0;
}

// What the C interface lists, as the Node.js package gives it (kind 1: the
// serial ports, 2: the adapters), as UTF-8 JSON: copies up to cb bytes and
// returns the length.
namespace {

void Text(std::string& out, const char* key, const wchar_t* value) {
    char utf8[1024];
    int n = WideCharToMultiByte(CP_UTF8, 0, value, -1, utf8, sizeof utf8, nullptr, nullptr);
    out += std::string("\"") + key + "\":\"";
    for (int i = 0; i + 1 < n; ++i) {
        if (utf8[i] == '"' || utf8[i] == '\\') out += '\\';
        out += utf8[i];
    }
    out += "\",";
}

void Number(std::string& out, const char* key, const char* value) {
    out += std::string("\"") + key + "\":" + value + ",";
}

void Number(std::string& out, const char* key, unsigned long value) {
    Number(out, key, std::to_string(value).c_str());
}

void Close(std::string& out) { out.back() = '}'; }

}  // namespace

QVSIM_EXPORT DWORD qvsim_c_list_json(DWORD kind, char* buffer, DWORD cb) {
    qv_handle list = nullptr;
    DWORD count = 0;
    if ((kind == 1 ? qv_find_serial_ports(&list) : qv_find_adapters(&list)) || qv_list_count(list, &count)) {
        return 0;
    }
    std::string out = "[";
    for (DWORD i = 0; i < count; ++i) {
        out += "{";
        if (kind == 1) {
            qv_serial_port_info p = {};
            p.size = sizeof p;
            if (qv_list_serial_port(list, i, &p)) break;
            Text(out, "name", p.name), Text(out, "path", p.path);
            Text(out, "friendlyName", p.friendly_name), Text(out, "hardwareId", p.hardware_id);
            Text(out, "instanceId", p.instance_id), Text(out, "serialNumber", p.serial_number);
            Number(out, "vendorId", p.is_usb ? std::to_string(p.vendor_id).c_str() : "null");
            Number(out, "productId", p.is_usb ? std::to_string(p.product_id).c_str() : "null");
            Number(out, "fromDeviceMap", p.sources & QV_PORT_FROM_MAP ? "true" : "false");
            Number(out, "fromInterface", p.sources & QV_PORT_FROM_INTERFACE ? "true" : "false");
            if (p.is_bluetooth) {
                Text(out, "bluetoothAddress", p.bluetooth_address);
                Text(out, "bluetoothName", p.bluetooth_name);
            } else {
                Number(out, "bluetoothAddress", "null"), Number(out, "bluetoothName", "null");
            }
        } else {
            qv_adapter_info a = {};
            a.size = sizeof a;
            if (qv_list_adapter(list, i, &a)) break;
            Number(out, "index", a.index), Text(out, "name", a.name);
            Text(out, "description", a.description), Number(out, "type", a.type);
            Number(out, "dhcpEnabled", a.dhcp_enabled ? "true" : "false"), Text(out, "mac", a.mac_text);
            std::string bytes = "[";
            for (DWORD b = 0; b < a.mac_length && b < sizeof a.mac; ++b) bytes += std::to_string(a.mac[b]) + ",";
            if (bytes.size() > 1) bytes.pop_back();
            Number(out, "macBytes", (bytes + "]").c_str());
            Text(out, "address", a.address), Text(out, "mask", a.mask), Text(out, "gateway", a.gateway);
        }
        Close(out);
        out += ",";
    }
    if (out.size() > 1) out.pop_back();
    out += "]";
    qv_close(list);
    if (buffer) memcpy(buffer, out.data(), out.size() < cb ? out.size() : cb);
    return static_cast<DWORD>(out.size());
}
