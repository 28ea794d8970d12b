/* TCP and UDP over 127.0.0.1 from a C host: transfers with time limits,
 * events in all four ways, a shared queue, closing from the callback and
 * from another thread during a blocking call. */
#include "check.h"

static DWORD g_port;

/* A connected pair: client and the server's side of it. */
static void pair(qv_handle server, qv_handle* client, qv_handle* peer) {
    CHECK_STATUS(0, qv_tcp_connect(L"127.0.0.1", g_port, 2000, client));
    CHECK_STATUS(0, qv_accept(server, 2000, peer));
}

static void tcp_in_a_queue(qv_handle server) {
    qv_handle client = NULL, peer = NULL, source = NULL;
    DWORD event = 0, n = 0, port = 0, length = 0, kind = 0;
    char buffer[64];
    wchar_t text[64];
    HANDLE waitable = NULL;

    CHECK_STATUS(WAIT_TIMEOUT, qv_accept(server, 0, &peer));
    CHECK(peer == NULL);
    CHECK_STATUS(WAIT_TIMEOUT, qv_wait_event(server, 0, &source, &event, NULL));
    CHECK_STATUS(0, qv_tcp_connect(L"127.0.0.1", g_port, 2000, &client));
    CHECK_STATUS(0, qv_wait_event(server, 2000, &source, &event, NULL));
    CHECK(source == server && event == QV_EVENT_CONNECTION_WAITING);
    CHECK_STATUS(0, qv_accept(server, 2000, &peer));
    CHECK_STATUS(0, qv_handle_kind(peer, &kind));
    CHECK(kind == QV_KIND_TCP);
    CHECK_STATUS(0, qv_local_address(client, text, 64, &length, &port));
    CHECK_STATUS(0, qv_peer_address(peer, text, 64, &length, &n));
    CHECK(wcscmp(text, L"127.0.0.1") == 0 && length == 9 && n == port && port != 0);
    CHECK_STATUS(ERROR_INSUFFICIENT_BUFFER, qv_peer_address(peer, text, 9, &length, NULL));
    CHECK(length == 9 && text[0] == 0);

    CHECK_STATUS(WAIT_TIMEOUT, qv_recv_some(client, buffer, sizeof buffer, 0, &n));
    CHECK_STATUS(0, qv_event_handle(client, &waitable));
    CHECK(WaitForSingleObject(waitable, 0) == WAIT_TIMEOUT);
    CHECK_STATUS(0, qv_send(peer, "hello world", 11, 1000, &n));
    CHECK(n == 11);
    CHECK(WaitForSingleObject(waitable, 2000) == WAIT_OBJECT_0);
    CHECK_STATUS(0, qv_wait_event(client, 0, &source, &event, NULL));
    CHECK(source == client && event == QV_EVENT_DATA_READY);
    CHECK_STATUS(0, qv_queue_counts(client, &n, NULL));
    CHECK(n == 11);
    CHECK_STATUS(0, qv_recv(client, buffer, 5, 1000, &n));
    CHECK(n == 5 && memcmp(buffer, "hello", 5) == 0);
    CHECK_STATUS(0, qv_recv_some(client, buffer, sizeof buffer, 1000, &n));
    CHECK(n == 6 && memcmp(buffer, " world", 6) == 0);
    CHECK_STATUS(0, qv_send(peer, "ab", 2, 1000, NULL));
    CHECK_STATUS(WAIT_TIMEOUT, qv_recv(client, buffer, 4, 200, &n));
    CHECK(n == 2 && memcmp(buffer, "ab", 2) == 0); /* what came before the limit */

    /* The peer goes: closed is told once, and what is left reads as its end. */
    CHECK_STATUS(0, qv_close(peer));
    CHECK(next_event_but_data(client, 3000) == QV_EVENT_CLOSED);
    CHECK_STATUS(WSAEDISCON, qv_recv_some(client, buffer, sizeof buffer, 1000, &n));
    CHECK_STATUS(0, qv_close(client));
    CHECK_STATUS(ERROR_INVALID_HANDLE, qv_recv(client, buffer, 1, 0, NULL));
    CHECK_STATUS(ERROR_INVALID_HANDLE, qv_close(client));
}

/* ---- callbacks */

typedef struct Watcher {
    qv_handle handle;
    volatile LONG calls, data, closes, entered, left;
    DWORD close_status, wait_ms, last_event;
    char got[16];
} Watcher;

