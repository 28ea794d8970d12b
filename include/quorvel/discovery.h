// quorvel discovery: device interfaces of a class, the device map of serial
// and parallel ports, IPv4 and MAC address text, the local host's addresses
// and network adapters, and a scan of the local /24 subnet for live hosts.
//
// Start-up: CxDeviceFind, CxDeviceMapFind, CxAdapterFind and the two MAC text
// functions need nothing. IsValidIPAddress, GetIPAddrByDomainName,
// CxLocalHostIPAddrFind, GetFirstValidIPAddress and CxNetworkHostFind use
// Windows Sockets: call SocketInit first (quorvel/socket.h).
//
// Finders share one pattern: a Find operation starts a walk and positions it
// on the first item (non-zero if there is one), a FindNext operation advances
// (0 at the end and on every call after it), getters copy the current item
// into a caller buffer, and a close operation (also run by the destructor)
// releases what the finder holds. Getters yield the empty string before the
// first item and keep the last item's values after the end or a close.
//
// Decisions common to every finder:
// - A null pointer argument is a failure (0) for operations that return a
//   result and does nothing for getters; nothing is written through it.
// - A FindNext operation before the first Find, or after the close
//   operation, returns 0 (ERROR_INVALID_HANDLE) and touches no released
//   memory; at the end of a walk it returns 0 with ERROR_NO_MORE_ITEMS.
// - Copies: a copy shares the enumeration handle, key or block of its
//   source, but only the object whose Find acquired it releases it (in its
//   close operation, its destructor, its next Find, or when something is
//   assigned to it). Closing or destroying a copy only lets go of the copy's
//   view. Once the owner has released the resource, the copy's FindNext
//   returns 0 and its getters keep the values it read last.
// - The objects take no lock; use one object from one thread at a time.
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
//
// Decisions:
// - FindDevice(NULL) closes any earlier walk and returns 0 with
//   ERROR_INVALID_PARAMETER as the last error.
// - A property or instance ID that a device lacks (or whose read fails) reads
//   as the empty string; it never shows the text of the device read before.
//   A property longer than 259 characters is cut to 259. Property and path
//   texts are always terminated within their 260 characters.
// - FindNextDevice without an open set (before FindDevice, after Close, or
//   on a copy whose owner has closed the set) returns 0 with
//   ERROR_INVALID_HANDLE; it never hands a released set to SetupAPI.
// - An interface whose path needs more than 259 characters fails that step
//   (0); the next FindNextDevice goes on with the interface after it.
class QUORVEL_API CxDeviceFind {
    QV_HEAP_OPERATORS
public:
    CxDeviceFind();
    CxDeviceFind(const CxDeviceFind& other);
    CxDeviceFind& operator=(const CxDeviceFind& other);
    virtual ~CxDeviceFind();  // Close

    // Closes any earlier walk, lists the present interfaces of class *pGuid
    // and reads the first one (through the virtual FindNextDevice). 1 read,
    // 0 otherwise (the last error says why: ERROR_NO_MORE_ITEMS for none).
    virtual int FindDevice(GUID* pGuid);
    // Reads the next interface. 0 at the end (ERROR_NO_MORE_ITEMS) or on error.
    virtual int FindNextDevice();
    // Destroys the set if this object owns it; the texts stay.
    void Close();

    // Copy the current interface's texts into 260-character buffers.
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
//
// Decisions:
// - FindDeviceMap(NULL) or any other GUID closes an open walk and returns 0
//   (ERROR_INVALID_PARAMETER).
// - A key whose value count cannot be queried, or that holds no values,
//   gives 0; the key stays open until Close, as for an empty key.
// - A value whose data is not terminated is read only as far as its data
//   reaches; the walk never reads past the value.
// - A value whose name or data does not fit in 259 characters is skipped:
//   the walk goes on with the next value instead of ending early.
// - FindNextDeviceMap without an open key (before FindDeviceMap, after
//   Close, or on a copy whose owner has closed the key) returns 0
//   (ERROR_INVALID_HANDLE).
class QUORVEL_API CxDeviceMapFind {
    QV_HEAP_OPERATORS
public:
    CxDeviceMapFind();
    CxDeviceMapFind(const CxDeviceMapFind& other);
    CxDeviceMapFind& operator=(const CxDeviceMapFind& other);
    virtual ~CxDeviceMapFind();  // Close

