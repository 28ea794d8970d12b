/* Finders and Bluetooth from a C host, against simulated devices: the
 * merged port list with a USB port, the port watch and the search for a
 * USB device, the subnet scan with its progress, radios, an inquiry,
 * pairing, the authentication answerer and RFCOMM. */
#include <stddef.h>

#include "check.h"
#include "sim.h"

#define RADIO 0x001122334455ull
#define PHONE 0x0A0B0C0D0E01ull
#define PRINTER 0x0A0B0C0D0E03ull

static struct {
    qv_serial_port_info info;
    BYTE rest[65536 - sizeof(qv_serial_port_info) + 4];
} g_big;

static void usb_port_in_the_list(void) {
    void* usb = sim_usb_port(L"COM61", L"USB\\VID_0403&PID_6001\\A50285BI");
    qv_handle list = NULL;
    qv_serial_port_info port;
    DWORD count = 0, i;
    int found = 0;
    CHECK(usb != NULL);
    CHECK_STATUS(0, qv_find_serial_ports(&list));
    CHECK_STATUS(0, qv_list_count(list, &count));
    for (i = 0; i < count; ++i) {
        /* A host built against a later, larger record gets zeros beyond. */
        struct {
            qv_serial_port_info info;
            DWORD later;
        } grown;
        memset(&grown, 0xCC, sizeof grown);
        grown.info.size = sizeof grown;
        CHECK_STATUS(0, qv_list_serial_port(list, i, &grown.info));
        CHECK(grown.info.size == sizeof grown && grown.later == 0);
        port = grown.info;
        g_big.info.size = sizeof g_big; /* zeros up to 64 KiB at most */
        CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_list_serial_port(list, i, &g_big.info));
        g_big.info.size = 65536;
        CHECK_STATUS(0, qv_list_serial_port(list, i, &g_big.info));
        if (wcscmp(port.name, L"COM61") != 0) continue;
        found = 1;
        CHECK(port.sources == (QV_PORT_FROM_MAP | QV_PORT_FROM_INTERFACE));
        CHECK(port.is_usb && port.vendor_id == 0x0403 && port.product_id == 0x6001);
        CHECK(wcscmp(port.serial_number, L"A50285BI") == 0);
        CHECK(wcscmp(port.path, L"\\\\.\\COM61") == 0);
    }
    CHECK(found);
    CHECK_STATUS(0, qv_close(list));
    sim_usb_port_end(usb);
}

/* The next report of the port named name (others the machine has are
 * skipped), after the watch's events say one came. */
static DWORD next_report(qv_handle watch, const wchar_t* name, qv_serial_port_info* info) {
    DWORD event = 0, status, waited;
    for (waited = 0; waited < 200; ++waited) {
        status = qv_watch_take_report(watch, &event, info);
        if (status == ERROR_NO_MORE_ITEMS) {
            qv_wait_event(watch, 100, NULL, NULL, NULL);
            continue;
        }
        if (status || wcscmp(info->name, name) == 0) return status ? 0 : event;
    }
    return 0;
}

static volatile LONG g_watch_closed;

static void WINAPI close_on_event(void* context, qv_handle handle, DWORD event, DWORD detail) {
    (void)detail;
    CHECK(context == &g_watch_closed);
    CHECK(event == QV_EVENT_PORT_ARRIVED || event == QV_EVENT_PORT_REMOVED);
    CHECK_STATUS(0, qv_close(handle));
    InterlockedExchange(&g_watch_closed, 1);
}

/* The ports present when a watch starts, told before any callback is set:
 * the callback set later hears of them; a record too large for any
 * version is refused before a report is taken. */
static volatile LONG g_present, g_arrivals;

static void WINAPI take_arrivals(void* context, qv_handle handle, DWORD event, DWORD detail) {
    qv_serial_port_info info;
    (void)context;
    (void)detail;
    info.size = sizeof info;
    while (qv_watch_take_report(handle, &event, &info) == 0) {
        if (event != QV_EVENT_PORT_ARRIVED) continue;
        InterlockedIncrement(&g_arrivals);
        if (wcscmp(info.name, L"COM64") == 0) InterlockedIncrement(&g_present);
    }
}

