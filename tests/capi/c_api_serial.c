/* A serial port from a C host, against a simulated port: opening by name,
 * line settings as numbers, transfers with time limits, data-ready,
 * line-error and removal events, closing during a blocking receive, and the
 * modem lines. */
#include "check.h"
#include "sim.h"

typedef struct Blocked {
    qv_handle handle;
    DWORD status, received;
} Blocked;

static DWORD WINAPI receive_forever(void* context) {
    Blocked* b = (Blocked*)context;
    char buffer[8];
    b->status = qv_recv(b->handle, buffer, sizeof buffer, INFINITE, &b->received);
    return 0;
}

static struct Told {
    qv_handle handle;
    volatile LONG calls;
    DWORD detail, thread;
} g_told;

static void WINAPI on_line_error(void* context, qv_handle handle, DWORD event, DWORD detail) {
    struct Told* told = (struct Told*)context;
    if (handle != told->handle || event != QV_EVENT_LINE_ERROR) return;
    told->detail = detail;
    told->thread = GetCurrentThreadId();
    InterlockedIncrement(&told->calls);
}

static void settings_and_transfers(void* port) {
    qv_handle serial = NULL;
    DWORD baud = 0, bits = 0, parity = 9, stop = 0, flow = 9, n = 0, event = 0, detail = 0;
    DWORD errors = 0, discarded = 0;
    char buffer[16];

    CHECK_STATUS(0, qv_serial_open(L"com7", &serial)); /* a name in any case */
    CHECK_STATUS(0, qv_serial_set_line(serial, 19200, 7, QV_PARITY_EVEN, QV_STOP_BITS_2,
                                       QV_FLOW_RTS_CTS));
    CHECK_STATUS(0, qv_serial_get_line(serial, &baud, &bits, &parity, &stop, &flow));
    CHECK(baud == 19200 && bits == 7 && parity == QV_PARITY_EVEN && stop == QV_STOP_BITS_2 &&
          flow == QV_FLOW_RTS_CTS);
    CHECK_STATUS(0, qv_serial_set_line(serial, 9600, 8, QV_PARITY_NONE, QV_STOP_BITS_1_5,
                                       QV_FLOW_XON_XOFF));
    CHECK_STATUS(0, qv_serial_get_line(serial, NULL, NULL, NULL, &stop, &flow));
    CHECK(stop == QV_STOP_BITS_1_5 && flow == QV_FLOW_XON_XOFF);
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_serial_set_line(serial, 9600, 9, 0, 1, 0));
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_serial_set_line(serial, 0, 8, 0, 1, 0));
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_serial_set_line(serial, 9600, 8, 5, 1, 0));
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_serial_set_line(serial, 9600, 8, 0, 3, 0));
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_serial_set_line(serial, 9600, 8, 0, 1, 3));
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_serial_set_threshold(serial, 0));
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_serial_purge(serial, 4));
    CHECK_STATUS(ERROR_INVALID_HANDLE, qv_accept(serial, 0, NULL)); /* not a server */

    CHECK_STATUS(0, qv_send(serial, "AT\r", 3, 1000, &n));
    CHECK(n == 3 && sim_serial_sent(port, buffer, sizeof buffer) == 3 && memcmp(buffer, "AT\r", 3) == 0);
    CHECK_STATUS(WAIT_TIMEOUT, qv_recv_some(serial, buffer, sizeof buffer, 0, &n));
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_recv_some(serial, buffer, 0, 0, &n));
    CHECK_STATUS(WAIT_TIMEOUT, qv_recv(serial, buffer, 4, 100, &n));
    CHECK(n == 0);

    sim_serial_arrive(port, "OK\r\n");
    CHECK_STATUS(0, qv_wait_event(serial, 2000, NULL, &event, &detail));
    CHECK(event == QV_EVENT_DATA_READY && detail == 0);
    CHECK_STATUS(0, qv_queue_counts(serial, &n, NULL));
    CHECK(n == 4);
    CHECK_STATUS(0, qv_recv_some(serial, buffer, 2, 1000, &n));
    CHECK(n == 2 && memcmp(buffer, "OK", 2) == 0);
    CHECK_STATUS(0, qv_recv_some(serial, buffer, sizeof buffer, 1000, &n));
    CHECK(n == 2 && memcmp(buffer, "\r\n", 2) == 0);
    sim_serial_arrive(port, "ab");
    CHECK_STATUS(WAIT_TIMEOUT, qv_recv(serial, buffer, 3, 300, &n));
    CHECK(n == 2 && memcmp(buffer, "ab", 2) == 0);

    /* A line error: its flags come with the event, and the data is gone. */
    sim_serial_line_error(port, CE_FRAME, "xyz");
    CHECK(next_event_but_data(serial, 2000) == QV_EVENT_LINE_ERROR);
    CHECK_STATUS(0, qv_serial_line_error(serial, &errors, &discarded));
    CHECK(errors == CE_FRAME && discarded == 3);
    CHECK_STATUS(0, qv_queue_counts(serial, &n, NULL));
    CHECK(n == 0);

    /* A line error that a receive finds first still reaches the host, from
     * the listener (never inside the host's own call). */
    CHECK_STATUS(0, qv_serial_set_threshold(serial, 100)); /* no data-ready meanwhile */
    g_told.handle = serial;
    CHECK_STATUS(0, qv_set_callback(serial, on_line_error, &g_told));
    sim_serial_errors_for_me(1);
    sim_serial_line_error(port, CE_RXPARITY, "p");
    Sleep(50); /* the listener saw the event, and no error */
    CHECK_STATUS(WAIT_TIMEOUT, qv_recv_some(serial, buffer, sizeof buffer, 0, &n));
    sim_serial_errors_for_me(0);
    CHECK(wait_for(&g_told.calls, 2000));
    CHECK(g_told.detail == CE_RXPARITY && g_told.thread != GetCurrentThreadId());
    CHECK_STATUS(0, qv_set_callback(serial, NULL, NULL));

    sim_serial_arrive(port, "junk");
    CHECK_STATUS(0, qv_serial_purge(serial, QV_PURGE_RECEIVE | QV_PURGE_SEND));
    CHECK(sim_serial_queued(port) == 0);
    CHECK_STATUS(0, qv_close(serial));
    CHECK_STATUS(ERROR_INVALID_HANDLE, qv_serial_get_line(serial, &baud, NULL, NULL, NULL, NULL));
}

