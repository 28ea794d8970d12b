/* ws2bth.h for the Visual C++ flavour: Wine's Windows headers have none.
 * What the library uses of the Windows SDK's header, with the SDK's values
 * and layout (SOCKADDR_BTH is 30 bytes, packed). */
#pragma once

#include <winsock2.h>
#include <bluetoothapis.h>

#ifndef AF_BTH
#define AF_BTH 32
#endif
#ifndef PF_BTH
#define PF_BTH AF_BTH
#endif
#ifndef NS_BTH
#define NS_BTH 16
#endif

#define BTHPROTO_RFCOMM 0x0003
#define BTHPROTO_L2CAP 0x0100
#define SOL_RFCOMM BTHPROTO_RFCOMM
#define SOL_L2CAP BTHPROTO_L2CAP
#define SOL_SDP 0x0101

#define BT_PORT_ANY ((ULONG)-1)
#define BT_PORT_MIN 0x1
#define BT_PORT_MAX 0xffff
#define BT_PORT_DYN_FIRST 0x1001

#include <pshpack1.h>
typedef struct _SOCKADDR_BTH {
    USHORT addressFamily;
    BTH_ADDR btAddr;
    GUID serviceClassId;
    ULONG port;
} SOCKADDR_BTH, *PSOCKADDR_BTH;
#include <poppack.h>
