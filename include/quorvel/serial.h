// quorvel serial: an overlapped serial port endpoint with its event listener.
#pragma once

#include "quorvel/core.h"

// A serial port opened by path ("COM3", "\\.\COM12") for overlapped I/O.
//
// Open starts a listener thread that raises CX_EVENT_DATA_READY (to the
// callback if one is set, else to the window) when at least the read
// threshold of received bytes waits and the last burst came without a line
// error. A transfer that finds the device removed posts
// CX_EVENT_DEVICE_REMOVED to the window (never to the callback).
//
// Decisions beyond the basic contract:
// - Open refuses a NULL path (ERROR_INVALID_PARAMETER) and a path of 260
//   characters or more (ERROR_FILENAME_EXCED_RANGE); it never shortens one.
//   Trace lines longer than 259 characters are cut and keep their line feed.
// - A read or write that is still outstanding when its wait limit runs out
//   is cancelled and waited for before Send or Recv returns, so nothing is
//   written into the caller's buffer afterwards. If it completed after all,
//   its bytes count and the transfer goes on.
// - A ReadFile or WriteFile that fails at once (not ERROR_IO_PENDING) ends
//   the transfer with 0; so does a request that completes without moving a
//   byte (the port's own time-outs ran out). A failure with
//   ERROR_DEVICE_NOT_CONNECTED is reported like a removed device.
// - A NULL buffer with a non-zero length fails with ERROR_INVALID_PARAMETER,
//   and so does a NULL DCB pointer.
// - The listener waits on its request and on the wake from Close at once, so
//   Close always ends it promptly; it cancels and waits for its outstanding
//   WaitCommEvent before the thread ends. A wait that did not complete raises
//   nothing. When the port's event wait keeps failing (device gone), the
//   listener retries with a growing pause (up to one second) instead of
//   spinning, until Close.
// - A break or other event without received characters clears the port's
//   error state, so a stale break flag does not make the next good data look
//   like a line error and be thrown away.
// - Close from another thread while a Send or Recv is in progress cancels
//   that transfer's request and waits until the transfer has returned (with
//   0); a transfer that starts once Close has begun fails at once. When
//   Close returns, no call is using the object, so it may be destroyed.
// - The destructor of an object that opened a port still open closes it
//   first (listener, queues, port, events), so it never blocks on the
//   listener and leaks nothing.
// - Copies: a copy of an open object shares the port (same handle, events
//   and listener thread), but only the object that opened the port closes it.
//   Close and the destructor of a copy let go of the copy's view without
//   closing anything (Close returns 0). After the owner has closed the port,
//   every operation on a copy fails as on a closed port instead of using the
//   stale handle. A copy shares the owner's transfer events, so do not send
//   (or receive) through a copy and its original at the same time.
//
// Opt-in events. Two requests, made on an open port, add events that a host
// written without them never sees. Each lasts until Close (a new Open starts
// without them); copies share them with the object they were copied from.
// - Line errors (SetLineErrorEvent): the listener still discards the whole
//   receive queue when ClearCommError reports an error, and it then raises
//   CX_EVENT_LINE_ERROR on the data-ready path (the callback if one is set,
//   else the window; the message number is not tested). GetLineError gives
//   the error flags (CE_FRAME, CE_RXPARITY, CE_OVERRUN, CE_RXOVER, CE_BREAK,
//   as ClearCommError reported them) and the number of bytes the queue held
//   when the error was read, which the purge discarded (bytes that arrive
//   between that read and the purge go too and are not counted). While the
//   request stands the port is also asked for EV_ERR, so an error that comes
//   without a received character wakes the listener as well; the port's mask
//   gets EV_ERR at once and loses it when the request is withdrawn (only if
//   the request added it). An error whose flags GetBufferCount has already
//   cleared (it clears the port's error state) is not seen by the listener.
// - Removal (SetRemovalEvent): when the listener's event wait fails with
//   ERROR_DEVICE_NOT_CONNECTED, ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, or
//   ERROR_OPERATION_ABORTED while Close is not stopping it (the errors a
//   removed USB adapter gives), and the port no longer answers GetCommState
//   (some drivers abort a wait while the device is still there; such a
//   failure is retried as before), the listener raises CX_EVENT_DEVICE_REMOVED
//   on the data-ready path (the callback if one is set, else the window),
//   traces "Hardware is deleted" and ends instead of retrying. The port stays
//   open, holding its handle, until the host closes it. While the request
//   stands the event is raised at most once per open port: a transfer that
//   finds the device gone posts it to the window as before only if it has
//   not been raised yet, and the listener does not raise it again after such
//   a post. Without the request the listener keeps retrying with its pause.
class QUORVEL_API CxSerial : public CxComm {
    QV_HEAP_OPERATORS
public:
    CxSerial();
    CxSerial(const CxSerial& other);
    CxSerial& operator=(const CxSerial& other);
    ~CxSerial() QV_OVERRIDE;

