// quorvel discovery: device interfaces of a class, the device map of serial
// and parallel ports, IPv4 and MAC address text, the local host's addresses
// and network adapters, and a scan of the local /24 subnet for live hosts.
// Design notes: docs/discovery.md.
//
// IsValidIPAddress, GetIPAddrByDomainName, CxLocalHostIPAddrFind,
// GetFirstValidIPAddress and CxNetworkHostFind use Windows Sockets: call
// SocketInit first (quorvel/socket.h). The rest needs no start-up.
//
// Finders: Find starts a walk on the first item (non-zero if there is one),
// FindNext advances (0 with ERROR_NO_MORE_ITEMS at the end and ever after; 0
// with ERROR_INVALID_HANDLE before the first Find or after the close),
// getters copy the current item out (empty before the first; the last one
// after the end or a close), and the close (also run by the destructor)
// releases what the finder holds. A NULL argument fails an operation (0) and
// makes a getter do nothing. A copy shares what its source holds but never
// releases it. Use one object from one thread at a time.
#pragma once

#include "quorvel/core.h"

#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <setupapi.h>

namespace quorvel {
struct SharedLink;
}

// Device interface classes that CxDeviceMapFind accepts: serial ports (the
// "SERIALCOMM" map) and parallel ports (the "PARALLEL PORTS" map). They also
// name these interface classes for CxDeviceFind.
// {86E0D1E0-8089-11D0-9CE4-08003E301F73}
QV_CONSTEXPR GUID QV_GUID_DEVINTERFACE_COMPORT = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
// {97F76EF0-F883-11D0-AF1F-0000F800845C}
QV_CONSTEXPR GUID QV_GUID_DEVINTERFACE_PARALLEL = {
    0x97F76EF0, 0xF883, 0x11D0, {0xAF, 0x1F, 0x00, 0x00, 0xF8, 0x00, 0x84, 0x5C}};

// Capacities of the caller buffers, in characters with the terminator.
QV_CONSTEXPR unsigned long QV_DEVICE_TEXT_CCH = 260;  // device paths, port names, properties
QV_CONSTEXPR unsigned long QV_IPADDR_CCH = 64;        // IPv4 address text
QV_CONSTEXPR unsigned long QV_MACADDR_CCH = 48;       // MAC address text (18 used)
QV_CONSTEXPR unsigned long QV_HOSTNAME_CCH = 256;     // host names

// The present devices that expose one device interface class (SetupAPI),
// with each interface's path and the owning device's descriptive texts.
class QUORVEL_API CxDeviceFind {
    QV_HEAP_OPERATORS
public:
    CxDeviceFind();
    CxDeviceFind(const CxDeviceFind& other);
    CxDeviceFind& operator=(const CxDeviceFind& other);
    virtual ~CxDeviceFind();  // Close

    // Closes any earlier walk, lists the present interfaces of class *pGuid
    // and reads the first one (through the virtual FindNextDevice). 1 read,
    // 0 otherwise (the last error says why: ERROR_NO_MORE_ITEMS for none,
    // ERROR_INVALID_PARAMETER for a NULL pGuid).
    virtual int FindDevice(GUID* pGuid);
    // Reads the next interface. 0 at the end (ERROR_NO_MORE_ITEMS), without
    // an open set (ERROR_INVALID_HANDLE) or on error; an interface whose path
    // needs 260 characters or more fails its step, and the next call goes on.
    virtual int FindNextDevice();
    // Destroys the set if this object owns it; the texts stay.
    void Close();

