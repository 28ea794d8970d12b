// Serial ports through the C interface: a CxSerial that reports its events
// to this layer, with the line settings as plain numbers.
#include <atomic>
#include <new>

#include "capi/common.h"
#include "core/error.h"
#include "serial/serial_access.h"

static_assert(QV_EVENT_MODEM_CHANGED == CX_EVENT_MODEM_CHANGED &&
                  QV_MODEM_CTS == MS_CTS_ON && QV_MODEM_DSR == MS_DSR_ON &&
                  QV_MODEM_RING == MS_RING_ON && QV_MODEM_DCD == MS_RLSD_ON,
              "the modem event and lines are those of the C++ class and the system");

namespace capi = quorvel::capi;
using capi::Call;
using capi::KindBit;

namespace {

class SerialPort : public capi::Stream {
public:
    SerialPort() : Stream(QV_KIND_SERIAL) {
        m_port.SetWndMsgProc(nullptr, 0, &Endpoint::OnEvent, this);
    }

    DWORD Open(const wchar_t* pszPath) {
        if (!m_port.Open(pszPath, 1)) return capi::LastError();
        // Everything a host may want to hear of; the C++ class asks for both.
        m_port.SetRemovalEvent(1);
        m_port.SetLineErrorEvent(1);
        // Data-ready told again while data waits, so that a host reading
        // part of it is told of the rest.
        quorvel::SerialAccess::RepeatDataReady(m_port);
        return ERROR_SUCCESS;
    }
    CxSerial& Port() { return m_port; }
    // What the host set DTR and RTS to; qv_serial_set_line keeps them.
    std::atomic<bool> m_bDtr{true};
    std::atomic<bool> m_bRts{true};
    // The modem changes posted to a window and not yet taken, merged as an
    // event's detail (qv_serial_modem_changes).
    std::atomic<DWORD> m_dwPostedModem{0};

    void Shutdown() override {
        EndWatching();
        m_port.Close();
    }

