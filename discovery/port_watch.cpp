// CxSerialPortWatch: the merged serial port list read again on each device
// notification and every re-read period, its changes reported to the host.
#include "quorvel/discovery.h"

#include <atomic>
#include <cstring>
#include <new>
#include <type_traits>

#include "core/atomic.h"
#include "core/error.h"
#include "core/lifecycle_check.h"
#include "core/listener.h"
#include "core/owner.h"
#include "core/shared_link.h"
#include "core/text_guard.h"
#include "core/thread_record.h"
#include "core/trace.h"
#include "discovery/port_list.h"
#include "platform/os.h"

namespace os = quorvel::os;
namespace ports = quorvel::ports;
using quorvel::PortEntry;
using quorvel::SerialPortList;
using quorvel::SharedLink;
using quorvel::ThreadAccess;

// Hosts compile against this layout.
namespace {

// A burst of notifications (a hub with several adapters, an interface and
// its device node) is read once: 50 ms after the last one, and no later than
// 500 ms after the first.
constexpr ULONGLONG kDebounce = 50;
constexpr ULONGLONG kDebounceLongest = 500;
// What the window posts itself for each notification it is sent.
constexpr UINT kNotified = WM_APP + 0x4E1;
// Messages taken in one go before the watch looks at its wake again.
constexpr int kMessagesAtOnce = 256;
constexpr size_t kMaxReports = CX_PORT_WATCH_MAX_REPORTS;

struct Report {
    long lEvent;
    PortEntry port;
    Report* next;
};

// What the watch shares with its thread and its copies: the wake that only
// the watch sets, the re-read period, the reports not yet taken (under the
// text guard) and the first reading, for the thread to start from.
struct WatchState : quorvel::LinkExtra {
    std::atomic<bool> textBusy{false};  // guards the reports (TextGuard)
    HANDLE hWake = nullptr;
    std::atomic<unsigned long> ulPeriod{CX_PORT_WATCH_RESCAN_DEFAULT};
    bool bReportPresent = false;
    SerialPortList* first = nullptr;  // taken by the thread at its start
    Report* head = nullptr;
    Report* tail = nullptr;
    size_t count = 0;

    ~WatchState() override {
        quorvel::ScopedKernelHandle wake(hWake);
        ports::DeleteList(first);
        while (Report* report = head) {
            head = report->next;
            delete report;
        }
    }
};

WatchState* WatchStateOf(const SharedLink* link) { return quorvel::ExtraOf<WatchState>(link); }

// Queues reports (under the guard); beyond the most kept, the oldest go.
void Queue(SharedLink* link, Report* first, Report* last, size_t count) {
    WatchState* state = WatchStateOf(link);
    quorvel::TextGuard<WatchState> guard(link);
    (state->tail ? state->tail->next : state->head) = first;
    state->tail = last;
    state->count += count;
    while (state->count > kMaxReports) {
        Report* oldest = state->head;
        state->head = oldest->next;
        --state->count;
        delete oldest;
    }
}

Report* Dequeue(SharedLink* link) {
    WatchState* state = WatchStateOf(link);
    quorvel::TextGuard<WatchState> guard(link);
    Report* report = state->head;
    if (!report) return nullptr;
    state->head = report->next;
    if (!state->head) state->tail = nullptr;
    --state->count;
    return report;
}

// The message-only window that the system sends its device notifications
// to, with a class of its own thread, and the registration.
LRESULT CALLBACK WatchWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    static_assert(std::is_same<decltype(&WatchWindowProc), WNDPROC>::value,
                  "the system calls the window procedure as a CALLBACK");
    // The loop reads the list again; what the message carries is not read
    // (a message another program posts carries no valid pointer).
    if (uMsg == WM_DEVICECHANGE) {
        os::PostMessageW(hWnd, kNotified, 0, 0);
        return TRUE;
    }
    if (uMsg == WM_CLOSE) return 0;  // only the watch ends its window
    return os::DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

const char kInThisModule = 0;

class NotifyWindow {
public:
    NotifyWindow() = default;
    NotifyWindow(const NotifyWindow&) = delete;
    NotifyWindow& operator=(const NotifyWindow&) = delete;
    ~NotifyWindow() { Close(); }