static void WINAPI on_event(void* context, qv_handle handle, DWORD event, DWORD detail) {
    Watcher* w = (Watcher*)context;
    DWORD n = 0;
    (void)detail;
    InterlockedExchange(&w->entered, 1);
    w->last_event = event;
    if (handle == w->handle && event == QV_EVENT_DATA_READY &&
        qv_recv_some(handle, w->got, sizeof w->got - 1, 0, &n) == 0) {
        InterlockedExchange(&w->data, (LONG)n);
    }
    if (w->wait_ms) Sleep(w->wait_ms); /* a callback that takes its time */
    InterlockedIncrement(&w->calls);
    InterlockedExchange(&w->left, 1);
}

static void WINAPI close_in_callback(void* context, qv_handle handle, DWORD event, DWORD detail) {
    Watcher* w = (Watcher*)context;
    (void)event;
    (void)detail;
    w->close_status = qv_close(handle);
    InterlockedIncrement(&w->closes);
}

static void callbacks(qv_handle server) {
    qv_handle client = NULL, peer = NULL;
    Watcher w;
    LONG calls;

    memset(&w, 0, sizeof w);
    pair(server, &client, &peer);
    w.handle = client;
    CHECK_STATUS(0, qv_set_callback(client, on_event, &w));
    CHECK_STATUS(0, qv_send(peer, "abc", 3, 1000, NULL));
    CHECK(wait_for(&w.data, 2000) && w.data == 3 && memcmp(w.got, "abc", 3) == 0);

    /* Removal waits for a callback under way: once it returns, none runs. */
    w.wait_ms = 300;
    w.entered = w.left = 0;
    CHECK_STATUS(0, qv_send(peer, "d", 1, 1000, NULL));
    CHECK(wait_for(&w.entered, 2000));
    CHECK_STATUS(0, qv_set_callback(client, NULL, NULL));
    CHECK(w.left == 1);
    calls = w.calls;
    CHECK_STATUS(0, qv_send(peer, "e", 1, 1000, NULL));
    Sleep(100);
    CHECK(w.calls == calls);

    /* A close from inside the callback; the handle is gone afterwards. */
    CHECK_STATUS(0, qv_set_callback(client, close_in_callback, &w));
    CHECK(wait_for(&w.closes, 2000) && w.close_status == 0);
    Sleep(50);
    CHECK(w.closes == 1);
    CHECK_STATUS(ERROR_INVALID_HANDLE, qv_set_callback(client, on_event, &w));
    CHECK_STATUS(0, qv_close(peer));
}

static void window_messages(qv_handle server) {
    qv_handle client = NULL, peer = NULL;
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
    MSG msg;
    DWORD start = GetTickCount();
    int got = 0;

    CHECK(window != NULL);
    pair(server, &client, &peer);
    CHECK_STATUS(0, qv_set_window(client, window, WM_APP + 7));
    CHECK_STATUS(0, qv_send(peer, "m", 1, 1000, NULL));
    while (!got && GetTickCount() - start < 2000) {
        if (PeekMessageW(&msg, window, WM_APP + 7, WM_APP + 7, PM_REMOVE)) {
            got = msg.wParam == (WPARAM)client && msg.lParam == QV_EVENT_DATA_READY;
        } else {
            Sleep(1);
        }
    }
    CHECK(got);
    CHECK_STATUS(0, qv_close(client));
    CHECK_STATUS(0, qv_close(peer));
    DestroyWindow(window);
}

/* ---- a shared queue and UDP */

static DWORD WINAPI close_later(void* handle) {
    Sleep(200);
    return qv_close((qv_handle)handle);
}

