// Pieces every part of the C interface uses: results of C++ calls as
// statuses, text and records into the host's buffers, Windows Sockets
// start-ups, and the streams' shape.
#pragma once

#include <cstring>

#include "capi/events.h"
#include "core/error.h"
#include "quorvel/quorvel.h"

namespace quorvel::capi {

// A C++ call's result as a status: 0, or the error it left.
inline DWORD Result(int nResult) { return nResult ? ERROR_SUCCESS : LastError(); }
inline DWORD Result(const Call& call, int nResult) { return nResult ? ERROR_SUCCESS : call.Failed(); }

// Text into the host's buffer (see quorvel_c.h): psz as far as its
// terminator (at most cchMax characters), or ERROR_INSUFFICIENT_BUFFER with
// the empty text and the length needed.
DWORD PutText(const wchar_t* psz, size_t cchMax, wchar_t* pszOut, DWORD dwCapacity,
              DWORD* pdwLength);

// The largest record size a host may give: far beyond any version of a
// record, and no bigger a region for the zeros past what this one knows.
constexpr DWORD kMaxRecordSize = 64 * 1024;

// A record the host hands in: its size must hold at least the first
// version's members (cbFirst), and at most kMaxRecordSize. Copies what the
// host's size holds of record, the size member as the host set it, the
// rest zeros.
template <class Record>
DWORD PutRecord(const Record& record, size_t cbFirst, Record* pOut) {
    if (!pOut || pOut->size < cbFirst || pOut->size > kMaxRecordSize) return ERROR_INVALID_PARAMETER;
    DWORD cbHost = pOut->size;
    size_t cbCopy = cbHost < sizeof record ? cbHost : sizeof record;
    std::memcpy(pOut, &record, cbCopy);
    if (cbHost > sizeof record) std::memset(reinterpret_cast<BYTE*>(pOut) + sizeof record, 0, cbHost - sizeof record);
    pOut->size = cbHost;
    return ERROR_SUCCESS;
}

// Windows Sockets, started for as long as the object lives.
class Sockets {
public:
    Sockets() : m_bStarted(SocketInit() != 0) {}
    ~Sockets() {
        if (m_bStarted) SocketUnInit();
    }
    Sockets(const Sockets&) = delete;
    Sockets& operator=(const Sockets&) = delete;
    bool Started() const { return m_bStarted; }

private:
    bool m_bStarted;
};

// Serial ports, TCP and RFCOMM connections: the C++ calls behind qv_send,
// qv_recv, qv_recv_some and qv_queue_counts (1 or 0 with the last error).
class Stream : public Endpoint {
public:
    using Endpoint::Endpoint;
    virtual int SendExact(const unsigned char* pData, unsigned long ulLength, unsigned long ulWait,
                          unsigned long* pulSent) = 0;
    virtual int RecvExact(unsigned char* pBuffer, unsigned long ulLength, unsigned long ulWait,
                          unsigned long* pulReceived) = 0;
    virtual int RecvSome(unsigned char* pBuffer, unsigned long ulSize, unsigned long ulWait,
                         unsigned long* pulReceived) = 0;
    virtual int Counts(unsigned long* pulToRead, unsigned long* pulToSend) = 0;
};

// The C++ object of an endpoint, as a member, with the one protected step
// this layer takes itself: starting the listener of a socket on first need.
template <class Base>
class Held : public Base {
public:
    int StartListening() { return this->ListenEvent(); }
};

}  // namespace quorvel::capi
