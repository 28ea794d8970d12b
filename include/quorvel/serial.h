// quorvel serial: an overlapped serial port endpoint with its event listener.
#pragma once

#include "quorvel/core.h"

namespace quorvel {
struct SerialAccess;
class SerialWatch;
}

// A serial port opened by path ("COM3", "\\.\COM12") for overlapped I/O.
//
// Open starts a listener thread that raises CX_EVENT_DATA_READY (to the
// callback if one is set, else to the window) when at least the read
// threshold of received bytes waits and the last burst came without a line
// error. A transfer that finds the device removed posts
// CX_EVENT_DEVICE_REMOVED to the window (never to the callback).
//
// Threads: one Send may run beside one Recv (a second transfer in the same
// direction fails with ERROR_BUSY). Close may come from any thread,
// the callback included; it ends a transfer under way (0) and returns only
// when no call uses the object. A copy shares the open port but never closes
// it; do not transfer through a copy and its original at once.
// Design notes: docs/serial.md.
class QUORVEL_API CxSerial : public CxComm {
    QV_HEAP_OPERATORS
    friend struct quorvel::SerialAccess;
    friend class quorvel::SerialWatch;  // the listener's watch (serial.cpp)
public:
    CxSerial();
    CxSerial(const CxSerial& other);
    CxSerial& operator=(const CxSerial& other);
    ~CxSerial() QV_OVERRIDE;

    // Closes any open port, opens pszPath exclusively for overlapped I/O and
    // starts the listener. A port's name ("COM3", "com12") is opened as
    // "\\.\COM12", which the system needs from COM10 on; any other text is
    // a path; GetDevPath gives back the text as given. 1 opened (also when the listener could not start:
    // see IsListening); 0 failed with the system's error, or with
    // ERROR_INVALID_PARAMETER for a NULL path and ERROR_FILENAME_EXCED_RANGE
    // for a path of 260 characters or more.
    int Open(const wchar_t* pszPath, unsigned short wRThreshold);
    // Stops the listener, discards both queues, closes the port and the
    // events. The result of closing the port; 0 with ERROR_INVALID_HANDLE if
    // none was open, and on a copy, which only lets go of its view. The
    // destructor closes a port that this object opened. Neither hangs on a
    // driver that never completes a cancelled request: see docs/serial.md.
    int Close();

    // A NULL pDcb fails with ERROR_INVALID_PARAMETER. GetSettings reads
    // what the driver holds, so after SetSettings it tells what the driver
    // took: some round the baud rate to one their clock can make.
    int GetSettings(DCB* pDcb);  // GetCommState
    int SetSettings(DCB* pDcb);  // SetCommState, DCB passed unchanged
    int SetBufferSize(unsigned long ulInput, unsigned long ulOutput);  // SetupComm
    int GetBufferSize(unsigned long* pulInput, unsigned long* pulOutput);   // current queue sizes
    // Bytes waiting. While line-error events are asked for, a line error it
    // finds is handled as the listener handles one, and the listener tells it.
    int GetBufferCount(unsigned long* pulInput, unsigned long* pulOutput);
    int ClearBuffer(int bReceive);  // purges the receive (non-zero) or transmit queue
    // Copies the path into a buffer of at least 260 characters.
    void GetDevPath(wchar_t* pszPath);
    unsigned short GetRThreshold();
    void SetRThreshold(unsigned short wRThreshold);
    // Events the listener asks the port for (default EV_RXCHAR | EV_BREAK).
    // The port gets the new mask at the next Open; the data-ready test uses
    // it at once.
    void SelectEvent(long lEventMask);

    // Asks for CX_EVENT_LINE_ERROR (non-zero) or withdraws the request (0)
    // until Close. The listener raises it, after discarding the receive
    // queue, when the port reports a line error. 1 done; 0 on a closed
    // object (ERROR_INVALID_HANDLE), if memory ran out
    // (ERROR_NOT_ENOUGH_MEMORY), or if the port's event mask cannot be read
    // or set (the system's error; the request is then unchanged).
    int SetLineErrorEvent(int bEnable);
    // The CE_* flags and discarded byte count of the last line error seen
    // since the request was made (0 and 0 if none); it stays until the next
    // one. Either pointer may be NULL. 1 done; 0 on a closed object
    // (ERROR_INVALID_HANDLE) or without the request (ERROR_INVALID_FUNCTION).
    int GetLineError(unsigned long* pulErrors, unsigned long* pulDiscarded);
    // Asks the listener to raise CX_EVENT_DEVICE_REMOVED (to the callback if
    // one is set, else the window) once when the device goes away, and then
    // to end, the port staying open until Close (non-zero); or withdraws the
    // request (0). 1 done; 0 on a closed object (ERROR_INVALID_HANDLE) or if
    // memory ran out (ERROR_NOT_ENOUGH_MEMORY).
    int SetRemovalEvent(int bEnable);

