// Helpers shared by the socket endpoints: address text, socket sets and
// keeping the caller's Windows Sockets error across clean-up calls.
#pragma once

#include <atomic>
#include <climits>

#include "core/error.h"
#include "core/ipv4_text.h"
#include "core/shared_link.h"
#include "platform/os.h"

class CxSocket;

namespace quorvel {

// What a socket's record carries beyond ownership: made with the record, so
// that every receive through any holder is counted from the first.
struct SocketExtra : LinkExtra {
    std::atomic<LONG> receives{0};      // receives that took data, through any holder
    std::atomic<bool> textBusy{false};  // guards a UDP socket's peer text (TextGuard)
    // While the listener pauses for a host that has not read what it was
    // told of (a host whose events go to a queue or a window reads later),
    // a receive sets readWake, so the pause ends with the read and what
    // comes next is told at once. Made on the first pause, closed with the
    // record, which every receive and the listener hold.
    std::atomic<bool> pausing{false};
    std::atomic<HANDLE> readWake{nullptr};
    // The socket does not block (SocketAccess::SetNonBlocking): a transfer
    // with a time limit tries first and waits only when the socket is full
    // or empty, which saves a select for every piece.
    std::atomic<bool> nonBlocking{false};

    ~SocketExtra() override {
        if (HANDLE hWake = readWake.load()) os::CloseHandle(hWake);
    }
    // The auto-reset event, made on first need; nullptr if it cannot be made.
    HANDLE ReadWake() {
        HANDLE hWake = readWake.load();
        if (hWake) return hWake;
        HANDLE hMade = os::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (!hMade) return nullptr;
        if (readWake.compare_exchange_strong(hWake, hMade)) return hMade;
        os::CloseHandle(hMade);  // another was first
        return hWake;
    }
    // Ends the pause under way, if any.
    void EndPause() {
        if (!pausing.load()) return;
        if (HANDLE hWake = readWake.load()) os::SetEvent(hWake);
    }
};

// The socket record of an endpoint, for the pieces below.
struct SocketAccess {
    // The record of the socket the object holds; nullptr when it holds none.
    // There always is one while a listener runs, so this is also what guards
    // state the listener's callback shares with the host.
    static SharedLink* LinkOf(const CxSocket& socket);
    // The member that names it, for a call to count itself in (CallGuard).
    static SharedLink* const& Record(const CxSocket& socket);
    // The socket the object holds under that record; INVALID_SOCKET when it
    // holds another or none.
    static SOCKET SocketUnder(const CxSocket& socket, const SharedLink* link);
    // The receives counted in a record; 0 without one.
    static LONG Receives(const SharedLink* link);
    // Makes the socket one that does not block, for good (0 with the
    // error when it cannot); its transfers wait in select when they must.
    static int SetNonBlocking(CxSocket& socket);
    // Has the running listener raise listener::kEventListenerCall once,
    // soon, on its own thread; false (nothing asked) when none runs.
    static bool CallListener(CxSocket& socket);
    // Stops the listener without waiting, when it waits away from the
    // endpoint (listener::LetGo); false when it must be waited for
    // (CxSocket::DisListenEvent then does), or when none runs.
    static bool LetGoListener(CxSocket& socket);
    // The first step of the owner's close: new calls are refused, and those
    // in progress are told to leave (their requests cancelled), so that they
    // leave while the close does its other work; CloseSocket then waits for
    // them and closes. Nothing for a copy, or without a socket.
    static void BeginClose(CxSocket& socket);
};

// Any operation on an endpoint's socket (a transfer, an accept, a query, a
// selection), counted in its record for as long as it lasts, so that a
// close from another thread can end it and waits for it (see CxSocket):
// the call is counted before it reads the socket. Socket() is
// INVALID_SOCKET, with WSAENOTSOCK, when the object holds none or a close
// has begun.
class SocketCall {
public:
    explicit SocketCall(CxSocket& socket);
    SocketCall(const SocketCall&) = delete;
    SocketCall& operator=(const SocketCall&) = delete;

    SOCKET Socket() const { return m_hSocket; }
    // A close has begun: leave at once, with WSAEINTR as the error.
    bool Interrupted(QV_FAILURE_PLACE_ALONE) const {
        if (!m_guard.Link() || !m_guard.Closing()) return false;
        QV_TRACE_FAILURE(nullptr, WSAEINTR);
        os::WSASetLastError(WSAEINTR);
        return true;
    }
    // A receive took data; the listener's pacing counts these.
    void CountReceive();
    // The socket's record, held for as long as the call lasts; nullptr when
    // the call was refused.
    SharedLink* Link() const { return m_guard.Link(); }
    // Whether the socket was made one that does not block.
    bool NonBlocking() const {
        const SocketExtra* extra = ExtraOf<SocketExtra>(m_guard.Link());
        return extra && extra->nonBlocking.load(std::memory_order_acquire);
    }

private:
    CallGuard m_guard;
    SOCKET m_hSocket;
};

}  // namespace quorvel

namespace quorvel::socket_util {

// The endpoints' address text (core/ipv4_text.h): parsed text of at most
// CX_SOCKET_ADDRESS_MAX characters, and formatted text without the port into
// 64 characters, zero-filled first.
using Text = Ipv4Parse;
Text ParseAddress(const wchar_t* pszText, SOCKADDR_IN* pAddr);
bool FormatAddress(SOCKADDR_IN addr, wchar_t (&szText)[64]);
// Copies at most nCapacity - 1 characters and the terminator.
void CopyText(wchar_t* pszTo, const wchar_t* pszFrom, int nCapacity);

// How much of ulRemaining one platform call may move.
inline int Chunk(unsigned long ulRemaining) {
    return ulRemaining > static_cast<unsigned long>(INT_MAX) ? INT_MAX
                                                             : static_cast<int>(ulRemaining);
}

// 1 when the socket has a local IPv4 name (it is bound), else 0.
int HasLocalName(SOCKET hSocket);

// Waits until the socket has data (or a connection) to take, or (bWrite)
// can take more, at most dwMilliseconds (INFINITE: no limit). false with
// WAIT_TIMEOUT as the error when the limit ran out, or with the wait's error
// (a close from another thread ends the wait).
bool WaitReady(SOCKET hSocket, bool bWrite, DWORD dwMilliseconds);

// Connects within dwMilliseconds (INFINITE: a plain blocking connect) and
// leaves the socket blocking. false with WAIT_TIMEOUT when the limit ran
// out, else with the connect's error.
bool ConnectWithin(SOCKET hSocket, const SOCKADDR* pAddr, int nLength, DWORD dwMilliseconds);

// A socket set with the given members, built without the platform's helpers.
fd_set SetOf(SOCKET a, SOCKET b = INVALID_SOCKET);
bool IsIn(SOCKET s, const fd_set& set);

}  // namespace quorvel::socket_util
