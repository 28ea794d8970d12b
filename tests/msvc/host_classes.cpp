// Every exported class made, copied, assigned and destroyed by a Visual C++
// host: on the stack, in a buffer of the host's (placement new), and with new
// and delete through a pointer to its base. Objects made with new must come
// from the DLL's heap: the host's own operator new and delete stay unused.
#include "host.h"

namespace {

// Room for one object, aligned for any of its members.
template <class T>
union Buffer {
    char bytes[sizeof(T)];
    double dAlign;
    void* pAlign;
    unsigned long long ullAlign;
};

template <class T, class Base>
void Exercise(const char* pszName) {
    LONG nNew = host::g_nGlobalNew;
    LONG nDelete = host::g_nGlobalDelete;
    {
        T a;
        T b(a);
        T c;
        c = b;
        T& self = c;
        c = self;
    }
    {
        Buffer<T> buffer;
        T* p = new (buffer.bytes) T;
        CHECK(static_cast<void*>(p) == static_cast<void*>(buffer.bytes));
        p->~T();
    }
    Base* pBase = new T;
    if (!CHECK(pBase != NULL)) return;
    T* pCopy = new T(*static_cast<T*>(pBase));
    CHECK(pCopy != NULL);
    *pCopy = *static_cast<T*>(pBase);
    delete pCopy;
    delete pBase;  // the DLL's deleting destructor, through the base
    if (!CHECK(host::g_nGlobalNew == nNew && host::g_nGlobalDelete == nDelete)) {
        printf("  %s used the host's heap\n", pszName);
    }
}

// More than the DLL's heap can give (the process has not that much room).
const size_t kTooBig = sizeof(void*) == 4 ? 0x7FF00000u : 0x7FF000000000ull;
struct HugeThread : CxThread {
    char pad[kTooBig];
};

}  // namespace

int HostMain() {
    // Where memory runs out, new of a library class yields NULL and runs no
    // constructor; the host's own operator new stays unused.
    LONG nNew = host::g_nGlobalNew;
    CHECK(CxThread::operator new(kTooBig) == NULL);
    HugeThread* pHuge = new HugeThread;
    CHECK(pHuge == NULL);
    CHECK(host::g_nGlobalNew == nNew);

    SocketInit();
    Exercise<CxThread, CxThread>("CxThread");
    Exercise<CxComm, CxComm>("CxComm");
    Exercise<CxSerial, CxComm>("CxSerial");
    Exercise<CxSocket, CxComm>("CxSocket");
    Exercise<CxClientSocket, CxSocket>("CxClientSocket");
    Exercise<CxServerSocket, CxComm>("CxServerSocket");
    Exercise<CxUdpSocket, CxSocket>("CxUdpSocket");
    Exercise<CxBthRadioFind, CxBthRadioFind>("CxBthRadioFind");
    Exercise<CxBthRadio, CxBthRadio>("CxBthRadio");
    Exercise<CxBthRemoteDeviceFind, CxBthRemoteDeviceFind>("CxBthRemoteDeviceFind");
    Exercise<CxBthAuthenResponse, CxBthAuthenResponse>("CxBthAuthenResponse");
    Exercise<CxBthClientSocket, CxClientSocket>("CxBthClientSocket");
    Exercise<CxBthServerSocket, CxSocket>("CxBthServerSocket");
    Exercise<CxDeviceFind, CxDeviceFind>("CxDeviceFind");
    Exercise<CxDeviceMapFind, CxDeviceMapFind>("CxDeviceMapFind");
    Exercise<CxLocalHostIPAddrFind, CxLocalHostIPAddrFind>("CxLocalHostIPAddrFind");
    Exercise<CxAdapterFind, CxAdapterFind>("CxAdapterFind");
    Exercise<CxNetworkHostFind, CxNetworkHostFind>("CxNetworkHostFind");
    Exercise<CxSerialPortFind, CxSerialPortFind>("CxSerialPortFind");
    Exercise<CxSerialPortWatch, CxComm>("CxSerialPortWatch");

    // Virtual calls through the base reach the derived class in the DLL.
    CxComm* pComm = new CxSerial;
    CHECK(pComm->GetSafeHandle() == NULL);
    unsigned char byte = 0;
    CHECK(pComm->Send(&byte, 1, 0) == 0);  // not open
    delete pComm;
    CxSocket* pSocket = new CxUdpSocket;
    CHECK(pSocket->GetSocket() == INVALID_SOCKET);
    delete pSocket;
    CxClientSocket* pClient = new CxBthClientSocket;
    CHECK(pClient->IsConnected() == 0);
    wchar_t szAddress[64] = L"untouched";
    CHECK(pClient->GetPeerAddress(szAddress) == 0);
    delete pClient;

    // The records keep the layout of the SDK's Visual C++ compilers.
    CHECK(sizeof(BTH_DEV_INFO) == 596);
    CHECK(sizeof(NET_HOST_INFO) == (sizeof(void*) == 4 ? 736 : 736));
    SocketUnInit();
    return 0;
}
