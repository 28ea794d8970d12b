// The Node.js package's tests load a build of quorvel.dll that has simulated
// serial ports, a simulated adapter list and device-node fixtures plugged
// into its platform layer, and drive them from JavaScript through these
// exports. That build (quorvel_node_sim) is never shipped.
#include <winsock2.h>
#include <windows.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/sim_adapters.h"
#include "sim/sim_devices.h"
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
QVSIM_EXPORT DWORD WINAPI qvsim_serial_add(const wchar_t* name) {
    Held held(g_lock);
    if (!name || Port(name)) return ERROR_INVALID_PARAMETER;
    if (!State().bus) State().bus.reset(new qvsim::SerialBus);
    State().ports[name] = &State().bus->Add(name);
    return 0;
}

// Bytes arriving from the line; with a non-zero comm error (CE_FRAME,
// CE_RXPARITY, CE_OVERRUN) they arrive with that error.
QVSIM_EXPORT DWORD WINAPI qvsim_serial_arrive(const wchar_t* name, const char* data, DWORD cb,
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
QVSIM_EXPORT DWORD WINAPI qvsim_serial_remove(const wchar_t* name) {
    Held held(g_lock);
    qvsim::SerialPort* port = Port(name);
    if (!port) return ERROR_INVALID_PARAMETER;
    port->Remove(ERROR_DEVICE_NOT_CONNECTED);
    return 0;
}

// Everything the port has sent: copies up to cb bytes, returns the length.
QVSIM_EXPORT DWORD WINAPI qvsim_serial_sent(const wchar_t* name, char* buffer, DWORD cb) {
    Held held(g_lock);
    qvsim::SerialPort* port = Port(name);
    if (!port) return 0;
    std::string sent = port->Sent();
    if (buffer) memcpy(buffer, sent.data(), sent.size() < cb ? sent.size() : cb);
    return static_cast<DWORD>(sent.size());
}

// GetAdaptersInfo answers with count records ("adapter0", ...).
QVSIM_EXPORT DWORD WINAPI qvsim_adapters(int count) {
    Held held(g_lock);
    State().adapters.reset();
    State().adapters.reset(new qvsim::AdapterList(count, sizeof(IP_ADAPTER_INFO)));
    return 0;
}

// A USB serial adapter on port (e.g. "COM9") as Windows registers one: a
// device-map value and a ports-class device node "USB\VID_v&PID_p\serial".
QVSIM_EXPORT DWORD WINAPI qvsim_usb_port(const wchar_t* port, const wchar_t* instanceId,
                                         const wchar_t* hardwareId, const wchar_t* friendly) {
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
QVSIM_EXPORT DWORD WINAPI qvsim_reset() {
    Held held(g_lock);
    State().devices.clear();
    State().mapValues.clear();
    State().adapters.reset();
    return 0;
}
