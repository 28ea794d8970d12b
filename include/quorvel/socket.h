// quorvel sockets: start-up of Windows Sockets and its last error, the socket
// endpoint base with its listener thread, the TCP client and server, and UDP.
//
// The library never starts Windows Sockets by itself. Call SocketInit once
// before any socket endpoint is used and before any operation that converts
// address text or queries names (Bluetooth, address text, local addresses,
// host scan), and SocketUnInit after the last of them. Start-ups nest as the
// platform counts them: each successful SocketInit needs one SocketUnInit.
//
// Handles. A socket handle is the platform's SOCKET, which is unsigned int on
// 32-bit Windows; INVALID_SOCKET marks an object without a socket. The host
// callback receives it as its unsigned int handle argument.
//
// Failures return 0 (or INVALID_SOCKET) and leave the Windows Sockets error of
// the call that failed for SocketGetLastError. Where the library itself
// refuses an argument, the error is one of its own choosing, named below.
#pragma once

#include "quorvel/core.h"

// 1 when Windows Sockets 2.2 is started; 0 otherwise, with nothing left
// started (a platform that grants another version is cleaned up again).
QUORVEL_API int SocketInit();
// 1 when the platform accepted the clean-up; 0 without an open start-up.
QUORVEL_API int SocketUnInit();
// The calling thread's last Windows Sockets error, unchanged.
QUORVEL_API unsigned long SocketGetLastError();

// Socket event bits: the events a socket endpoint selects for the host window
// (the platform posts them with wParam the socket and, in the lParam, the
// event bit in the low word and an error code in the high word). They have the
// values of FD_READ, FD_ACCEPT and FD_CLOSE and of the CX_EVENT_* codes.
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
}

// Base of the socket endpoints: one socket handle and one listener thread.
//
// The listener (started by the derived classes' open operations when asked
// for) waits until the socket is readable and then calls the host callback
// with (user pointer, socket, CX_EVENT_DATA_READY) on its own thread. It never
// reads; the callback reads with Recv. It writes these trace lines:
//   "The thread 0x%X(CxSocket::OnListen) has entered.\n"
//   "socket inputbuffer has no data.\n"      (woken, but not for the socket)
//   "socket select failed. err code = %d.\n"
//   "The thread 0x%X(CxSocket::OnListen) has exited.\n"
//
// Decisions beyond the basic contract:
// - Waking. Besides its socket the listener waits on a wake socket of its own:
//   a UDP socket bound exclusively to 127.0.0.1 and connected to itself, so
//   that only datagrams it sends to itself reach it. Nothing another program
//   sends can stop or confuse the listener; a wake only makes it look at its
//   exit request and at whether its socket is being closed. So Detach and
//   the destructor end the listener at once while the socket stays open,
//   with no polling and no CPU spent while idle. CloseSocket also has a
//   running listener look again, so closing the socket ends it even when the
//   close comes just before the listener's wait begins. The wake socket is
//   made by ListenEvent and closed by DisListenEvent; ListenEvent fails (0)
//   if it cannot be made.
// - Closing or destroying from the callback. The callback may call
//   DisConnect, Disbind, CloseSocket, Detach or any other close, and may
//   delete the object: once the callback returns, the listener looks only at
//   its own state, sees that it was asked to stop, and ends without touching
//   the object again. No thread or handle is left behind.
// - Closing from another thread. A Send, Recv, RecvFrom, SendTo,
//   RecvDatagram, SendDatagramTo or AcceptConnection that is under way on
//   another thread when the socket is closed (CloseSocket or any close
//   built on it, through the object that owns the socket) ends with 0 and
//   WSAEINTR; the close waits until it has returned before it releases the
//   handle, so that no call ever acts on a handle value the platform has
//   given out anew. A call that starts once the close has begun fails with
//   WSAENOTSOCK.
// - Unread data. While data stays unread the listener keeps calling the
//   callback. Only when a callback took nothing (no Recv or RecvFrom of this
//   object or a copy received anything) and the number of bytes waiting is
//   the same as after the report before (nothing read, nothing new; a closed
//   connection included) does the next call come after
//   CX_SOCKET_UNREAD_PAUSE_MS (or when woken), instead of at once in a spin.
//   A callback that reads, even exactly what there was, and data that keeps
//   arriving are reported again at once, whatever the sizes.
// - A select failure other than WSAENOTSOCK is traced and retried after a
//   pause that doubles from 10 ms up to 1 s (or until woken), so a lasting
//   failure writes at most about one line a second and costs no CPU.
// - A socket that was closed under the listener is never waited on again,
//   even when its handle value already names a new socket: the listener
//   takes that as the WSAENOTSOCK failure and ends.
// - Start. An open operation asked for a listener that cannot start (no
//   thread, no wake socket) fails: it returns 0 with the system's error and
//   holds no socket. IsListening tells whether the listener runs.
// - Copies. A copy names the same socket and listener as its original, but
//   only the object that acquired the socket (created it, or took it with
//   Attach) closes it, and only the object that started the listener stops
//   it. CloseSocket, the close operations of the derived classes and the
//   destructor of a copy let go of the copy's view at once without closing
//   anything (CloseSocket returns 1, since the copy then holds no socket).
//   Once the original has closed the socket or let go of it (Detach, Attach
//   of another socket, destructor, assignment), its copies hold no socket and
//   fail as new objects do, so they never reach a handle value the platform
//   may already have given to another socket. Keep the original alive for as
//   long as its copies are used. A derived class reads the socket through
//   GetSocket(), which honours this rule. Detach on a copy lets go of its
//   view and returns INVALID_SOCKET: the socket stays its original's.
// - Detach stops the listener first, then gives up the handle.
class QUORVEL_API CxSocket : public CxComm {
    QV_HEAP_OPERATORS
public:
    CxSocket();
    CxSocket(const CxSocket& other);
    CxSocket& operator=(const CxSocket& other);
    // Stops the listener (promptly, see above). Does not close the socket.
    ~CxSocket() QV_OVERRIDE;