    // Closes any earlier walk, opens the map that *pGuid selects and reads
    // its first port name (through the virtual FindNextDeviceMap). 1 or 0.
    virtual int FindDeviceMap(GUID* pGuid);
    // Reads the next port name. 0 at the end or on a registry error.
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
// success; 0 when the name does not resolve to an IPv4 address, when the
// address text cannot be converted, or when a pointer is NULL, with WSAEINVAL
// (10022) as the last socket error and pszAddr untouched.
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
// the local host name.
//
// Decisions:
// - FindIPAddr copies the addresses out of the socket library's per-thread
//   host entry at once, so other name lookups on the thread, or a walk
//   continued on another thread, never disturb the walk. m_pHostEnt keeps
//   the entry's address for reference only; it is never read after
//   FindIPAddr returns.
// - FindIPAddrClose ends the walk: FindNextIPAddr after it, and before any
//   successful FindIPAddr, returns 0 (ERROR_INVALID_HANDLE); at the end,
//   ERROR_NO_MORE_ITEMS. GetIPAddr keeps the last address.
class QUORVEL_API CxLocalHostIPAddrFind {
    QV_HEAP_OPERATORS
public:
    CxLocalHostIPAddrFind();
    CxLocalHostIPAddrFind(const CxLocalHostIPAddrFind& other);
    CxLocalHostIPAddrFind& operator=(const CxLocalHostIPAddrFind& other);
    virtual ~CxLocalHostIPAddrFind();  // FindIPAddrClose

    // Looks up the local host and moves to its first address. 1 or 0.
    int FindIPAddr();
    // Moves to the next address. 0 at the end (for ever) or outside a walk.
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
//
// Decisions:
// - Records are copied only as far as the block that GetAdaptersInfo filled
//   reaches (some platforms lay records out closer together than the size of
//   the record); the rest of the cursor is zero. A Next field that points
//   outside the block ends the walk.
// - FindAdapterClose (and a FindAdapter that releases an earlier block) also
//   clears the pointer fields of the cursor record (Next and the Next fields
//   of its address lists), so neither FindNextAdapter nor a record obtained
//   afterwards from GetAdapterInfo leads into a released block; the other
//   fields of the last adapter stay readable.
// - A FindAdapter that fails releases its block at once; a GetAdaptersInfo
//   that overflows again (adapters added in between) is retried a few times
//   with the newly reported length.
// - A FindAdapter that fails leaves the reason as the thread's last error:
//   the code GetAdaptersInfo returned (ERROR_NO_DATA when the machine has no
//   adapter, ERROR_BUFFER_OVERFLOW when the list kept growing), or
//   ERROR_NOT_ENOUGH_MEMORY.
// - GetAdapterInfo on a copy whose owner has released the block yields the
//   last record with its pointer fields cleared.
class QUORVEL_API CxAdapterFind {
    QV_HEAP_OPERATORS
public:
    CxAdapterFind();
    CxAdapterFind(const CxAdapterFind& other);
    CxAdapterFind& operator=(const CxAdapterFind& other);
    virtual ~CxAdapterFind();  // FindAdapterClose

    // Reads the adapter list and moves to the first adapter. 1 or 0.
    int FindAdapter();
    // Moves to the next adapter. 0 after the last (ERROR_NO_MORE_ITEMS) and
    // outside a walk (ERROR_INVALID_HANDLE).
    int FindNextAdapter();
    // Copies the current adapter's record; its pointer fields stay valid
    // until FindAdapterClose, the next FindAdapter or destruction.
    void GetAdapterInfo(IP_ADAPTER_INFO* pInfo);
    // Releases the block if this object owns it.
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
// answer, in ascending order of the last octet.
//
// Decisions:
// - A worker thread that cannot be started leaves its slice unprobed:
//   FindHost waits for the workers that did start, marks each octet of the
//   missing slice with kHostNotProbed in m_byHostFound (answered hosts hold
//   kHostAnswered, the others 0), and reports the hosts of the other slices.
//   If no worker could start, FindHost returns 0. No worker ever outlives
//   FindHost.
// - A probe that nobody answered (the system's ERROR_BAD_NET_NAME, or
//   ERROR_GEN_FAILURE on older systems) is no failure. When every probe
//   failed for another reason (a system that cannot send ARP requests at
//   all answers ERROR_NOT_SUPPORTED to each), FindHost returns 0 with the
//   error of the lowest address as the last error: the network could not
//   be probed, which is not the same as an empty network. When nobody
//   answered, FindHost returns 0 with ERROR_NO_MORE_ITEMS; so does
//   FindNextHost at the end. Without a local address FindHost returns 0
//   with the lookup's error (ERROR_NOT_FOUND if it left none), with
//   ERROR_INVALID_DATA when the address's text does not parse.
// - FindHost with a progress callback calls it on the calling thread about
//   every 100 ms while the workers run, and once more when all have ended,
//   with the number of addresses probed so far and of those that answered
//   (at most 254). It is never called when FindHost fails before probing.
// - A host whose reverse lookup fails gets an empty szHostName, never the
//   name of the host reported before it. A longer name than 255 characters
//   is cut to 255.
// - FindHostClose ends the walk: FindNextHost after it returns 0
//   (ERROR_INVALID_HANDLE) until the next FindHost. GetHostInfo keeps the last host.
// - GetHostInfo(NULL) does nothing.
// - A copy made after FindHost goes on reporting from the same position on
//   its own; the object must stay alive, and not be used from another
//   thread, while its FindHost runs.
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

