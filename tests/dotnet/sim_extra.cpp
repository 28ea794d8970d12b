// What the .NET package's tests add to the Node.js tests' simulator DLL
// (tests/node/sim_dll.cpp): a simulated Bluetooth stack and simulated hosts
// of a local subnet, driven through these exports (cdecl, plain names).
// Nothing of it leaves the process: the stack answers the platform layer's
// Bluetooth calls and RFCOMM sockets over loopback, and the hosts answer
// the scan's probes in place of the system.
#include <winsock2.h>
#include <windows.h>

#include <memory>
#include <mutex>

#include "sim/sim_bluetooth.h"
#include "sim/sim_hosts.h"

#define QVSIM_EXPORT extern "C" __declspec(dllexport)

namespace {
std::mutex g_lock;
std::unique_ptr<qvsim::BluetoothStack> g_stack;
std::unique_ptr<qvsim::HostNet> g_hosts;
using Held = std::lock_guard<std::mutex>;
}  // namespace

// Starts the stack with one radio (returns its number), or adds a radio.
QVSIM_EXPORT int qvsim_bth_radio(unsigned long long address, const wchar_t* name) {
    Held held(g_lock);
    if (!g_stack) g_stack.reset(new qvsim::BluetoothStack);
    g_stack->SetInquiryTime(50);
    return g_stack->AddRadio(address, name ? name : L"", 0x1C010C);
}

// A device in range of a radio, remembered or not, accepting passkey.
QVSIM_EXPORT DWORD qvsim_bth_device(int radio, unsigned long long address, const wchar_t* name,
                                    int remembered, const wchar_t* passkey) {
    Held held(g_lock);
    if (!g_stack || !name) return ERROR_INVALID_PARAMETER;
    qvsim::BthDevice device;
    device.address = address;
    device.name = name;
    device.classOfDevice = 0x5A020C;
    device.remembered = remembered != 0;
    if (passkey) device.passkey = passkey;
    g_stack->AddDevice(radio, device);
    return 0;
}

// What the stack holds now: bit 0 the device is paired, bit 1 the
// radio is discoverable, bit 2 connectable; the number of registrations
// (authenticators) above bit 8.
QVSIM_EXPORT DWORD qvsim_bth_state(int radio, unsigned long long device) {
    Held held(g_lock);
    if (!g_stack) return 0;
    return (g_stack->Paired(device) ? 1u : 0u) | (g_stack->Discoverable(radio) ? 2u : 0u) |
           (g_stack->Connectable(radio) ? 4u : 0u) |
           static_cast<DWORD>(g_stack->Registrations()) << 8;
}

// The device asks to authenticate: 1 when a registration answered it.
QVSIM_EXPORT int qvsim_bth_request(unsigned long long device) {
    qvsim::BluetoothStack* stack;
    {
        Held held(g_lock);
        stack = g_stack.get();
    }
    return stack && stack->RequestAuthentication(device).result ? 1 : 0;
}

// A host at last octet of the simulated subnet that answers the scan.
QVSIM_EXPORT DWORD qvsim_host(unsigned octet, unsigned long long mac, const char* name) {
    Held held(g_lock);
    if (!g_hosts) g_hosts.reset(new qvsim::HostNet);
    g_hosts->AddHost(octet, mac, name ? name : "");
    return 0;
}