    // Copy the current interface's texts into 260-character buffers; a text
    // the device lacks is empty, a longer one is cut to 259 characters.
    void GetDevicePath(wchar_t* pszPath);
    void GetDeviceInstanceID(wchar_t* pszID);
    void GetDeviceHardwareID(wchar_t* pszID);  // the first string of the list
    void GetDeviceFriendlyName(wchar_t* pszName);
    void GetDeviceLocationInfo(wchar_t* pszInfo);
    void GetDeviceDescription(wchar_t* pszDesc);
    void GetClassGuid(GUID* pGuid);   // setup class of the owning device
    void GetDeviceGuid(GUID* pGuid);  // the interface class given to FindDevice

protected:
    HDEVINFO m_hDevInfo;
    int m_nIndex;
    GUID m_guidDevice;
    GUID m_guidClass;
    wchar_t m_szInstanceID[260];
    wchar_t m_szDevicePath[260];
    wchar_t m_szHardwareID[260];
    wchar_t m_szFriendlyName[260];
    wchar_t m_szLocationInfo[260];
    wchar_t m_szDescription[260];

private:
    quorvel::SharedLink* m_pLink;  // shared with copies while a set is open
};

// The port names of the registry's device map: the values of
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM (QV_GUID_DEVINTERFACE_COMPORT) or
// HKLM\HARDWARE\DEVICEMAP\PARALLEL PORTS (QV_GUID_DEVINTERFACE_PARALLEL), in
// the registry's enumeration order. Any other GUID is refused.
class QUORVEL_API CxDeviceMapFind {
    QV_HEAP_OPERATORS
public:
    CxDeviceMapFind();
    CxDeviceMapFind(const CxDeviceMapFind& other);
    CxDeviceMapFind& operator=(const CxDeviceMapFind& other);
    virtual ~CxDeviceMapFind();  // Close

    // Closes any earlier walk, opens the map that *pGuid selects and reads
    // its first port name (through the virtual FindNextDeviceMap). 1 or 0
    // (also for NULL, any other GUID and an empty map).
    virtual int FindDeviceMap(GUID* pGuid);
    // Reads the next port name, skipping values whose name or data does not
    // fit in 259 characters. 0 at the end, without an open key or on a
    // registry error.
    virtual int FindNextDeviceMap();
    // Copies the current port name into a 260-character buffer.
    void GetDevicePath(wchar_t* pszPath);
    // Closes the key if this object owns it; the port name stays.
    void Close();

protected:
    HKEY m_hKey;
    int m_nIndex;
    wchar_t m_szDevicePath[260];

private:
    quorvel::SharedLink* m_pLink;  // shared with copies while a key is open
};

// 1 when pszAddr parses as an IPv4 address (as WSAStringToAddressW reads it)
// whose first octet is none of 0, 127, 169 and 255; 0 otherwise, for a NULL
// pointer and for a text of 260 characters or more as well. Multicast and
// reserved addresses count as valid.
QUORVEL_API int IsValidIPAddress(const wchar_t* pszAddr);

// Resolves the host name pszName (cut to 259 ANSI bytes) and writes the
// dotted text of its first IPv4 address into pszAddr (64 characters). 1 on
// success; 0 with pszAddr untouched otherwise: a name the system cannot
// resolve keeps the system's error (WSAHOST_NOT_FOUND, 11001, for an unknown
// name), a name without an IPv4 address fails with WSANO_DATA (11004), and
// a NULL pointer or a name or address text that cannot be converted with
// WSAEINVAL (10022).
QUORVEL_API int GetIPAddrByDomainName(const wchar_t* pszName, wchar_t* pszAddr);

// Writes the six address bytes of *pMac (the lowest byte first; the two
// highest bytes are ignored) as "11-22-33-44-55-66" into pszMac, whose
// capacity is cchMac characters. A capacity below 18 gets the empty string
// (when cchMac is at least 1) instead of a cut address; nothing is written
// past cchMac. NULL pointers write nothing.
QUORVEL_API void MacAddressToString(unsigned long long* pMac, wchar_t* pszMac,
                                    unsigned long cchMac);

