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
class QUORVEL_API CxSerial : public CxComm {
public:
    CxSerial();
    CxSerial(const CxSerial& other);
    CxSerial& operator=(const CxSerial& other);
    ~CxSerial() override;

    // Closes any open port, opens pszPath exclusively for overlapped I/O and
    // starts the listener. 1 opened, 0 failed (the last error says why).
    int Open(const wchar_t* pszPath, unsigned short wRThreshold);
    // Stops the listener, discards both queues, closes the port and the
    // events. The result of closing the port, or 0 if none was open.
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

    void* GetSafeHandle() override;
    // Moves exactly ulLength bytes; ulWait limits each request (INFINITE:
    // no limit). 1 all moved, 0 otherwise.
    int Send(unsigned char* pData, unsigned long ulLength, unsigned long ulWait) override;
    int Recv(unsigned char* pBuffer, unsigned long ulLength, unsigned long ulWait) override;

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
    std::atomic<unsigned short> m_wRThreshold;
    std::atomic<long> m_lEventMask;
    CxThread m_ListenThread;

private:
    bool OwnsPort() const;
    HANDLE Port() const;  // m_hComm while the port is open, else NULL
    void Forget();        // drops this object's view of the port
    int Transfer(bool bSend, unsigned char* pData, unsigned long ulLength, unsigned long ulWait);
    void DeviceRemoved(HANDLE hComm);
    void RaiseDataReady(HANDLE hComm);
    enum class PassResult { kCompleted, kFailed, kWoken };
    PassResult ListenPass(HANDLE hWait, COMSTAT* pcs);

    quorvel::SharedLink* m_pLink;  // shared with copies while a port is open
};
