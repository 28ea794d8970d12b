/* The C host programs' checks: each program defines run_checks(); main
 * runs it and prints "N passed, N failed". Waits are bounded and a check
 * that fails names itself. */
#ifndef QV_C_CHECK_H
#define QV_C_CHECK_H

#include <quorvel/quorvel_c.h>
#include <stdio.h>
#include <string.h>

void run_checks(void);
int check(int ok, const char* what, const char* file, int line);
/* Waits until *flag is non-zero, at most ms milliseconds. */
int wait_for(volatile LONG* flag, DWORD ms);
/* The next event of a handle other than data ready, at most ms. */
DWORD next_event_but_data(qv_handle handle, DWORD ms);

#define CHECK(cond) check((cond) != 0, #cond, __FILE__, __LINE__)
#define CHECK_STATUS(expected, call) \
    check_status((DWORD)(expected), (DWORD)(call), #call, __FILE__, __LINE__)
int check_status(DWORD expected, DWORD got, const char* what, const char* file, int line);

#endif