static void present_ports_before_the_callback(void) {
    static union {
        qv_serial_port_info info;
        BYTE bytes[65540];
    } big;
    qv_handle watch = NULL, list = NULL;
    DWORD present = 0, start;
    void* usb = sim_usb_port(L"COM64", L"USB\\VID_0403&PID_6001\\QVCPRESENT");
    CHECK(usb != NULL);
    CHECK_STATUS(0, qv_find_serial_ports(&list));
    CHECK_STATUS(0, qv_list_count(list, &present));
    CHECK_STATUS(0, qv_close(list));
    CHECK_STATUS(0, qv_watch_ports(QV_WATCH_REPORT_PRESENT, 0, &watch));
    Sleep(300); /* the reports and their events wait */
    big.info.size = 65537;
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_watch_take_report(watch, NULL, &big.info));
    CHECK_STATUS(0, qv_set_callback(watch, take_arrivals, NULL));
    CHECK(wait_for(&g_present, 2000));
    for (start = GetTickCount(); (DWORD)g_arrivals < present && GetTickCount() - start < 2000;) Sleep(1);
    CHECK((DWORD)g_arrivals == present); /* none lost to the refused call */
    CHECK_STATUS(0, qv_close(watch));
    sim_usb_port_end(usb);
}

static void port_watch(void) {
    qv_handle watch = NULL, list = NULL;
    qv_serial_port_info info;
    DWORD kind = 0, count = 9;
    void* usb;
    void* bt;
    void* record;
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_watch_ports(2, 100, &watch));
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_watch_ports(0, 99, &watch));
    CHECK(watch == NULL);
    CHECK_STATUS(0, qv_watch_ports(0, 100, &watch));
    CHECK_STATUS(0, qv_handle_kind(watch, &kind));
    CHECK(kind == QV_KIND_PORT_WATCH);
    info.size = sizeof info;
    CHECK_STATUS(ERROR_NO_MORE_ITEMS, qv_watch_take_report(watch, NULL, &info));

    /* An adapter arrives, is found by its serial number, and leaves; a host
     * built against the first record gets what that record holds. */
    usb = sim_usb_port(L"COM62", L"USB\\VID_0403&PID_6001\\QVCWATCH");
    CHECK(usb != NULL);
    info.size = offsetof(qv_serial_port_info, is_bluetooth);
    CHECK(next_report(watch, L"COM62", &info) == QV_EVENT_PORT_ARRIVED);
    CHECK(info.size == offsetof(qv_serial_port_info, is_bluetooth));
    CHECK(info.is_usb && info.vendor_id == 0x0403 && info.product_id == 0x6001);
    CHECK(wcscmp(info.serial_number, L"QVCWATCH") == 0);
    CHECK_STATUS(0, qv_find_usb_port(0x0403, 0x6001, L"qvcwatch", &list));
    CHECK_STATUS(0, qv_list_count(list, &count));
    CHECK(count == 1);
    CHECK_STATUS(0, qv_list_serial_port(list, 0, &info));  /* the first record's size */
    CHECK(wcscmp(info.name, L"COM62") == 0);
    info.size = sizeof info;
    CHECK_STATUS(0, qv_list_serial_port(list, 0, &info));
    CHECK(wcscmp(info.name, L"COM62") == 0 && !info.is_bluetooth);
    CHECK_STATUS(0, qv_close(list));
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_find_usb_port(0x10000, 0x6001, NULL, &list));
    sim_usb_port_end(usb);
    CHECK(next_report(watch, L"COM62", &info) == QV_EVENT_PORT_REMOVED);
    CHECK(wcscmp(info.serial_number, L"QVCWATCH") == 0);
    CHECK_STATUS(0, qv_find_usb_port(0x0403, 0x6001, NULL, &list));
    CHECK_STATUS(0, qv_list_count(list, &count));
    CHECK(count == 0);
    CHECK_STATUS(0, qv_close(list));

    /* A Bluetooth-profile port names its remote device. */
    record = sim_bth_record(0x0012AB34CD56ull, "Sensor");
    bt = sim_usb_port(L"COM63", L"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\"
                               L"7&1&0&0012AB34CD56_C00000000");
    CHECK(record != NULL && bt != NULL);
    CHECK(next_report(watch, L"COM63", &info) == QV_EVENT_PORT_ARRIVED);
    CHECK(info.is_bluetooth && !info.is_usb);
    CHECK(wcscmp(info.bluetooth_address, L"(00:12:AB:34:CD:56)") == 0);
    CHECK(wcscmp(info.bluetooth_name, L"Sensor") == 0);

    /* Closed from its own callback. */
    CHECK_STATUS(0, qv_set_callback(watch, close_on_event, (void*)&g_watch_closed));
    sim_usb_port_end(bt);
    CHECK(wait_for(&g_watch_closed, 20000));
    CHECK_STATUS(ERROR_INVALID_HANDLE, qv_handle_kind(watch, &kind));
    sim_bth_record_end(record);
}

static volatile LONG g_progress_calls;
static DWORD g_last_probed;

