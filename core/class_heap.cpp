// The operator new and delete of every exported class (see QV_HEAP_OPERATORS
// in quorvel/core.h): objects that hosts create with new come from the DLL's
// heap, so the DLL's deleting destructors free them where they came from.
#include "quorvel/quorvel.h"

#include <new>

// A failed allocation is a NULL object in both flavours: the DLL's runtime
// could not throw into a host's frames (a MinGW host links its own copy of
// the GCC runtime, a Visual C++ host has another one altogether), and the
// operators are declared non-throwing, so a host's new-expression checks
// for NULL before it runs the constructor.
#define QV_DEFINE_SCALAR_HEAP_OPERATORS(cls)                                          \
    void* cls::operator new(size_t cb) QV_NOEXCEPT {                                   \
        return ::operator new(cb, std::nothrow);                                       \
    }                                                                                  \
    void cls::operator delete(void* p) QV_NOEXCEPT { ::operator delete(p); }
#if defined(_MSC_VER)
#define QV_DEFINE_HEAP_OPERATORS(cls) QV_DEFINE_SCALAR_HEAP_OPERATORS(cls)
#else
#define QV_DEFINE_HEAP_OPERATORS(cls)                                                 \
    QV_DEFINE_SCALAR_HEAP_OPERATORS(cls)                                               \
    void* cls::operator new[](size_t cb) QV_NOEXCEPT {                                 \
        return ::operator new[](cb, std::nothrow);                                     \
    }                                                                                  \
    void cls::operator delete[](void* p) QV_NOEXCEPT { ::operator delete[](p); }
#endif

QV_DEFINE_HEAP_OPERATORS(CxThread)
QV_DEFINE_HEAP_OPERATORS(CxComm)
QV_DEFINE_HEAP_OPERATORS(CxSerial)
QV_DEFINE_HEAP_OPERATORS(CxSocket)
QV_DEFINE_HEAP_OPERATORS(CxClientSocket)
QV_DEFINE_HEAP_OPERATORS(CxServerSocket)
QV_DEFINE_HEAP_OPERATORS(CxUdpSocket)
QV_DEFINE_HEAP_OPERATORS(CxBthRadioFind)
QV_DEFINE_HEAP_OPERATORS(CxBthRadio)
QV_DEFINE_HEAP_OPERATORS(CxBthRemoteDeviceFind)
QV_DEFINE_HEAP_OPERATORS(CxBthAuthenResponse)
QV_DEFINE_HEAP_OPERATORS(CxBthClientSocket)
QV_DEFINE_HEAP_OPERATORS(CxBthServerSocket)
QV_DEFINE_HEAP_OPERATORS(CxDeviceFind)
QV_DEFINE_HEAP_OPERATORS(CxDeviceMapFind)
QV_DEFINE_HEAP_OPERATORS(CxLocalHostIPAddrFind)
QV_DEFINE_HEAP_OPERATORS(CxAdapterFind)
QV_DEFINE_HEAP_OPERATORS(CxNetworkHostFind)
QV_DEFINE_HEAP_OPERATORS(CxSerialPortFind)
QV_DEFINE_HEAP_OPERATORS(CxSerialPortWatch)
