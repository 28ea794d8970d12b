/* quorvel C interface: every job of the library through plain C functions,
 * for hosts in any language that can call a Windows DLL (C, C#, Python,
 * VB6/VBA, Delphi, LabVIEW, Node.js). Both flavours of quorvel.dll export
 * these functions under the same plain names. Design notes, the table of
 * every function and declarations for other languages: docs/c-api.md.
 *
 * Compiles as C99 and later and as C++; needs only <windows.h> (include
 * <winsock2.h> first, or define WIN32_LEAN_AND_MEAN, if the host also uses
 * Windows Sockets).
 *
 * Conventions, for every function below:
 * - The calling convention is WINAPI (__stdcall on x86), callbacks included.
 * - The result is a status: 0 (ERROR_SUCCESS) for success, otherwise the
 *   Windows or Windows Sockets error code of the step that failed. Results
 *   travel through pointers. No caller needs GetLastError.
 * - Objects are reached through a qv_handle that the library makes and
 *   qv_close ends. A NULL, foreign, closed or wrong-kind handle gives
 *   ERROR_INVALID_HANDLE (6); the library never reads through it.
 * - A required pointer that is NULL, a flag or number out of its range:
 *   ERROR_INVALID_PARAMETER (87).
 * - A time limit is in milliseconds; INFINITE waits without one, 0 does not
 *   wait. A limit that runs out gives WAIT_TIMEOUT (258), whatever the
 *   endpoint.
 * - A call that qv_close ends (from another thread or from the handle's own
 *   callback) returns ERROR_OPERATION_ABORTED (995).
 * - Text is UTF-16 (wchar_t), NUL-terminated. Text results go into the
 *   caller's buffer of `capacity` characters (terminator included); *length
 *   (when the pointer is not NULL) receives the text's length without the
 *   terminator. Too small a buffer gives ERROR_INSUFFICIENT_BUFFER (122),
 *   the length needed in *length and the empty text in the buffer (when it
 *   holds at least one character).
 * - Records begin with their size in bytes: set `size` to sizeof the record
 *   before the call. Later versions only add members at the end; a record
 *   smaller than the first version's, or larger than 65536 bytes, is
 *   refused (ERROR_INVALID_PARAMETER).
 * - Windows Sockets is started and ended by the library as needed.
 */
#ifndef QUORVEL_QUORVEL_C_H
#define QUORVEL_QUORVEL_C_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The DLL exports the functions under their plain names through its
 * definition file; hosts import them. */
#if defined(QUORVEL_BUILD) || defined(QUORVEL_STATIC)
#define QV_C_API
#else
#define QV_C_API __declspec(dllimport)
#endif

/* An object of the library: an endpoint, a Bluetooth radio or registration,
 * an event queue or a list a finder made. Pointer-sized, opaque. */
typedef struct qv_object_* qv_handle;

/* ---- Handle kinds (qv_handle_kind) ------------------------------------ */
#define QV_KIND_SERIAL 1u               /* qv_serial_open */
#define QV_KIND_TCP 2u                  /* qv_tcp_connect, qv_accept on a TCP server */
#define QV_KIND_TCP_SERVER 3u           /* qv_tcp_listen */
#define QV_KIND_UDP 4u                  /* qv_udp_open */
#define QV_KIND_RFCOMM 5u               /* qv_rfcomm_connect, qv_accept on an RFCOMM server */
#define QV_KIND_RFCOMM_SERVER 6u        /* qv_rfcomm_listen */
#define QV_KIND_BTH_RADIO 7u            /* qv_bth_radio_open */
#define QV_KIND_BTH_AUTHENTICATOR 8u    /* qv_bth_authenticator_open */
#define QV_KIND_EVENT_QUEUE 9u          /* qv_queue_open */
#define QV_KIND_PORT_LIST 0x101u        /* qv_find_serial_ports */
#define QV_KIND_INTERFACE_LIST 0x102u   /* qv_find_device_interfaces */
#define QV_KIND_ADAPTER_LIST 0x103u     /* qv_find_adapters */
#define QV_KIND_ADDRESS_LIST 0x104u     /* qv_find_local_addresses */
#define QV_KIND_HOST_LIST 0x105u        /* qv_find_hosts */
#define QV_KIND_BTH_DEVICE_LIST 0x106u  /* qv_bth_find_radios, qv_bth_find_devices,
                                           qv_bth_lookup_devices */