static void removal_and_closing(void* port) {
    qv_handle serial = NULL;
    DWORD event = 0;
    Blocked b;
    HANDLE thread;

    CHECK_STATUS(0, qv_serial_open(L"COM7", &serial));
    CHECK_STATUS(ERROR_ACCESS_DENIED, qv_serial_open(L"\\\\.\\COM7", &b.handle)); /* once only */
    memset(&b, 0, sizeof b);
    b.handle = serial;
    thread = CreateThread(NULL, 0, receive_forever, &b, 0, NULL);
    Sleep(100);
    sim_serial_arrive(port, "12");
    Sleep(100);
    CHECK_STATUS(0, qv_close(serial)); /* ends the receive */
    CHECK(WaitForSingleObject(thread, 2000) == WAIT_OBJECT_0);
    CHECK_STATUS(ERROR_OPERATION_ABORTED, b.status);
    CloseHandle(thread);

    /* Data, then the removal (codes alike in their low byte), both queued;
     * the listener has ended when the host comes to take them. */
    CHECK_STATUS(0, qv_serial_open(L"COM7", &serial));
    sim_serial_arrive(port, "ab");
    Sleep(100);
    sim_serial_remove(port);
    Sleep(200);
    CHECK_STATUS(0, qv_wait_event(serial, 0, NULL, &event, NULL));
    CHECK(event == QV_EVENT_DATA_READY);
    CHECK_STATUS(0, qv_wait_event(serial, 0, NULL, &event, NULL));
    CHECK(event == QV_EVENT_DEVICE_REMOVED);
    CHECK(qv_send(serial, "x", 1, 100, NULL) != 0);
    CHECK_STATUS(0, qv_close(serial));
}