static void udp_in_a_shared_queue(void) {
    qv_handle queue = NULL, a = NULL, b = NULL, sender = NULL, source = NULL, seen[2];
    DWORD port_a = 0, port_b = 0, port_s = 0, event = 0, length = 0, from_port = 0, i;
    char buffer[8];
    wchar_t from[16];
    HANDLE thread;

    CHECK_STATUS(0, qv_queue_open(&queue));
    CHECK_STATUS(0, qv_udp_open(0, &a));
    CHECK_STATUS(0, qv_udp_open(0, &b));
    CHECK_STATUS(0, qv_udp_open(0, &sender));
    CHECK_STATUS(ERROR_INSUFFICIENT_BUFFER, qv_local_address(a, NULL, 0, NULL, &port_a));
    CHECK_STATUS(ERROR_INSUFFICIENT_BUFFER, qv_local_address(b, NULL, 0, NULL, &port_b));
    qv_local_address(sender, NULL, 0, NULL, &port_s);
    CHECK(port_a && port_b && port_s);
    CHECK_STATUS(0, qv_set_queue(a, queue));
    CHECK_STATUS(0, qv_set_queue(b, queue));
    CHECK_STATUS(ERROR_INVALID_FUNCTION, qv_wait_event(a, 0, NULL, &event, NULL));
    CHECK_STATUS(0, qv_udp_send_to(sender, L"127.0.0.1", port_a, "to-a", 4));
    CHECK_STATUS(0, qv_udp_send_to(sender, L"127.0.0.1", port_b, "to-b", 4));
    /* Both report through the one queue (a data-ready repeats while unread). */
    seen[0] = seen[1] = NULL;
    for (i = 0; i < 50 && !(seen[0] && seen[1]); ++i) {
        CHECK_STATUS(0, qv_wait_event(queue, 2000, &source, &event, NULL));
        CHECK(event == QV_EVENT_DATA_READY && (source == a || source == b));
        seen[source == b] = source;
    }
    CHECK(seen[0] == a && seen[1] == b);
    /* Unread, the data is told again and again: held in the queue once per
     * endpoint (a tell that comes while the queue is taken adds one more). */
    Sleep(150);
    for (i = 0; i < 100 && qv_wait_event(queue, 0, &seen[i & 1], &event, NULL) == 0; ++i) {
    }
    CHECK(i >= 2 && i <= 4 && (i > 2 || seen[0] != seen[1]));
    CHECK_STATUS(0, qv_udp_recv_from(a, buffer, sizeof buffer, 1000, &length, from, 16, &from_port));
    CHECK(length == 4 && memcmp(buffer, "to-a", 4) == 0);
    CHECK(wcscmp(from, L"127.0.0.1") == 0 && from_port == port_s);
    CHECK_STATUS(ERROR_INSUFFICIENT_BUFFER, qv_udp_recv_from(b, buffer, 8, 0, &length, from, 15, NULL));
    CHECK(length == QV_UDP_SENDER_CCH - 1);
    CHECK_STATUS(0, qv_udp_recv_from(b, buffer, 8, 1000, &length, NULL, 0, NULL));
    CHECK_STATUS(WAIT_TIMEOUT, qv_udp_recv_from(b, buffer, 8, 0, &length, NULL, 0, NULL));
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_udp_send_to(sender, L"127.0.0.1:9", 7, "x", 1));
    {
        static char big[QV_UDP_MAX_DATAGRAM + 1];
        CHECK_STATUS(ERROR_INVALID_PARAMETER,
                     qv_udp_send_to(sender, L"127.0.0.1", port_b, big, QV_UDP_MAX_DATAGRAM + 1));
    }
    CHECK_STATUS(ERROR_INVALID_HANDLE, qv_send(a, "x", 1, 0, NULL)); /* not a stream */

    /* Back to its own queue; the shared queue's wait ends when it closes. */
    CHECK_STATUS(0, qv_set_queue(a, NULL));
    CHECK_STATUS(0, qv_udp_send_to(sender, L"127.0.0.1", port_a, "own", 3));
    CHECK_STATUS(0, qv_wait_event(a, 2000, &source, &event, NULL));
    CHECK(source == a);
    while (qv_wait_event(queue, 0, NULL, &event, NULL) == 0) {
    } /* a data-ready of b may still be queued after its data was read */
    thread = CreateThread(NULL, 0, close_later, queue, 0, NULL);
    CHECK_STATUS(ERROR_OPERATION_ABORTED, qv_wait_event(queue, 5000, NULL, &event, NULL));
    CHECK(WaitForSingleObject(thread, 2000) == WAIT_OBJECT_0);
    CloseHandle(thread);
    CHECK_STATUS(0, qv_udp_send_to(sender, L"127.0.0.1", port_b, "lost", 4));
    CHECK_STATUS(0, qv_close(a));
    CHECK_STATUS(0, qv_close(b));
    CHECK_STATUS(0, qv_close(sender));
}

/* A send to a peer that does not read ends at its limit with what the
 * system took, counted exactly: the peer then reads that many bytes, in
 * order, and no more. */
static void a_full_socket(qv_handle server) {
    static unsigned char data[8 * 1024 * 1024], back[8 * 1024 * 1024];
    qv_handle client = NULL, peer = NULL;
    DWORD sent = 0, got = 0, n = 0, i;
    for (i = 0; i < sizeof data; ++i) data[i] = (unsigned char)(i * 7 + i / 251);
    pair(server, &client, &peer);
    CHECK_STATUS(WAIT_TIMEOUT, qv_send(client, data, sizeof data, 300, &sent));
    CHECK(sent > 0 && sent < sizeof data);
    while (got < sent && qv_recv_some(peer, back + got, sizeof back - got, 1000, &n) == 0) got += n;
    CHECK(got == sent && memcmp(back, data, sent) == 0);
    CHECK_STATUS(WAIT_TIMEOUT, qv_recv_some(peer, back, 1, 100, &n));
    CHECK_STATUS(0, qv_send(client, data + sent, 1000, 0, &n)); /* room again, at once */
    CHECK(n == 1000);
    CHECK_STATUS(0, qv_recv(peer, back, 1000, 1000, &n));
    CHECK(memcmp(back, data + sent, 1000) == 0);
    CHECK_STATUS(0, qv_close(client));
    CHECK_STATUS(0, qv_close(peer));
}

