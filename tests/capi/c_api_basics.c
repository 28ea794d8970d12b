/* The C interface from a C host: every declared function found by
 * GetProcAddress, handles that are not live, buffers and records at their
 * limits, the text helpers and the finders that Wine answers. */
#include "check.h"

#include "c_api_names.h" /* QV_C_API_NAMES: every function the header declares */
#include "c_api_doc_sizes.h" /* QV_DOC_SIZES: X(record, bytes) as docs/c-api.md states them */

static const char* const g_names[] = {QV_C_API_NAMES};

static void exports(void) {
    HMODULE module = GetModuleHandleW(L"quorvel.dll");
    size_t i;
    DWORD version = 0;
    CHECK(module != NULL);
    for (i = 0; module && i < sizeof g_names / sizeof g_names[0]; ++i) {
        if (!GetProcAddress(module, g_names[i])) check(0, g_names[i], __FILE__, __LINE__);
    }
    CHECK_STATUS(0, qv_version(&version));
    CHECK(version == QV_TEST_VERSION);
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_version(NULL));
}

static void handles_not_live(void) {
    qv_handle made_up[4];
    qv_handle queue = NULL;
    DWORD kind = 7, i, event = 0;
    int local = 0;
    made_up[0] = NULL;
    made_up[1] = (qv_handle)(UINT_PTR)0x12345678;
    made_up[2] = (qv_handle)(UINT_PTR)(3u << 18 | 5000u << 2 | 2u); /* a handle's shape, no entry */
    made_up[3] = (qv_handle)&local;
    for (i = 0; i < 4; ++i) {
        CHECK_STATUS(ERROR_INVALID_HANDLE, qv_close(made_up[i]));
        CHECK_STATUS(ERROR_INVALID_HANDLE, qv_handle_kind(made_up[i], &kind));
        CHECK_STATUS(ERROR_INVALID_HANDLE, qv_send(made_up[i], "x", 1, 0, NULL));
        CHECK_STATUS(ERROR_INVALID_HANDLE, qv_wait_event(made_up[i], 0, NULL, &event, NULL));
    }
    CHECK(kind == 0);
    /* A closed handle, and one of the wrong kind. */
    CHECK_STATUS(0, qv_queue_open(&queue));
    CHECK_STATUS(0, qv_handle_kind(queue, &kind));
    CHECK(kind == QV_KIND_EVENT_QUEUE);
    CHECK_STATUS(ERROR_INVALID_HANDLE, qv_send(queue, "x", 1, 0, NULL));
    CHECK_STATUS(ERROR_INVALID_HANDLE, qv_list_count(queue, &kind));
    CHECK_STATUS(WAIT_TIMEOUT, qv_wait_event(queue, 0, NULL, &event, NULL));
    CHECK_STATUS(0, qv_close(queue));
    CHECK_STATUS(ERROR_INVALID_HANDLE, qv_close(queue));
    CHECK_STATUS(ERROR_INVALID_HANDLE, qv_wait_event(queue, 0, NULL, &event, NULL));
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_queue_open(NULL));

    /* Entries are used again, the oldest first: a closed handle stays
     * invalid while its entry holds a new object. */
    {
        qv_handle first = NULL, later = NULL;
        int n;
        CHECK_STATUS(0, qv_queue_open(&first));
        CHECK_STATUS(0, qv_close(first));
        for (n = 0; n < 600; ++n) {
            CHECK_STATUS(0, qv_queue_open(&later));
            if (((UINT_PTR)later & 0x3FFFF) == ((UINT_PTR)first & 0x3FFFF)) break;
            CHECK_STATUS(0, qv_close(later));
        }
        CHECK(n < 600 && later != first);
        CHECK_STATUS(ERROR_INVALID_HANDLE, qv_handle_kind(first, &kind));
        CHECK_STATUS(ERROR_INVALID_HANDLE, qv_close(first));
        CHECK_STATUS(0, qv_handle_kind(later, &kind));
        CHECK_STATUS(0, qv_close(later));
    }

    /* One entry free, used and closed past the most generations a 32-bit
     * handle holds (16,383): its closed handles never come back. */
    {
        static qv_handle held[255];
        qv_handle first = NULL, later = NULL;
        int n, repeats = 0, elsewhere = 0;
        for (n = 0; n < 255; ++n) qv_queue_open(&held[n]);
        CHECK_STATUS(0, qv_queue_open(&first));
        CHECK_STATUS(0, qv_close(first));
        for (n = 0; n < 16400; ++n) {
            if (qv_queue_open(&later) != 0) break;
            repeats += later == first;
            /* Until it retires, the one free entry is the one used. */
            elsewhere += n < 16000 && (((UINT_PTR)later ^ (UINT_PTR)first) & 0x3FFFF) != 0;
            qv_close(later);
        }
        CHECK(n == 16400 && repeats == 0);
        CHECK(elsewhere == 0); /* else this check reaches no wrap: the table had more room */
        CHECK_STATUS(ERROR_INVALID_HANDLE, qv_handle_kind(first, &kind));
        for (n = 0; n < 255; ++n) qv_close(held[n]);
    }
}