/* ---- Events ------------------------------------------------------------
 * The codes are those of the C++ classes (CX_EVENT_*). Endpoints: serial,
 * TCP, TCP server, UDP, RFCOMM, RFCOMM server. */
#define QV_EVENT_DATA_READY 0x0001u          /* received data waits (detail 0) */
#define QV_EVENT_CONNECTION_WAITING 0x0008u  /* a server has a connection to accept */
#define QV_EVENT_CLOSED 0x0020u              /* the peer closed the connection, or it broke */
#define QV_EVENT_DEVICE_REMOVED 0x1001u      /* the serial device went away */
#define QV_EVENT_LINE_ERROR 0x1002u          /* received serial data was lost to a line
                                                error; detail: the CE_* flags */
/* 0x1003 to 0x1005 are the device events below (QV_EVENT_MODEM_CHANGED,
 * QV_EVENT_PORT_ARRIVED, QV_EVENT_PORT_REMOVED); 0x1006 to 0x10FF are kept
 * for device events to come. Hosts ignore codes they do not know. */

/* An event for a callback: the host's context, the endpoint, the event code
 * and its detail. Runs on the endpoint's listener thread; it may call any
 * function of this interface on the same handle, qv_close included. */
typedef void(WINAPI* qv_event_proc)(void* context, qv_handle handle, DWORD event, DWORD detail);

/* ---- Library -------------------------------------------------------- */

/* The DLL's version: major << 16 | minor << 8 | patch (0.2.0 is 0x000200). */
QV_C_API DWORD WINAPI qv_version(DWORD* version);

/* The text of an error code: its name where the library knows one
 * ("WSAECONNREFUSED", "ERROR_FILE_NOT_FOUND") and the system's message (or
 * the library's short text where the system has none), as
 * "WSAECONNREFUSED (10061): ...". Any other code still gets a text
 * ("error 12345", with the system's message if it has one). */
QV_C_API DWORD WINAPI qv_error_text(DWORD code, wchar_t* text, DWORD capacity, DWORD* length);

/* Ends any handle: closes the endpoint (ending calls under way on other
 * threads, which return ERROR_OPERATION_ABORTED), stops its listener,
 * releases the list or registration. Returns once no call of another thread
 * uses the handle; from the handle's own callback it does not wait for that
 * callback. The handle is invalid afterwards (ERROR_INVALID_HANDLE). */
QV_C_API DWORD WINAPI qv_close(qv_handle handle);

/* The kind of a live handle (QV_KIND_*). */
QV_C_API DWORD WINAPI qv_handle_kind(qv_handle handle, DWORD* kind);

/* ---- Events: four ways ------------------------------------------------
 * An endpoint delivers each event to one place: its callback if one is set,
 * else its window if one is set, else its queue (the event queue it is
 * routed to, or its own). It watches for events once the host has asked by
 * any of these calls (a serial port always does). Sockets repeat data-ready
 * and connection-waiting events while the data or connection waits; a
 * serial port repeats data-ready after each receive that took data while at
 * least its threshold still waits (a host that does not read is told once).
 * Every endpoint hands the events it queued before a callback or window was
 * set to it when it is set, from its listener thread (never inside
 * qv_set_callback); one whose listener has ended (a serial port whose
 * device went away) keeps them in its queue.
 * Queues hold each kind of event of an endpoint once: repeats coalesce
 * (line errors OR their flags), so a queue never overflows and closed,
 * removed and line-error events are never dropped. */

/* Sets the callback (NULL: none). Synchronous: once it returns, the old
 * callback is never entered again, unless it is called from inside that
 * callback (which does not wait for itself). */
QV_C_API DWORD WINAPI qv_set_callback(qv_handle endpoint, qv_event_proc proc, void* context);

/* Posts each event to a window: wParam the endpoint's qv_handle, lParam the
 * event code. NULL window: none. */
QV_C_API DWORD WINAPI qv_set_window(qv_handle endpoint, HWND window, UINT message);

