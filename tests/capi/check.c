#include "check.h"

#include <stdlib.h>

static int g_passed, g_failed;
static const char* volatile g_last_file = "start";
static volatile int g_last_line;

int check(int ok, const char* what, const char* file, int line) {
    if (ok) {
        ++g_passed;
        g_last_file = file;
        g_last_line = line;
    } else {
        ++g_failed;
        printf("FAILED %s:%d: %s\n", file, line, what);
        fflush(stdout);
    }
    return ok;
}

int check_status(DWORD expected, DWORD got, const char* what, const char* file, int line) {
    if (expected == got) return check(1, what, file, line);
    printf("FAILED %s:%d: %s gave %lu, not %lu\n", file, line, what, (unsigned long)got,
           (unsigned long)expected);
    fflush(stdout);
    ++g_failed;
    return 0;
}

int wait_for(volatile LONG* flag, DWORD ms) {
    DWORD start = GetTickCount();
    while (!*flag) {
        if (GetTickCount() - start > ms) return 0;
        Sleep(1);
    }
    return 1;
}

DWORD next_event_but_data(qv_handle handle, DWORD ms) {
    DWORD start = GetTickCount(), event = 0;
    while (GetTickCount() - start < ms) {
        if (qv_wait_event(handle, 50, NULL, &event, NULL) == 0 && event != QV_EVENT_DATA_READY) {
            return event;
        }
    }
    return 0;
}

/* A program that does not finish says so, with the last check it passed,
 * instead of waiting for the test's time limit. */
static DWORD WINAPI watchdog(void* unused) {
    (void)unused;
    Sleep(90000);
    printf("FAILED: no end within 90 s; last check passed at %s:%d\n", g_last_file, g_last_line);
    fflush(stdout);
    ExitProcess(3);
    return 0;
}

int main(void) {
    HANDLE thread = CreateThread(NULL, 0, watchdog, NULL, 0, NULL);
    if (thread) CloseHandle(thread);
    run_checks();
    printf("%d passed, %d failed\n", g_passed, g_failed);
    fflush(stdout);
    return g_failed ? 1 : 0;
}

#if defined(_MSC_VER)
/* No C runtime start-up in the Visual C++ flavour's programs. */
void __cdecl CHostStart(void) { exit(main()); }
#endif