static void text_at_limits(void) {
    wchar_t text[128];
    DWORD length = 0;
    BYTE mac[6] = {0x11, 0x22, 0x33, 0xAA, 0xBB, 0xCC}, back[6];
    BOOL usable = TRUE;

    CHECK_STATUS(0, qv_error_text(10061, text, 128, &length));
    CHECK(wcsstr(text, L"WSAECONNREFUSED (10061): ") == text && length == wcslen(text));
    CHECK_STATUS(ERROR_INSUFFICIENT_BUFFER, qv_error_text(10061, NULL, 0, &length));
    CHECK(length > 5);
    CHECK_STATUS(ERROR_INSUFFICIENT_BUFFER, qv_error_text(10061, text, length, NULL));
    CHECK(text[0] == 0);
    CHECK_STATUS(0, qv_error_text(10061, text, length + 1, NULL));
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_error_text(10061, NULL, 4, NULL));
    CHECK_STATUS(0, qv_error_text(0xE0001234, text, 128, NULL)); /* no message: a text still */

    CHECK_STATUS(0, qv_mac_to_text(mac, text, 18, &length));
    CHECK(wcscmp(text, L"11-22-33-AA-BB-CC") == 0 && length == 17);
    CHECK_STATUS(ERROR_INSUFFICIENT_BUFFER, qv_mac_to_text(mac, text, 17, &length));
    CHECK_STATUS(0, qv_mac_from_text(L"1-22-3-aa-Bb-c", back));
    CHECK(back[0] == 1 && back[3] == 0xAA && back[4] == 0xBB && back[5] == 0x0C);
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_mac_from_text(L"11-22-33", back));
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_mac_from_text(L"11-22-33-44-55-66-77", back));
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_mac_from_text(L"11-22-33-44-55-6G", back));
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_mac_from_text(NULL, back));

    CHECK_STATUS(0, qv_ip_is_usable(L"10.0.0.1", &usable));
    CHECK(usable);
    CHECK_STATUS(0, qv_ip_is_usable(L"127.0.0.1", &usable));
    CHECK(!usable);
    CHECK_STATUS(0, qv_resolve(L"localhost", text, 64, &length));
    CHECK(wcscmp(text, L"127.0.0.1") == 0);
    CHECK_STATUS(ERROR_INSUFFICIENT_BUFFER, qv_resolve(L"localhost", text, 9, &length));
    CHECK(length == 9);
}

static void finders(void) {
    qv_handle list = NULL;
    DWORD count = 99, i;
    qv_serial_port_info port;
    qv_adapter_info adapter;
    qv_device_interface_info device;
    wchar_t text[64];
    static const GUID unused = {0x5A1D2B4C, 0x7E11, 0x4C2A, {1, 2, 3, 4, 5, 6, 7, 8}};

    CHECK_STATUS(0, qv_find_serial_ports(&list));
    CHECK_STATUS(0, qv_list_count(list, &count));
    for (i = 0; i < count; ++i) {
        memset(&port, 0xCC, sizeof port);
        port.size = sizeof port;
        CHECK_STATUS(0, qv_list_serial_port(list, i, &port));
        CHECK(port.size == sizeof port && port.path[0] != 0 && port.sources != 0);
    }
    port.size = 8; /* smaller than any version of the record */
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_list_serial_port(list, 0, &port));
    port.size = sizeof port;
    CHECK_STATUS(ERROR_NO_MORE_ITEMS, qv_list_serial_port(list, count, &port));
    CHECK_STATUS(ERROR_INVALID_HANDLE, qv_list_adapter(list, 0, &adapter));
    CHECK_STATUS(0, qv_close(list));

    CHECK_STATUS(0, qv_find_adapters(&list));
    CHECK_STATUS(0, qv_list_count(list, &count));
    for (i = 0; i < count; ++i) {
        adapter.size = sizeof adapter;
        CHECK_STATUS(0, qv_list_adapter(list, i, &adapter));
        CHECK(adapter.mac_length <= 8 && wcslen(adapter.mac_text) == 17);
    }
    CHECK_STATUS(0, qv_close(list));

    CHECK_STATUS(0, qv_find_local_addresses(&list));
    CHECK_STATUS(0, qv_list_count(list, &count));
    CHECK(count >= 1);
    CHECK_STATUS(0, qv_list_local_address(list, 0, text, 64, NULL));
    CHECK(text[0] >= L'0' && text[0] <= L'9');
    CHECK_STATUS(0, qv_close(list));

    CHECK_STATUS(0, qv_find_device_interfaces(&unused, &list));
    CHECK_STATUS(0, qv_list_count(list, &count));
    CHECK(count == 0);
    device.size = sizeof device;
    CHECK_STATUS(ERROR_NO_MORE_ITEMS, qv_list_device_interface(list, 0, &device));
    CHECK_STATUS(0, qv_close(list));
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_find_device_interfaces(NULL, &list));
    CHECK(list == NULL);
}

/* The sizes the page gives hosts in other languages are the compiler's. */
static void record_sizes(void) {
    int rows = 0;
#define X(record, bytes)                                                                  \
    ++rows;                                                                               \
    if (!CHECK(sizeof(record) == (bytes)))                                                \
        printf("  sizeof(%s) is %u, the page says %u\n", #record, (unsigned)sizeof(record), \
               (unsigned)(bytes));
    QV_DOC_SIZES
#undef X
    CHECK(rows >= 5); /* the records of this version, every one listed (c_api_docs) */
}

static void serial_refusals(void) {
    qv_handle serial = (qv_handle)1;
    wchar_t name[300];
    int i;
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_serial_open(NULL, &serial));
    CHECK(serial == NULL);
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_serial_open(L"COM1", NULL));
    CHECK(qv_serial_open(L"COM250", &serial) != 0 && serial == NULL);
    for (i = 0; i < 299; ++i) name[i] = L'A';
    name[299] = 0;
    CHECK_STATUS(ERROR_FILENAME_EXCED_RANGE, qv_serial_open(name, &serial));
}

void run_checks(void) {
    exports();
    handles_not_live();
    text_at_limits();
    finders();
    record_sizes();
    serial_refusals();
}
