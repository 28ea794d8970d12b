#include "sim/sim_serial.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/os.h"

namespace os = quorvel::os;

namespace qvsim {
namespace {

constexpr ULONG_PTR kStatusPending = 0x00000103;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
constexpr ULONG_PTR kStatusDeviceNotConnected = 0xC000009D;
constexpr ULONG_PTR kStatusAccessDenied = 0xC0000022;
constexpr ULONG_PTR kStatusInvalidDeviceState = 0xC0000184;  // ERROR_BAD_COMMAND

// The system's operations as they were before the bus was installed.
struct Real {
#define QV_SIM_REAL(name) decltype(quorvel::os::name) name = nullptr;
    QV_OS_ALL(QV_SIM_REAL)
#undef QV_SIM_REAL
};

}  // namespace

struct SerialPort::State {
    std::wstring name;
    HANDLE handle = nullptr;  // while open
    bool removed = false;
    DWORD removedError = 0;  // later requests fail at once with it; 0: they pend and complete
    bool shortReads = false;
    bool stallWrites = false;
    // HoldEvents: a pending event wait completes only once released; a new
    // mask meanwhile completes it then (with nothing, unless events came since).
    bool holdEvents = false;
    bool maskChangedWhileHeld = false;
    std::deque<unsigned char> rx;
    std::string sent;
    DWORD errors = 0;
    DWORD history = 0;
    DWORD mask = 0;
    DCB dcb{};
    DWORD rxQueueSize = 4096, txQueueSize = 2048;
    int waitCalls = 0, rxPurges = 0;
    DWORD cancelDelay = 0;
    int lateWrites = 0;
    // Closes of the handles the port gave out. With keepClosed, the handles
    // closed are held open (retired) so that their values name nothing else
    // while the bus lives: a second close of one is counted too, whatever
    // the system has made since.
    int handleCloses = 0;
    bool keepClosed = false;
    std::vector<HANDLE> retired;
    int writeRequests = 0;
    // Requests cancelled but not yet completed: what the OVERLAPPED held.
    struct Cancelled {
        OVERLAPPED* o;
        HANDLE hEvent;
    };
    std::list<Cancelled> cancelled;

    struct Read {
        OVERLAPPED* o;
        unsigned char* buffer;
        DWORD length, filled;
    };
    struct Write {
        OVERLAPPED* o;
        std::string data;
    };
    std::list<Read> reads;
    std::list<Write> writes;
    OVERLAPPED* waitO = nullptr;
    DWORD* waitMask = nullptr;

