// The serial port watch through the C interface: a CxSerialPortWatch whose
// events reach the host in the endpoints' four ways, and whose reports the
// host takes as port records.
#include <new>

#include "capi/common.h"
#include "capi/finders.h"
#include "discovery/port_list.h"

namespace capi = quorvel::capi;
using capi::Call;
using capi::KindBit;

static_assert(QV_EVENT_PORT_ARRIVED == CX_EVENT_PORT_ARRIVED &&
                  QV_EVENT_PORT_REMOVED == CX_EVENT_PORT_REMOVED &&
                  QV_WATCH_RESCAN_DEFAULT == CX_PORT_WATCH_RESCAN_DEFAULT,
              "the C interface's watch has the C++ class's codes");

namespace {

class PortWatch : public capi::Endpoint {
public:
    PortWatch() : Endpoint(QV_KIND_PORT_WATCH) {
        m_watch.SetWndMsgProc(nullptr, 0, &Endpoint::OnEvent, this);
    }

    DWORD Start(DWORD dwFlags, DWORD dwRescan) {
        if (!m_watch.SetRescanPeriod(dwRescan)) return capi::LastError();
        return capi::Result(m_watch.Start((dwFlags & QV_WATCH_REPORT_PRESENT) != 0));
    }
    CxSerialPortWatch& Watch() { return m_watch; }

    void Shutdown() override {
        EndWatching();
        m_watch.Stop();
    }

protected:
    bool Translate(long lEvent, DWORD* pdwEvent, DWORD*) override {
        *pdwEvent = static_cast<DWORD>(lEvent);
        return true;
    }
    bool CallListener() override { return quorvel::ports::CallWatchListener(m_watch); }

private:
    CxSerialPortWatch m_watch;  // it watches from Start on
};

}  // namespace

extern "C" {

DWORD WINAPI qv_watch_ports(DWORD flags, DWORD rescan_ms, qv_handle* watch) {
    if (!watch) return capi::Refuse(ERROR_INVALID_PARAMETER);
    *watch = nullptr;
    if (flags & ~QV_WATCH_REPORT_PRESENT) return capi::Refuse(ERROR_INVALID_PARAMETER);
    PortWatch* made = new (std::nothrow) PortWatch;
    if (made && !made->Made()) {
        made->Release();
        made = nullptr;
    }
    if (!made) return capi::Refuse(ERROR_NOT_ENOUGH_MEMORY);
    if (DWORD dwStatus = made->Start(flags, rescan_ms)) {
        made->Shutdown();
        made->Release();
        return dwStatus;
    }
    return capi::Register(made, watch);
}

DWORD WINAPI qv_watch_take_report(qv_handle watch, DWORD* event, qv_serial_port_info* info) {
    if (event) *event = 0;
    Call call(watch, KindBit(QV_KIND_PORT_WATCH));
    if (call.Status()) return call.Status();
    // Checked first: a report once taken is handed over.
    if (!info || info->size < capi::kPortInfoFirstSize || info->size > capi::kMaxRecordSize) {
        return capi::Refuse(ERROR_INVALID_PARAMETER);
    }
    CxSerialPortFind port;
    long lEvent = 0;
    if (!call.Get<PortWatch>()->Watch().TakeReport(&lEvent, &port)) return call.Failed();
    qv_serial_port_info record;
    capi::ReadSerialPort(port, &record);
    if (event) *event = static_cast<DWORD>(lEvent);
    return capi::PutRecord(record, capi::kPortInfoFirstSize, info);
}

}  // extern "C"
