/* winsock2.h for the Visual C++ flavour: Wine's header, made to agree with
 * the Windows SDK's where the library relies on it. Wine's maps the byte
 * order functions to inline functions of its own; the SDK declares them as
 * functions of ws2_32.dll. Wine's also lacks some service lookup flags. */
#pragma once
#include_next <winsock2.h>

#undef htonl
#undef htons
#undef ntohl
#undef ntohs
#ifdef __cplusplus
extern "C" {
#endif
WINSOCK_API_LINKAGE u_long WINAPI htonl(u_long hostlong);
WINSOCK_API_LINKAGE u_short WINAPI htons(u_short hostshort);
WINSOCK_API_LINKAGE u_long WINAPI ntohl(u_long netlong);
WINSOCK_API_LINKAGE u_short WINAPI ntohs(u_short netshort);
#ifdef __cplusplus
}
#endif

#ifndef LUP_DEEP
#define LUP_DEEP 0x0001
#endif
#ifndef LUP_CONTAINERS
#define LUP_CONTAINERS 0x0002
#endif
#ifndef LUP_NOCONTAINERS
#define LUP_NOCONTAINERS 0x0004
#endif
#ifndef LUP_NEAREST
#define LUP_NEAREST 0x0008
#endif
#ifndef LUP_FLUSHCACHE
#define LUP_FLUSHCACHE 0x1000
#endif
#ifndef LUP_FLUSHPREVIOUS
#define LUP_FLUSHPREVIOUS 0x2000
#endif
