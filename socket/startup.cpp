#include "quorvel/socket.h"

#include "core/error.h"
#include "platform/os.h"

int SocketInit() {
    WSADATA wsaData;
    if (quorvel::os::WSAStartup(MAKEWORD(2, 2), &wsaData) != 0) {
        return quorvel::FailedCall("WSAStartup");
    }
    if (LOBYTE(wsaData.wVersion) != 2 || HIBYTE(wsaData.wVersion) != 2) {
        quorvel::os::WSACleanup();  // a start-up of another version is no start-up
        return quorvel::FailedCall("WSAStartup");
    }
    return 1;
}

int SocketUnInit() {
    return quorvel::os::WSACleanup() == 0 ? 1 : quorvel::FailedCall("WSACleanup");
}

unsigned long SocketGetLastError() {
    return static_cast<unsigned long>(quorvel::os::WSAGetLastError());
}