    int SendExact(const unsigned char* pData, unsigned long ulLength, unsigned long ulWait,
                  unsigned long* pulSent) override {
        return m_port.SendExact(pData, ulLength, ulWait, pulSent);
    }
    int RecvExact(unsigned char* pBuffer, unsigned long ulLength, unsigned long ulWait,
                  unsigned long* pulReceived) override {
        return m_port.RecvExact(pBuffer, ulLength, ulWait, pulReceived);
    }
    int RecvSome(unsigned char* pBuffer, unsigned long ulSize, unsigned long ulWait,
                 unsigned long* pulReceived) override {
        return m_port.RecvSome(pBuffer, ulSize, ulWait, pulReceived);
    }
    int Counts(unsigned long* pulToRead, unsigned long* pulToSend) override {
        return m_port.GetBufferCount(pulToRead, pulToSend);
    }

protected:
    void Posted(DWORD dwEvent, DWORD dwDetail) override {
        if (dwEvent != QV_EVENT_MODEM_CHANGED) return;
        DWORD dwKept = m_dwPostedModem.load();
        while (!m_dwPostedModem.compare_exchange_weak(dwKept, capi::MergeModemDetail(dwKept, dwDetail))) {
        }
    }
    bool CallListener() override { return quorvel::SerialAccess::CallListener(m_port); }
    bool Translate(long lEvent, DWORD* pdwEvent, DWORD* pdwDetail) override {
        *pdwEvent = static_cast<DWORD>(lEvent);
        if (lEvent == CX_EVENT_LINE_ERROR) {
            unsigned long ulErrors = 0;
            m_port.GetLineError(&ulErrors, nullptr);
            *pdwDetail = ulErrors;
        } else if (lEvent == CX_EVENT_MODEM_CHANGED) {
            unsigned long ulChanged = 0, ulLines = 0;
            m_port.GetModemChange(&ulChanged, &ulLines);
            *pdwDetail = ulChanged << 8 | ulLines;
        }
        return true;
    }

private:
    CxSerial m_port;  // its listener starts with Open
};

// The serial port of a call; the DCB of its driver.
DWORD Settings(Call& call, DCB* pDcb) {
    std::memset(pDcb, 0, sizeof *pDcb);
    pDcb->DCBlength = sizeof *pDcb;
    return capi::Result(call, call.Get<SerialPort>()->Port().GetSettings(pDcb));
}

// A DTR or RTS change, kept for qv_serial_set_line once the driver took it.
DWORD SetOutputLine(qv_handle serial, BOOL on, int (CxSerial::*pfnSet)(int),
                    std::atomic<bool> SerialPort::*pbKept) {
    Call call(serial, KindBit(QV_KIND_SERIAL));
    if (call.Status()) return call.Status();
    SerialPort* endpoint = call.Get<SerialPort>();
    if (!(endpoint->Port().*pfnSet)(on ? 1 : 0)) return call.Failed();
    (endpoint->*pbKept) = on != FALSE;
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

DWORD WINAPI qv_serial_open(const wchar_t* port, qv_handle* serial) {
    if (!serial) return capi::Refuse(ERROR_INVALID_PARAMETER);
    *serial = nullptr;
    if (!port || !port[0]) return capi::Refuse(ERROR_INVALID_PARAMETER);
    SerialPort* endpoint = new (std::nothrow) SerialPort;
    if (endpoint && !endpoint->Made()) {
        endpoint->Release();
        endpoint = nullptr;
    }
    if (!endpoint) return capi::Refuse(ERROR_NOT_ENOUGH_MEMORY);
    if (DWORD dwStatus = endpoint->Open(port)) {
        endpoint->Release();
        return dwStatus;
    }
    return capi::Register(endpoint, serial);
}

DWORD WINAPI qv_serial_set_line(qv_handle serial, DWORD baud, DWORD data_bits, DWORD parity,
                                DWORD stop_bits, DWORD flow) {
    Call call(serial, KindBit(QV_KIND_SERIAL));
    if (call.Status()) return call.Status();
    if (!baud || data_bits < 5 || data_bits > 8 || parity > QV_PARITY_SPACE ||
        (stop_bits != QV_STOP_BITS_1 && stop_bits != QV_STOP_BITS_2 &&
         stop_bits != QV_STOP_BITS_1_5) ||
        flow > QV_FLOW_XON_XOFF) {
        return capi::Refuse(ERROR_INVALID_PARAMETER);
    }
    DCB dcb;
    if (DWORD dwStatus = Settings(call, &dcb)) return dwStatus;
    dcb.BaudRate = baud;
    dcb.ByteSize = static_cast<BYTE>(data_bits);
    dcb.Parity = static_cast<BYTE>(parity);
    dcb.fParity = parity != QV_PARITY_NONE;
    dcb.StopBits = stop_bits == QV_STOP_BITS_1 ? ONESTOPBIT
                   : stop_bits == QV_STOP_BITS_2 ? TWOSTOPBITS
                                                 : ONE5STOPBITS;
    dcb.fBinary = TRUE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    SerialPort* endpoint = call.Get<SerialPort>();
    dcb.fDtrControl = endpoint->m_bDtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fOutxCtsFlow = flow == QV_FLOW_RTS_CTS;
    dcb.fRtsControl = flow == QV_FLOW_RTS_CTS ? RTS_CONTROL_HANDSHAKE
                      : endpoint->m_bRts          ? RTS_CONTROL_ENABLE
                                                  : RTS_CONTROL_DISABLE;
    dcb.fOutX = dcb.fInX = flow == QV_FLOW_XON_XOFF;
    if (flow == QV_FLOW_XON_XOFF) {
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
    }
    return capi::Result(call, endpoint->Port().SetSettings(&dcb));
}

DWORD WINAPI qv_serial_get_line(qv_handle serial, DWORD* baud, DWORD* data_bits, DWORD* parity,
                                DWORD* stop_bits, DWORD* flow) {
    Call call(serial, KindBit(QV_KIND_SERIAL));
    if (call.Status()) return call.Status();
    DCB dcb;
    if (DWORD dwStatus = Settings(call, &dcb)) return dwStatus;
    if (baud) *baud = dcb.BaudRate;
    if (data_bits) *data_bits = dcb.ByteSize;
    if (parity) *parity = dcb.Parity;
    if (stop_bits) {
        *stop_bits = dcb.StopBits == TWOSTOPBITS    ? QV_STOP_BITS_2
                     : dcb.StopBits == ONE5STOPBITS ? QV_STOP_BITS_1_5
                                                    : QV_STOP_BITS_1;
    }
    if (flow) {
        *flow = dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE ? QV_FLOW_RTS_CTS
                : dcb.fOutX || dcb.fInX                                      ? QV_FLOW_XON_XOFF
                                                                             : QV_FLOW_NONE;
    }
    return ERROR_SUCCESS;
}

DWORD WINAPI qv_serial_purge(qv_handle serial, DWORD queues) {
    Call call(serial, KindBit(QV_KIND_SERIAL));
    if (call.Status()) return call.Status();
    if (!queues || (queues & ~(QV_PURGE_RECEIVE | QV_PURGE_SEND))) return capi::Refuse(ERROR_INVALID_PARAMETER);
    CxSerial& port = call.Get<SerialPort>()->Port();
    if ((queues & QV_PURGE_RECEIVE) && !port.ClearBuffer(1)) return call.Failed();
    if ((queues & QV_PURGE_SEND) && !port.ClearBuffer(0)) return call.Failed();
    return ERROR_SUCCESS;
}

DWORD WINAPI qv_serial_set_queue_sizes(qv_handle serial, DWORD receive, DWORD send) {
    Call call(serial, KindBit(QV_KIND_SERIAL));
    if (call.Status()) return call.Status();
    return capi::Result(call, call.Get<SerialPort>()->Port().SetBufferSize(receive, send));
}

DWORD WINAPI qv_serial_set_threshold(qv_handle serial, DWORD bytes) {
    Call call(serial, KindBit(QV_KIND_SERIAL));
    if (call.Status()) return call.Status();
    if (!bytes || bytes > 0xFFFF) return capi::Refuse(ERROR_INVALID_PARAMETER);
    call.Get<SerialPort>()->Port().SetRThreshold(static_cast<unsigned short>(bytes));
    return ERROR_SUCCESS;
}

DWORD WINAPI qv_serial_line_error(qv_handle serial, DWORD* errors, DWORD* discarded) {
    if (errors) *errors = 0;
    if (discarded) *discarded = 0;
    Call call(serial, KindBit(QV_KIND_SERIAL));
    if (call.Status()) return call.Status();
    unsigned long ulErrors = 0, ulDiscarded = 0;
    int nResult = call.Get<SerialPort>()->Port().GetLineError(&ulErrors, &ulDiscarded);
    if (errors) *errors = ulErrors;
    if (discarded) *discarded = ulDiscarded;
    return capi::Result(call, nResult);
}

// ---- modem lines -------------------------------------------------------------

DWORD WINAPI qv_serial_set_dtr(qv_handle serial, BOOL on) {
    return SetOutputLine(serial, on, &CxSerial::SetDtr, &SerialPort::m_bDtr);
}

DWORD WINAPI qv_serial_set_rts(qv_handle serial, BOOL on) {
    return SetOutputLine(serial, on, &CxSerial::SetRts, &SerialPort::m_bRts);
}

DWORD WINAPI qv_serial_set_break(qv_handle serial, BOOL on) {
    Call call(serial, KindBit(QV_KIND_SERIAL));
    if (call.Status()) return call.Status();
    return capi::Result(call, call.Get<SerialPort>()->Port().SetBreak(on ? 1 : 0));
}

DWORD WINAPI qv_serial_send_break(qv_handle serial, DWORD duration_ms) {
    Call call(serial, KindBit(QV_KIND_SERIAL));
    if (call.Status()) return call.Status();
    if (duration_ms == INFINITE) return capi::Refuse(ERROR_INVALID_PARAMETER);
    return capi::Result(call, call.Get<SerialPort>()->Port().SendBreak(duration_ms));
}

DWORD WINAPI qv_serial_modem_status(qv_handle serial, DWORD* lines) {
    if (lines) *lines = 0;
    Call call(serial, KindBit(QV_KIND_SERIAL));
    if (call.Status()) return call.Status();
    if (!lines) return capi::Refuse(ERROR_INVALID_PARAMETER);
    unsigned long ulLines = 0;
    int nResult = call.Get<SerialPort>()->Port().GetModemStatus(&ulLines);
    *lines = ulLines & (QV_MODEM_CTS | QV_MODEM_DSR | QV_MODEM_RING | QV_MODEM_DCD);
    return capi::Result(call, nResult);
}

DWORD WINAPI qv_serial_modem_changes(qv_handle serial, DWORD* detail) {
    if (detail) *detail = 0;
    Call call(serial, KindBit(QV_KIND_SERIAL));
    if (call.Status()) return call.Status();
    if (!detail) return capi::Refuse(ERROR_INVALID_PARAMETER);
    *detail = call.Get<SerialPort>()->m_dwPostedModem.exchange(0);
    return ERROR_SUCCESS;
}

DWORD WINAPI qv_serial_watch_modem(qv_handle serial, BOOL enable) {
    Call call(serial, KindBit(QV_KIND_SERIAL));
    if (call.Status()) return call.Status();
    return capi::Result(call, call.Get<SerialPort>()->Port().SetModemEvent(enable ? 1 : 0));
}

}  // extern "C"
