/* A C host's view of the C interface: <windows.h> first, as most hosts
 * have it, and the one header. */
#include <windows.h>
#include <quorvel/quorvel_c.h>

static void WINAPI OnEvent(void* context, qv_handle handle, DWORD event, DWORD detail) {
    (void)context;
    (void)handle;
    (void)event;
    (void)detail;
}

int main(void) {
    qv_event_proc proc = OnEvent;
    qv_serial_port_info port;
    port.size = sizeof port;
    return proc != NULL && port.size > 0 && QV_EVENT_DATA_READY == 1 ? 0 : 1;
}