/* An event queue that several endpoints can share (qv_set_queue): one wait
 * for all of them. Closing it ends its waits (ERROR_OPERATION_ABORTED);
 * endpoints routed to it then drop their queued events. */
QV_C_API DWORD WINAPI qv_queue_open(qv_handle* queue);
/* Routes an endpoint's queued events to a shared queue (NULL: its own
 * queue again). Events already queued move with it. */
QV_C_API DWORD WINAPI qv_set_queue(qv_handle endpoint, qv_handle queue);

/* Takes the next queued event, waiting at most timeout_ms for one:
 * of an endpoint's own queue (handle an endpoint, not routed to a shared
 * queue: else ERROR_INVALID_FUNCTION), or of a shared queue (handle the
 * queue). *source receives the endpoint, *event the code, *detail its
 * detail; any of the three may be NULL. WAIT_TIMEOUT when none came. */
QV_C_API DWORD WINAPI qv_wait_event(qv_handle handle, DWORD timeout_ms, qv_handle* source,
                                    DWORD* event, DWORD* detail);

/* A manual-reset event that is signalled while the queue of handle (an
 * endpoint's own, or a shared queue) holds events, for the host's own
 * WaitForMultipleObjects or MsgWaitForMultipleObjects. It belongs to the
 * library: do not close it; it is valid until the handle is closed. Take
 * events with qv_wait_event(handle, 0, ...) until WAIT_TIMEOUT, which
 * resets it. (When qv_set_queue moves an endpoint's events away, the event
 * may stay signalled until that wait finds none.) */
QV_C_API DWORD WINAPI qv_event_handle(qv_handle handle, HANDLE* waitable);

/* ---- Streams: serial ports, TCP and RFCOMM connections -----------------
 * One send may run beside one receive (each on its own thread). */

/* Sends exactly length bytes within timeout_ms for the whole call. *sent
 * (may be NULL) receives the count sent, also on failure. */
QV_C_API DWORD WINAPI qv_send(qv_handle stream, const void* data, DWORD length, DWORD timeout_ms,
                              DWORD* sent);
/* Receives exactly length bytes within timeout_ms for the whole call;
 * WAIT_TIMEOUT with what came in *received (may be NULL). A connection the
 * peer closed gives WSAEDISCON (10101). */
QV_C_API DWORD WINAPI qv_recv(qv_handle stream, void* buffer, DWORD length, DWORD timeout_ms,
                              DWORD* received);
/* Receives what has arrived, at most size bytes (at least 1), waiting at
 * most timeout_ms for the first byte: 0 with at least one byte in
 * *received, WAIT_TIMEOUT with none, WSAEDISCON once the peer has closed
 * and everything is read. */
QV_C_API DWORD WINAPI qv_recv_some(qv_handle stream, void* buffer, DWORD size, DWORD timeout_ms,
                                   DWORD* received);
/* Bytes received and not yet read, and (serial ports) bytes not yet sent;
 * either pointer may be NULL. Sockets report 0 bytes to send. */
QV_C_API DWORD WINAPI qv_queue_counts(qv_handle stream, DWORD* to_read, DWORD* to_send);

/* ---- Serial ports ------------------------------------------------------ */
#define QV_PARITY_NONE 0u
#define QV_PARITY_ODD 1u
#define QV_PARITY_EVEN 2u
#define QV_PARITY_MARK 3u
#define QV_PARITY_SPACE 4u
#define QV_STOP_BITS_1 1u
#define QV_STOP_BITS_2 2u
#define QV_STOP_BITS_1_5 15u  /* one and a half */
#define QV_FLOW_NONE 0u
#define QV_FLOW_RTS_CTS 1u    /* hardware handshake */
#define QV_FLOW_XON_XOFF 2u   /* software handshake */
#define QV_PURGE_RECEIVE 1u
#define QV_PURGE_SEND 2u

/* Opens a serial port by name ("COM3", "COM12", any letter case) or path
 * ("\\.\COM12") for this process alone. It reports data-ready (at least the
 * threshold of bytes waits, default 1), line-error and device-removed
 * events. */