static void WINAPI on_progress(void* context, DWORD probed, DWORD answered) {
    (void)answered;
    CHECK(context == &g_progress_calls);
    InterlockedIncrement(&g_progress_calls);
    g_last_probed = probed;
}

static void subnet_scan(void) {
    void* net = sim_hosts();
    qv_handle list = NULL;
    qv_host_info host;
    DWORD count = 0;
    sim_hosts_add(net, 7, 0x665544332211ull, "printer");
    sim_hosts_add(net, 200, 0x0A0B0C0D0E0Full, "");
    CHECK_STATUS(0, qv_find_hosts(on_progress, (void*)&g_progress_calls, &list));
    CHECK(g_progress_calls > 0 && g_last_probed == 254);
    CHECK_STATUS(0, qv_list_count(list, &count));
    CHECK(count == 2);
    host.size = sizeof host;
    CHECK_STATUS(0, qv_list_host(list, 0, &host));
    CHECK(wcscmp(host.address, L"10.77.5.7") == 0 && wcscmp(host.mac_text, L"11-22-33-44-55-66") == 0);
    CHECK(wcscmp(host.host_name, L"printer") == 0);
    CHECK_STATUS(0, qv_list_host(list, 1, &host));
    CHECK(wcscmp(host.address, L"10.77.5.200") == 0 && host.host_name[0] == 0);
    CHECK_STATUS(0, qv_close(list));
    sim_hosts_end(net);
}

/* One radio handle used by several threads: calls take their turn, a close
 * waits for a search under way, an authenticator holds the radio itself. */
static qv_handle g_radio;
static volatile LONG g_wrong;

static DWORD WINAPI search_rounds(void* rounds) {
    qv_handle list = NULL;
    DWORD count, status = 0;
    UINT_PTR i;
    for (i = 0; i < (UINT_PTR)rounds; ++i) {
        count = 0;
        status = qv_bth_find_devices(g_radio, 0, &list);
        if (status == 0) qv_list_count(list, &count);
        if (status == 0) qv_close(list);
        if (status != 0 || count != 2) InterlockedIncrement(&g_wrong);
    }
    return status;
}

static void shared_radio(void* stack) {
    HANDLE t[2];
    qv_handle answerer = NULL;
    CHECK_STATUS(0, qv_bth_radio_open(NULL, &g_radio));
    t[0] = CreateThread(NULL, 0, search_rounds, (void*)(UINT_PTR)30, 0, NULL);
    t[1] = CreateThread(NULL, 0, search_rounds, (void*)(UINT_PTR)30, 0, NULL);
    CHECK(WaitForMultipleObjects(2, t, TRUE, 30000) == WAIT_OBJECT_0 && g_wrong == 0);
    CloseHandle(t[0]);
    CloseHandle(t[1]);
    sim_bth_inquiry_ms(stack, 300);
    t[0] = CreateThread(NULL, 0, search_rounds, (void*)(UINT_PTR)1, 0, NULL);
    Sleep(100);
    CHECK_STATUS(0, qv_close(g_radio)); /* once the search is done */
    CHECK(WaitForSingleObject(t[0], 5000) == WAIT_OBJECT_0 && g_wrong == 0 && sim_bth_clean(stack));
    CloseHandle(t[0]);
    sim_bth_inquiry_ms(stack, 20);
    CHECK_STATUS(0, qv_bth_radio_open(NULL, &g_radio));
    CHECK_STATUS(0, qv_bth_authenticator_open(g_radio, L"(0A:0B:0C:0D:0E:01)", L"4321", &answerer));
    CHECK_STATUS(0, qv_close(g_radio));
    CHECK(sim_bth_request(stack, PHONE));
    CHECK_STATUS(0, qv_close(answerer));
    CHECK(sim_bth_clean(stack));
}