    // Scans the subnet and moves to the first host that answers. 1 or 0.
    int FindHost();
    // The same, telling pfnProgress (if not NULL) how the scan goes.
    int FindHost(CX_SCAN_PROGRESS_PROC pfnProgress, void* pParam);
    // Moves to the next host that answered and still answers. 1 or 0.
    int FindNextHost();
    // Copies the current host's record (736 bytes on x86).
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
}

// Where CxSerialPortFind found a port (GetSource).
QV_CONSTEXPR int CX_PORT_FROM_MAP = 1;        // the registry's device map (SERIALCOMM) only
QV_CONSTEXPR int CX_PORT_FROM_INTERFACE = 2;  // the COM-port device interface class only
QV_CONSTEXPR int CX_PORT_FROM_BOTH = 3;       // both, matched by port name

// Every serial port once: the device map's port names merged with the
// present devices of the COM-port interface class
// {86E0D1E0-8089-11D0-9CE4-08003E301F73}, in natural order of the port
// name for a person (COM2, COM9, COM10; letters compared without case).
// The finder pattern of the library: FindPort starts and positions on the
// first port, FindNextPort advances (0 at the end and after it), the getters
// copy the current port out, Close (also run by the destructor) frees the
// list.
//
// Decisions:
// - FindPort reads both sources at once and keeps a list; it holds no
//   registry key or device information set afterwards. The list is a
//   snapshot: ports that come or go later are seen by the next FindPort.
// - An interface is matched to the map by its port name: the "PortName"
//   value of the device's parameters key (SetupDiOpenDevRegKey, DIREG_DEV).
//   Without one, a friendly name that ends in "(COMn)" gives the name, as
//   the ports class installer writes it; without either the interface is
//   listed by itself with an empty port name, after every named port (in
//   the order of their paths). Names compare without case. One entry per
//   port name: a second interface with a name already listed is left out.
// - GetDevicePath gives the path to pass to CxSerial::Open: "\\.\" and the
//   port name when the name is known (it opens COM10 and above too), else
//   the interface's device path. An interface path of 260 characters or
//   more cannot be handed out and counts as none.
// - Texts come from the interface's own device each time and are empty
//   where the device has none (nothing carries over from an earlier port);
//   map-only ports have only a port name and a path. Longer texts are cut
//   to 259 characters. The hardware ID is the first string of the list.
// - USB identity: the vendor and product IDs are the four hexadecimal
//   digits after "VID_" and "PID_" in the hardware ID, or, if it has none,
//   in the instance ID (letters in any case, followed by a non-hex
//   character or the end). The serial number is the last component of the
//   instance ID (after its last backslash) when the instance ID's
//   enumerator is "USB" and the component holds no '&': the system makes up
//   components with '&' for devices that report no serial number. Other
//   enumerators give no serial number.
// - Either source may be missing (no map key, no SetupAPI set): the other
//   is still listed. FindPort returns 0 with ERROR_NO_MORE_ITEMS when no
//   port is found, ERROR_NOT_ENOUGH_MEMORY if memory runs out.
// - Getters take buffers of at least 260 characters (NULL is ignored) and,
//   like the other finders, yield the port read last, or empty texts before
//   the first; GetSource then gives 0 and GetUsbIds 0.
// - Copies get their own copy of the list (there is no handle to share); a
//   copy that cannot get the memory is closed.
class QUORVEL_API CxSerialPortFind {
    QV_HEAP_OPERATORS
public:
    CxSerialPortFind();
    CxSerialPortFind(const CxSerialPortFind& other);
    CxSerialPortFind& operator=(const CxSerialPortFind& other);
    virtual ~CxSerialPortFind();  // Close

    // Lists the ports and moves to the first. 1 if there is one.
    virtual int FindPort();
    // Moves to the next port. 1 if there is one, 0 at the end
    // (ERROR_NO_MORE_ITEMS), and on a closed finder (ERROR_INVALID_HANDLE).
    virtual int FindNextPort();
    void Close();

    void GetPortName(wchar_t* pszName);          // "COM3"; empty if unknown
    void GetDevicePath(wchar_t* pszPath);        // what CxSerial::Open takes
    void GetFriendlyName(wchar_t* pszName);      // "USB Serial Port (COM3)"
    void GetHardwareID(wchar_t* pszID);          // "USB\VID_0403&PID_6001&REV_0600"
    void GetInstanceID(wchar_t* pszID);          // "USB\VID_0403&PID_6001\A50285BI"
    void GetSerialNumber(wchar_t* pszSerial);    // "A50285BI"; empty if none
    int GetSource();                             // CX_PORT_FROM_*; 0 before the first
    // 1 and the IDs if the port is known to be a USB device, else 0 and
    // zeros. Either pointer may be NULL.
    int GetUsbIds(unsigned short* pwVendorId, unsigned short* pwProductId);

protected:
    int m_nIndex;                      // current port; -1 before the first and when closed
    quorvel::SerialPortList* m_pList;  // the ports and the one read last; NULL until needed
};
