/* time.h for the Visual C++ flavour built against Wine's C runtime headers,
 * which leave out struct timespec (the Universal CRT's layout). */
#pragma once
#include_next <time.h>

#ifndef _TIMESPEC_DEFINED
#define _TIMESPEC_DEFINED
struct timespec {
    time_t tv_sec;
    long tv_nsec;
};
#endif
