// quorvel bluetooth: local radios, remote devices, pairing, the Serial Port
// Profile and a one-call device search. Design notes: docs/bluetooth.md.
//
// Call SocketInit first: addresses travel as text that Windows Sockets
// converts, "(00:11:22:33:44:55)" (at most 47 characters; ":channel" after
// it is accepted too). Text that does not parse, or is longer, is the
// all-zero address; NULL text fails with ERROR_INVALID_PARAMETER. Passkeys
// hold at most 15 characters: NULL, longer passkeys and length arguments
// beyond 16 fail with ERROR_INVALID_PARAMETER. Getters given a NULL record
// pointer do nothing (ERROR_INVALID_PARAMETER).
//
// Where Windows has no Bluetooth API everything here fails as without a
// radio: ERROR_NOT_SUPPORTED (or nothing found; RFCOMM sockets fail with
// the system's Windows Sockets error for the family).
//
// Copies share their source's handles; only the object that acquired a
// handle releases it, and a copy sees a released one as NULL. No destructor
// releases a CxBthRadio's radio handle, and of an object and its copies only
// one may Close the radio.
#pragma once

#include "quorvel/core.h"
#include "quorvel/socket.h"

#include <bluetoothapis.h>

// The Serial Port Profile service class, 00001101-0000-1000-8000-00805F9B34FB.
QV_CONSTEXPR GUID CX_BTH_SERIAL_PORT_SERVICE_CLASS = {
    0x00001101, 0x0000, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};

// One Bluetooth device, a local radio or a remote device.
typedef struct tagBTH_DEV_INFO {
    wchar_t szAddress[48];          // address text, NUL-terminated
    wchar_t szName[248];            // friendly name, NUL-terminated
    unsigned long ulClassofDevice;  // class of device as the platform reports it
} BTH_DEV_INFO;

#if defined(_M_IX86) || defined(__i386__)
QV_STATIC_ASSERT(sizeof(BTH_DEV_INFO) == 596, "BTH_DEV_INFO is 596 bytes");
#endif

// Walks the local radios. For the current radio it holds an open radio
// handle (unless asked to close it at once) and its record.
class QUORVEL_API CxBthRadioFind {
    QV_HEAP_OPERATORS
public:
    CxBthRadioFind();
    CxBthRadioFind(const CxBthRadioFind& other);
    CxBthRadioFind& operator=(const CxBthRadioFind& other);
    virtual ~CxBthRadioFind();  // FindRadioClose

    // Restarts the walk (releasing the handles of an earlier one) and reads
    // the first radio. bCloseRadioHandle non-zero closes the radio's handle
    // once its record is read. 1 found, 0 not.
    int FindRadio(int bCloseRadioHandle);
    // Releases the previous radio's handle and reads the next radio.
    int FindNextRadio(int bCloseRadioHandle);
    void GetDeviceInfo(BTH_DEV_INFO* pInfo);  // the current radio's record
    void* GetRadioHandle();                   // NULL when none is held
    void CloseRadioHandle();
    void FindRadioClose();  // CloseRadioHandle, then ends the walk

protected:
    HBLUETOOTH_RADIO_FIND m_hRadioFind;
    HANDLE m_hRadio;
    BTH_DEV_INFO m_bthDevInfo;

private:
    int ReadRadio(int bCloseRadioHandle);

    quorvel::SharedLink* m_pFindLink;   // shared with copies while a walk is open
    quorvel::SharedLink* m_pRadioLink;  // shared with copies while a radio is held
};

// Works on one local radio: discoverability, incoming connections, the
// inquiry of remote devices, pairing, the Serial Port Profile and removal.
// The destructor releases no radio (it may be borrowed through Attach):
// release a radio that Open opened with Close. It does end a device search
// that this object started.
class QUORVEL_API CxBthRadio {
    QV_HEAP_OPERATORS
public:
    CxBthRadio();
    CxBthRadio(const CxBthRadio& other);
    CxBthRadio& operator=(const CxBthRadio& other);
    virtual ~CxBthRadio();

    // 1 opened, 0 not. First closes a radio that this object's own Open
    // opened, and drops (without closing) one lent with Attach.
    int Open(const wchar_t* szRadioAddress);
    void Attach(void* hRadio);  // adopts a handle without closing or duplicating
    void Close();               // closes the radio handle, if any
    void* GetSafeHandle();
    // GetRadioInfo, EnableDiscovery, EnableIncomingConnections,
    // EnumerateInstalledServices and the authentication of the current device
    // hand the platform a NULL radio, which on Windows means every radio.
    unsigned long GetRadioInfo(BLUETOOTH_RADIO_INFO* pRadioInfo);
    int EnableDiscovery(int bEnable);
    int EnableIncomingConnections(int bEnable);

