// quorvel sockets: start-up of Windows Sockets and its last error, the socket
// endpoint base with its listener thread, the TCP client and server, and UDP.
// Design notes: docs/sockets.md.
//
// Call SocketInit once before any socket endpoint is used and before any
// operation that converts address text or queries names (Bluetooth, address
// text, local addresses, host scan), and SocketUnInit after the last of them;
// the library never starts Windows Sockets by itself.
//
// Failures return 0 (or INVALID_SOCKET) and leave the Windows Sockets error
// for SocketGetLastError; errors the library chooses itself are named below.
#pragma once

#include "quorvel/core.h"

// 1 when Windows Sockets 2.2 is started; 0 otherwise, with nothing left
// started. Start-ups nest: each successful SocketInit needs one SocketUnInit.
QUORVEL_API int SocketInit();
// 1 when the platform accepted the clean-up; 0 without an open start-up.
QUORVEL_API int SocketUnInit();
// The calling thread's last Windows Sockets error, unchanged.
QUORVEL_API unsigned long SocketGetLastError();

// Socket event bits: the events a socket endpoint selects for the host window
// (posted with wParam the socket, the event bit in the low word of lParam and
// an error code in its high word); the values of FD_READ, FD_ACCEPT, FD_CLOSE.
QV_CONSTEXPR long CX_SOCKET_READ = 0x01;    // data waits to be read
QV_CONSTEXPR long CX_SOCKET_ACCEPT = 0x08;  // a connection waits to be accepted
QV_CONSTEXPR long CX_SOCKET_CLOSE = 0x20;   // the connection was closed
// The masks the endpoints select on their own.
QV_CONSTEXPR long CX_SOCKET_EVENTS_WITH_LISTENER = CX_SOCKET_CLOSE;  // reads go to the callback
QV_CONSTEXPR long CX_SOCKET_EVENTS_NO_LISTENER = CX_SOCKET_READ | CX_SOCKET_CLOSE;
QV_CONSTEXPR long CX_SOCKET_EVENTS_SERVER = CX_SOCKET_READ | CX_SOCKET_ACCEPT | CX_SOCKET_CLOSE;

// Longest address text the endpoints take, without its terminator.
QV_CONSTEXPR int CX_SOCKET_ADDRESS_MAX = 63;

namespace quorvel {
struct SharedLink;
struct SocketAccess;
class SocketWatch;
}

// Base of the socket endpoints: one socket handle (INVALID_SOCKET: none) and
// one listener thread. The listener (when an open operation asked for it)
// calls the host callback with CX_EVENT_DATA_READY on its own thread while
// data waits unread; it never reads itself.
//
// Threads: the callback may close the endpoint (any close, Detach) or delete
// the object. A close from another thread ends a Send, Recv, RecvFrom,
// SendTo, RecvDatagram, SendDatagramTo or AcceptConnection under way (0,
// WSAEINTR) and waits for it; calls that start after it fail with
// WSAENOTSOCK. A copy shares the socket but only the object that acquired it
// closes it; once that one closes or lets go of it, the copies hold no
// socket. Keep the original alive while copies are used.
// Stopping the listener from another thread (a close, DisListenEvent, the
// destructor) returns once the callback can no longer be called: a callback
// under way is waited for; a listener that is waiting is not, and ends on
// its own thread soon after, holding this DLL loaded until then.
class QUORVEL_API CxSocket : public CxComm {
    QV_HEAP_OPERATORS
public:
    CxSocket();
    CxSocket(const CxSocket& other);
    CxSocket& operator=(const CxSocket& other);
    // Stops the listener at once. Does not close the socket: close it first,
    // or Detach it.
    ~CxSocket() QV_OVERRIDE;