/* A removal queued before a callback is set, with no listener left to hand
 * it over: it stays in the queue (the callback never runs on the caller's
 * thread). */
static volatile LONG g_removed;
static void WINAPI on_removed(void* context, qv_handle handle, DWORD event, DWORD detail) {
    (void)context;
    (void)handle;
    (void)detail;
    if (event == QV_EVENT_DEVICE_REMOVED) InterlockedIncrement(&g_removed);
}

static void removal_before_the_callback(void* port) {
    qv_handle serial = NULL;
    DWORD event = 0;
    CHECK_STATUS(0, qv_serial_open(L"COM9", &serial));
    sim_serial_remove(port);
    Sleep(300); /* told into the queue; the listener ends */
    CHECK_STATUS(0, qv_set_callback(serial, on_removed, NULL));
    CHECK(g_removed == 0);
    CHECK_STATUS(0, qv_set_callback(serial, NULL, NULL));
    CHECK_STATUS(0, qv_wait_event(serial, 0, NULL, &event, NULL));
    CHECK(event == QV_EVENT_DEVICE_REMOVED);
    CHECK_STATUS(0, qv_close(serial));
}

/* The lParam of the next message of a window of this thread, at most 2 s. */
static LPARAM next_message(HWND window, UINT message) {
    MSG msg;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 2000) {
        if (PeekMessageW(&msg, window, message, message, PM_REMOVE)) return msg.lParam;
        Sleep(1);
    }
    return 0;
}

static void modem_lines(void* port) {
    qv_handle serial = NULL;
    DWORD lines = 0, baud = 0, event = 0, detail = 0;
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);

    CHECK_STATUS(0, qv_serial_open(L"COM8", &serial));
    /* The settings read back are the driver's: a rate it rounds shows. */
    sim_serial_round_baud(port, 115200, 115384);
    CHECK_STATUS(0, qv_serial_set_line(serial, 115200, 8, QV_PARITY_NONE, QV_STOP_BITS_1, QV_FLOW_NONE));
    CHECK_STATUS(0, qv_serial_get_line(serial, &baud, NULL, NULL, NULL, NULL));
    CHECK(baud == 115384);

    /* DTR and RTS stay down across new settings, until the handshake takes RTS. */
    CHECK_STATUS(0, qv_serial_set_dtr(serial, FALSE));
    CHECK_STATUS(0, qv_serial_set_rts(serial, FALSE));
    CHECK_STATUS(0, qv_serial_set_line(serial, 9600, 8, QV_PARITY_NONE, QV_STOP_BITS_1, QV_FLOW_NONE));
    CHECK(sim_serial_lines_out(port) == 0);
    CHECK_STATUS(0, qv_serial_set_line(serial, 9600, 8, QV_PARITY_NONE, QV_STOP_BITS_1, QV_FLOW_RTS_CTS));
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_serial_set_rts(serial, TRUE));
    CHECK_STATUS(0, qv_serial_set_break(serial, TRUE));
    CHECK(sim_serial_lines_out(port) == 4);
    CHECK_STATUS(0, qv_serial_send_break(serial, 10));
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_serial_send_break(serial, INFINITE));
    CHECK(sim_serial_lines_out(port) == 0);

    /* The inputs: read at any time; told once asked, repeats as one queued event. */
    sim_serial_modem(port, QV_MODEM_CTS | QV_MODEM_DCD);
    CHECK_STATUS(0, qv_serial_modem_status(serial, &lines));
    CHECK(lines == (QV_MODEM_CTS | QV_MODEM_DCD));
    sim_serial_modem(port, QV_MODEM_DCD);
    CHECK_STATUS(WAIT_TIMEOUT, qv_wait_event(serial, 200, NULL, NULL, NULL));
    CHECK_STATUS(0, qv_serial_watch_modem(serial, TRUE));
    sim_serial_modem(port, QV_MODEM_DCD | QV_MODEM_DSR);
    sim_serial_modem(port, QV_MODEM_DSR);
    Sleep(300); /* both told */
    CHECK_STATUS(0, qv_wait_event(serial, 0, NULL, &event, &detail));
    CHECK(event == QV_EVENT_MODEM_CHANGED && QV_MODEM_STATE(detail) == QV_MODEM_DSR &&
          QV_MODEM_CHANGES(detail) == (QV_MODEM_DSR | QV_MODEM_DCD));
    CHECK_STATUS(WAIT_TIMEOUT, qv_wait_event(serial, 0, NULL, NULL, NULL));
    /* A window's message has the code only: the host takes the detail. */
    CHECK(window != NULL);
    CHECK_STATUS(0, qv_set_window(serial, window, WM_APP + 3));
    sim_serial_modem(port, QV_MODEM_CTS);
    CHECK(next_message(window, WM_APP + 3) == QV_EVENT_MODEM_CHANGED);
    CHECK_STATUS(0, qv_serial_modem_changes(serial, &detail));
    CHECK(QV_MODEM_STATE(detail) == QV_MODEM_CTS &&
          QV_MODEM_CHANGES(detail) == (QV_MODEM_CTS | QV_MODEM_DSR));
    CHECK_STATUS(0, qv_serial_modem_changes(serial, &detail));
    CHECK(detail == 0);
    DestroyWindow(window);
    sim_serial_refuse_lines(port, ERROR_NOT_SUPPORTED);
    CHECK_STATUS(ERROR_NOT_SUPPORTED, qv_serial_set_dtr(serial, TRUE));
    sim_serial_refuse_lines(port, 0);
    CHECK_STATUS(0, qv_close(serial));
}

