#include "core/listener.h"

#include "core/error.h"
#include "platform/os.h"

namespace quorvel::listener {

void Deliver(CX_COMM_PROC pfnProc, void* pParam, HWND hWnd, UINT uMsg, UINT_PTR uHandle,
             long lEvent) {
    if (pfnProc) {
        pfnProc(pParam, static_cast<unsigned int>(uHandle), lEvent);
    } else if (hWnd) {
        os::PostMessageW(hWnd, uMsg, static_cast<WPARAM>(uHandle), lEvent);
    }
}

HANDLE MakeEventWake() { return os::CreateEventW(nullptr, TRUE, FALSE, nullptr); }

void TriggerEventWake(HANDLE hWake) {
    for (int nTry = 0; hWake && nTry < 4; ++nTry) {
        if (os::SetEvent(hWake)) break;
        os::Sleep(1);
    }
}

SOCKET MakeSocketWake() {
    ScopedHandle<WakeSocketTraits> wake(os::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!wake) return INVALID_SOCKET;
    SOCKET hWake = wake.get();
    BOOL bExclusive = TRUE;  // no other socket may share the port (where supported)
    os::setsockopt(hWake, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<char*>(&bExclusive),
                   sizeof bExclusive);
    SOCKADDR_IN addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = os::htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    int nLength = sizeof addr;
    u_long ulNonBlocking = 1;
    if (os::bind(hWake, reinterpret_cast<SOCKADDR*>(&addr), sizeof addr) == SOCKET_ERROR ||
        os::getsockname(hWake, reinterpret_cast<SOCKADDR*>(&addr), &nLength) == SOCKET_ERROR ||
        os::connect(hWake, reinterpret_cast<SOCKADDR*>(&addr), nLength) == SOCKET_ERROR ||
        os::ioctlsocket(hWake, FIONBIO, &ulNonBlocking) == SOCKET_ERROR) {
        wake.reset();
        return INVALID_SOCKET;
    }
    return wake.release();
}

void TriggerSocketWake(SOCKET hWake) {
    ErrorKeeper keep;  // waking never hides the caller's error
    char cWake = 0;
    os::send(hWake, &cWake, 1, 0);
}

bool DrainSocketWake(SOCKET hWake) {
    char acWake[16];
    for (int n = 0; n < 64; ++n) {
        if (os::recv(hWake, acWake, sizeof acWake, 0) != SOCKET_ERROR) continue;
        return os::WSAGetLastError() != WSAENOTSOCK;
    }
    return true;
}

bool PauseOnSocketWake(SOCKET hWake, DWORD dwMilliseconds) {
    fd_set set;
    set.fd_count = 1;
    set.fd_array[0] = hWake;
    timeval limit;
    limit.tv_sec = static_cast<long>(dwMilliseconds / 1000);
    limit.tv_usec = static_cast<long>((dwMilliseconds % 1000) * 1000);
    int nResult = os::select(0, &set, nullptr, nullptr, &limit);
    if (nResult > 0) return DrainSocketWake(hWake);
    if (nResult == SOCKET_ERROR) {
        if (os::WSAGetLastError() == WSAENOTSOCK) return false;
        os::Sleep(dwMilliseconds);
    }
    return true;
}

bool WakeSocketTraits::Release(SOCKET hWake) {
    if (os::closesocket(hWake) != SOCKET_ERROR) return true;
    int nError = os::WSAGetLastError();
    if (nError != WSAEWOULDBLOCK && nError != WSAEINPROGRESS) return false;
    return os::closesocket(hWake) != SOCKET_ERROR;
}

}  // namespace quorvel::listener