    // Takes s as this object's socket. The previous handle is neither closed
    // nor inspected; no event is selected and no listener started. Not while
    // the listener runs.
    void Attach(SOCKET s);
    // Stops the listener and hands the socket to the caller, open; returns
    // INVALID_SOCKET when there is none, and on a copy (which lets go of its
    // view; the socket stays its original's).
    SOCKET Detach();
    SOCKET GetSocket();
    void* GetSafeHandle() QV_OVERRIDE;  // the socket as a pointer; NULL without one
    // Closes the socket (no shutdown, the listener is not stopped). 1 closed
    // or no socket (a copy only lets go of its view), 0 when the platform
    // refused (the handle is kept).
    int CloseSocket();
    // Asks the platform to post the events of lEventMask (CX_SOCKET_*) to the
    // registered window and message; a mask of 0 ends them. 0 without a
    // socket (WSAENOTSOCK), without a window or a message number (WSAEINVAL;
    // no platform call in either case), or when the platform refuses. A
    // successful selection makes the socket non-blocking.
    int SelectEvent(long lEventMask);
    // 1 while the listener thread runs. An open operation that asked for a
    // listener that cannot start fails and holds no socket.
    int IsListening();
    // The socket's local address (bPeer 0) or its peer's (bPeer non-zero),
    // as the platform writes it: at most *pnLength bytes into pAddress, the
    // length used in *pnLength. 0 without a socket (WSAENOTSOCK) or with the
    // platform's error.
    int GetName(int bPeer, SOCKADDR* pAddress, int* pnLength);

protected:
    int ListenEvent();      // starts the listener unless a thread handle is held
    static unsigned long WINAPI ListenEventProc(void* pThread);
    void OnListenEvent(CxThread* pThread);
    void DisListenEvent();  // wakes and stops the listener, releases its handle
    int IsListenningEvent();
    // After an open operation succeeded: starts the listener when asked and
    // selects the mask that goes with it (reads to the callback, or to the
    // window). 0 when the listener was asked for and cannot start (the
    // system's error is kept); the selection's result is not tested.
    int StartEvents(int bListen);
    // After a connect failed: closes the new socket, keeping the connect's
    // error, and tells any copies it is gone.
    void DropFailedSocket(SOCKET hSocket);
    // For an open operation: the socket still held (a close the platform
    // refused leaves it), or else a new one, which this object then holds.
    // INVALID_SOCKET with the platform's error when none can be made.
    SOCKET SocketOrNew(int nFamily, int nType, int nProtocol);

    // True unless this object is a copy that shares another object's socket.
    bool OwnsSocket() const;

    SOCKET m_hSocket;  // also read by other threads' calls
    CxThread m_ListenThread;

private:
    friend struct quorvel::SocketAccess;
    friend class quorvel::SocketWatch;  // the listener's watch (socket.cpp)
    void LetGo();  // drops this object's hold on the socket without closing it
    void ShareFrom(const CxSocket& other);
    int SelectOn(SOCKET hSocket, long lEventMask);

    SOCKET m_hWakeSocket;                  // the listener's wake-up, owned by its starter
    SOCKET m_hListenSocket;                // the socket the listener was started for
    mutable quorvel::SharedLink* m_pLink;  // the socket's record, made on first need
};

// Pause before the next data-ready call when a callback read nothing and
// nothing new arrived.
QV_CONSTEXPR unsigned CX_SOCKET_UNREAD_PAUSE_MS = 10;

// A TCP connection over IPv4. Address text is numeric IPv4 text ("10.0.0.1";
// a ":port" in it is replaced by the port argument, of which only the low 16
// bits count). Names are not resolved; texts produced carry no port.
class QUORVEL_API CxClientSocket : public CxSocket {
    QV_HEAP_OPERATORS
public:
    CxClientSocket();
    CxClientSocket(const CxClientSocket& other);
    CxClientSocket& operator=(const CxClientSocket& other);
    ~CxClientSocket() QV_OVERRIDE;

    // Closes any open connection, then connects to the address and port. With
    // bListen the listener calls the callback for received data and the window
    // hears only of closure; without it the window hears of both. 1 connected.
    // Text that is NULL, longer than CX_SOCKET_ADDRESS_MAX or not numeric
    // IPv4 text fails with WSAEINVAL, without creating a socket.
    int Connect(const wchar_t* pszAddress, int nPort, int bListen);
    // Shuts down and closes the connection and stops the listener. Always 1.
    int DisConnect();

    // Sends or receives exactly ulLength bytes; the third argument is unused.
    // A closed or broken connection posts CX_EVENT_CONNECTION_CLOSED to the
    // window (wParam the socket) when a window and message are registered.
    // When Recv returns 0, the bytes received are at the start of the buffer
    // and the rest of the ulLength bytes are zeros. On a socket with selected
    // events both wait until the socket is ready. A NULL buffer with a
    // non-zero count fails with WSAEFAULT.
    int Send(unsigned char* pData, unsigned long ulLength, unsigned long ulUnused) QV_OVERRIDE;
    int Recv(unsigned char* pBuffer, unsigned long ulLength, unsigned long ulUnused) QV_OVERRIDE;
    virtual int IsConnected();