    // false where notifications cannot be had (the re-reads go on).
    bool Open() {
        os::GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&kInThisModule), &m_hModule);
        os::wsprintfW(m_szClass, L"quorvel port watch %lX",
                      static_cast<unsigned long>(os::GetCurrentThreadId()));
        WNDCLASSEXW wc;
        std::memset(&wc, 0, sizeof wc);
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = &WatchWindowProc;
        wc.hInstance = m_hModule;
        wc.lpszClassName = m_szClass;
        if (!os::RegisterClassExW(&wc)) return false;
        m_bClass = true;
        m_hWnd = os::CreateWindowExW(0, m_szClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                     m_hModule, nullptr);
        if (!m_hWnd) return false;
        DEV_BROADCAST_DEVICEINTERFACE_W filter;
        std::memset(&filter, 0, sizeof filter);
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = QV_GUID_DEVINTERFACE_COMPORT;
        m_hNotify = os::RegisterDeviceNotificationW(m_hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        return m_hNotify != nullptr;
    }

    void Close() {
        if (m_hNotify) os::UnregisterDeviceNotification(m_hNotify);
        if (m_hWnd) os::DestroyWindow(m_hWnd);
        if (m_bClass) os::UnregisterClassW(m_szClass, m_hModule);
        m_hNotify = nullptr;
        m_hWnd = nullptr;
        m_bClass = false;
    }

private:
    HMODULE m_hModule = nullptr;
    wchar_t m_szClass[48] = {};
    bool m_bClass = false;
    HWND m_hWnd = nullptr;
    HDEVNOTIFY m_hNotify = nullptr;
};

bool ValidPeriod(unsigned long ulMilliseconds) {
    return ulMilliseconds == 0 || (ulMilliseconds >= CX_PORT_WATCH_RESCAN_MIN &&
                                   ulMilliseconds <= CX_PORT_WATCH_RESCAN_MAX);
}

}  // namespace

CxSerialPortWatch::CxSerialPortWatch()
    : m_ulRescanPeriod(CX_PORT_WATCH_RESCAN_DEFAULT), m_pLink(nullptr) {}

// A copy shares the watch: its thread (which only the original stops) and
// its reports.
CxSerialPortWatch::CxSerialPortWatch(const CxSerialPortWatch& other)
    : CxComm(other),
      m_WatchThread(other.m_WatchThread),
      m_ulRescanPeriod(quorvel::AtomicLoad(other.m_ulRescanPeriod)),
      m_pLink(SharedLink::Pin(other.m_pLink)) {}

CxSerialPortWatch& CxSerialPortWatch::operator=(const CxSerialPortWatch& other) {
    if (this != &other) {
        Stop();  // lets go of whatever this object held
        CxComm::operator=(other);
        m_WatchThread = other.m_WatchThread;
        quorvel::AtomicStore(m_ulRescanPeriod, quorvel::AtomicLoad(other.m_ulRescanPeriod));
        quorvel::AtomicStore(m_pLink, SharedLink::Pin(other.m_pLink));
    }
    return *this;
}

CxSerialPortWatch::~CxSerialPortWatch() { Stop(); }

int CxSerialPortWatch::Start(int bReportPresent) {
    Stop();
    // The first reading is taken here, so that every change after Start is
    // reported, whenever the thread gets to run.
    // A source that could not be read whole is read again later; only a
    // reading with nothing read whole fails.
    SerialPortList* first = ports::NewList();
    int nIncomplete = 0;
    DWORD dwRead = first ? ports::ReadPortList(first, &nIncomplete) : ERROR_NOT_ENOUGH_MEMORY;
    if (dwRead == ERROR_NOT_ENOUGH_MEMORY || nIncomplete == CX_PORT_FROM_BOTH) {
        ports::DeleteList(first);
        return quorvel::Fail(dwRead);
    }
    // One hold for this object and one for the thread.
    SharedLink* link = SharedLink::Create(this, 2);
    WatchState* state = link ? new (std::nothrow) WatchState : nullptr;
    if (state) state->first = first;
    if (!state) {
        ports::DeleteList(first);
        quorvel::Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!state || !link->AddExtra(state) || !(state->hWake = quorvel::listener::MakeEventWake())) {
        SharedLink* second = link;
        SharedLink::Release(link);
        SharedLink::Release(second);
        return 0;
    }
    state->ulPeriod = quorvel::AtomicLoad(m_ulRescanPeriod);
    state->bReportPresent = bReportPresent != 0;
    quorvel::AtomicStore(m_pLink, link);
    static_assert(std::is_same<decltype(&CxSerialPortWatch::WatchProc), CX_THREAD_ROUTINE>::value,
                  "the watch routine is a WINAPI thread routine");
    if (!quorvel::listener::Start(m_WatchThread, &CxSerialPortWatch::WatchProc, this,
                                  GetListenerStackSize(), link)) {
        SharedLink* thread = link;
        SharedLink::Release(thread);  // the thread's hold: it never ran
        SharedLink::Detach(m_pLink);
        return 0;
    }
    return 1;
}