// Reads MAC text ("aa-bb-cc-dd-ee-ff": one or two hex digits of either case
// per field, "-" between fields) into *pMac, the first field in the lowest
// byte; the two highest bytes are 0. Text that matches only in part keeps
// the fields read up to the first mismatch and stores 0 for every field
// after it. A NULL pszMac stores 0; a NULL pMac does nothing. At most
// QV_MACADDR_CCH characters are read: text without a terminator in a buffer
// of that size is read as if it ended there.
QUORVEL_API void StringToMacAddress(const wchar_t* pszMac, unsigned long long* pMac);

// The IPv4 addresses of the local host, as the name service lists them for
// the local host name. The walk keeps its own copy of the addresses.
class QUORVEL_API CxLocalHostIPAddrFind {
    QV_HEAP_OPERATORS
public:
    CxLocalHostIPAddrFind();
    CxLocalHostIPAddrFind(const CxLocalHostIPAddrFind& other);
    CxLocalHostIPAddrFind& operator=(const CxLocalHostIPAddrFind& other);
    virtual ~CxLocalHostIPAddrFind();  // FindIPAddrClose

    // Looks up the local host and moves to its first address. 1 or 0.
    int FindIPAddr();
    // Moves to the next address. 0 at the end, for ever (ERROR_NO_MORE_ITEMS),
    // or outside a walk (ERROR_INVALID_HANDLE).
    int FindNextIPAddr();
    // Copies the current address text into a 64-character buffer.
    void GetIPAddr(wchar_t* pszAddr);
    // Ends the walk and drops the kept addresses.
    void FindIPAddrClose();

protected:
    hostent* m_pHostEnt;
    int m_nIndex;
    wchar_t m_szIPAddr[64];

private:
    // The entry's addresses, kept by FindIPAddr (three pointers' room, as
    // the layout has always had).
    IN_ADDR* m_pAddrs;
    size_t m_nAddrs;
    size_t m_nAddrsReserved;  // unused
};

// Writes into pszAddr (64 characters) the first local address that
// IsValidIPAddress accepts and returns 1; returns 0 when none is accepted,
// with the last refused address in pszAddr (untouched when the host has no
// address). A NULL pszAddr returns 0 (ERROR_INVALID_PARAMETER).
QUORVEL_API int GetFirstValidIPAddress(wchar_t* pszAddr);

// The network adapters as GetAdaptersInfo lists them, each as its whole
// IP_ADAPTER_INFO record.
class QUORVEL_API CxAdapterFind {
    QV_HEAP_OPERATORS
public:
    CxAdapterFind();
    CxAdapterFind(const CxAdapterFind& other);
    CxAdapterFind& operator=(const CxAdapterFind& other);
    virtual ~CxAdapterFind();  // FindAdapterClose

    // Reads the adapter list and moves to the first adapter. 1 or 0 with the
    // code GetAdaptersInfo returned (ERROR_NO_DATA: no adapter;
    // ERROR_BUFFER_OVERFLOW: the list kept growing) or
    // ERROR_NOT_ENOUGH_MEMORY as the last error.
    int FindAdapter();
    // Moves to the next adapter. 0 after the last (ERROR_NO_MORE_ITEMS) and
    // outside a walk (ERROR_INVALID_HANDLE).
    int FindNextAdapter();
    // Copies the current adapter's record; its pointer fields stay valid
    // until FindAdapterClose, the next FindAdapter or destruction; once the
    // block is released they read NULL.
    void GetAdapterInfo(IP_ADAPTER_INFO* pInfo);
    // Releases the block if this object owns it and clears the record's
    // pointer fields; its other fields stay readable.
    void FindAdapterClose();

protected:
    IP_ADAPTER_INFO m_AdapterList;  // Next: the block GetAdaptersInfo filled
    IP_ADAPTER_INFO m_AdapterInfo;  // copy of the current adapter

private:
    quorvel::SharedLink* m_pLink;  // shared with copies while a block is held
    size_t m_cbBlock;              // size of the block at m_AdapterList.Next
};