    // Connect that gives up after ulWait milliseconds (INFINITE: as the
    // three-argument form) with WAIT_TIMEOUT, holding no socket then.
    int Connect(const wchar_t* pszAddress, int nPort, int bListen, unsigned long ulWait);
    // Send and Recv with one time limit for the whole call (INFINITE: none):
    // exactly ulLength bytes, 1 or 0 as they return; *pulSent or
    // *pulReceived (either may be NULL) gets the count moved, also on
    // failure. A limit that runs out fails with WAIT_TIMEOUT, a connection
    // that the peer closed with WSAEDISCON.
    int SendExact(const unsigned char* pData, unsigned long ulLength, unsigned long ulWait,
                  unsigned long* pulSent);
    int RecvExact(unsigned char* pBuffer, unsigned long ulLength, unsigned long ulWait,
                  unsigned long* pulReceived);
    // What has arrived, at most ulSize bytes, waiting at most ulWait
    // milliseconds for the first: 1 with the count in *pulReceived (at least
    // 1 when ulSize is); 0 with WAIT_TIMEOUT when nothing came, WSAEDISCON
    // once the peer has closed and everything is read.
    int RecvSome(unsigned char* pBuffer, unsigned long ulSize, unsigned long ulWait,
                 unsigned long* pulReceived);
    // The bytes received and not yet read. With pbClosed (may be NULL), also
    // whether the connection has ended: nothing to read although the socket
    // is readable, seen while no other call used it (0 when it cannot tell).
    int GetRecvCount(unsigned long* pulCount, int* pbClosed);
    // The remote or local address without a port into a buffer of at least
    // 16 characters; 0 (buffer untouched) when there is none, WSAEFAULT for
    // a NULL buffer.
    virtual int GetPeerAddress(wchar_t* pszAddress);
    virtual int GetSockAddress(wchar_t* pszAddress);

private:
    void PostClosed(SOCKET hSocket);
    int GetAddress(bool bPeer, wchar_t* pszAddress);
};

// A listening TCP socket over IPv4. It carries no data: Send and Recv fail,
// with WSAENOTCONN while it listens and WSAENOTSOCK when it holds no socket.
class QUORVEL_API CxServerSocket : public CxSocket {
    QV_HEAP_OPERATORS
public:
    CxServerSocket();
    CxServerSocket(const CxServerSocket& other);
    CxServerSocket& operator=(const CxServerSocket& other);
    ~CxServerSocket() QV_OVERRIDE;

    // Closes any held socket, then binds and listens (backlog SOMAXCONN) and
    // selects CX_SOCKET_EVENTS_SERVER for the window. 1 listening. The
    // address is numeric IPv4 text, or NULL, "" or "0.0.0.0" for every local
    // interface; any other text (a host name included) and text longer than
    // CX_SOCKET_ADDRESS_MAX fail with WSAEINVAL, after closing a held socket
    // and without making one. After a failed bind the unbound socket stays
    // held until the next ListenConnection or DisListenConnection.
    int ListenConnection(const wchar_t* pszAddress, int nPort);
    // The accepted socket, owned by the caller, or INVALID_SOCKET. Returns at
    // once when events are selected and nothing waits.
    SOCKET AcceptConnection();
    // Waits at most ulWait milliseconds for a connection (INFINITE: no
    // limit): INVALID_SOCKET with WAIT_TIMEOUT when none came.
    SOCKET AcceptConnection(unsigned long ulWait);
    // With bListen, as the two-argument form and a listener that calls the
    // callback with CX_EVENT_CONNECTION_WAITING on its own thread while a
    // connection waits (the window then hears nothing); a listener that
    // cannot start fails the call, holding no socket.
    int ListenConnection(const wchar_t* pszAddress, int nPort, int bListen);
    int IsListenningConnection();  // 1 while the socket is bound
    int DisListenConnection();     // CloseSocket()
    int Send(unsigned char* pData, unsigned long ulLength, unsigned long ulUnused) QV_OVERRIDE;
    int Recv(unsigned char* pBuffer, unsigned long ulLength, unsigned long ulUnused) QV_OVERRIDE;
};