    // Inquiry; ends an earlier search first. bFlushCache non-zero first makes
    // the radio forget every device it remembers (paired ones too); then only
    // devices it does not remember are reported. 1 when a device is current.
    int FindRemoteDevice(int bFlushCache);
    int FindNextRemoteDevice();
    void FindRemoteDeviceClose();
    void GetRemoteDeviceInfo(BTH_DEV_INFO* pInfo);
    void GetRemoteDeviceInfoStruct(BLUETOOTH_DEVICE_INFO* pDeviceInfo);
    int IsRemoteDeviceAuthenticated();

    // The platform's error code; 0 means authenticated.
    unsigned long AuthenticateRemoteDevice(const wchar_t* szDeviceAddress,
                                           const wchar_t* szPasskey,
                                           unsigned long ulPasskeyLength);
    unsigned long AuthenticateRemoteDevice(const wchar_t* szPasskey, unsigned long ulPasskeyLength);
    unsigned long EnumerateInstalledServices(BLUETOOTH_DEVICE_INFO* pDeviceInfo,
                                             unsigned long* pcServices, GUID* pGuidServices);
    int InstallRemoteDeviceSPPService();    // 1 enabled on the current device
    int IsRemoteDeviceInstallSPPService();  // 1 when enabled (first 10 services)
    static unsigned long RemoveRemoteDevice(const wchar_t* szDeviceAddress);  // error code

protected:
    HANDLE m_hRadio;
    HBLUETOOTH_DEVICE_FIND m_hDeviceFind;
    BTH_DEV_INFO m_bthDevInfo;
    BLUETOOTH_DEVICE_INFO m_btDeviceInfo;

private:
    struct State;

    void FlushCacheRemoteDeviceInfo();
    void FillRemoteDeviceInfo();
    State* UsableState();
    bool Opened() const;

    // Whether this object opened m_hRadio and the owner record of the device
    // search (bluetooth/radio.cpp); NULL until first needed.
    State* m_pState;
};

// Lists remote devices through the Windows Sockets Bluetooth name space. A
// missing address, name or class reads as empty text or 0; longer names
// are cut to 247 characters.
class QUORVEL_API CxBthRemoteDeviceFind {
    QV_HEAP_OPERATORS
public:
    CxBthRemoteDeviceFind();
    CxBthRemoteDeviceFind(const CxBthRemoteDeviceFind& other);
    CxBthRemoteDeviceFind& operator=(const CxBthRemoteDeviceFind& other);
    virtual ~CxBthRemoteDeviceFind();  // Close

    int FindDevice();      // ends an earlier lookup, starts anew; 1 a device is current
    int FindNextDevice();  // 0 at the end and on every later call
    void GetDeviceInfo(BTH_DEV_INFO* pInfo);
    void Close();

protected:
    HANDLE m_hLookup;
    BTH_DEV_INFO m_bthDevInfo;

private:
    quorvel::SharedLink* m_pLink;  // shared with copies while a lookup is open
};

// Answers the authentication requests of one remote device with a stored
// passkey. The platform calls back on a thread of its own. Set the device
// record (size field and address at least) before registering; the object
// that registered ends its registration in its destructor (a copy never).
class QUORVEL_API CxBthAuthenResponse {
    QV_HEAP_OPERATORS
public:
    CxBthAuthenResponse();
    CxBthAuthenResponse(const CxBthAuthenResponse& other);
    CxBthAuthenResponse& operator=(const CxBthAuthenResponse& other);
    virtual ~CxBthAuthenResponse();

    // The platform's error code; ERROR_SUCCESS when registered. A new
    // registration replaces an earlier one once it is in force; on failure
    // the earlier one stays.
    unsigned long RegisterForAuthentication(void* hRadio, const wchar_t* szPasskey);
    // The platform's result. Ends this object's registration once; later,
    // on a copy or never registered, it hands the platform a NULL handle.
    int UnregisterAuthentication();
    void SetDeviceInfoStruct(BLUETOOTH_DEVICE_INFO* pDeviceInfo);
    void GetDeviceInfoStruct(BLUETOOTH_DEVICE_INFO* pDeviceInfo);

protected:
    // The platform's authentication callback (PFN_AUTHENTICATION_CALLBACK of
    // the Windows SDK): __stdcall on x86, as the system calls it.
    static BOOL CALLBACK AuthenticateProc(void* pvParam, BLUETOOTH_DEVICE_INFO* pDevice);
    int OnAuthenticate(BLUETOOTH_DEVICE_INFO* pDevice);  // 1 replied and accepted