    // Takes s as this object's socket. The previous handle is neither closed
    // nor inspected; no event is selected and no listener started. Not while
    // the listener runs.
    void Attach(SOCKET s);
    // Stops the listener and hands the socket to the caller, open; returns
    // INVALID_SOCKET when there is none.
    SOCKET Detach();
    SOCKET GetSocket();
    void* GetSafeHandle() QV_OVERRIDE;  // the socket as a pointer; NULL without one
    // Closes the socket (no shutdown, the listener is not stopped). 1 closed
    // or no socket, 0 when the platform refused (the handle is kept).
    int CloseSocket();
    // Asks the platform to post the events of lEventMask (CX_SOCKET_*) to the
    // registered window and message; a mask of 0 ends them. 0 without a
    // socket (WSAENOTSOCK), without a window or a message number (WSAEINVAL;
    // no platform call in either case), or when the platform refuses. A successful selection makes the socket non-blocking.
    int SelectEvent(long lEventMask);
    // 1 while the listener thread runs.
    int IsListening();

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
    void LetGo();  // drops this object's hold on the socket without closing it
    void ShareFrom(const CxSocket& other);
    int SelectOn(SOCKET hSocket, long lEventMask);

    SOCKET m_hWakeSocket;                  // the listener's wake-up, owned by its starter
    SOCKET m_hListenSocket;                // the socket the listener was started for
    mutable quorvel::SharedLink* m_pLink;  // the socket's record, made on first need
};

// Pause between two data-ready calls for data that stays unread.
QV_CONSTEXPR unsigned CX_SOCKET_UNREAD_PAUSE_MS = 10;

// A TCP connection over IPv4.
//
// Address text is numeric IPv4 text ("10.0.0.1", optionally with ":port",
// which is replaced by the port argument; only the low 16 bits of a port
// argument are used). Names are not resolved. Texts produced carry no port.
//
// Decisions beyond the basic contract:
// - Connect refuses destination text that is NULL, longer than
//   CX_SOCKET_ADDRESS_MAX characters or not numeric IPv4 text, with
//   WSAEINVAL, after closing an open connection and without creating a
//   socket (such text would otherwise mean 0.0.0.0, which reaches this host).
// - Send and Recv on a non-blocking socket (events selected) wait with select
//   until the socket is writable or readable when the platform says it would
//   block, instead of retrying at once. They still return only when the count
//   is met or the connection fails.
// - A NULL buffer with a non-zero count fails with WSAEFAULT; so does a NULL
//   text buffer for GetPeerAddress and GetSockAddress.
// - GetPeerAddress and GetSockAddress write at most 16 characters with the
//   terminator.
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
    int Connect(const wchar_t* pszAddress, int nPort, int bListen);
    // Shuts down and closes the connection and stops the listener. Always 1.
    int DisConnect();

    // Sends or receives exactly ulLength bytes; the third argument is unused.
    // A closed or broken connection posts CX_EVENT_CONNECTION_CLOSED to the
    // window (wParam the socket) when a window and message are registered.
    // When Recv returns 0, the bytes received are at the start of the buffer
    // and the rest of the ulLength bytes are zeros.
    int Send(unsigned char* pData, unsigned long ulLength, unsigned long ulUnused) QV_OVERRIDE;
    int Recv(unsigned char* pBuffer, unsigned long ulLength, unsigned long ulUnused) QV_OVERRIDE;
    virtual int IsConnected();
    // The remote or local address without a port into a buffer of at least
    // 16 characters; 0 (buffer untouched) when there is none.
    virtual int GetPeerAddress(wchar_t* pszAddress);
    virtual int GetSockAddress(wchar_t* pszAddress);

private:
    void PostClosed(SOCKET hSocket);
    int GetAddress(bool bPeer, wchar_t* pszAddress);
};

