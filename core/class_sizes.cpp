// The sizes of the exported classes as hosts compiled against these headers
// lay them out. A host allocates these objects itself (on its stack, in its
// own objects), so a size that moves breaks every host built before: each
// change to a class's members must leave these figures as they are.
#include "quorvel/quorvel.h"

#include <ws2bth.h>  // SOCKADDR_BTH: the public headers leave it to those that use it

#define QV_SIZE(cls, bytes) static_assert(sizeof(cls) == (bytes), #cls " keeps its size")

// Records of the Windows SDK as the Visual C++ compilers lay them out.
QV_SIZE(SOCKADDR_BTH, 30);
#if defined(_M_IX86) || defined(__i386__)
QV_SIZE(IP_ADAPTER_INFO, 648);  // with the 64-bit time_t of Visual C++ 2005 and later
QV_SIZE(BLUETOOTH_DEVICE_INFO, 560);
QV_SIZE(BLUETOOTH_FIND_RADIO_PARAMS, 4);
QV_SIZE(BLUETOOTH_RADIO_INFO, 520);
QV_SIZE(BLUETOOTH_DEVICE_SEARCH_PARAMS, 32);
QV_SIZE(WSAQUERYSETW, 60);
#endif

#if defined(_M_IX86) || defined(__i386__)
// The product on 32-bit x86, both flavours. Visual C++ pads the virtual
// table pointer to the class's alignment, which only CxBthRadio (8-byte
// aligned members) feels.
#if defined(_MSC_VER)
#define QV_RADIO_SIZE 1184
#else
#define QV_RADIO_SIZE 1176
#endif
QV_SIZE(CxThread, 40);
QV_SIZE(CxComm, 24);
QV_SIZE(CxSerial, 612);
QV_SIZE(CxSocket, 80);
QV_SIZE(CxClientSocket, 80);
QV_SIZE(CxServerSocket, 80);
QV_SIZE(CxUdpSocket, 212);
QV_SIZE(CxBthRadioFind, 616);
QV_SIZE(CxBthRadio, QV_RADIO_SIZE);
QV_SIZE(CxBthRemoteDeviceFind, 608);
QV_SIZE(CxBthAuthenResponse, 616);
QV_SIZE(CxBthClientSocket, 80);
QV_SIZE(CxBthServerSocket, 80);
QV_SIZE(CxDeviceFind, 3168);
QV_SIZE(CxDeviceMapFind, 536);
QV_SIZE(CxLocalHostIPAddrFind, 152);
QV_SIZE(CxAdapterFind, 1312);
QV_SIZE(CxNetworkHostFind, 1788);
QV_SIZE(CxSerialPortFind, 12);
QV_SIZE(CxSerialPortWatch, 72);
#elif defined(__x86_64__) || defined(_M_X64)
// The 64-bit test builds of the same sources (both flavours lay these out
// alike).
QV_SIZE(CxThread, 80);
QV_SIZE(CxComm, 40);
QV_SIZE(CxSerial, 688);
QV_SIZE(CxSocket, 152);
QV_SIZE(CxClientSocket, 152);
QV_SIZE(CxServerSocket, 152);
QV_SIZE(CxUdpSocket, 288);
QV_SIZE(CxBthRadioFind, 640);
QV_SIZE(CxBthRadio, 1192);
QV_SIZE(CxBthRemoteDeviceFind, 624);
QV_SIZE(CxBthAuthenResponse, 624);
QV_SIZE(CxBthClientSocket, 152);
QV_SIZE(CxBthServerSocket, 152);
QV_SIZE(CxDeviceFind, 3184);
QV_SIZE(CxDeviceMapFind, 552);
QV_SIZE(CxLocalHostIPAddrFind, 176);
QV_SIZE(CxAdapterFind, 1432);
QV_SIZE(CxNetworkHostFind, 2568);
QV_SIZE(CxSerialPortFind, 24);
QV_SIZE(CxSerialPortWatch, 136);
#endif