/* A host that takes its events late loses nothing: events queued before a
 * callback is set go to it, from the listener; data-ready is told again
 * after each read while at least the threshold waits, once to a host that
 * does not read. */
static volatile LONG g_calls;
static DWORD g_take, g_thread; /* g_take: bytes the callback reads per event */

static void WINAPI read_some(void* context, qv_handle handle, DWORD event, DWORD detail) {
    char buffer[4];
    DWORD n = 0;
    (void)context;
    (void)detail;
    if (event != QV_EVENT_DATA_READY) return;
    g_thread = GetCurrentThreadId();
    InterlockedIncrement(&g_calls);
    if (g_take) qv_recv(handle, buffer, g_take, 0, &n);
}

static int told(LONG calls) { /* exactly so many events, then quiet; counts reset */
    int ok = wait_for(&g_calls, 2000);
    DWORD start = GetTickCount();
    while (g_calls < calls && GetTickCount() - start < 3000) Sleep(1);
    Sleep(200);
    ok = ok && g_calls == calls;
    g_calls = 0;
    return ok;
}

static void late_hosts_lose_nothing(void* port) {
    qv_handle serial = NULL;
    HANDLE waitable = NULL;
    DWORD n = 0, i;
    char buffer[4];

    CHECK_STATUS(0, qv_serial_open(L"COM7", &serial));
    CHECK_STATUS(0, qv_event_handle(serial, &waitable));
    sim_serial_arrive(port, "hello");
    CHECK(WaitForSingleObject(waitable, 2000) == WAIT_OBJECT_0); /* queued */
    g_take = 1;
    CHECK_STATUS(0, qv_set_callback(serial, read_some, NULL));
    CHECK(told(5) && g_thread != GetCurrentThreadId());
    CHECK(WaitForSingleObject(waitable, 0) == WAIT_TIMEOUT); /* nothing left queued */
    CHECK_STATUS(0, qv_serial_set_threshold(serial, 3));
    sim_serial_arrive(port, "abcde");
    CHECK(told(3)); /* at 5, 4 and 3 bytes */
    g_take = 0;
    CHECK_STATUS(0, qv_serial_set_threshold(serial, 1));
    sim_serial_arrive(port, "f");
    CHECK(told(1));
    /* The same through the queue: 3 bytes wait. */
    CHECK_STATUS(0, qv_set_callback(serial, NULL, NULL));
    for (i = 0; i < 3; ++i) {
        CHECK_STATUS(0, qv_recv(serial, buffer, 1, 0, &n));
        CHECK_STATUS(i < 2 ? 0 : WAIT_TIMEOUT, qv_wait_event(serial, i < 2 ? 2000 : 300, NULL, NULL, NULL));
    }
    CHECK_STATUS(0, qv_close(serial));
}