    // The modem lines.
    DWORD modem = 0;         // inputs, MS_* bits
    DWORD lineRefusal = 0;   // the line operations fail with it
    bool dtr = false, rts = false, brk = false;
    std::string lineCalls;
    ULONGLONG breakStart = 0, breakLength = 0;
    std::map<DWORD, DWORD> baudTaken;  // asked -> taken
};

namespace {

std::mutex g_mutex;
Real g_real;
std::vector<std::unique_ptr<SerialPort>> g_ports;
std::vector<SerialPort::State*> g_states;  // one per port, in the same order
bool g_installed = false;
std::vector<std::thread> g_lateCancels;  // joined when the bus goes

using State = SerialPort::State;

void Complete(OVERLAPPED* o, ULONG_PTR status, ULONG_PTR count) {
    o->InternalHigh = count;
    o->Internal = status;
    if (o->hEvent) g_real.SetEvent(o->hEvent);
}

BOOL Pend(OVERLAPPED* o) {
    o->Internal = kStatusPending;
    o->InternalHigh = 0;
    if (o->hEvent) g_real.ResetEvent(o->hEvent);
    g_real.SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL DoneAtOnce(OVERLAPPED* o, DWORD count, LPDWORD pCount) {
    Complete(o, 0, count);
    if (pCount) *pCount = count;
    return TRUE;
}

// A request on a removed device: it pends and completes at once with the
// device's status, as a driver whose device has gone does.
BOOL Gone(OVERLAPPED* o) {
    Pend(o);
    Complete(o, kStatusDeviceNotConnected, 0);
    g_real.SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

// What the communications calls answer once the device has gone.
BOOL NotConnected() {
    g_real.SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
}

State* ByHandle(HANDLE h) {
    if (!h) return nullptr;
    for (State* s : g_states) {
        if (s->handle == h) return s;
    }
    return nullptr;
}

// "COM7" or "\\.\COM7" (any case) to "COM7"; empty for other paths.
std::wstring PortName(const wchar_t* path) {
    std::wstring p = path ? path : L"";
    if (p.rfind(L"\\\\.\\", 0) == 0) p = p.substr(4);
    std::transform(p.begin(), p.end(), p.begin(), [](wchar_t c) { return std::towupper(c); });
    if (p.size() < 4 || p.compare(0, 3, L"COM") != 0) return std::wstring();
    for (size_t i = 3; i < p.size(); ++i) {
        if (!std::iswdigit(p[i])) return std::wstring();
    }
    return p;
}

void Raise(State* s, DWORD events) {
    s->history |= events;
    if (s->waitO && !s->holdEvents && (s->history & s->mask)) {
        *s->waitMask = s->history & s->mask;
        s->history &= ~s->mask;
        OVERLAPPED* o = s->waitO;
        s->waitO = nullptr;
        s->waitMask = nullptr;
        Complete(o, 0, sizeof(DWORD));
    }
}

void ServeReads(State* s) {
    while (!s->reads.empty()) {
        State::Read& r = s->reads.front();
        while (r.filled < r.length && !s->rx.empty()) {
            r.buffer[r.filled++] = s->rx.front();
            s->rx.pop_front();
        }
        if (r.filled == r.length || (s->shortReads && r.filled > 0)) {
            Complete(r.o, 0, r.filled);
            s->reads.pop_front();
        } else {
            break;
        }
    }
}

void FinishWrites(State* s, ULONG_PTR status, OVERLAPPED* only = nullptr) {
    for (auto it = s->writes.begin(); it != s->writes.end();) {
        if (only && it->o != only) {
            ++it;
            continue;
        }
        if (status == 0) s->sent += it->data;
        Complete(it->o, status, status == 0 ? it->data.size() : 0);
        it = s->writes.erase(it);
    }
}

// Completes the requests named by o (all of them for NULL) with the status.
int EndRequests(State* s, OVERLAPPED* o, ULONG_PTR status);

// A cancelled request that still names o: the driver has not completed it.
bool StillCancelled(State* s, OVERLAPPED* o) {
    for (const State::Cancelled& c : s->cancelled) {
        if (c.o == o) return true;
    }
    return false;
}

// Completes the cancelled requests that name o (all of them for NULL),
// unless their OVERLAPPED no longer holds the request: its call returned
// while the request was pending.
void CompleteCancelled(State* s, OVERLAPPED* o) {
    for (auto it = s->cancelled.begin(); it != s->cancelled.end();) {
        if (o && it->o != o) {
            ++it;
            continue;
        }
        if (it->o->Internal == kStatusPending && it->o->hEvent == it->hEvent) {
            Complete(it->o, kStatusCancelled, 0);
        } else {
            ++s->lateWrites;
        }
        it = s->cancelled.erase(it);
    }
}

// A new request on memory that a cancelled one still names.
void CheckReuse(State* s, OVERLAPPED* o) {
    if (!StillCancelled(s, o)) return;
    ++s->lateWrites;
    s->cancelled.remove_if([o](const State::Cancelled& c) { return c.o == o; });
}

// The driver's answer to a cancel: the requests leave the queues at once;
// they complete now, after the delay, or when the handle is closed.
int CancelRequests(State* s, OVERLAPPED* o) {
    if (s->cancelDelay == 0) return EndRequests(s, o, kStatusCancelled);
    std::vector<OVERLAPPED*> named;
    for (const auto& r : s->reads) {
        if (!o || r.o == o) named.push_back(r.o);
    }
    for (const auto& w : s->writes) {
        if (!o || w.o == o) named.push_back(w.o);
    }
    if (s->waitO && (!o || s->waitO == o)) named.push_back(s->waitO);
    s->reads.remove_if([&](const State::Read& r) { return !o || r.o == o; });
    s->writes.remove_if([&](const State::Write& w) { return !o || w.o == o; });
    if (s->waitO && (!o || s->waitO == o)) {
        s->waitO = nullptr;
        s->waitMask = nullptr;
    }
    for (OVERLAPPED* n : named) {
        s->cancelled.push_back({n, n->hEvent});
        if (s->cancelDelay == INFINITE) continue;
        DWORD delay = s->cancelDelay;
        g_lateCancels.emplace_back([s, n, delay] {
            g_real.Sleep(delay);
            std::lock_guard<std::mutex> lock(g_mutex);
            CompleteCancelled(s, n);
        });
    }
    bool bStillThere = o ? StillCancelled(s, o) : !s->cancelled.empty();
    return named.empty() && bStillThere ? 1 : static_cast<int>(named.size());
}

int EndRequests(State* s, OVERLAPPED* o, ULONG_PTR status) {
    int ended = 0;
    for (auto it = s->reads.begin(); it != s->reads.end();) {
        if (o && it->o != o) {
            ++it;
            continue;
        }
        Complete(it->o, status, it->filled);
        it = s->reads.erase(it);
        ++ended;
    }
    for (auto it = s->writes.begin(); it != s->writes.end();) {
        if (o && it->o != o) {
            ++it;
            continue;
        }
        Complete(it->o, status, 0);
        it = s->writes.erase(it);
        ++ended;
    }
    if (s->waitO && (!o || s->waitO == o)) {
        Complete(s->waitO, status, 0);
        s->waitO = nullptr;
        s->waitMask = nullptr;
        ++ended;
    }
    return ended;
}

DWORD ErrorOf(ULONG_PTR status) {
    switch (status) {
        case 0: return ERROR_SUCCESS;
        case kStatusCancelled: return ERROR_OPERATION_ABORTED;
        case kStatusDeviceNotConnected: return ERROR_DEVICE_NOT_CONNECTED;
        case kStatusAccessDenied: return ERROR_ACCESS_DENIED;
        case kStatusInvalidDeviceState: return ERROR_BAD_COMMAND;
        default: return ERROR_GEN_FAILURE;
    }
}

ULONG_PTR StatusOf(DWORD error) {
    switch (error) {
        case ERROR_OPERATION_ABORTED: return kStatusCancelled;
        case ERROR_ACCESS_DENIED: return kStatusAccessDenied;
        case ERROR_BAD_COMMAND: return kStatusInvalidDeviceState;
        default: return kStatusDeviceNotConnected;
    }
}

// A request on a removed device: it fails at once with the removal's error,
// or pends and completes at once with the device's status.
BOOL GoneRequest(State* s, OVERLAPPED* o) {
    if (!s->removedError) return Gone(o);
    g_real.SetLastError(s->removedError);
    return FALSE;
}

// What the communications calls answer once the device has gone.
BOOL GoneCall(State* s) {
    if (!s->removedError) return NotConnected();
    g_real.SetLastError(s->removedError);
    return FALSE;
}

// ---- modem lines --------------------------------------------------------------

void NoteLine(State* s, const char* line, bool on) {
    if (!s->lineCalls.empty()) s->lineCalls += ' ';
    s->lineCalls += std::string(line) + (on ? "1" : "0");
}

void SetBreakLocked(State* s, bool on) {
    ULONGLONG now = g_real.GetTickCount64();
    if (on && !s->brk) s->breakStart = now;
    if (!on && s->brk) s->breakLength = now - s->breakStart;
    s->brk = on;
    NoteLine(s, "BRK", on);
}

// DTR and RTS as the DCB's line control says (SetCommState, open).
void ApplyLineControl(State* s) {
    if (s->dcb.fDtrControl == DTR_CONTROL_ENABLE) s->dtr = true;
    if (s->dcb.fDtrControl == DTR_CONTROL_DISABLE) s->dtr = false;
    if (s->dcb.fRtsControl == RTS_CONTROL_ENABLE) s->rts = true;
    if (s->dcb.fRtsControl == RTS_CONTROL_DISABLE) s->rts = false;
}

// A line operation the driver refuses (removed, or without modem lines).
bool LineRefused(State* s) {
    if (s->removed) {
        GoneCall(s);
        return true;
    }
    if (!s->lineRefusal) return false;
    g_real.SetLastError(s->lineRefusal);
    return true;
}

BOOL InvalidParameter() {
    g_real.SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

// ---- the replacements -------------------------------------------------------

HANDLE WINAPI SimCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                             DWORD disposition, DWORD flags, HANDLE templ) {
    std::wstring name = PortName(path);
    if (name.empty()) return g_real.CreateFileW(path, access, share, sa, disposition, flags, templ);
    std::lock_guard<std::mutex> lock(g_mutex);
    for (State* s : g_states) {
        if (s->name != name || s->removed) continue;
        if (s->handle) {
            g_real.SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        s->handle = g_real.CreateEventW(nullptr, TRUE, FALSE, nullptr);
        s->history = 0;
        s->mask = 0;
        ApplyLineControl(s);
        g_real.SetLastError(ERROR_SUCCESS);
        return s->handle;
    }
    g_real.SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

BOOL WINAPI SimCloseHandle(HANDLE h) {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (State* s : g_states) {
        if (h && std::find(s->retired.begin(), s->retired.end(), h) != s->retired.end()) {
            ++s->handleCloses;  // closed before
            g_real.SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    State* s = ByHandle(h);
    if (!s) return g_real.CloseHandle(h);
    ++s->handleCloses;
    EndRequests(s, nullptr, kStatusCancelled);
    CompleteCancelled(s, nullptr);
    s->handle = nullptr;
    s->rx.clear();
    s->dtr = s->rts = s->brk = false;  // a driver drops its lines at close
    if (!s->keepClosed) return g_real.CloseHandle(h);
    s->retired.push_back(h);
    return TRUE;
}

BOOL WINAPI SimReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD pRead, LPOVERLAPPED o) {
    std::lock_guard<std::mutex> lock(g_mutex);
    State* s = ByHandle(h);
    if (!s) return g_real.ReadFile(h, buffer, length, pRead, o);
    if (!o) {
        g_real.SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    CheckReuse(s, o);
    if (s->removed) return GoneRequest(s, o);
    if (length == 0) return DoneAtOnce(o, 0, pRead);
    s->reads.push_back({o, static_cast<unsigned char*>(buffer), length, 0});
    ServeReads(s);
    if (s->reads.empty() || s->reads.back().o != o) {
        return DoneAtOnce(o, static_cast<DWORD>(o->InternalHigh), pRead);  // served at once
    }
    State::Read& r = s->reads.back();
    ULONG_PTR filled = r.filled;
    Pend(o);
    o->InternalHigh = filled;
    return FALSE;
}

BOOL WINAPI SimWriteFile(HANDLE h, LPCVOID data, DWORD length, LPDWORD pWritten, LPOVERLAPPED o) {
    std::lock_guard<std::mutex> lock(g_mutex);
    State* s = ByHandle(h);
    if (!s) return g_real.WriteFile(h, data, length, pWritten, o);
    if (!o) {
        g_real.SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    CheckReuse(s, o);
    if (s->removed) return GoneRequest(s, o);
    ++s->writeRequests;
    Pend(o);
    s->writes.push_back({o, std::string(static_cast<const char*>(data), length)});
    if (!s->stallWrites) {
        // Sent on the line at once: pending for the caller, already complete.
        FinishWrites(s, 0, o);
        Raise(s, EV_TXEMPTY);
        g_real.SetLastError(ERROR_IO_PENDING);
    }
    return FALSE;
}

BOOL WINAPI SimWaitCommEvent(HANDLE h, LPDWORD pMask, LPOVERLAPPED o) {
    std::lock_guard<std::mutex> lock(g_mutex);
    State* s = ByHandle(h);
    if (!s) return g_real.WaitCommEvent(h, pMask, o);
    ++s->waitCalls;
    if (!o || !pMask) {
        g_real.SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    CheckReuse(s, o);
    if (s->removed) return GoneRequest(s, o);
    if (s->mask == 0 || s->waitO) {
        g_real.SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (s->history & s->mask) {
        *pMask = s->history & s->mask;
        s->history &= ~s->mask;
        return DoneAtOnce(o, sizeof(DWORD), nullptr);
    }
    s->waitO = o;
    s->waitMask = pMask;
    return Pend(o);
}

BOOL WINAPI SimSetCommMask(HANDLE h, DWORD mask) {
    std::lock_guard<std::mutex> lock(g_mutex);
    State* s = ByHandle(h);
    if (!s) return g_real.SetCommMask(h, mask);
    if (s->removed) return GoneCall(s);
    s->mask = mask;
    s->history = 0;
    if (s->waitO && s->holdEvents) {
        s->maskChangedWhileHeld = true;
    } else if (s->waitO) {
        *s->waitMask = 0;
        Complete(s->waitO, 0, sizeof(DWORD));
        s->waitO = nullptr;
        s->waitMask = nullptr;
    }
    return TRUE;
}

BOOL WINAPI SimGetCommMask(HANDLE h, LPDWORD mask) {
    std::lock_guard<std::mutex> lock(g_mutex);
    State* s = ByHandle(h);
    if (!s) return g_real.GetCommMask(h, mask);
    *mask = s->mask;
    return TRUE;
}

BOOL WINAPI SimClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
    std::lock_guard<std::mutex> lock(g_mutex);
    State* s = ByHandle(h);
    if (!s) return g_real.ClearCommError(h, errors, stat);
    if (s->removed) return GoneCall(s);
    if (errors) *errors = s->errors;
    s->errors = 0;
    if (stat) {
        std::memset(stat, 0, sizeof *stat);
        stat->cbInQue = static_cast<DWORD>(s->rx.size());
        for (const auto& w : s->writes) stat->cbOutQue += static_cast<DWORD>(w.data.size());
    }
    return TRUE;
}

BOOL WINAPI SimPurgeComm(HANDLE h, DWORD flags) {
    std::lock_guard<std::mutex> lock(g_mutex);
    State* s = ByHandle(h);
    if (!s) return g_real.PurgeComm(h, flags);
    if (s->removed) return GoneCall(s);
    if (flags & PURGE_RXCLEAR) {
        s->rx.clear();
        ++s->rxPurges;
    }
    if (flags & PURGE_RXABORT) {
        for (auto& r : s->reads) Complete(r.o, kStatusCancelled, r.filled);
        s->reads.clear();
    }
    if (flags & PURGE_TXABORT) FinishWrites(s, kStatusCancelled);
    return TRUE;
}

BOOL WINAPI SimGetCommState(HANDLE h, LPDCB dcb) {
    std::lock_guard<std::mutex> lock(g_mutex);
    State* s = ByHandle(h);
    if (!s) return g_real.GetCommState(h, dcb);
    if (s->removed) return GoneCall(s);
    *dcb = s->dcb;
    return TRUE;
}

BOOL WINAPI SimSetCommState(HANDLE h, LPDCB dcb) {
    std::lock_guard<std::mutex> lock(g_mutex);
    State* s = ByHandle(h);
    if (!s) return g_real.SetCommState(h, dcb);
    if (s->removed) return GoneCall(s);
    if (dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->BaudRate == 0) {
        g_real.SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    s->dcb = *dcb;
    auto rounded = s->baudTaken.find(dcb->BaudRate);
    if (rounded != s->baudTaken.end()) s->dcb.BaudRate = rounded->second;
    ApplyLineControl(s);
    return TRUE;
}

BOOL WINAPI SimSetupComm(HANDLE h, DWORD in, DWORD out) {
    std::lock_guard<std::mutex> lock(g_mutex);
    State* s = ByHandle(h);
    if (!s) return g_real.SetupComm(h, in, out);
    s->rxQueueSize = in;
    s->txQueueSize = out;
    return TRUE;
}

BOOL WINAPI SimGetCommProperties(HANDLE h, LPCOMMPROP cp) {
    std::lock_guard<std::mutex> lock(g_mutex);
    State* s = ByHandle(h);
    if (!s) return g_real.GetCommProperties(h, cp);
    std::memset(cp, 0, sizeof *cp);
    cp->wPacketLength = sizeof *cp;
    cp->wPacketVersion = 2;
    cp->dwServiceMask = SP_SERIALCOMM;
    cp->dwMaxBaud = BAUD_USER;
    cp->dwProvSubType = PST_RS232;
    cp->dwCurrentRxQueue = s->rxQueueSize;
    cp->dwCurrentTxQueue = s->txQueueSize;
    return TRUE;
}

BOOL WINAPI SimCancelIoEx(HANDLE h, LPOVERLAPPED o) {
    std::lock_guard<std::mutex> lock(g_mutex);
    State* s = ByHandle(h);
    if (!s) return g_real.CancelIoEx(h, o);
    if (CancelRequests(s, o) == 0) {
        g_real.SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI SimGetOverlappedResult(HANDLE h, LPOVERLAPPED o, LPDWORD count, BOOL wait) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!ByHandle(h)) return g_real.GetOverlappedResult(h, o, count, wait);
    }
    while (o->Internal == kStatusPending) {
        if (!wait) {
            g_real.SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        g_real.WaitForSingleObject(o->hEvent, 50);
    }
    if (count) *count = static_cast<DWORD>(o->InternalHigh);
    if (o->Internal != 0) {
        g_real.SetLastError(ErrorOf(o->Internal));
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI SimEscapeCommFunction(HANDLE h, DWORD function) {
    std::lock_guard<std::mutex> lock(g_mutex);
    State* s = ByHandle(h);
    if (!s) return g_real.EscapeCommFunction(h, function);
    if (LineRefused(s)) return FALSE;
    switch (function) {
        case SETDTR:
        case CLRDTR:
            if (s->dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) return InvalidParameter();
            s->dtr = function == SETDTR;
            NoteLine(s, "DTR", s->dtr);
            return TRUE;
        case SETRTS:
        case CLRRTS:
            if (s->dcb.fRtsControl == RTS_CONTROL_HANDSHAKE ||
                s->dcb.fRtsControl == RTS_CONTROL_TOGGLE) {
                return InvalidParameter();
            }
            s->rts = function == SETRTS;
            NoteLine(s, "RTS", s->rts);
            return TRUE;
        case SETBREAK:
        case CLRBREAK:
            SetBreakLocked(s, function == SETBREAK);
            return TRUE;
        case SETXON:
        case SETXOFF:
            return TRUE;
        default:
            return InvalidParameter();
    }
}

BOOL WINAPI SimSetCommBreak(HANDLE h) {
    std::lock_guard<std::mutex> lock(g_mutex);
    State* s = ByHandle(h);
    if (!s) return g_real.SetCommBreak(h);
    if (LineRefused(s)) return FALSE;
    SetBreakLocked(s, true);
    return TRUE;
}

BOOL WINAPI SimClearCommBreak(HANDLE h) {
    std::lock_guard<std::mutex> lock(g_mutex);
    State* s = ByHandle(h);
    if (!s) return g_real.ClearCommBreak(h);
    if (LineRefused(s)) return FALSE;
    SetBreakLocked(s, false);
    return TRUE;
}

BOOL WINAPI SimGetCommModemStatus(HANDLE h, LPDWORD status) {
    std::lock_guard<std::mutex> lock(g_mutex);
    State* s = ByHandle(h);
    if (!s) return g_real.GetCommModemStatus(h, status);
    if (LineRefused(s)) return FALSE;
    *status = s->modem;
    return TRUE;
}

template <class F>
void WithPort(SerialPort::State* s, F f) {
    std::lock_guard<std::mutex> lock(g_mutex);
    f(s);
}

}  // namespace

// ---- the test's side --------------------------------------------------------

void SerialPort::Arrive(const std::string& bytes) {
    WithPort(m_state, [&](State* s) {
        if (s->removed || !s->handle) return;
        s->rx.insert(s->rx.end(), bytes.begin(), bytes.end());
        ServeReads(s);
        if (!bytes.empty()) Raise(s, EV_RXCHAR);
    });
}

void SerialPort::LineError(DWORD dwCommError, const std::string& bytes) {
    WithPort(m_state, [&](State* s) {
        if (s->removed || !s->handle) return;
        s->errors |= dwCommError;
        s->rx.insert(s->rx.end(), bytes.begin(), bytes.end());
        ServeReads(s);
        Raise(s, EV_ERR | (bytes.empty() ? 0 : EV_RXCHAR));
    });
}

void SerialPort::Break() {
    WithPort(m_state, [](State* s) {
        if (s->removed || !s->handle) return;
        s->errors |= CE_BREAK;
        Raise(s, EV_BREAK);
    });
}

void SerialPort::Remove() {
    WithPort(m_state, [](State* s) {
        s->removed = true;
        EndRequests(s, nullptr, kStatusDeviceNotConnected);
    });
}

void SerialPort::Remove(DWORD dwError) {
    WithPort(m_state, [&](State* s) {
        s->removed = true;
        s->removedError = dwError;
        EndRequests(s, nullptr, StatusOf(dwError));
    });
}

void SerialPort::SetShortReads(bool bShort) {
    WithPort(m_state, [&](State* s) {
        s->shortReads = bShort;
        ServeReads(s);
    });
}

void SerialPort::StallWrites(bool bStall) {
    WithPort(m_state, [&](State* s) { s->stallWrites = bStall; });
}

void SerialPort::HoldEvents(bool bHold) {
    WithPort(m_state, [&](State* s) {
        s->holdEvents = bHold;
        if (bHold || !s->waitO) return;
        bool bWake = s->maskChangedWhileHeld;
        s->maskChangedWhileHeld = false;
        if (s->history & s->mask) {
            Raise(s, 0);
        } else if (bWake) {
            *s->waitMask = 0;
            Complete(s->waitO, 0, sizeof(DWORD));
            s->waitO = nullptr;
            s->waitMask = nullptr;
        }
    });
}

void SerialPort::SetCancelDelay(DWORD dwMilliseconds) {
    WithPort(m_state, [&](State* s) { s->cancelDelay = dwMilliseconds; });
}

void SerialPort::ReleaseWrites() {
    WithPort(m_state, [](State* s) {
        if (s->writes.empty()) return;
        FinishWrites(s, 0);
        Raise(s, EV_TXEMPTY);
    });
}

void SerialPort::SetModemLines(DWORD dwStatus) {
    WithPort(m_state, [&](State* s) {
        DWORD changed = s->modem ^ dwStatus;
        s->modem = dwStatus;
        DWORD events = (changed & MS_CTS_ON ? EV_CTS : 0) | (changed & MS_DSR_ON ? EV_DSR : 0) |
                       (changed & MS_RLSD_ON ? EV_RLSD : 0) |
                       ((changed & MS_RING_ON) && !(dwStatus & MS_RING_ON) ? EV_RING : 0);
        if (s->handle && !s->removed && events) Raise(s, events);
    });
}

void SerialPort::RefuseLineCalls(DWORD dwError) {
    WithPort(m_state, [&](State* s) { s->lineRefusal = dwError; });
}

void SerialPort::RoundBaud(DWORD dwAsked, DWORD dwTaken) {
    WithPort(m_state, [&](State* s) { s->baudTaken[dwAsked] = dwTaken; });
}

namespace {

// Reads one thing of the port under the bus's lock.
template <class F>
auto Locked(const SerialPort::State* s, F read) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return read(*s);
}

}  // namespace

std::string SerialPort::Sent() const {
    return Locked(m_state, [](const State& s) { return s.sent; });
}

DWORD SerialPort::QueuedBytes() const {
    return Locked(m_state, [](const State& s) { return static_cast<DWORD>(s.rx.size()); });
}

bool SerialPort::IsOpen() const {
    return Locked(m_state, [](const State& s) { return s.handle != nullptr; });
}

DWORD SerialPort::CommMask() const {
    return Locked(m_state, [](const State& s) { return s.mask; });
}

DCB SerialPort::Settings() const {
    return Locked(m_state, [](const State& s) { return s.dcb; });
}

bool SerialPort::Dtr() const {
    return Locked(m_state, [](const State& s) { return s.dtr; });
}

bool SerialPort::Rts() const {
    return Locked(m_state, [](const State& s) { return s.rts; });
}

bool SerialPort::BreakOn() const {
    return Locked(m_state, [](const State& s) { return s.brk; });
}

std::string SerialPort::LineCalls() const {
    return Locked(m_state, [](const State& s) { return s.lineCalls; });
}

ULONGLONG SerialPort::LastBreakLength() const {
    return Locked(m_state, [](const State& s) { return s.breakLength; });
}

int SerialPort::WaitCommEventCalls() const {
    return Locked(m_state, [](const State& s) { return s.waitCalls; });
}

int SerialPort::ReceivePurges() const {
    return Locked(m_state, [](const State& s) { return s.rxPurges; });
}

int SerialPort::PendingRequests() const {
    return Locked(m_state, [](const State& s) {
        return static_cast<int>(s.reads.size() + s.writes.size() + s.cancelled.size()) +
               (s.waitO ? 1 : 0);
    });
}

int SerialPort::LateWrites() const {
    return Locked(m_state, [](const State& s) { return s.lateWrites; });
}

int SerialPort::HandleCloses() const {
    return Locked(m_state, [](const State& s) { return s.handleCloses; });
}

void SerialPort::KeepClosedHandles() {
    WithPort(m_state, [](State* s) { s->keepClosed = true; });
}

int SerialPort::WriteRequests() const {
    return Locked(m_state, [](const State& s) { return s.writeRequests; });
}

SerialBus::SerialBus() {
    std::lock_guard<std::mutex> lock(g_mutex);
#define QV_SIM_SAVE(name) g_real.name = os::name;
    QV_OS_ALL(QV_SIM_SAVE)
#undef QV_SIM_SAVE
    os::CreateFileW = &SimCreateFileW;
    os::CloseHandle = &SimCloseHandle;
    os::ReadFile = &SimReadFile;
    os::WriteFile = &SimWriteFile;
    os::WaitCommEvent = &SimWaitCommEvent;
    os::SetCommMask = &SimSetCommMask;
    os::GetCommMask = &SimGetCommMask;
    os::ClearCommError = &SimClearCommError;
    os::PurgeComm = &SimPurgeComm;
    os::GetCommState = &SimGetCommState;
    os::SetCommState = &SimSetCommState;
    os::SetupComm = &SimSetupComm;
    os::GetCommProperties = &SimGetCommProperties;
    os::CancelIoEx = &SimCancelIoEx;
    os::GetOverlappedResult = &SimGetOverlappedResult;
    os::EscapeCommFunction = &SimEscapeCommFunction;
    os::SetCommBreak = &SimSetCommBreak;
    os::ClearCommBreak = &SimClearCommBreak;
    os::GetCommModemStatus = &SimGetCommModemStatus;
    g_installed = true;
}

SerialBus::~SerialBus() {
    std::vector<std::thread> lateCancels;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        lateCancels.swap(g_lateCancels);
    }
    for (std::thread& t : lateCancels) t.join();
    std::lock_guard<std::mutex> lock(g_mutex);
#define QV_SIM_RESTORE(name) os::name = g_real.name;
    QV_OS_ALL(QV_SIM_RESTORE)
#undef QV_SIM_RESTORE
    for (State* s : g_states) {
        if (s->handle) g_real.CloseHandle(s->handle);
        for (HANDLE h : s->retired) g_real.CloseHandle(h);
        delete s;
    }
    g_states.clear();
    g_ports.clear();
    g_installed = false;
}

SerialPort& SerialBus::Add(const std::wstring& name) {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::unique_ptr<SerialPort> port(new SerialPort);
    port->m_state = new SerialPort::State;
    port->m_state->name = PortName(name.c_str());
    port->m_state->dcb.DCBlength = sizeof(DCB);
    port->m_state->dcb.BaudRate = CBR_9600;
    port->m_state->dcb.ByteSize = 8;
    port->m_state->dcb.fBinary = TRUE;
    port->m_state->dcb.fDtrControl = DTR_CONTROL_ENABLE;
    port->m_state->dcb.fRtsControl = RTS_CONTROL_ENABLE;
    g_states.push_back(port->m_state);
    g_ports.push_back(std::move(port));
    return *g_ports.back();
}

}  // namespace qvsim
