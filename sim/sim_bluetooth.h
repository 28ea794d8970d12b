// A simulated Bluetooth stack, plugged into the library's platform layer.
//
// While a BluetoothStack lives, the Bluetooth API of the platform layer, the
// Bluetooth name space of WSALookupServiceBeginW/NextW/End, the AF_BTH
// address conversions and RFCOMM sockets are answered by the stack; every
// other call goes to the system. With no radio added it behaves like a
// machine without Bluetooth.
//
// - Radio handles, search handles, lookup handles and registration handles
//   are real event handles, so a leak or a double release shows up. A
//   DuplicateHandle copy of a radio handle is a radio handle of its own.
// - Radios: enumeration order is the order they were added. A NULL radio
//   handle means every radio, as on Windows.
// - Remote devices belong to one radio. A device search reports remembered
//   devices (whatever their range) when asked for them, and devices that
//   are not remembered, in range, when an inquiry is issued. The inquiry
//   takes InquiryTime() milliseconds. BluetoothRemoveDevice forgets a
//   remembered device (paired ones too).
// - Pairing: BluetoothAuthenticateDevice answers each device's codes in turn
//   (the last repeats; none given: 0, which pairs). A registration's callback
//   is called from a thread of the stack's own by RequestAuthentication,
//   through the SDK's callback type (__stdcall on x86), as the system calls it;
//   BluetoothUnregisterAuthentication waits for a callback under way.
//   BluetoothSendAuthenticationResponse accepts the device's passkey only.
// - Address text is "(XX:XX:XX:XX:XX:XX)" (the parentheses optional when
//   parsing); a socket address with a service class or a channel renders
//   with "{guid}" and ":channel" appended, longer than 47 characters.
// - RFCOMM: socket(AF_BTH, SOCK_STREAM, BTHPROTO_RFCOMM) is a loopback TCP
//   socket that the stack remembers; bind and listen on (radio address,
//   channel) register a listener, which connect to (address, channel)
//   reaches (refused with WSAECONNREFUSED otherwise); getpeername and
//   getsockname answer in SOCKADDR_BTH (WSAEFAULT for a shorter buffer).
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <ws2bth.h>
#include <bluetoothapis.h>

#include <string>
#include <vector>

namespace qvsim {

struct BthDevice {
    BTH_ADDR address = 0;
    std::wstring name;
    ULONG classOfDevice = 0;
    bool remembered = false;
    bool paired = false;
    bool inRange = true;
    std::vector<DWORD> authAnswers;  // answers of BluetoothAuthenticateDevice, in turn
    std::wstring passkey;            // the reply passkey the device accepts
    std::vector<GUID> services;      // enabled services
    // Name-space results that lack a field.
    bool lookupWithoutAddress = false;
    bool lookupWithoutName = false;
    bool lookupWithoutClass = false;
    bool lookupWithoutSockaddr = false;  // an address entry whose remote address is NULL
};

class BluetoothStack {
public:
    BluetoothStack();
    ~BluetoothStack();
    BluetoothStack(const BluetoothStack&) = delete;
    BluetoothStack& operator=(const BluetoothStack&) = delete;

    // Returns the radio's number, 0 for the first.
    int AddRadio(BTH_ADDR address, const std::wstring& name, ULONG classOfDevice);
    void AddDevice(int radio, const BthDevice& device);
    void SetInquiryTime(DWORD ms);
    void SetRegisterResult(DWORD result);  // what BluetoothRegisterForAuthentication answers

    // Handles the stack has handed out and not yet seen released.
    int OpenHandles() const;
    int OpenRadioHandles() const;
    int DoubleReleases() const;  // releases of a handle already released
    // Radio handles closed while a device search with them was under way.
    int ClosedUnderCalls() const;
    bool Discoverable(int radio) const;
    bool Connectable(int radio) const;
    // The parameters of every BluetoothFindFirstDevice call, in order.
    std::vector<BLUETOOTH_DEVICE_SEARCH_PARAMS> Searches() const;
    std::vector<DWORD> RadioParamSizes() const;  // dwSize of each radio search
    // Forgets the logged search parameters and unregistered handles, so that
    // a long run measures the library's memory and not the log's.
    void ClearLogs();
    int Removals() const;                        // BluetoothRemoveDevice calls
    bool Remembered(BTH_ADDR device) const;
    bool Paired(BTH_ADDR device) const;
    int AuthenticateCalls() const;  // over all devices
    int AuthenticateCalls(BTH_ADDR device) const;
    std::wstring LastPasskey() const;  // as the platform read it (length given)
    ULONG LastPasskeyLength() const;
    HANDLE LastAuthenticateRadio() const;
    std::vector<GUID> Services(BTH_ADDR device) const;
    int ServiceStateCalls() const;
    DWORD LastServiceFlags() const;
    int Registrations() const;
    int UnregisterCalls() const;
    std::vector<HANDLE> UnregisteredHandles() const;  // every handle handed to unregister
    std::wstring LastResponsePasskey() const;
    HANDLE LastResponseRadio() const;
    int LookupNextCalls() const;
    DWORD LookupBeginFlags() const;
    DWORD LookupNextFlags() const;

    struct Request {
        bool called = false;   // a registered callback was called
        BOOL result = FALSE;   // its result
        BLUETOOTH_DEVICE_INFO record{};  // the record it was handed, afterwards
        DWORD thread = 0;      // the thread it ran on
    };
    // The device asks to authenticate: the stack calls the callback of the
    // first registration for it (or for every device) on a thread of its
    // own and waits for it.
    Request RequestAuthentication(BTH_ADDR device);

    // RFCOMM: listeners registered by (address, channel).
    int Listeners() const;
    int RfcommSockets() const;  // sockets the stack still knows as Bluetooth
    SOCKADDR_BTH LastConnectAddress() const;  // as the last connect was handed it
};

// The address text the stack renders for a bare address.
std::wstring BthText(BTH_ADDR address);

}  // namespace qvsim
