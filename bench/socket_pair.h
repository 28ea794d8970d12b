// A connected TCP pair over loopback, made through the library: the
// listening server, the client and the accepted peer. Shared by the socket
// benchmarks; no C++ standard library, since the Visual C++ flavour's
// benchmark links none.
#pragma once

#include <quorvel/quorvel.h>

#include <string.h>

inline int Port(SOCKET s) {
    SOCKADDR_IN addr;
    memset(&addr, 0, sizeof addr);
    int length = sizeof addr;
    getsockname(s, reinterpret_cast<SOCKADDR*>(&addr), &length);
    return ntohs(addr.sin_port);
}

struct Pair {
    CxServerSocket server;
    CxClientSocket client;
    CxClientSocket peer;
    // bListen: whether the client starts its listener.
    bool Open(int bListen) {
        if (!server.ListenConnection(L"127.0.0.1", 0)) return false;
        if (!client.Connect(L"127.0.0.1", Port(server.GetSocket()), bListen)) return false;
        peer.Attach(server.AcceptConnection());
        return peer.GetSocket() != INVALID_SOCKET;
    }
    ~Pair() {
        client.DisConnect();
        peer.DisConnect();
        server.DisListenConnection();
    }
};