/* A connection closed while events queue: the callback set later hears it. */
static void WINAPI count_closed(void* context, qv_handle handle, DWORD event, DWORD detail) {
    Watcher* w = (Watcher*)context;
    (void)handle;
    (void)detail;
    if (event != QV_EVENT_CLOSED) return;
    w->wait_ms = GetCurrentThreadId(); /* the thread it came on */
    InterlockedIncrement(&w->closes);
}

static void closed_before_the_callback(qv_handle server) {
    qv_handle client = NULL, peer = NULL;
    HANDLE waitable = NULL;
    Watcher w;
    memset(&w, 0, sizeof w);
    pair(server, &client, &peer);
    w.handle = client;
    CHECK_STATUS(0, qv_event_handle(client, &waitable)); /* it watches, into its queue */
    CHECK_STATUS(0, qv_close(peer));
    CHECK(WaitForSingleObject(waitable, 2000) == WAIT_OBJECT_0);
    Sleep(200); /* told closed, queued */
    CHECK_STATUS(0, qv_set_callback(client, count_closed, &w));
    CHECK(wait_for(&w.closes, 2000));
    CHECK(w.wait_ms != GetCurrentThreadId()); /* from the listener */
    CHECK_STATUS(0, qv_close(client));
}

/* ---- route changes from two threads while events flow */

typedef struct Router {
    qv_handle endpoint, queues[2];
    volatile LONG stop;
} Router;

static DWORD WINAPI reroute(void* context) {
    Router* r = (Router*)context;
    DWORD i;
    for (i = 0; !r->stop; ++i) qv_set_queue(r->endpoint, i % 3 == 2 ? NULL : r->queues[i % 3]);
    return 0;
}

static void routes_changed_at_once(void) {
    Router r;
    qv_handle sender = NULL, source = NULL;
    HANDLE threads[3], waitable[2];
    DWORD port = 0, event = 0, i, start, strays = 0;
    memset(&r, 0, sizeof r);
    CHECK_STATUS(0, qv_queue_open(&r.queues[0]));
    CHECK_STATUS(0, qv_queue_open(&r.queues[1]));
    CHECK_STATUS(0, qv_event_handle(r.queues[0], &waitable[0])); /* signalled as events come */
    CHECK_STATUS(0, qv_event_handle(r.queues[1], &waitable[1]));
    CHECK_STATUS(0, qv_udp_open(0, &r.endpoint));
    CHECK_STATUS(0, qv_udp_open(0, &sender));
    qv_local_address(r.endpoint, NULL, 0, NULL, &port);
    CHECK_STATUS(0, qv_set_queue(r.endpoint, r.queues[0]));
    CHECK_STATUS(0, qv_udp_send_to(sender, L"127.0.0.1", port, "unread", 6)); /* told again and again */
    for (i = 0; i < 3; ++i) threads[i] = CreateThread(NULL, 0, reroute, &r, 0, NULL);
    for (start = GetTickCount(); GetTickCount() - start < 1500;) {
        for (i = 0; i < 2; ++i) qv_wait_event(r.queues[i], 0, NULL, &event, NULL);
    }
    r.stop = 1;
    CHECK(WaitForMultipleObjects(3, threads, TRUE, 5000) == WAIT_OBJECT_0);
    for (i = 0; i < 3; ++i) CloseHandle(threads[i]);
    /* Routed to the first queue: the second has nothing of it from now on. */
    CHECK_STATUS(0, qv_set_queue(r.endpoint, r.queues[0]));
    while (qv_wait_event(r.queues[1], 0, NULL, &event, NULL) == 0) {
    }
    CHECK(WaitForSingleObject(waitable[1], 0) == WAIT_TIMEOUT);
    for (start = GetTickCount(); GetTickCount() - start < 300;) {
        if (qv_wait_event(r.queues[1], 0, &source, &event, NULL) == 0) ++strays;
        qv_wait_event(r.queues[0], 0, NULL, &event, NULL);
    }
    CHECK(strays == 0);
    CHECK_STATUS(0, qv_wait_event(r.queues[0], 2000, &source, &event, NULL));
    CHECK(source == r.endpoint && event == QV_EVENT_DATA_READY);
    /* Closed with its events queued: the queue holds nothing of it after. */
    Sleep(100);
    CHECK(WaitForSingleObject(waitable[0], 0) == WAIT_OBJECT_0);
    CHECK_STATUS(0, qv_close(r.endpoint));
    CHECK(WaitForSingleObject(waitable[0], 0) == WAIT_TIMEOUT); /* it left, nothing waits */
    CHECK_STATUS(WAIT_TIMEOUT, qv_wait_event(r.queues[0], 200, &source, &event, NULL));
    CHECK(WaitForSingleObject(waitable[0], 0) == WAIT_TIMEOUT);
    CHECK_STATUS(0, qv_close(r.queues[0]));
    CHECK_STATUS(0, qv_close(r.queues[1]));
    CHECK_STATUS(0, qv_close(sender));
}

