// A plug-in of the unloading host (unload_host.cpp): it holds a UDP endpoint
// that calls the host back, and deletes it when the host asks, which the
// host does from that very callback before it unloads the plug-in, and
// quorvel.dll with it.
#include <quorvel/quorvel.h>

extern "C" __declspec(dllexport) void* PluginOpen(CX_COMM_PROC pfnProc, void* pParam, int* pnPort) {
    CxUdpSocket* udp = new CxUdpSocket;
    udp->SetWndMsgProc(nullptr, 0, pfnProc, pParam);
    SOCKADDR_IN addr = {};
    int nLength = sizeof addr;
    if (!udp->Bind(0, 1) ||
        getsockname(udp->GetSocket(), reinterpret_cast<SOCKADDR*>(&addr), &nLength) != 0) {
        delete udp;
        return nullptr;
    }
    *pnPort = ntohs(addr.sin_port);
    return udp;
}

extern "C" __declspec(dllexport) void PluginDelete(void* pEndpoint) {
    CxUdpSocket* udp = static_cast<CxUdpSocket*>(pEndpoint);
    udp->Disbind();
    delete udp;
}

// An endpoint of the plug-in's own static data, with its listener: the
// process ends with it open, and its destructor stops the listener at the
// DLL's detach, after the system has ended every other thread.
static CxUdpSocket g_kept;

extern "C" __declspec(dllexport) int PluginKeep() { return g_kept.Bind(0, 1); }