QV_C_API DWORD WINAPI qv_serial_open(const wchar_t* port, qv_handle* serial);
/* Line settings as plain numbers: baud (> 0), data bits (5 to 8), parity
 * (QV_PARITY_*), stop bits (QV_STOP_BITS_*), flow control (QV_FLOW_*). The
 * driver may take a nearby rate: qv_serial_get_line tells what it took. */
QV_C_API DWORD WINAPI qv_serial_set_line(qv_handle serial, DWORD baud, DWORD data_bits,
                                         DWORD parity, DWORD stop_bits, DWORD flow);
/* The settings the driver holds; any pointer may be NULL. A flow control
 * the host set up otherwise reads as the nearest QV_FLOW_*. */
QV_C_API DWORD WINAPI qv_serial_get_line(qv_handle serial, DWORD* baud, DWORD* data_bits,
                                         DWORD* parity, DWORD* stop_bits, DWORD* flow);
/* Discards what waits in the receive and/or send queue (QV_PURGE_*). */
QV_C_API DWORD WINAPI qv_serial_purge(qv_handle serial, DWORD queues);
/* Asks the driver for queues of these sizes in bytes. */
QV_C_API DWORD WINAPI qv_serial_set_queue_sizes(qv_handle serial, DWORD receive, DWORD send);
/* The bytes that must wait before a data-ready event (1 to 65535). */
QV_C_API DWORD WINAPI qv_serial_set_threshold(qv_handle serial, DWORD bytes);
/* The CE_* flags and the discarded byte count of the last line error (0 and
 * 0 if none); either pointer may be NULL. */
QV_C_API DWORD WINAPI qv_serial_line_error(qv_handle serial, DWORD* errors, DWORD* discarded);

/* ---- Serial modem lines ------------------------------------------------
 * A driver that has no such line, or gives it to flow control, refuses
 * with its own error (ERROR_NOT_SUPPORTED, ERROR_INVALID_PARAMETER...). */
#define QV_EVENT_MODEM_CHANGED 0x1003u  /* CTS, DSR, RI or DCD changed (once asked with
                                           qv_serial_watch_modem); detail: the lines
                                           now | the lines that changed << 8 */
#define QV_MODEM_CTS 0x10u   /* lines: the MS_*_ON bits of GetCommModemStatus */
#define QV_MODEM_DSR 0x20u
#define QV_MODEM_RING 0x40u  /* a ring is told as it ends: RING changed, and is off */
#define QV_MODEM_DCD 0x80u
#define QV_MODEM_STATE(detail) ((detail) & 0xF0u)
#define QV_MODEM_CHANGES(detail) (((detail) >> 8) & 0xF0u)

/* DTR or RTS up (TRUE) or down. They stay so across qv_serial_set_line
 * (RTS unless it goes to QV_FLOW_RTS_CTS); both are up after opening. */
QV_C_API DWORD WINAPI qv_serial_set_dtr(qv_handle serial, BOOL on);
QV_C_API DWORD WINAPI qv_serial_set_rts(qv_handle serial, BOOL on);
/* Holds a break on the line (TRUE) until it is cleared (FALSE). */
QV_C_API DWORD WINAPI qv_serial_set_break(qv_handle serial, BOOL on);
/* A break of duration_ms (INFINITE: ERROR_INVALID_PARAMETER), after which
 * the line is free again; qv_close ends it early. */
QV_C_API DWORD WINAPI qv_serial_send_break(qv_handle serial, DWORD duration_ms);
/* The input lines now (QV_MODEM_*). */
QV_C_API DWORD WINAPI qv_serial_modem_status(qv_handle serial, DWORD* lines);
/* For a window host, whose message carries only the event code: the detail
 * of the QV_EVENT_MODEM_CHANGED messages posted since the last call, as
 * one event's detail (the changes add up, the lines are the latest); 0
 * when none was posted. Callbacks and queues get the detail with the event. */
QV_C_API DWORD WINAPI qv_serial_modem_changes(qv_handle serial, DWORD* detail);
/* Starts (TRUE) or stops reporting QV_EVENT_MODEM_CHANGED. Off after
 * qv_serial_open: with hardware flow control CTS moves with every full
 * buffer, and some drivers report no lines (their error then). Repeats
 * coalesce in a queue: the changes OR, the lines are the latest. */