/* ---- closing from another thread during a blocking call */

typedef struct Blocked {
    qv_handle handle;
    DWORD status;
    volatile LONG started, done;
} Blocked;

static DWORD WINAPI receive_forever(void* context) {
    Blocked* b = (Blocked*)context;
    char buffer[4];
    InterlockedExchange(&b->started, 1);
    b->status = qv_recv(b->handle, buffer, sizeof buffer, INFINITE, NULL);
    InterlockedExchange(&b->done, 1);
    return 0;
}

static DWORD WINAPI wait_forever(void* context) {
    Blocked* b = (Blocked*)context;
    DWORD event = 0;
    InterlockedExchange(&b->started, 1);
    b->status = qv_wait_event(b->handle, INFINITE, NULL, &event, NULL);
    InterlockedExchange(&b->done, 1);
    return 0;
}

static void close_during_a_call(qv_handle server, LPTHREAD_START_ROUTINE routine) {
    qv_handle client = NULL, peer = NULL;
    Blocked b;
    HANDLE thread;
    memset(&b, 0, sizeof b);
    pair(server, &client, &peer);
    b.handle = client;
    thread = CreateThread(NULL, 0, routine, &b, 0, NULL);
    CHECK(wait_for(&b.started, 5000));
    Sleep(200); /* into its call */
    CHECK(!b.done);
    CHECK_STATUS(0, qv_close(client)); /* ends the call */
    CHECK(wait_for(&b.done, 2000));
    CHECK_STATUS(ERROR_OPERATION_ABORTED, b.status);
    CHECK(WaitForSingleObject(thread, 2000) == WAIT_OBJECT_0);
    CloseHandle(thread);
    CHECK_STATUS(0, qv_close(peer));
}

static void refusals(void) {
    qv_handle handle = (qv_handle)1, server = NULL;
    DWORD port = 0;
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_tcp_connect(NULL, 80, 100, &handle));
    CHECK(handle == NULL);
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_tcp_connect(L"127.0.0.1", 0, 100, &handle));
    CHECK_STATUS(ERROR_INVALID_PARAMETER, qv_tcp_connect(L"127.0.0.1", 70000, 100, &handle));
    CHECK_STATUS(WSAEINVAL, qv_tcp_connect(L"localhost", 80, 100, &handle));
    CHECK_STATUS(WSAEINVAL, qv_tcp_listen(L"no-address", 0, &server));
    /* A port nobody listens on any more. */
    CHECK_STATUS(0, qv_tcp_listen(L"127.0.0.1", 0, &server));
    qv_local_address(server, NULL, 0, NULL, &port);
    CHECK_STATUS(0, qv_close(server));
    CHECK_STATUS(WSAECONNREFUSED, qv_tcp_connect(L"127.0.0.1", port, 2000, &handle));
    CHECK(handle == NULL);
}

void run_checks(void) {
    qv_handle server = NULL;
    CHECK_STATUS(0, qv_tcp_listen(L"127.0.0.1", 0, &server));
    CHECK_STATUS(ERROR_INSUFFICIENT_BUFFER, qv_local_address(server, NULL, 0, NULL, &g_port));
    CHECK(g_port != 0);
    tcp_in_a_queue(server);
    callbacks(server);
    window_messages(server);
    close_during_a_call(server, receive_forever);
    close_during_a_call(server, wait_forever);
    closed_before_the_callback(server);
    a_full_socket(server);
    CHECK_STATUS(0, qv_close(server));
    udp_in_a_shared_queue();
    routes_changed_at_once();
    refusals();
}