// IPv4 datagrams on one local port, bound on every interface. Send goes to
// the stored peer address, SendTo and SendDatagramTo to the address given:
// at the port written in the text ("a.b.c.d:port"), else at the bound port.
// Text that is not numeric IPv4 text, or that writes the port as 0, is
// refused with WSAEINVAL and nothing is sent. Recv remembers the last sender
// as the peer, without its port; RecvDatagram gives the sender with its port
// ("a.b.c.d:port"), so a sender on any port can be answered.
class QUORVEL_API CxUdpSocket : public CxSocket {
    QV_HEAP_OPERATORS
public:
    CxUdpSocket();
    CxUdpSocket(const CxUdpSocket& other);
    CxUdpSocket& operator=(const CxUdpSocket& other);
    ~CxUdpSocket() QV_OVERRIDE;

    // Closes any held socket, binds the low 16 bits of nPort on every
    // interface and, with bListen, starts the listener. 1 bound. The bound
    // port is remembered, for 0 the one the system chose.
    int Bind(int nPort, int bListen);
    int Disbind();   // CloseSocket(); on success also clears the port and stops the listener
    int IsBinded();  // 1 while the socket is bound
    // NULL and text longer than CX_SOCKET_ADDRESS_MAX are refused (WSAEINVAL)
    // and the previous text is kept.
    void SetPeerAddress(const wchar_t* pszAddress);
    void GetPeerAddress(wchar_t* pszAddress);  // into a buffer of 64 characters; NULL: nothing

    // One datagram of ulLength bytes to the stored peer (Send) or to
    // pszAddress (SendTo). A NULL buffer with a non-zero count fails with
    // WSAEFAULT.
    int Send(unsigned char* pData, unsigned long ulLength, unsigned long ulUnused) QV_OVERRIDE;
    int SendTo(const wchar_t* pszAddress, unsigned char* pData, unsigned long ulLength);
    // Whole datagrams until exactly ulLength bytes are in; a datagram larger
    // than the room left fails the call. An empty datagram adds no bytes: it
    // is taken and the call goes on (RecvDatagram reports it as length 0).
    // Recv stores the sender as the peer;
    // RecvFrom writes it (at most 16 characters) into pszAddress instead. A
    // sender that the platform cannot write as text reads as the empty text;
    // the data is still delivered (1), never dropped for it. RecvFrom with a
    // NULL pszAddress does not report the sender. A NULL buffer with a
    // non-zero count fails with WSAEFAULT; other failures leave the
    // platform's error.
    int Recv(unsigned char* pBuffer, unsigned long ulLength, unsigned long ulUnused) QV_OVERRIDE;
    int RecvFrom(wchar_t* pszAddress, unsigned char* pBuffer, unsigned long ulLength);

    // One whole datagram of at most ulSize bytes into pBuffer; 1 with its
    // length in *pulLength and, when pszSender is not NULL, its sender as
    // "a.b.c.d:port" (at most 22 characters with the terminator). 0 with
    // *pulLength 0 and an empty sender when nothing was received: a larger
    // datagram fails with WSAEMSGSIZE (its rest is gone), an empty queue on
    // a socket with selected events with WSAEWOULDBLOCK, a NULL pulLength,
    // or a NULL pBuffer with a non-zero ulSize, with WSAEFAULT.
    int RecvDatagram(wchar_t* pszSender, unsigned char* pBuffer, unsigned long ulSize,
                     unsigned long* pulLength);
    // The same, waiting at most ulWait milliseconds for a datagram: 0 with
    // WAIT_TIMEOUT when none came.
    int RecvDatagram(wchar_t* pszSender, unsigned char* pBuffer, unsigned long ulSize,
                     unsigned long* pulLength, unsigned long ulWait);
    // One datagram of ulLength bytes (an empty one for 0) to "a.b.c.d:port",
    // or to "a.b.c.d" at the bound port. 1 when the platform took all of it;
    // a count larger than the platform's largest datagram fails
    // (WSAEMSGSIZE).
    int SendDatagramTo(const wchar_t* pszAddress, unsigned char* pData, unsigned long ulLength);

protected:
    int m_nPort;
    wchar_t m_szPeerAddress[64];

private:
    int SendDatagram(const wchar_t* pszAddress, unsigned char* pData, unsigned long ulLength);
    int ReceiveDatagrams(wchar_t* pszSender, unsigned char* pBuffer, unsigned long ulLength);
};