QV_C_API DWORD WINAPI qv_serial_watch_modem(qv_handle serial, BOOL enable);

/* ---- TCP and shared socket calls ---------------------------------------
 * IPv4 address text is numeric ("127.0.0.1"); host names are resolved with
 * qv_resolve. Ports are 1 to 65535 (0 where the system may choose). */

/* Connects within timeout_ms. */
QV_C_API DWORD WINAPI qv_tcp_connect(const wchar_t* address, DWORD port, DWORD timeout_ms,
                                     qv_handle* connection);
/* Listens on a local address (NULL or "": every interface) and port (0: the
 * system chooses; qv_local_address tells). It reports connection-waiting
 * events. */
QV_C_API DWORD WINAPI qv_tcp_listen(const wchar_t* address, DWORD port, qv_handle* server);
/* Accepts a connection on a TCP or RFCOMM server, waiting at most
 * timeout_ms: a new QV_KIND_TCP or QV_KIND_RFCOMM handle. */
QV_C_API DWORD WINAPI qv_accept(qv_handle server, DWORD timeout_ms, qv_handle* connection);
/* The local or the remote address of a socket endpoint as text without the
 * port (IPv4 text, or Bluetooth address text for RFCOMM) and its port (the
 * RFCOMM channel); port may be NULL. */
QV_C_API DWORD WINAPI qv_local_address(qv_handle socket, wchar_t* text, DWORD capacity,
                                       DWORD* length, DWORD* port);
QV_C_API DWORD WINAPI qv_peer_address(qv_handle socket, wchar_t* text, DWORD capacity,
                                      DWORD* length, DWORD* port);

/* ---- UDP ---------------------------------------------------------------- */

/* A UDP socket bound to port (0: the system chooses) on every interface.
 * It reports data-ready events. */
QV_C_API DWORD WINAPI qv_udp_open(DWORD port, qv_handle* udp);
#define QV_UDP_MAX_DATAGRAM 65507u /* the largest IPv4 UDP payload */
/* One datagram of length bytes (0 to QV_UDP_MAX_DATAGRAM) to address and
 * port; port 0 takes the port written in the text ("a.b.c.d:port"). */
QV_C_API DWORD WINAPI qv_udp_send_to(qv_handle udp, const wchar_t* address, DWORD port,
                                     const void* data, DWORD length);
#define QV_UDP_SENDER_CCH 16 /* qv_udp_recv_from: room for any sender's address text */
/* One whole datagram into buffer (size bytes), waiting at most timeout_ms:
 * its length in *length, its sender's address text (without the port) in
 * sender and port in *sender_port (may be NULL). sender may be NULL with
 * capacity 0; otherwise sender_capacity must hold any IPv4 address text,
 * QV_UDP_SENDER_CCH (16) characters: a smaller one gives
 * ERROR_INSUFFICIENT_BUFFER with 15 (the longest text) in *length, before
 * any datagram is taken. A larger datagram fails with WSAEMSGSIZE (10040)
 * and is gone. */
QV_C_API DWORD WINAPI qv_udp_recv_from(qv_handle udp, void* buffer, DWORD size, DWORD timeout_ms,
                                       DWORD* length, wchar_t* sender, DWORD sender_capacity,
                                       DWORD* sender_port);

/* ---- Bluetooth --------------------------------------------------------
 * Addresses are text, "(00:11:22:33:44:55)". Where Windows has no Bluetooth
 * the calls fail as without a radio (ERROR_NOT_SUPPORTED, or an empty
 * list). */
#define QV_BTH_ADDRESS_CCH 48
#define QV_BTH_NAME_CCH 248
#define QV_BTH_CONNECTED 1u      /* qv_bth_device.flags */
#define QV_BTH_REMEMBERED 2u
#define QV_BTH_AUTHENTICATED 4u
#define QV_BTH_FORGET_FIRST 1u   /* qv_bth_find_devices: forget remembered devices first */

/* A radio or a remote device. */
typedef struct qv_bth_device {
    DWORD size;                       /* sizeof(qv_bth_device) */
    DWORD class_of_device;
    DWORD flags;                      /* QV_BTH_* (remote devices of a search) */
    wchar_t address[QV_BTH_ADDRESS_CCH];
    wchar_t name[QV_BTH_NAME_CCH];
} qv_bth_device;

