// Helpers for the socket suites: a connected loopback pair, addresses of raw
// sockets, data patterns and a callback recorder.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/os.h"
#include "quorvel/quorvel.h"
#include "tests/support/listener_calls.h"
#include "tests/support/wait_until.h"

namespace qvtest::sockets {

using qvtest::WaitUntil;

using qvtest::FinishesWithin;

inline std::vector<unsigned char> Pattern(size_t n, unsigned seed) {
    std::vector<unsigned char> data(n);
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>((i * 7 + seed + i / 251) & 0xFF);
    return data;
}

inline SOCKADDR_IN Local(SOCKET s) {
    SOCKADDR_IN addr = {};
    int length = sizeof addr;
    getsockname(s, reinterpret_cast<SOCKADDR*>(&addr), &length);
    return addr;
}
inline int LocalPort(SOCKET s) { return ntohs(Local(s).sin_port); }
inline unsigned long LocalAddress(SOCKET s) { return ntohl(Local(s).sin_addr.s_addr); }

inline SOCKADDR_IN Ipv4(const wchar_t* text, int port) {
    SOCKADDR_IN addr = {};
    addr.sin_family = AF_INET;
    INT length = sizeof addr;
    std::wstring copy(text);
    WSAStringToAddressW(&copy[0], AF_INET, nullptr, reinterpret_cast<SOCKADDR*>(&addr), &length);
    addr.sin_port = htons(static_cast<u_short>(port));
    return addr;
}

// A server on 127.0.0.1, a client connected to it and the accepted end.
struct Loopback {
    CxServerSocket server;
    CxClientSocket client;
    CxClientSocket peer;

    bool Open(int listen = 0) {
        if (!server.ListenConnection(L"127.0.0.1", 0)) return false;
        if (!client.Connect(L"127.0.0.1", LocalPort(server.GetSocket()), listen)) return false;
        SOCKET accepted = server.AcceptConnection();
        if (accepted == INVALID_SOCKET) return false;
        peer.Attach(accepted);
        return true;
    }
    ~Loopback() {
        client.DisConnect();
        peer.DisConnect();
        server.DisListenConnection();
    }
};

using Calls = qvtest::ListenerCalls;

}  // namespace qvtest::sockets
