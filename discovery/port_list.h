// The merged serial port list inside the library: what CxSerialPortFind
// lists and CxSerialPortWatch compares between two readings
// (serial_ports.cpp).
#pragma once

#include <cstddef>

#include "quorvel/discovery.h"

namespace quorvel {

// Every text of a port fits QV_DEVICE_TEXT_CCH characters with its
// terminator: the sources are read into buffers of that size, and a longer
// text is cut as the getters would cut it.
struct PortText {
    wchar_t sz[QV_DEVICE_TEXT_CCH];
};

struct PortEntry {
    PortText portName, path, friendlyName, hardwareID, instanceID, serial, bluetoothName;
    int nSource;
    bool bUsb;
    unsigned short wVendorId, wProductId;
    bool bBluetooth;                       // a port of the Bluetooth serial profile
    unsigned long long ullBluetoothAddress;  // its remote device, when bBluetooth
};

// The ports of one reading, in one block of memory that grows by doubling.
struct SerialPortList {
    PortEntry* ports;
    size_t count;
    size_t capacity;
    PortEntry current;  // the port read last
    bool open;          // a FindPort listed the ports, and no Close came since
};

namespace ports {

SerialPortList* NewList();  // nullptr if memory ran out
void DeleteList(SerialPortList* list);
void ClearPorts(SerialPortList* list);
bool Append(SerialPortList* list, const PortEntry& port);  // false if memory ran out

// Reads both sources into an empty list, with the paths to open, in natural
// order. ERROR_SUCCESS; ERROR_NOT_ENOUGH_MEMORY; or the error of a source
// that could not be read whole (the list then holds what was read, and
// *pnIncomplete, if given, the CX_PORT_FROM_* bits of such sources). A
// device map that does not exist is an empty map, not a failure.
DWORD ReadPortList(SerialPortList* list, int* pnIncomplete = nullptr);

// The same port in two readings: the same name, path and instance ID.
bool SamePort(const PortEntry& a, const PortEntry& b);
// A port of the same name (letter case aside); never for a nameless one.
bool SameName(const PortEntry& a, const PortEntry& b);

// Compares a text with one of the host's without case.
bool TextEqualsNoCase(const PortText& text, const wchar_t* psz);

// "(00:11:22:33:44:55)" into QV_DEVICE_TEXT_CCH characters.
void BluetoothAddressText(unsigned long long ullAddress, wchar_t* pszText);

// Has a watch's running thread raise listener::kEventListenerCall once,
// soon, on that thread; false (nothing asked) when none runs.
bool CallWatchListener(CxSerialPortWatch& watch);

}  // namespace ports

// What the port watch needs of a finder it hands a report to.
struct PortFindAccess {
    // Makes sure the finder has room for one port; false if memory ran out.
    static bool Reserve(CxSerialPortFind& find);
    // Positions the finder on port alone, as a walk of one port would.
    static void Place(CxSerialPortFind& find, const PortEntry& port);
};

}  // namespace quorvel