/* A list of the local radios (qv_list_bth_device). */
QV_C_API DWORD WINAPI qv_bth_find_radios(qv_handle* list);
/* Opens a radio by its address text; NULL or "": the first radio. Calls
 * that name one radio handle take their turn, from any thread (a search
 * holds it to its end); qv_close of the radio waits for the call under way,
 * and calls still waiting for their turn return ERROR_OPERATION_ABORTED. */
QV_C_API DWORD WINAPI qv_bth_radio_open(const wchar_t* address, qv_handle* radio);
QV_C_API DWORD WINAPI qv_bth_radio_info(qv_handle radio, qv_bth_device* info);
QV_C_API DWORD WINAPI qv_bth_radio_set_discoverable(qv_handle radio, BOOL enable);
QV_C_API DWORD WINAPI qv_bth_radio_set_connectable(qv_handle radio, BOOL enable);
/* Runs an inquiry to its end (about 6 seconds) on a radio (NULL: every
 * radio) and lists the devices found (QV_BTH_FORGET_FIRST: only devices
 * the radio did not remember, after forgetting every one). */
QV_C_API DWORD WINAPI qv_bth_find_devices(qv_handle radio, DWORD flags, qv_handle* list);
/* Lists the devices the Windows Sockets Bluetooth name space knows. */
QV_C_API DWORD WINAPI qv_bth_lookup_devices(qv_handle* list);
/* Pairs with a device using a passkey (1 to 15 characters), through a
 * radio (NULL: any radio). The platform's error on failure. */
QV_C_API DWORD WINAPI qv_bth_pair(qv_handle radio, const wchar_t* device, const wchar_t* passkey);
/* Makes the system forget a device (paired or remembered). */
QV_C_API DWORD WINAPI qv_bth_unpair(const wchar_t* device);
/* Enables the Serial Port Profile service of a paired device (the system
 * then makes a serial port for it). */
QV_C_API DWORD WINAPI qv_bth_enable_serial_service(qv_handle radio, const wchar_t* device);
/* Answers the authentication requests of a device (NULL: of every device)
 * on a radio (NULL: any radio) with a passkey, until the handle is closed.
 * It holds the radio itself: closing the radio's handle first does not stop
 * it. */
QV_C_API DWORD WINAPI qv_bth_authenticator_open(qv_handle radio, const wchar_t* device,
                                                const wchar_t* passkey, qv_handle* authenticator);
/* An RFCOMM connection to a device on a channel (1 to 30), or to a service
 * class (channel 0) the system resolves, within timeout_ms. */
QV_C_API DWORD WINAPI qv_rfcomm_connect(const wchar_t* device, const GUID* service, DWORD channel,
                                        DWORD timeout_ms, qv_handle* connection);
/* Listens for RFCOMM connections on a radio (NULL or "": any radio) and
 * channel. It publishes no service record. */
QV_C_API DWORD WINAPI qv_rfcomm_listen(const wchar_t* radio, DWORD channel, qv_handle* server);

/* ---- Finders -----------------------------------------------------------
 * A finder takes a snapshot into a list handle; the list is read by index
 * (0 to count - 1; beyond: ERROR_NO_MORE_ITEMS) and ended with qv_close. */
#define QV_TEXT_CCH 260          /* device paths, names and properties */
#define QV_IP_ADDRESS_CCH 64
#define QV_MAC_ADDRESS_CCH 48
#define QV_HOST_NAME_CCH 256
#define QV_PORT_FROM_MAP 1u        /* qv_serial_port_info.sources: the registry's map */
#define QV_PORT_FROM_INTERFACE 2u  /* the COM-port device interface class */

/* The number of items of any list. */
QV_C_API DWORD WINAPI qv_list_count(qv_handle list, DWORD* count);

/* Every serial port once: the registry's device map merged with the
 * present COM-port devices, in natural order of the name (COM2, COM10). */