void CxSerialPortWatch::Stop() {
    SharedLink* link = quorvel::AtomicLoad(m_pLink);
    if (quorvel::AcquiredBy(link, this)) {
        HANDLE hWake = WatchStateOf(link)->hWake;
        quorvel::listener::Stop(m_WatchThread,
                                [hWake] { quorvel::listener::TriggerEventWake(hWake); });
    } else {
        m_WatchThread.CloseThread(INFINITE);  // a copy's view: let go at once
    }
    QV_CHECK_CLOSE_LISTENER(m_WatchThread, "serial port watch");
    SharedLink::Detach(m_pLink);
}

int CxSerialPortWatch::IsWatching() { return m_WatchThread.IsThreadRunning(); }

int CxSerialPortWatch::SetRescanPeriod(unsigned long ulMilliseconds) {
    if (!ValidPeriod(ulMilliseconds)) return quorvel::Fail(ERROR_INVALID_PARAMETER);
    quorvel::AtomicStore(m_ulRescanPeriod, ulMilliseconds);
    quorvel::PinnedLink pinned(m_pLink);
    if (WatchState* state = WatchStateOf(pinned.get())) {
        state->ulPeriod = ulMilliseconds;
        quorvel::listener::TriggerEventWake(state->hWake);
    }
    return 1;
}

unsigned long CxSerialPortWatch::GetRescanPeriod() const {
    return quorvel::AtomicLoad(m_ulRescanPeriod);
}

int CxSerialPortWatch::TakeReport(long* plEvent, CxSerialPortFind* pPort) {
    // Held for the call: a Stop on another thread may let go of the record.
    quorvel::PinnedLink pinned(m_pLink);
    if (!quorvel::RequireOpen(WatchStateOf(pinned.get()) != nullptr)) return 0;
    if (!pPort) return quorvel::Fail(ERROR_INVALID_PARAMETER);
    // The finder's room first: a report once taken is never lost.
    if (!quorvel::PortFindAccess::Reserve(*pPort)) return quorvel::Fail(ERROR_NOT_ENOUGH_MEMORY);
    Report* report = Dequeue(pinned.get());
    if (!report) return quorvel::Fail(ERROR_NO_MORE_ITEMS);
    if (plEvent) *plEvent = report->lEvent;
    quorvel::PortFindAccess::Place(*pPort, report->port);
    delete report;
    return 1;
}

void* CxSerialPortWatch::GetSafeHandle() { return m_WatchThread.GetSafeHandle(); }

namespace quorvel {

// What the port watch's thread waits on (its wake, the window's messages,
// the next re-read) and what a change means (a report and its event); the
// listener engine runs it (CxSerialPortWatch::OnWatch). Once asked to exit
// it reads only its record: the host may have deleted the watch from its
// callback.
struct PortListWatch {
    using Step = listener::Step;

    CxSerialPortWatch* self;
    SharedLink* link;
    SharedLink* thread;
    WatchState* state;
    SerialPortList* known;  // the list as last reported
    ULONGLONG ullLastRead;
    ULONGLONG ullNotifiedFirst;  // 0: no notification waits for its re-read
    ULONGLONG ullReadAt;         // when the waiting notifications are read
    long alOwed[kMaxReports];    // events of reports queued, not yet raised
    size_t nOwedFirst, nOwed;

    void Owe(long lEvent) {
        if (nOwed == kMaxReports) {  // its report went too
            nOwedFirst = (nOwedFirst + 1) % kMaxReports;
            --nOwed;
        }
        alOwed[(nOwedFirst + nOwed++) % kMaxReports] = lEvent;
    }