    // Closes any open port, opens pszPath exclusively for overlapped I/O and
    // starts the listener. 1 opened, 0 failed (the last error says why).
    int Open(const wchar_t* pszPath, unsigned short wRThreshold);
    // Stops the listener, discards both queues, closes the port and the
    // events. The result of closing the port, or 0 with ERROR_INVALID_HANDLE
    // if none was open (a copy that shares another object's port only drops
    // its view, and says the same).
    int Close();

    int GetSettings(DCB* pDcb);  // GetCommState
    int SetSettings(DCB* pDcb);  // SetCommState, DCB passed unchanged
    int SetBufferSize(unsigned long ulInput, unsigned long ulOutput);  // SetupComm
    int GetBufferSize(unsigned long* pulInput, unsigned long* pulOutput);   // current queue sizes
    int GetBufferCount(unsigned long* pulInput, unsigned long* pulOutput);  // bytes waiting
    int ClearBuffer(int bReceive);  // purges the receive (non-zero) or transmit queue
    // Copies the path into a buffer of at least 260 characters.
    void GetDevPath(wchar_t* pszPath);
    unsigned short GetRThreshold();
    void SetRThreshold(unsigned short wRThreshold);
    // Events the listener asks the port for (default EV_RXCHAR | EV_BREAK).
    // The port gets the new mask at the next Open; the data-ready test uses
    // it at once.
    void SelectEvent(long lEventMask);

    // Asks for CX_EVENT_LINE_ERROR (non-zero) or withdraws the request (0).
    // 1 done; 0 on a closed object (ERROR_INVALID_HANDLE), if memory ran
    // out, or if the port's event mask cannot be read or set (the system's
    // error; the request is then unchanged).
    int SetLineErrorEvent(int bEnable);
    // The flags and discarded byte count of the last line error seen since
    // the request was made (0 and 0 if none); it stays until the next one.
    // Either pointer may be NULL. 1 done; 0 on a closed object
    // (ERROR_INVALID_HANDLE) or without the request (ERROR_INVALID_FUNCTION).
    int GetLineError(unsigned long* pulErrors, unsigned long* pulDiscarded);
    // Asks the listener to raise CX_EVENT_DEVICE_REMOVED when the device goes
    // away (non-zero) or withdraws the request (0). 1 done; 0 on a closed
    // object (ERROR_INVALID_HANDLE) or if memory ran out.
    int SetRemovalEvent(int bEnable);

    // 1 while the port's listener thread runs: notifications come only then.
    // Open succeeds even when the listener cannot be started (the port then
    // works without notifications); this tells the two apart.
    int IsListening();

    void* GetSafeHandle() QV_OVERRIDE;
    // Moves exactly ulLength bytes; ulWait limits each request (INFINITE:
    // no limit). 1 all moved, 0 otherwise.
    int Send(unsigned char* pData, unsigned long ulLength, unsigned long ulWait) QV_OVERRIDE;
    int Recv(unsigned char* pBuffer, unsigned long ulLength, unsigned long ulWait) QV_OVERRIDE;

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
    void DeviceRemoved(HANDLE hComm);
    void RaiseEvent(HANDLE hComm, long lEvent);  // the data-ready path
#if QV_CPLUSPLUS >= 201103L
    enum class PassResult { kCompleted, kFailed, kWoken };
#else
    enum PassResult { kCompleted, kFailed, kWoken };
#endif
    PassResult ListenPass(HANDLE hWait, COMSTAT* pcs, DWORD* pdwError);
    bool PortAnswers();

    quorvel::SharedLink* m_pLink;  // shared with copies while a port is open
};