// One live host found by CxNetworkHostFind.
typedef struct tagNET_HOST_INFO {
    wchar_t szMacAddress[48];  // "11-22-33-44-55-66"
    wchar_t szHostName[256];   // reverse lookup of the address; empty if it failed
    wchar_t szIPAddress[64];   // dotted decimal
} NET_HOST_INFO;

#if defined(_M_IX86) || defined(__i386__)
QV_STATIC_ASSERT(sizeof(NET_HOST_INFO) == 736, "NET_HOST_INFO is 736 bytes on x86");
#endif

// Finds the live hosts of the local /24 subnet by ARP: the subnet of the
// local host's first IPv4 address (CxLocalHostIPAddrFind), last octets 1 to
// 254. FindHost probes them on 64 worker threads at once (four addresses
// each), joins them all and moves to the first host that answered;
// FindNextHost probes each answered host again and reports those that still
// answer, in ascending order of the last octet. Keep the object alive, and
// off other threads, while its FindHost runs.
// Progress of a running scan (CxNetworkHostFind::FindHost): the user
// pointer, the addresses probed so far and how many of them answered.
typedef void(CALLBACK* CX_SCAN_PROGRESS_PROC)(void* pParam, unsigned long ulProbed,
                                              unsigned long ulAnswered);

class QUORVEL_API CxNetworkHostFind {
    QV_HEAP_OPERATORS
public:
    static QV_CONSTEXPR unsigned char kHostAnswered = 1;
    static QV_CONSTEXPR unsigned char kHostNotProbed = 2;

    CxNetworkHostFind();
    CxNetworkHostFind(const CxNetworkHostFind& other);
    CxNetworkHostFind& operator=(const CxNetworkHostFind& other);
    virtual ~CxNetworkHostFind();

    // Scans the subnet and moves to the first host that answers. 1 or 0:
    // ERROR_NO_MORE_ITEMS when nobody answered, the probes' error when every
    // probe failed (the network could not be probed), the thread's error
    // when no worker could start. A slice whose worker could not start is
    // marked kHostNotProbed in m_byHostFound (kHostAnswered: a host
    // answered) and the other slices are still reported.
    int FindHost();
    // The same, telling pfnProgress (if not NULL) how the scan goes: on this
    // thread about every 100 ms, and once when all probes have ended.
    int FindHost(CX_SCAN_PROGRESS_PROC pfnProgress, void* pParam);
    // Moves to the next host that answered and still answers. 1 or 0.
    int FindNextHost();
    // Copies the current host's record (736 bytes on x86); NULL: nothing.
    void GetHostInfo(NET_HOST_INFO* pHostInfo);
    // Ends the walk; the scan itself holds nothing between calls.
    void FindHostClose();

protected:
    struct FIND_HOST_PARAM {
        CxNetworkHostFind* pThis;
        unsigned long dwIndex;
    };
    static QV_CONSTEXPR int kWorkers = 64;

    static unsigned long WINAPI FindHostProc(void* pParam);
    // Probes the slice of worker dwIndex; runs only while FindHost scans.
    void OnFindHostProc(unsigned long dwIndex);

    unsigned char m_byNextHost;
    SOCKADDR_IN m_saLocal;
    HANDLE m_hThreads[kWorkers];
    FIND_HOST_PARAM m_Params[kWorkers];
    unsigned char m_byHostFound[255];
    NET_HOST_INFO m_HostInfo;

private:
    struct Scan;
    Scan* m_pScan;  // the running scan's answers; set only inside FindHost
};

namespace quorvel {
struct SerialPortList;  // the ports found by one CxSerialPortFind::FindPort
struct PortFindAccess;
struct PortListWatch;
}