    // Reports for each port of one list missing from the other.
    bool Compare(const SerialPortList* from, const SerialPortList* to, long lEvent,
                 Report** first, Report** last, size_t* count) {
        for (size_t i = 0; to && i < to->count; ++i) {
            bool bKnown = false;
            for (size_t j = 0; from && j < from->count && !bKnown; ++j) {
                bKnown = ports::SamePort(to->ports[i], from->ports[j]);
            }
            if (bKnown) continue;
            Report* report = new (std::nothrow) Report;
            if (!report) return false;
            report->lEvent = lEvent;
            report->port = to->ports[i];
            report->next = nullptr;
            (*last ? (*last)->next : *first) = report;
            *last = report;
            ++*count;
        }
        return true;
    }

    // What a reading could not see (nIncomplete: the sources it could not
    // read whole) is taken to be as it was: a known port that such a source
    // listed stays as it was known where the reading lists it with less,
    // and stays listed where the reading lacks it, unless a source read
    // whole listed it (then it is gone). false if memory ran out.
    bool Carry(SerialPortList* fresh, int nIncomplete) {
        for (size_t i = 0; nIncomplete && known && i < known->count; ++i) {
            const PortEntry& port = known->ports[i];
            if (!(port.nSource & nIncomplete)) continue;
            bool bSame = false;
            PortEntry* named = nullptr;
            for (size_t j = 0; j < fresh->count && !bSame; ++j) {
                bSame = ports::SamePort(fresh->ports[j], port);
                if (!named && ports::SameName(fresh->ports[j], port)) named = &fresh->ports[j];
            }
            if (bSame) continue;
            if (named) {
                if (port.nSource & ~named->nSource & nIncomplete) *named = port;
            } else if (!(port.nSource & ~nIncomplete) && !ports::Append(fresh, port)) {
                return false;
            }
        }
        return true;
    }

    // The reports from the list known to fresh, removals first. Nothing
    // is queued unless all of them could be made, and the list known
    // stays until then: the next re-read makes them again.
    bool Publish(SerialPortList* fresh, int nIncomplete = 0) {
        Report* first = nullptr;
        Report* last = nullptr;
        size_t count = 0;
        if (!Carry(fresh, nIncomplete) ||
            !Compare(fresh, known, CX_EVENT_PORT_REMOVED, &first, &last, &count) ||
            !Compare(known, fresh, CX_EVENT_PORT_ARRIVED, &first, &last, &count)) {
            while (Report* report = first) {
                first = report->next;
                delete report;
            }
            return false;
        }
        for (Report* report = first; report; report = report->next) Owe(report->lEvent);
        if (first) Queue(link, first, last, count);
        ports::DeleteList(known);
        known = fresh;
        return true;
    }

    // Reads the list again; false if no source could be read whole, or the
    // reading could not be compared (it is read again after a pause).
    bool Reread(ULONGLONG ullNow) {
        ullLastRead = ullNow;
        ullNotifiedFirst = ullReadAt = 0;
        SerialPortList* fresh = ports::NewList();
        int nIncomplete = 0;
        DWORD dwRead = fresh ? ports::ReadPortList(fresh, &nIncomplete) : ERROR_NOT_ENOUGH_MEMORY;
        if (dwRead != ERROR_NOT_ENOUGH_MEMORY && nIncomplete != CX_PORT_FROM_BOTH &&
            Publish(fresh, nIncomplete)) {
            return true;
        }
        ports::DeleteList(fresh);
        ullNotifiedFirst = ullReadAt = ullNow;  // again once the pause is over
        return false;
    }

    void Notified(ULONGLONG ullNow) {
        if (!ullNotifiedFirst) ullNotifiedFirst = ullNow;
        ullReadAt = ullNow + kDebounce;
        if (ullReadAt > ullNotifiedFirst + kDebounceLongest) {
            ullReadAt = ullNotifiedFirst + kDebounceLongest;
        }
    }

    // Takes the window's messages; the notifications among them (sent
    // ones arrive through the window procedure) start a re-read.
    void TakeMessages() {
        MSG msg;
        for (int n = 0; n < kMessagesAtOnce && os::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);
             ++n) {
            if (msg.message == kNotified || msg.message == WM_DEVICECHANGE) {
                Notified(os::GetTickCount64());
            } else if (msg.message != WM_QUIT && msg.hwnd) {
                os::DispatchMessageW(&msg);
            }
        }
    }

