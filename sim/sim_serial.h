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
// pending are kept and complete the next WaitCommEvent at once. The modem
// lines: DTR, RTS and break through EscapeCommFunction, SetCommBreak and
// ClearCommBreak (DTR and RTS follow the DCB's fDtrControl and fRtsControl
// at SetCommState, are raised at open and dropped at close, and a line the
// DCB gives to handshaking refuses them with ERROR_INVALID_PARAMETER, as
// drivers do), the inputs through GetCommModemStatus and their events.
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
    // While held, the port's pending event wait does not complete (events
    // gather; a new mask is kept for the release), as when the listener is
    // slow to come back to the port: released, it completes with what came.
    void HoldEvents(bool bHold);
    // A cancelled request completes dwMilliseconds after its cancel, as a
    // slow driver completes it; INFINITE: never, until the handle is closed.
    void SetCancelDelay(DWORD dwMilliseconds);

    // ---- modem lines ----
    // The device sets the port's input lines (MS_CTS_ON, MS_DSR_ON,
    // MS_RING_ON, MS_RLSD_ON): each line that changes raises its event
    // (EV_CTS, EV_DSR, EV_RLSD; EV_RING only when the ring indicator drops:
    // drivers report its trailing edge).
    void SetModemLines(DWORD dwStatus);
    // The line operations (EscapeCommFunction, SetCommBreak, ClearCommBreak,
    // GetCommModemStatus) fail with dwError, as on a driver that has no
    // modem lines; 0: they work again.
    void RefuseLineCalls(DWORD dwError);
    // SetCommState takes dwTaken when asked for dwAsked, as a driver whose
    // clock cannot make that rate.
    void RoundBaud(DWORD dwAsked, DWORD dwTaken);
    bool Dtr() const;
    bool Rts() const;
    bool BreakOn() const;
    // The output line changes in order, one word each: "DTR1", "RTS0",
    // "BRK1", "BRK0" (what the line became, also when it already was so).
    std::string LineCalls() const;
    // How long the last break held the line (GetTickCount64), in ms.
    ULONGLONG LastBreakLength() const;

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
    // Closes of the handles the port gave out; after KeepClosedHandles a
    // second close of one is counted too, since the handles closed stay
    // open, their values the port's, until the bus ends.
    int HandleCloses() const;
    void KeepClosedHandles();
    int WriteRequests() const;       // WriteFile calls on the port

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