// A listening TCP socket over IPv4. It carries no data: Send and Recv fail,
// with WSAENOTCONN while it listens and WSAENOTSOCK when it holds no socket.
//
// ListenConnection takes the local address text: numeric IPv4 text, or NULL,
// the empty text or "0.0.0.0" for every local interface. Any other text (a
// host name such as "localhost" included) and text longer than
// CX_SOCKET_ADDRESS_MAX characters are refused with WSAEINVAL, after closing
// a socket already held and without creating one, so a typing mistake never
// exposes the service on every interface. A failed bind leaves the new
// socket held, unbound, until the next ListenConnection or
// DisListenConnection.
class QUORVEL_API CxServerSocket : public CxSocket {
    QV_HEAP_OPERATORS
public:
    CxServerSocket();
    CxServerSocket(const CxServerSocket& other);
    CxServerSocket& operator=(const CxServerSocket& other);
    ~CxServerSocket() QV_OVERRIDE;

    // Closes any held socket, then binds and listens (backlog SOMAXCONN) and
    // selects CX_SOCKET_EVENTS_SERVER for the window. 1 listening.
    int ListenConnection(const wchar_t* pszAddress, int nPort);
    // The accepted socket, owned by the caller, or INVALID_SOCKET. Returns at
    // once when events are selected and nothing waits.
    SOCKET AcceptConnection();
    int IsListenningConnection();  // 1 while the socket is bound
    int DisListenConnection();     // CloseSocket()
    int Send(unsigned char* pData, unsigned long ulLength, unsigned long ulUnused) QV_OVERRIDE;
    int Recv(unsigned char* pBuffer, unsigned long ulLength, unsigned long ulUnused) QV_OVERRIDE;
};

// IPv4 datagrams on one local port, bound on every interface. Send goes to
// the stored peer address at the bound port number; Recv remembers the last
// sender as the peer.
//
// Decisions beyond the basic contract:
// - Send refuses a stored peer text, and SendTo a destination text, that does
//   not parse as numeric IPv4 text, with WSAEINVAL and nothing sent.
// - SetPeerAddress refuses NULL and text longer than CX_SOCKET_ADDRESS_MAX
//   characters with WSAEINVAL and keeps the previous text; the peer text is
//   never written past its 64 characters.
// - A NULL data buffer with a non-zero count fails with WSAEFAULT. RecvFrom
//   with a NULL text buffer receives without reporting the sender;
//   GetPeerAddress with NULL does nothing. A failed receive leaves its
//   platform error for SocketGetLastError.
// - Peers on other ports. Send, SendTo, Recv and RecvFrom know only the
//   peer's address and always send to the bound port. RecvDatagram and
//   SendDatagramTo also carry the peer's port, in "a.b.c.d:port" text, so a
//   sender on any port can be answered: RecvDatagram takes exactly one
//   datagram (an empty one too) of unknown size and writes its sender with
//   the sender's port; SendDatagramTo sends exactly one datagram (an empty
//   one for a count of 0) to the port written in the text, which wins over
//   the bound port, or to the bound port when the text has none. Neither
//   reads or changes the stored peer.
class QUORVEL_API CxUdpSocket : public CxSocket {
    QV_HEAP_OPERATORS
public:
    CxUdpSocket();
    CxUdpSocket(const CxUdpSocket& other);
    CxUdpSocket& operator=(const CxUdpSocket& other);
    ~CxUdpSocket() QV_OVERRIDE;

    // Closes any held socket, binds the low 16 bits of nPort on every
    // interface and, with bListen, starts the listener. 1 bound.
    int Bind(int nPort, int bListen);
    int Disbind();   // CloseSocket(); on success also clears the port and stops the listener
    int IsBinded();  // 1 while the socket is bound
    void SetPeerAddress(const wchar_t* pszAddress);
    void GetPeerAddress(wchar_t* pszAddress);  // into a buffer of 64 characters

    // One datagram of ulLength bytes to the stored peer at the bound port.
    int Send(unsigned char* pData, unsigned long ulLength, unsigned long ulUnused) QV_OVERRIDE;
    int SendTo(const wchar_t* pszAddress, unsigned char* pData, unsigned long ulLength);
    // Whole datagrams until exactly ulLength bytes are in; a datagram larger
    // than the room left fails the call. Recv stores the sender as the peer;
    // RecvFrom writes it (at most 16 characters) into pszAddress instead. A
    // sender that the platform cannot write as text reads as the empty text;
    // the data is still delivered (1), never dropped for it.
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
    // One datagram of ulLength bytes to "a.b.c.d:port", or to "a.b.c.d" at
    // the bound port. 1 when the platform took all of it; a count larger
    // than the platform's largest datagram fails (WSAEMSGSIZE), text that
    // is not numeric IPv4 text with WSAEINVAL.
    int SendDatagramTo(const wchar_t* pszAddress, unsigned char* pData, unsigned long ulLength);

protected:
    int m_nPort;
    wchar_t m_szPeerAddress[64];

private:
    int SendDatagram(const wchar_t* pszAddress, unsigned char* pData, unsigned long ulLength);
    int ReceiveDatagrams(wchar_t* pszSender, unsigned char* pBuffer, unsigned long ulLength);
};