    void Raise(long lEvent) {
        auto target = self->GetTarget();
        quorvel::listener::Deliver(target.pfnProc, target.pParam, target.hWnd, target.uMsg,
                                   reinterpret_cast<UINT_PTR>(quorvel::StateOf(thread)->handle.load()),
                                   lEvent);
    }

    Step WaitOnce() {
        // A call the C interface asked for on this thread.
        if (ThreadAccess::TakeCallRequest(thread)) {
            Raise(listener::kEventListenerCall);
            return Step::kEvent;
        }
        if (nOwed) {
            long lEvent = alOwed[nOwedFirst];
            nOwedFirst = (nOwedFirst + 1) % kMaxReports;
            --nOwed;
            Raise(lEvent);
            return Step::kEvent;
        }
        ULONGLONG ullNow = os::GetTickCount64();
        unsigned long ulPeriod = state->ulPeriod.load();
        ULONGLONG ullDue = ullReadAt;
        if (ulPeriod && (!ullDue || ullLastRead + ulPeriod < ullDue)) {
            ullDue = ullLastRead + ulPeriod;
        }
        if (ullDue && ullDue <= ullNow) return Reread(ullNow) ? Step::kQuiet : Step::kFailed;
        DWORD dwWait = ullDue ? static_cast<DWORD>(ullDue - ullNow) : INFINITE;
        DWORD dwResult = os::MsgWaitForMultipleObjectsEx(1, &state->hWake, dwWait, QS_ALLINPUT,
                                                         MWMO_INPUTAVAILABLE);
        if (dwResult == WAIT_OBJECT_0) {  // a new period, or the end
            os::ResetEvent(state->hWake);
            return ThreadAccess::ExitRequested(thread) ? Step::kStop : Step::kQuiet;
        }
        if (dwResult == WAIT_OBJECT_0 + 1) {
            TakeMessages();
            return Step::kQuiet;
        }
        return dwResult == WAIT_TIMEOUT ? Step::kQuiet : Step::kFailed;
    }

    // Leaves at once if the watch wakes it to stop.
    bool Pause(DWORD dwMilliseconds) {
        if (os::WaitForSingleObject(state->hWake, dwMilliseconds) != WAIT_OBJECT_0) return true;
        return !ThreadAccess::ExitRequested(thread);
    }

    static bool CallListener(CxSerialPortWatch& watch) {
        PinnedLink pinned(watch.m_pLink);
        WatchState* watched = WatchStateOf(pinned.get());
        bool bAsked = watched && ThreadAccess::RequestCall(watch.m_WatchThread);
        if (bAsked) listener::TriggerEventWake(watched->hWake);  // after the request: it looks then
        return bAsked;
    }
};

bool ports::CallWatchListener(CxSerialPortWatch& watch) { return PortListWatch::CallListener(watch); }

}  // namespace quorvel

unsigned long WINAPI CxSerialPortWatch::WatchProc(void* pThread) {
    return quorvel::listener::Enter(pThread, &CxSerialPortWatch::OnWatch, "serial port watch");
}

// The watch's thread: the PortListWatch from the first reading on.
void CxSerialPortWatch::OnWatch(CxThread* pThread) {
    SharedLink* thread = ThreadAccess::RecordOf(pThread);
    SharedLink* link = quorvel::listener::HoldOf(thread);
    WatchState* state = WatchStateOf(link);
    quorvel::PortListWatch watch = {};
    watch.self = this;
    watch.link = link;
    watch.thread = thread;
    watch.state = state;
    watch.known = state->first;
    state->first = nullptr;
    watch.ullLastRead = os::GetTickCount64();
    // The ports present at Start, if the host asked for them.
    if (state->bReportPresent) {
        SerialPortList* present = watch.known;
        watch.known = nullptr;
        if (!watch.Publish(present)) watch.known = present;
    }
    NotifyWindow window;
    if (window.Open()) {
        // What changed before the registration took effect is read at once.
        watch.ullNotifiedFirst = watch.ullReadAt = watch.ullLastRead;
    } else {
        quorvel::Trace(L"The port watch has no device notifications (error %u): it reads the "
                       L"port list again every %u ms.\n",
                       static_cast<unsigned>(os::GetLastError()),
                       static_cast<unsigned>(state->ulPeriod.load()));
    }
    quorvel::listener::Run(pThread, watch);
    window.Close();
    ports::DeleteList(watch.known);
    quorvel::listener::DropHold(thread);  // the thread's hold
}
