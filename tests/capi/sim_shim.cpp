// The C face of the simulated devices (sim.h).
#include "quorvel/quorvel.h"


#include <cstring>
#include <string>

#include "tests/capi/sim.h"
#include "sim/sim_bluetooth.h"
#include "sim/sim_devices.h"
#include "sim/sim_hosts.h"
#include "capi/table.h"
#include "platform/os.h"
#include "sim/sim_serial.h"

namespace {

struct UsbPort {
    qvsim::DeviceMapValue map;
    qvsim::SimDevice device;
    UsbPort(const wchar_t* port, const qvsim::DeviceDesc& desc)
        : map(L"SERIALCOMM", std::wstring(L"\\Device\\QvCapi") + port, port), device(desc) {}
};

decltype(quorvel::os::ClearCommError) g_realClearCommError;
DWORD g_errorsFor;

BOOL WINAPI ErrorsForOne(HANDLE hComm, LPDWORD pdwErrors, LPCOMSTAT pStat) {
    if (GetCurrentThreadId() == g_errorsFor) return g_realClearCommError(hComm, pdwErrors, pStat);
    if (pdwErrors) *pdwErrors = 0;
    if (pStat) std::memset(pStat, 0, sizeof *pStat);
    return TRUE;
}

qvsim::SerialPort* Port(void* port) { return static_cast<qvsim::SerialPort*>(port); }
qvsim::BluetoothStack* Stack(void* stack) { return static_cast<qvsim::BluetoothStack*>(stack); }

}  // namespace

extern "C" {

void sim_limit_generations(unsigned last) { quorvel::capi::LimitGenerationsForTests(last); }

void* sim_serial_bus(void) { return new qvsim::SerialBus; }
void sim_serial_bus_end(void* bus) { delete static_cast<qvsim::SerialBus*>(bus); }
void* sim_serial_add(void* bus, const wchar_t* name) {
    return &static_cast<qvsim::SerialBus*>(bus)->Add(name);
}
void sim_serial_arrive(void* port, const char* bytes) { Port(port)->Arrive(bytes); }
void sim_serial_line_error(void* port, DWORD error, const char* bytes) {
    Port(port)->LineError(error, bytes);
}
void sim_serial_remove(void* port) { Port(port)->Remove(ERROR_DEVICE_NOT_CONNECTED); }
int sim_serial_sent(void* port, char* out, int capacity) {
    std::string sent = Port(port)->Sent();
    int n = static_cast<int>(sent.size()) < capacity ? static_cast<int>(sent.size()) : capacity;
    sent.copy(out, static_cast<size_t>(n));
    return n;
}
DWORD sim_serial_queued(void* port) { return Port(port)->QueuedBytes(); }
void sim_serial_modem(void* port, DWORD lines) { Port(port)->SetModemLines(lines); }
void sim_serial_refuse_lines(void* port, DWORD error) { Port(port)->RefuseLineCalls(error); }
void sim_serial_round_baud(void* port, DWORD asked, DWORD taken) {
    Port(port)->RoundBaud(asked, taken);
}
DWORD sim_serial_lines_out(void* port) {
    return (Port(port)->Dtr() ? 1 : 0) | (Port(port)->Rts() ? 2 : 0) | (Port(port)->BreakOn() ? 4 : 0);
}
void sim_serial_errors_for_me(int on) {
    if (on) {
        g_errorsFor = GetCurrentThreadId();
        g_realClearCommError = quorvel::os::ClearCommError;
        quorvel::os::ClearCommError = ErrorsForOne;
    } else {
        quorvel::os::ClearCommError = g_realClearCommError;
    }
}

void* sim_bth_stack(void) { return new qvsim::BluetoothStack; }
void sim_bth_stack_end(void* stack) { delete Stack(stack); }
int sim_bth_clean(void* stack) {
    return Stack(stack)->DoubleReleases() == 0 && Stack(stack)->OpenHandles() == 0 &&
           Stack(stack)->ClosedUnderCalls() == 0;
}
void sim_bth_inquiry_ms(void* stack, DWORD ms) { Stack(stack)->SetInquiryTime(ms); }
int sim_bth_add_radio(void* stack, unsigned long long address, const wchar_t* name) {
    return Stack(stack)->AddRadio(address, name, 0x1C010C);
}
void sim_bth_add_device(void* stack, int radio, unsigned long long address, const wchar_t* name,
                        int remembered, const wchar_t* passkey) {
    qvsim::BthDevice device;
    device.address = address;
    device.name = name;
    device.classOfDevice = 0x5A020C;
    device.remembered = remembered != 0;
    if (passkey) device.passkey = passkey;
    Stack(stack)->AddDevice(radio, device);
}
int sim_bth_discoverable(void* stack, int radio) { return Stack(stack)->Discoverable(radio); }
int sim_bth_paired(void* stack, unsigned long long address) {
    return Stack(stack)->Paired(address);
}
int sim_bth_registrations(void* stack) { return Stack(stack)->Registrations(); }
int sim_bth_request(void* stack, unsigned long long address) {
    return Stack(stack)->RequestAuthentication(address).result ? 1 : 0;
}

void* sim_usb_port(const wchar_t* port, const wchar_t* instance_id) {
    qvsim::DeviceDesc desc;
    desc.interfaceClass = QV_GUID_DEVINTERFACE_COMPORT;
    desc.setupClass = qvsim::kPortsSetupClass;
    desc.name = L"QVCAPIUSB";
    desc.instanceId = instance_id;
    desc.hardwareIds = {std::wstring(instance_id).substr(0, 21)};
    desc.friendlyName = std::wstring(L"USB Serial Port (") + port + L")";
    desc.portName = port;
    UsbPort* made = new UsbPort(port, desc);
    if (!made->map.Ok() || !made->device.Ok()) {
        delete made;
        return nullptr;
    }
    return made;
}
void sim_usb_port_end(void* port) { delete static_cast<UsbPort*>(port); }

void* sim_bth_record(unsigned long long address, const char* name) {
    auto* record = new qvsim::BluetoothDeviceRecord(address, name);
    if (record->Ok()) return record;
    delete record;
    return nullptr;
}
void sim_bth_record_end(void* record) { delete static_cast<qvsim::BluetoothDeviceRecord*>(record); }

void* sim_hosts(void) { return new qvsim::HostNet; }
void sim_hosts_add(void* net, unsigned octet, unsigned long long mac, const char* name) {
    static_cast<qvsim::HostNet*>(net)->AddHost(octet, mac, name);
}
void sim_hosts_end(void* net) { delete static_cast<qvsim::HostNet*>(net); }

}  // extern "C"