static void bluetooth(void) {
    void* stack = sim_bth_stack();
    qv_handle list = NULL, radio = NULL, server = NULL, client = NULL, peer = NULL, answerer = NULL;
    qv_bth_device device;
    DWORD count = 0, i, channel = 0, kind = 0, n = 0;
    wchar_t radio_text[48], text[64];
    char buffer[8];
    int phone = 0;

    /* Without a radio: empty lists, nothing to open. */
    CHECK_STATUS(0, qv_bth_find_radios(&list));
    CHECK_STATUS(0, qv_list_count(list, &count));
    CHECK(count == 0);
    CHECK_STATUS(0, qv_close(list));
    CHECK(qv_bth_radio_open(NULL, &radio) != 0 && radio == NULL);

    sim_bth_add_radio(stack, RADIO, L"desk radio");
    sim_bth_add_device(stack, 0, PHONE, L"phone", 0, L"4321");
    sim_bth_add_device(stack, 0, PRINTER, L"printer", 1, NULL);
    CHECK_STATUS(0, qv_bth_find_radios(&list));
    CHECK_STATUS(0, qv_list_count(list, &count));
    CHECK(count == 1);
    device.size = sizeof device;
    CHECK_STATUS(0, qv_list_bth_device(list, 0, &device));
    CHECK(wcscmp(device.name, L"desk radio") == 0 && device.address[0] == L'(');
    wcscpy(radio_text, device.address);
    CHECK_STATUS(0, qv_close(list));

    CHECK_STATUS(0, qv_bth_radio_open(NULL, &radio)); /* the first radio */
    CHECK_STATUS(0, qv_bth_radio_info(radio, &device));
    CHECK(wcscmp(device.address, radio_text) == 0);
    CHECK_STATUS(0, qv_bth_radio_set_discoverable(radio, TRUE));
    CHECK(sim_bth_discoverable(stack, 0));

    CHECK_STATUS(0, qv_bth_find_devices(radio, 0, &list));
    CHECK_STATUS(0, qv_list_count(list, &count));
    CHECK(count == 2);
    for (i = 0; i < count; ++i) {
        CHECK_STATUS(0, qv_list_bth_device(list, i, &device));
        if (wcscmp(device.name, L"phone") == 0) {
            phone = 1;
            CHECK(!(device.flags & QV_BTH_REMEMBERED));
        } else {
            CHECK(wcscmp(device.name, L"printer") == 0 && (device.flags & QV_BTH_REMEMBERED));
        }
    }
    CHECK(phone);
    CHECK_STATUS(0, qv_list_bth_device(list, 0, &device));
    CHECK_STATUS(0, qv_close(list));
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_bth_find_devices(radio, 8, &list));

    /* Pairing and answering with a passkey. */
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_bth_pair(radio, L"(0A:0B:0C:0D:0E:01)", L""));
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_bth_pair(radio, L"no address", L"1234"));
    CHECK_STATUS(0, qv_bth_pair(NULL, L"(0A:0B:0C:0D:0E:01)", L"4321"));
    CHECK(sim_bth_paired(stack, PHONE));
    CHECK_STATUS(0, qv_bth_unpair(L"(0A:0B:0C:0D:0E:01)"));
    CHECK(!sim_bth_paired(stack, PHONE));
    CHECK_STATUS(0, qv_bth_authenticator_open(radio, L"(0A:0B:0C:0D:0E:01)", L"4321", &answerer));
    CHECK(sim_bth_request(stack, PHONE));
    CHECK_STATUS(0, qv_close(answerer));
    CHECK(!sim_bth_request(stack, PHONE));

    /* RFCOMM on a channel of the radio, with a connection-waiting event. */
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_rfcomm_connect(radio_text, NULL, 0, 1000, &client));
    CHECK_STATUS(0, qv_rfcomm_listen(radio_text, 5, &server));
    CHECK_STATUS(WSAECONNREFUSED, qv_rfcomm_connect(radio_text, NULL, 9, 1000, &client));
    CHECK_STATUS(WAIT_TIMEOUT, qv_wait_event(server, 0, NULL, &n, NULL));
    CHECK_STATUS(0, qv_rfcomm_connect(radio_text, NULL, 5, 2000, &client));
    CHECK_STATUS(0, qv_wait_event(server, 2000, NULL, &n, NULL));
    CHECK(n == QV_EVENT_CONNECTION_WAITING);
    CHECK_STATUS(0, qv_accept(server, 2000, &peer));
    CHECK_STATUS(0, qv_handle_kind(peer, &kind));
    CHECK(kind == QV_KIND_RFCOMM);
    CHECK_STATUS(0, qv_send(client, "ping", 4, 1000, NULL));
    CHECK_STATUS(0, qv_recv(peer, buffer, 4, 1000, &n));
    CHECK(n == 4 && memcmp(buffer, "ping", 4) == 0);
    CHECK_STATUS(0, qv_peer_address(client, text, 64, NULL, &channel));
    CHECK(wcscmp(text, radio_text) == 0 && channel == 5);

    CHECK_STATUS(0, qv_close(peer));
    CHECK_STATUS(0, qv_close(client));
    CHECK_STATUS(0, qv_close(server));
    CHECK_STATUS(0, qv_close(radio));
    CHECK(sim_bth_clean(stack));
    shared_radio(stack);
    sim_bth_stack_end(stack);
}

void run_checks(void) {
    usb_port_in_the_list();
    port_watch();
    present_ports_before_the_callback();
    subnet_scan();
    bluetooth();
}