// Where CxSerialPortFind found a port (GetSource).
QV_CONSTEXPR int CX_PORT_FROM_MAP = 1;        // the registry's device map (SERIALCOMM) only
QV_CONSTEXPR int CX_PORT_FROM_INTERFACE = 2;  // the COM-port device interface class only
QV_CONSTEXPR int CX_PORT_FROM_BOTH = 3;       // both, matched by port name

// Every serial port once: the device map's port names merged with the
// present devices of the COM-port interface class
// {86E0D1E0-8089-11D0-9CE4-08003E301F73}, in natural order of the port
// name for a person (COM2, COM9, COM10; letters compared without case).
// FindPort takes a snapshot of both sources and holds no handle afterwards;
// a copy gets its own copy of the list.
class QUORVEL_API CxSerialPortFind {
    QV_HEAP_OPERATORS
public:
    CxSerialPortFind();
    CxSerialPortFind(const CxSerialPortFind& other);
    CxSerialPortFind& operator=(const CxSerialPortFind& other);
    virtual ~CxSerialPortFind();  // Close

    // Lists the ports and moves to the first. 1 if there is one; 0 with
    // ERROR_NO_MORE_ITEMS for none, ERROR_NOT_ENOUGH_MEMORY if memory ran out.
    virtual int FindPort();
    // Moves to the next port. 1 if there is one, 0 at the end
    // (ERROR_NO_MORE_ITEMS), and on a closed finder (ERROR_INVALID_HANDLE).
    virtual int FindNextPort();
    void Close();

    // Getters take buffers of 260 characters (NULL: nothing); texts the
    // device lacks are empty, longer ones are cut to 259 characters.
    void GetPortName(wchar_t* pszName);          // "COM3"; empty if unknown
    void GetDevicePath(wchar_t* pszPath);        // what CxSerial::Open takes: "\\.\COM3"
    void GetFriendlyName(wchar_t* pszName);      // "USB Serial Port (COM3)"
    void GetHardwareID(wchar_t* pszID);          // "USB\VID_0403&PID_6001&REV_0600"
    void GetInstanceID(wchar_t* pszID);          // "USB\VID_0403&PID_6001\A50285BI"
    void GetSerialNumber(wchar_t* pszSerial);    // "A50285BI"; empty if none
    int GetSource();                             // CX_PORT_FROM_*; 0 before the first
    // 1 and the IDs (after "VID_" and "PID_" in the hardware or instance ID)
    // if the port is known to be a USB device, else 0 and zeros. Either
    // pointer may be NULL.
    int GetUsbIds(unsigned short* pwVendorId, unsigned short* pwProductId);

    // Where a USB device is now, whatever name the system gave it this time:
    // lists the ports as FindPort does, keeps the USB ports with these IDs
    // and, unless pszSerial is NULL or empty, this serial number (without
    // case), and moves to the first. 1 if there is one; 0 with
    // ERROR_NO_MORE_ITEMS for none (FindNextPort walks the others), with
    // ERROR_INVALID_PARAMETER for a serial number of 260 characters or more.
    int FindUsbPort(unsigned short wVendorId, unsigned short wProductId, const wchar_t* pszSerial);
    // A port of the Bluetooth serial profile: 1 and the remote device's
    // address (0x001122334455 for 00:11:22:33:44:55), read from the port's
    // device instance; 0 and 0 for any other port, and for a port that waits
    // for incoming connections. The pointer may be NULL.
    int GetBluetoothAddress(unsigned long long* pullAddress);
    // That device's name where the system has it (its Bluetooth device
    // record), else empty; 260 characters.
    void GetBluetoothName(wchar_t* pszName);

protected:
    int m_nIndex;                      // current port; -1 before the first and when closed
    quorvel::SerialPortList* m_pList;  // the ports and the one read last; NULL until needed

private:
    friend struct quorvel::PortFindAccess;
};

