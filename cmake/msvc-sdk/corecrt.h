/* corecrt.h for the Visual C++ flavour: time_t is 64-bit on 32-bit x86 too,
 * as with every Visual C++ since 2005, and the SDK's records that hold one
 * (IP_ADAPTER_INFO: 648 bytes) are laid out with it. Wine's header makes it
 * 32-bit there. _USE_32BIT_TIME_T still asks for the old one. */
#pragma once
#if !defined(_WIN64) && !defined(_USE_32BIT_TIME_T)
#define QV_TIME_T_64
#define _TIME_T_DEFINED
#endif
#include_next <corecrt.h>
#ifdef QV_TIME_T_64
#undef _USE_32BIT_TIME_T
typedef __time64_t time_t;
#undef QV_TIME_T_64
#endif