/* A callback that closes its port (and the queue) while the host changes
 * where events go: the change waits for the callback, not the other way. */
static volatile LONG g_entered, g_closed;
static qv_handle g_changed, g_queue, g_queue_to_close;

static void WINAPI close_in_callback(void* context, qv_handle handle, DWORD event, DWORD detail) {
    (void)context;
    (void)event;
    (void)detail;
    if (InterlockedIncrement(&g_entered) != 1) return;
    Sleep(300); /* the host changes the target meanwhile */
    if ((!g_queue_to_close || qv_close(g_queue_to_close) == 0) && qv_close(handle) == 0) g_closed = 1;
}

static DWORD WINAPI change_target(void* how) {
    return how == (void*)0   ? qv_set_callback(g_changed, NULL, NULL)
           : how == (void*)1 ? qv_set_window(g_changed, NULL, 0)
                             : qv_set_queue(g_changed, g_queue);
}

static int target_change_beside_a_closing_callback(void* port) {
    UINT_PTR how;
    DWORD status = 1;
    HANDLE thread;
    for (how = 0; how < 3; ++how) {
        g_entered = g_closed = 0;
        CHECK_STATUS(0, qv_serial_open(L"COM7", &g_changed));
        CHECK_STATUS(0, qv_queue_open(&g_queue));
        g_queue_to_close = how == 2 ? g_queue : NULL;
        CHECK_STATUS(0, qv_set_callback(g_changed, close_in_callback, NULL));
        sim_serial_arrive(port, "x");
        CHECK(wait_for(&g_entered, 2000));
        thread = CreateThread(NULL, 0, change_target, (void*)how, 0, NULL);
        if (!CHECK(WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0 && wait_for(&g_closed, 5000))) {
            printf("FAILED: the target change (%u) and the close in the callback wait for each other\n",
                   (unsigned)how);
            return 0;
        }
        CHECK(GetExitCodeThread(thread, &status) && status == 0);
        CloseHandle(thread);
        if (how != 2) CHECK_STATUS(0, qv_close(g_queue));
    }
    return 1;
}

/* Every handle value is given out once: an entry that has had its last
 * generation retires, and the table grows past it. */
static int distinct(const qv_handle* values, int count) {
    int i, j;
    for (i = 0; i < count; ++i) {
        for (j = 0; j < i; ++j) {
            if (values[i] == values[j]) return 0;
        }
    }
    return 1;
}

static void handle_values_never_return(void) {
    static qv_handle values[1200];
    DWORD kind = 0;
    int i;
    sim_limit_generations(3);
    for (i = 0; i < 1200; ++i) {
        CHECK_STATUS(0, qv_queue_open(&values[i]));
        CHECK_STATUS(0, qv_close(values[i]));
    }
    sim_limit_generations(0);
    CHECK(distinct(values, 1200));
    CHECK_STATUS(ERROR_INVALID_HANDLE, qv_handle_kind(values[0], &kind));
}

void run_checks(void) {
    void* bus = sim_serial_bus();
    void* port = sim_serial_add(bus, L"COM7");
    handle_values_never_return();
    settings_and_transfers(port);
    late_hosts_lose_nothing(port);
    if (!target_change_beside_a_closing_callback(port)) return; /* threads stuck: leave */
    removal_and_closing(port);
    removal_before_the_callback(sim_serial_add(bus, L"COM9"));
    modem_lines(sim_serial_add(bus, L"COM8"));
    sim_serial_bus_end(bus);
}
