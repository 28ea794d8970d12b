// The socket endpoints of the C interface, for the parts that open them
// (TCP and UDP here, RFCOMM in capi/bluetooth.cpp).
#pragma once

#include <atomic>
#include <new>

#include "capi/common.h"
#include "platform/os.h"
#include "socket/socket_util.h"

namespace quorvel::capi {

// A socket endpoint: the C++ socket calls this layer back, and holds a
// Windows Sockets start-up of its own.
class SocketEndpoint : public Stream {
public:
    explicit SocketEndpoint(DWORD dwKind) : Stream(dwKind) {}
    bool SocketsStarted() const { return m_sockets.Started(); }
    virtual CxSocket& Socket() = 0;
    // The local or the peer's address as text (no port) and its port.
    DWORD Address(const Call& call, bool bPeer, wchar_t (&szText)[64], DWORD* pdwPort);
    // What an endpoint does once its socket is open, before it is handed to
    // the host (1, or 0 with the last error).
    virtual int Ready() { return 1; }

    // Only connections move data.
    int SendExact(const unsigned char*, unsigned long, unsigned long, unsigned long*) override {
        return Refuse();
    }
    int RecvExact(unsigned char*, unsigned long, unsigned long, unsigned long*) override {
        return Refuse();
    }
    int RecvSome(unsigned char*, unsigned long, unsigned long, unsigned long*) override {
        return Refuse();
    }
    int Counts(unsigned long*, unsigned long*) override { return Refuse(); }

protected:
    bool CallListener() override { return SocketAccess::CallListener(Socket()); }
    // Set up in the constructor of each kind, before its C++ object opens.
    template <class T>
    T& Notifying(T& socket) {
        socket.SetWndMsgProc(nullptr, 0, &Endpoint::OnEvent, this);
        return socket;
    }

private:
    static int Refuse() {
        os::SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    Sockets m_sockets;  // before the socket member: it ends after the socket
};

// A TCP (CxClientSocket) or RFCOMM (CxBthClientSocket) connection.
class Connection : public SocketEndpoint {
public:
    explicit Connection(DWORD dwKind) : SocketEndpoint(dwKind) { Notifying(m_socket); }
    CxSocket& Socket() override { return m_socket; }
    Held<CxBthClientSocket>& Client() { return m_socket; }
    void Shutdown() override {
        EndWatching();
        m_socket.DisConnect();
    }

    int SendExact(const unsigned char* pData, unsigned long ulLength, unsigned long ulWait,
                  unsigned long* pulSent) override {
        return m_socket.SendExact(pData, ulLength, ulWait, pulSent);
    }
    int RecvExact(unsigned char* pBuffer, unsigned long ulLength, unsigned long ulWait,
                  unsigned long* pulReceived) override {
        return m_socket.RecvExact(pBuffer, ulLength, ulWait, pulReceived);
    }
    int RecvSome(unsigned char* pBuffer, unsigned long ulSize, unsigned long ulWait,
                 unsigned long* pulReceived) override {
        return m_socket.RecvSome(pBuffer, ulSize, ulWait, pulReceived);
    }
    int Counts(unsigned long* pulToRead, unsigned long* pulToSend) override {
        *pulToSend = 0;
        return m_socket.GetRecvCount(pulToRead, nullptr);
    }

    // A connection does not block: a transfer with a time limit then costs
    // no select before each piece, only when the socket is full or empty.
    int Ready() override { return SocketAccess::SetNonBlocking(m_socket); }

protected:
    bool Translate(long lEvent, DWORD* pdwEvent, DWORD* pdwDetail) override;
    DWORD StartListener() override { return m_socket.StartListening() ? 0 : LastError(); }

private:
    // One class for both: the Bluetooth class changes only how it connects
    // and names addresses, and TCP connections use neither.
    Held<CxBthClientSocket> m_socket;
    std::atomic<bool> m_bClosedTold{false};
    // What the listener told last (its thread only): whether it told, and
    // the socket's count of receives then.
    bool m_bTold = false;
    LONG m_lReceivesWhenTold = 0;
};

// A listening TCP (CxServerSocket) or RFCOMM (CxBthServerSocket) socket.
class Server : public SocketEndpoint {
public:
    explicit Server(DWORD dwKind) : SocketEndpoint(dwKind) { Notifying(m_socket); }
    CxSocket& Socket() override { return m_socket; }
    Held<CxBthServerSocket>& Listener() { return m_socket; }
    void Shutdown() override {
        EndWatching();
        m_socket.DisListenConnection();
    }

protected:
    bool Translate(long lEvent, DWORD* pdwEvent, DWORD* pdwDetail) override;
    DWORD StartListener() override { return m_socket.StartListening() ? 0 : LastError(); }

private:
    Held<CxBthServerSocket> m_socket;
};

// A UDP socket.
class Datagrams : public SocketEndpoint {
public:
    Datagrams() : SocketEndpoint(QV_KIND_UDP) { Notifying(m_socket); }
    CxSocket& Socket() override { return m_socket; }
    Held<CxUdpSocket>& Udp() { return m_socket; }
    void Shutdown() override {
        EndWatching();
        m_socket.Disbind();
    }

protected:
    bool Translate(long lEvent, DWORD* pdwEvent, DWORD* pdwDetail) override;
    DWORD StartListener() override { return m_socket.StartListening() ? 0 : LastError(); }

private:
    Held<CxUdpSocket> m_socket;
};

// A new endpoint; NULL, with the status in *pdwStatus, when memory ran out
// or Windows Sockets did not start.
template <class T, class... Args>
T* MakeSocketEndpoint(DWORD* pdwStatus, Args... args) {
    T* endpoint = new (std::nothrow) T(args...);
    if (!endpoint) {
        *pdwStatus = ERROR_NOT_ENOUGH_MEMORY;
    } else if (!endpoint->Made() || !endpoint->SocketsStarted()) {
        *pdwStatus = endpoint->Made() ? WSASYSNOTREADY : ERROR_NOT_ENOUGH_MEMORY;
        endpoint->Release();
        endpoint = nullptr;
    }
    return endpoint;
}

// Registers an endpoint whose open step ran (1, or 0 with the last error).
DWORD Opened(SocketEndpoint* endpoint, int nResult, qv_handle* pHandle);

}  // namespace quorvel::capi
