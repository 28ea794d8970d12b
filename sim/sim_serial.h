// Simulated serial ports, plugged into the library's platform layer.
//
// While a SerialBus lives, "COMn" and "\\.\COMn" name simulated ports only:
// a registered port opens exclusively (a second open fails with
// ERROR_ACCESS_DENIED), any other COMn fails with ERROR_FILE_NOT_FOUND, and
// every other path goes to the system. A port handle is a real (event)
// handle, so it never collides with another object's handle.
//
// The ports behave like a driver: overlapped ReadFile, WriteFile and
// WaitCommEvent pend (Internal = STATUS_PENDING, the caller's event reset)
// and complete through the caller's event with Internal and InternalHigh
// set; CancelIoEx completes them with STATUS_CANCELLED (at once, or as late
// as SetCancelDelay says); GetOverlappedResult,
// DCB, COMMPROP (current queue sizes as set by SetupComm), COMSTAT counts,
// PurgeComm, SetCommMask (which completes a pending wait with no events),
// ClearCommError with its error flags. Events that occur while no wait is
// pending are kept and complete the next WaitCommEvent at once.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

namespace qvsim {

class SerialBus;

class SerialPort {
public:
    struct State;  // the port's insides, kept in sim_serial.cpp

    // Bytes arrive from the line as one burst (EV_RXCHAR). Pending reads take
    // them first; the rest waits in the receive queue.
    void Arrive(const std::string& bytes);
    // Bytes that arrive with a line error: CE_FRAME, CE_RXPARITY or CE_OVERRUN.
    void LineError(DWORD dwCommError, const std::string& bytes);
    // A break on the line (CE_BREAK, EV_BREAK) with no character.
    void Break();
    // The device goes away: pending requests, and every later one, complete
    // with STATUS_DEVICE_NOT_CONNECTED.
    void Remove();
    // The device goes away as a USB adapter does: pending requests complete
    // with the status that stands for dwError (ERROR_DEVICE_NOT_CONNECTED,
    // ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, ERROR_OPERATION_ABORTED), and
    // every later request and communications call fails at once with it.
    void Remove(DWORD dwError);
    // Reads complete as soon as they hold at least one byte.
    void SetShortReads(bool bShort);
    // Writes stay pending until ReleaseWrites (or a cancel).
    void StallWrites(bool bStall);
    void ReleaseWrites();
    // A cancelled request completes dwMilliseconds after its cancel, as a
    // slow driver completes it; INFINITE: never, until the handle is closed.
    void SetCancelDelay(DWORD dwMilliseconds);

    std::string Sent() const;        // everything the port has sent
    DWORD QueuedBytes() const;       // bytes in the receive queue
    bool IsOpen() const;
    DWORD CommMask() const;          // the mask set with SetCommMask
    DCB Settings() const;  // the DCB set with SetCommState
    int WaitCommEventCalls() const;
    int ReceivePurges() const;       // PurgeComm calls with PURGE_RXCLEAR
    int PendingRequests() const;     // reads, writes and waits not yet completed
    // Completions the driver found no request to write into: the OVERLAPPED
    // of a cancelled request was changed, or named by a new request, before
    // the cancel completed (its call had returned).
    int LateWrites() const;

private:
    friend class SerialBus;
    SerialPort() = default;
    State* m_state = nullptr;
};

// Installs the simulated ports for its lifetime; one at a time.
class SerialBus {
public:
    SerialBus();
    ~SerialBus();
    SerialBus(const SerialBus&) = delete;
    SerialBus& operator=(const SerialBus&) = delete;

    // Registers a port by name ("COM7"); opened as "COM7" or "\\.\COM7".
    SerialPort& Add(const std::wstring& name);
};

}  // namespace qvsim