    HBLUETOOTH_AUTHENTICATION_REGISTRATION m_hAuthRegistration;
    HANDLE m_hRadio;
    wchar_t m_szPasskey[16];
    BLUETOOTH_DEVICE_INFO m_btDeviceInfo;

private:
    quorvel::SharedLink* m_pLink;  // shared with copies while registered
};

// Opens the radio named by szRadioAddress and pairs with the device named by
// szDeviceAddress using szPasskey. A timed-out first attempt is made once
// more; ERROR_NO_MORE_ITEMS on the first attempt counts as success. 1 paired,
// 0 not (also for a radio that is not present: then nothing is attempted).
QUORVEL_API int BthAuthenDevice(const wchar_t* szRadioAddress, const wchar_t* szDeviceAddress,
                                const wchar_t* szPasskey);

// Finds a remote device by name (any letter case) over all radios, the
// nIndex-th of that name (0xFF: the first), and writes the address text of
// the radio that found it and of the device (48 characters each). pStatus,
// if not NULL, receives 0, 0x41 (no radio) or 0x42 (a radio found no
// device). Writes a trace line per stage. A NULL name or output buffer fails
// at once with ERROR_INVALID_PARAMETER (status 0, no search); a match whose
// address cannot be written as text ends the search with 0
// (ERROR_INVALID_DATA), the outputs untouched.
QUORVEL_API int BthFindDevice(const wchar_t* szDeviceName, wchar_t* szRadioAddress,
                              wchar_t* szDeviceAddress, unsigned char nIndex, int bFlushCache,
                              unsigned char* pStatus);

// An RFCOMM stream connection to a remote device. Once connected it sends,
// receives and disconnects exactly like CxClientSocket; only opening and the
// address operations differ. A connection accepted by a CxBthServerSocket is
// adopted with Attach.
class QUORVEL_API CxBthClientSocket : public CxClientSocket {
    QV_HEAP_OPERATORS
public:
    CxBthClientSocket();
    CxBthClientSocket(const CxBthClientSocket& other);
    CxBthClientSocket& operator=(const CxBthClientSocket& other);
    ~CxBthClientSocket() QV_OVERRIDE;

    // Closes any open connection, then connects to the device at the address
    // on the RFCOMM channel ulPort (or the service class, as the platform
    // resolves it). bListen as for CxClientSocket::Connect. 1 connected. A
    // NULL address fails with WSAEINVAL without creating a socket.
    int Connect(const wchar_t* pszAddress, GUID* pServiceClass, unsigned long ulPort, int bListen);
    // The same, giving up after ulWait milliseconds (INFINITE: no limit)
    // with WAIT_TIMEOUT.
    int Connect(const wchar_t* pszAddress, GUID* pServiceClass, unsigned long ulPort, int bListen,
                unsigned long ulWait);
    int IsConnected() QV_OVERRIDE;
    // The device's or radio's address text with ":channel" when the channel
    // is not 0, "(00:11:22:33:44:55):5", into a buffer of 48 characters or
    // more (at most 30 are written). A NULL buffer fails with WSAEFAULT.
    int GetPeerAddress(wchar_t* pszAddress) QV_OVERRIDE;
    int GetSockAddress(wchar_t* pszAddress) QV_OVERRIDE;
};

// A listening RFCOMM socket on a local radio. Accepts like CxServerSocket;
// selects only CX_SOCKET_ACCEPT and CX_SOCKET_CLOSE for the window. It
// publishes no service record: clients reach it by its channel.
class QUORVEL_API CxBthServerSocket : public CxServerSocket {
    QV_HEAP_OPERATORS
public:
    CxBthServerSocket();
    CxBthServerSocket(const CxBthServerSocket& other);
    CxBthServerSocket& operator=(const CxBthServerSocket& other);
    ~CxBthServerSocket() QV_OVERRIDE;

    // Closes any held socket, then binds to the radio at the address on
    // channel ulPort and listens. 1 listening. A NULL address fails with
    // WSAEINVAL without creating a socket.
    int ListenConnection(const wchar_t* pszAddress, GUID* pServiceClass, unsigned long ulPort);
    // 1 while the socket is bound; asks in the Bluetooth socket address,
    // which the IPv4 form of the base class cannot hold.
    int IsListenningConnection();
};