typedef struct qv_serial_port_info {
    DWORD size;                         /* sizeof(qv_serial_port_info) */
    DWORD sources;                      /* QV_PORT_FROM_* */
    DWORD is_usb;                       /* 1: vendor_id and product_id are known */
    WORD vendor_id;
    WORD product_id;
    wchar_t name[QV_TEXT_CCH];          /* "COM3"; empty if unknown */
    wchar_t path[QV_TEXT_CCH];          /* what qv_serial_open takes: "\\.\COM3" */
    wchar_t friendly_name[QV_TEXT_CCH]; /* "USB Serial Port (COM3)" */
    wchar_t hardware_id[QV_TEXT_CCH];
    wchar_t instance_id[QV_TEXT_CCH];
    wchar_t serial_number[QV_TEXT_CCH]; /* the USB serial number; empty if none */
    /* Added after 0.2.0 (a record that ends at serial_number still works): */
    DWORD is_bluetooth;                 /* 1: a port of the Bluetooth serial profile whose
                                           remote device is known */
    wchar_t bluetooth_address[QV_BTH_ADDRESS_CCH]; /* "(00:11:22:33:44:55)"; empty if none */
    wchar_t bluetooth_name[QV_BTH_NAME_CCH];  /* its name where the system has it */
} qv_serial_port_info;
QV_C_API DWORD WINAPI qv_find_serial_ports(qv_handle* list);
QV_C_API DWORD WINAPI qv_list_serial_port(qv_handle list, DWORD index, qv_serial_port_info* info);
/* Where a USB device is now: the ports with these vendor and product ids
 * (0 to 0xFFFF) and, unless serial_number is NULL or "", this serial number
 * (any letter case), in a port list; an empty list when it is not there. */
QV_C_API DWORD WINAPI qv_find_usb_port(DWORD vendor_id, DWORD product_id,
                                       const wchar_t* serial_number, qv_handle* list);

/* The present devices that expose a device interface class. */
typedef struct qv_device_interface_info {
    DWORD size;                         /* sizeof(qv_device_interface_info) */
    GUID interface_class;
    GUID setup_class;                   /* of the owning device */
    wchar_t path[QV_TEXT_CCH];
    wchar_t instance_id[QV_TEXT_CCH];
    wchar_t hardware_id[QV_TEXT_CCH];   /* the first of the list */
    wchar_t friendly_name[QV_TEXT_CCH];
    wchar_t location[QV_TEXT_CCH];
    wchar_t description[QV_TEXT_CCH];
} qv_device_interface_info;
QV_C_API DWORD WINAPI qv_find_device_interfaces(const GUID* interface_class, qv_handle* list);
QV_C_API DWORD WINAPI qv_list_device_interface(qv_handle list, DWORD index,
                                               qv_device_interface_info* info);

/* The network adapters (IPv4). */
typedef struct qv_adapter_info {
    DWORD size;                         /* sizeof(qv_adapter_info) */
    DWORD index;                        /* the system's interface index */
    DWORD type;                         /* MIB_IF_TYPE_* */
    DWORD dhcp_enabled;
    DWORD mac_length;                   /* bytes of mac used */
    BYTE mac[8];
    wchar_t name[QV_TEXT_CCH];          /* the adapter's name ("{GUID}") */
    wchar_t description[QV_TEXT_CCH];
    wchar_t mac_text[QV_MAC_ADDRESS_CCH];  /* "11-22-33-44-55-66" */
    wchar_t address[QV_IP_ADDRESS_CCH];    /* first IPv4 address */
    wchar_t mask[QV_IP_ADDRESS_CCH];
    wchar_t gateway[QV_IP_ADDRESS_CCH];
} qv_adapter_info;
QV_C_API DWORD WINAPI qv_find_adapters(qv_handle* list);
QV_C_API DWORD WINAPI qv_list_adapter(qv_handle list, DWORD index, qv_adapter_info* info);

/* The local host's IPv4 addresses, as the name service lists them. */
QV_C_API DWORD WINAPI qv_find_local_addresses(qv_handle* list);
QV_C_API DWORD WINAPI qv_list_local_address(qv_handle list, DWORD index, wchar_t* text,
                                            DWORD capacity, DWORD* length);

/* Progress of a subnet scan: probed of 254 addresses so far, answered of
 * them. On the scanning thread, about every 100 ms and once at the end. */