// The re-read period of a new CxSerialPortWatch, in milliseconds.
QV_CONSTEXPR unsigned long CX_PORT_WATCH_RESCAN_DEFAULT = 2000;
// The bounds of SetRescanPeriod besides 0.
QV_CONSTEXPR unsigned long CX_PORT_WATCH_RESCAN_MIN = 100;
QV_CONSTEXPR unsigned long CX_PORT_WATCH_RESCAN_MAX = 86400000;
// Reports a watch keeps for the host; beyond, the oldest goes.
QV_CONSTEXPR unsigned long CX_PORT_WATCH_MAX_REPORTS = 128;

// Tells the host while it runs when serial ports arrive and leave: each
// change of the merged port list (CxSerialPortFind) is a report, and each
// report raises CX_EVENT_PORT_ARRIVED or CX_EVENT_PORT_REMOVED through the
// callback or window message set with SetWndMsgProc (the handle is the
// watch's thread, GetSafeHandle). The host takes the reports with
// TakeReport, in the order they came; an event may find them taken by an
// earlier one. A report carries everything the list has of the port (name,
// path, USB IDs and serial number, Bluetooth device), so a host finds its
// device again under a new name.
//
// The watch runs on a thread of its own: it reads the list again shortly
// after each device notification of the system for the COM-port interface
// class, and every re-read period (CX_PORT_WATCH_RESCAN_DEFAULT, 2 s) in any
// case, which finds what no notification tells: ports of drivers that
// register no interface, and systems that deliver none. A re-read that
// cannot read a source whole reports what it can see and takes the ports it
// could not see to be as they were; one that reads no source whole reports
// nothing and is tried again.
//
// Stop (also run by the destructor) may come from any thread, the callback
// included. A copy shares the running watch and its reports but never stops
// it. Design notes: docs/discovery.md.
class QUORVEL_API CxSerialPortWatch : public CxComm {
    friend struct quorvel::PortListWatch;  // its thread's watch (port_watch.cpp)
    QV_HEAP_OPERATORS
public:
    CxSerialPortWatch();
    CxSerialPortWatch(const CxSerialPortWatch& other);
    CxSerialPortWatch& operator=(const CxSerialPortWatch& other);
    ~CxSerialPortWatch() QV_OVERRIDE;  // Stop

    // Stops any earlier watch, reads the list and starts watching for
    // changes from that reading on; with bReportPresent, each port present
    // now is reported as arrived first. 1 watching; 0 with
    // ERROR_NOT_ENOUGH_MEMORY, the error of the reading when no source can
    // be read whole, or the system's error when the thread cannot start.
    int Start(int bReportPresent);
    // Stops the thread (from the callback: lets go of it, and it ends once
    // the callback returns) and drops the reports not taken.
    void Stop();
    int IsWatching();  // non-zero while the thread runs

    // 0 (notifications only) or CX_PORT_WATCH_RESCAN_MIN to _MAX ms; a
    // running watch takes it at once. 0 with ERROR_INVALID_PARAMETER for
    // other values.
    int SetRescanPeriod(unsigned long ulMilliseconds);
    unsigned long GetRescanPeriod() const;

    // Takes the oldest report: its event code into *plEvent (may be NULL)
    // and the port into *pPort, which is then positioned on it alone for its
    // getters. 1 taken; 0 with ERROR_NO_MORE_ITEMS when none waits,
    // ERROR_INVALID_HANDLE without a watch (before Start, after Stop),
    // ERROR_INVALID_PARAMETER for a NULL pPort, ERROR_NOT_ENOUGH_MEMORY (the
    // report stays).
    int TakeReport(long* plEvent, CxSerialPortFind* pPort);

    void* GetSafeHandle() QV_OVERRIDE;  // the watch's thread; NULL when stopped

protected:
    static unsigned long WINAPI WatchProc(void* pThread);
    void OnWatch(CxThread* pThread);

    CxThread m_WatchThread;
    unsigned long m_ulRescanPeriod;

private:
    quorvel::SharedLink* m_pLink;  // the watch's reports and wake, shared with its thread
};