    // The modem lines. Outputs: DTR and RTS up (non-zero) or down; a break
    // held on the line (non-zero) until cleared (0), or one of ulMilliseconds
    // after which the line is free again. 1 done; 0 on a closed object
    // (ERROR_INVALID_HANDLE) or with the driver's error when it refuses (a
    // port without such a line, a line that the DCB gives to flow control).
    // SendBreak fails with ERROR_INVALID_PARAMETER for INFINITE (hold it
    // with SetBreak instead) and with ERROR_OPERATION_ABORTED when Close
    // ended it (the line is free then too). SetSettings sets DTR and RTS
    // again as the DCB's fDtrControl and fRtsControl say.
    int SetDtr(int bOn);
    int SetRts(int bOn);
    int SetBreak(int bOn);
    int SendBreak(unsigned long ulMilliseconds);
    // Inputs, as the driver has them now (GetCommModemStatus): MS_CTS_ON,
    // MS_DSR_ON, MS_RING_ON and MS_RLSD_ON (DCD). 1 done; 0 on a closed
    // object, with ERROR_INVALID_PARAMETER for NULL, or the driver's error.
    int GetModemStatus(unsigned long* pulStatus);
    // Asks for CX_EVENT_MODEM_CHANGED (non-zero) or withdraws the request
    // (0) until Close: the listener raises it (to the callback if one is
    // set, else the window) when CTS, DSR, RI or DCD changes; the port is
    // asked for EV_CTS, EV_DSR, EV_RING and EV_RLSD only while the request
    // stands. 1 done; 0 on a closed object, if memory ran out, or with the
    // driver's error when it cannot read the lines (the request is then
    // unchanged).
    int SetModemEvent(int bEnable);
    // The input lines (MS_* bits) that changed since the last call, which
    // clears them, and their state as the listener read it at the last
    // change. A ring reports its trailing edge: RI changed, and is off.
    // Either pointer may be NULL. 1 done; 0 on a closed object or without
    // the request (ERROR_INVALID_FUNCTION).
    int GetModemChange(unsigned long* pulChanged, unsigned long* pulStatus);

    // 1 while the port's listener thread runs: notifications come only then.
    // Open succeeds even when the listener cannot be started (the port then
    // works without notifications); this tells the two apart.
    int IsListening();

    void* GetSafeHandle() QV_OVERRIDE;
    // Moves exactly ulLength bytes; ulWait limits each request (INFINITE:
    // no limit). 1 all moved, 0 otherwise: a request that timed out is
    // cancelled and reaped first, so nothing reaches the buffer afterwards.
    // A NULL buffer with a non-zero length fails with ERROR_INVALID_PARAMETER.
    int Send(unsigned char* pData, unsigned long ulLength, unsigned long ulWait) QV_OVERRIDE;
    int Recv(unsigned char* pBuffer, unsigned long ulLength, unsigned long ulWait) QV_OVERRIDE;

    // Transfers with one time limit for the whole call (INFINITE: none):
    // exactly ulLength bytes. 1 all moved; 0 otherwise, with WAIT_TIMEOUT
    // when the limit ran out. *pulSent or *pulReceived (either may be NULL)
    // gets the count moved, also on failure.
    int SendExact(const unsigned char* pData, unsigned long ulLength, unsigned long ulWait,
                  unsigned long* pulSent);
    int RecvExact(unsigned char* pBuffer, unsigned long ulLength, unsigned long ulWait,
                  unsigned long* pulReceived);
    // What has arrived, at most ulSize bytes, waiting at most ulWait
    // milliseconds for the first byte: 1 with the count in *pulReceived (at
    // least 1 when ulSize is); 0 with WAIT_TIMEOUT when nothing came. A line
    // error it finds is handled as the listener handles one.
    int RecvSome(unsigned char* pBuffer, unsigned long ulSize, unsigned long ulWait,
                 unsigned long* pulReceived);

protected:
    int ListenEvent();
    void DisListenEvent();
    int IsListenningEvent();
    static unsigned long WINAPI ListenEventProc(void* pThread);
    void OnListenEvent(CxThread* pThread);

    wchar_t m_szDevPath[260];
    HANDLE m_hComm;
    HANDLE m_hEventListen;  // wakes the listener when the port closes
    HANDLE m_hEventSend;
    HANDLE m_hEventRecv;
    unsigned short m_wRThreshold;  // read by the listener, set by the host
    long m_lEventMask;              // read by the listener, set by the host
    CxThread m_ListenThread;

private:
    bool OwnsPort() const;
    HANDLE Port() const;  // m_hComm while the port is open, else NULL
    void Forget();        // drops this object's view of the port
    int Transfer(bool bSend, unsigned char* pData, unsigned long ulLength, unsigned long ulWait);
    int Transfer(bool bSend, unsigned char* pData, unsigned long ulLength, unsigned long ulWait,
                 bool bWholeCall, unsigned long* pulDone);
    void DeviceRemoved(HANDLE hComm);

    quorvel::SharedLink* m_pLink;  // shared with copies while a port is open
};