typedef void(WINAPI* qv_scan_progress_proc)(void* context, DWORD probed, DWORD answered);
/* A live host of the local /24 subnet. */
typedef struct qv_host_info {
    DWORD size;                            /* sizeof(qv_host_info) */
    wchar_t address[QV_IP_ADDRESS_CCH];
    wchar_t mac_text[QV_MAC_ADDRESS_CCH];
    wchar_t host_name[QV_HOST_NAME_CCH];   /* empty if the reverse lookup failed */
} qv_host_info;
/* Scans the local /24 subnet by ARP (several seconds) and lists the hosts
 * that answered; progress may be NULL. An empty list is a success. */
QV_C_API DWORD WINAPI qv_find_hosts(qv_scan_progress_proc progress, void* context,
                                    qv_handle* list);
QV_C_API DWORD WINAPI qv_list_host(qv_handle list, DWORD index, qv_host_info* info);

/* Radios and remote devices (qv_bth_find_radios, qv_bth_find_devices,
 * qv_bth_lookup_devices). */
QV_C_API DWORD WINAPI qv_list_bth_device(qv_handle list, DWORD index, qv_bth_device* info);

/* ---- Port watch ---------------------------------------------------------
 * Tells the host while it runs when serial ports arrive and leave. Each
 * change of the merged port list is a report, and each report raises an
 * event through the four ways of the endpoints (qv_set_callback,
 * qv_set_window, qv_wait_event, qv_event_handle); on each event, take
 * reports with qv_watch_take_report until ERROR_NO_MORE_ITEMS (queued
 * events coalesce, and an event may find its report taken already). The
 * watch reads the list again shortly after each device notification of the
 * system and every rescan_ms in any case. */
#define QV_KIND_PORT_WATCH 10u            /* qv_watch_ports */
#define QV_EVENT_PORT_ARRIVED 0x1004u     /* a serial port arrived (detail 0) */
#define QV_EVENT_PORT_REMOVED 0x1005u     /* a serial port left (detail 0) */
#define QV_WATCH_REPORT_PRESENT 1u        /* qv_watch_ports: report the ports present
                                             now as arrived first */
#define QV_WATCH_RESCAN_DEFAULT 2000u     /* milliseconds */

/* Starts watching: flags 0 or QV_WATCH_REPORT_PRESENT; rescan_ms 0 (device
 * notifications only) or 100 to 86400000. */
QV_C_API DWORD WINAPI qv_watch_ports(DWORD flags, DWORD rescan_ms, qv_handle* watch);
/* Takes the oldest report not taken: *event QV_EVENT_PORT_ARRIVED or
 * QV_EVENT_PORT_REMOVED (may be NULL) and the port as the port list gives
 * it. ERROR_NO_MORE_ITEMS when none waits. The watch keeps the newest 128. */
QV_C_API DWORD WINAPI qv_watch_take_report(qv_handle watch, DWORD* event,
                                           qv_serial_port_info* info);

/* ---- Address text ------------------------------------------------------- */

/* *usable: TRUE when text is IPv4 text whose first octet is none of 0, 127,
 * 169 and 255. */
QV_C_API DWORD WINAPI qv_ip_is_usable(const wchar_t* text, BOOL* usable);
/* The first IPv4 address of a host name, as text. */
QV_C_API DWORD WINAPI qv_resolve(const wchar_t* name, wchar_t* address, DWORD capacity,
                                 DWORD* length);
/* The first local address that qv_ip_is_usable accepts. */
QV_C_API DWORD WINAPI qv_first_local_address(wchar_t* address, DWORD capacity, DWORD* length);
/* Six address bytes, the first in mac[0], as "11-22-33-44-55-66". */
QV_C_API DWORD WINAPI qv_mac_to_text(const BYTE* mac, wchar_t* text, DWORD capacity,
                                     DWORD* length);
/* MAC text (six fields of one or two hexadecimal digits, either case,
 * separated by "-", white space allowed before a field, nothing after the
 * last) into six bytes; other text: ERROR_INVALID_PARAMETER. */
QV_C_API DWORD WINAPI qv_mac_from_text(const wchar_t* text, BYTE* mac);

#ifdef __cplusplus
}
#endif

#endif /* QUORVEL_QUORVEL_C_H */
