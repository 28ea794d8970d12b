#include "capi/events.h"

#include <new>
#include <type_traits>

#include "core/atomic.h"
#include "core/deadline.h"
#include "core/listener.h"
#include "core/owner.h"
#include "platform/os.h"

namespace quorvel::capi {

static_assert(QV_EVENT_DATA_READY == CX_EVENT_DATA_READY &&
                  QV_EVENT_CONNECTION_WAITING == CX_EVENT_CONNECTION_WAITING &&
                  QV_EVENT_CLOSED == CX_EVENT_CONNECTION_CLOSED &&
                  QV_EVENT_DEVICE_REMOVED == CX_EVENT_DEVICE_REMOVED &&
                  QV_EVENT_LINE_ERROR == CX_EVENT_LINE_ERROR,
              "the C interface's event codes are those of the C++ classes");
static_assert(std::is_same<decltype(&Endpoint::OnEvent), CX_COMM_PROC>::value,
              "the C++ endpoints call this layer back as their host callback (CALLBACK)");
#if defined(_M_IX86) || defined(__i386__)
static_assert(std::is_same<qv_event_proc, void(__stdcall*)(void*, qv_handle, DWORD, DWORD)>::value,
              "the host's event callback is __stdcall");
#endif

// ---- Queue ------------------------------------------------------------------

Queue::Queue() : Object(QV_KIND_EVENT_QUEUE) {}

Queue::~Queue() {
    ScopedKernelHandle event(m_hEvent.load());
}

HANDLE Queue::Event() {
    HANDLE hEvent = m_hEvent.load(std::memory_order_seq_cst);
    if (hEvent) return hEvent;
    ScopedKernelHandle made(os::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!made) return nullptr;
    if (!m_hEvent.compare_exchange_strong(hEvent, made.get(), std::memory_order_seq_cst)) {
        return hEvent;  // another was first
    }
    hEvent = made.release();
    Publish(false);  // events that came before it existed
    return hEvent;
}

DWORD Queue::Waitable(HANDLE* phWaitable) {
    *phWaitable = Event();
    return *phWaitable ? ERROR_SUCCESS : LastError();
}

void Queue::Publish(bool bReset) {
    HANDLE hEvent = m_hEvent.load(std::memory_order_seq_cst);
    if (!hEvent) return;  // Event() publishes once it has made one
    if (bReset) m_bResetWanted.store(true, std::memory_order_seq_cst);
    m_lChanges.fetch_add(1, std::memory_order_seq_cst);
    if (m_bPublishing.exchange(true, std::memory_order_seq_cst)) return;
    for (;;) {
        LONG lSeen = m_lChanges.load(std::memory_order_seq_cst);
        bool bWaiting;
        {
            FlagGuard guard(&m_bBusy);
            bWaiting = m_head != nullptr;
        }
        if (bWaiting && !m_bSignalled) {
            os::SetEvent(hEvent);
            m_bSignalled = true;
        } else if (!bWaiting && m_bSignalled && m_bResetWanted.exchange(false)) {
            os::ResetEvent(hEvent);
            m_bSignalled = false;
        }
        m_bPublishing.store(false, std::memory_order_seq_cst);
        // A change counted after the look above has either seen this thread
        // publishing (and left it the work) or publishes itself.
        if (m_lChanges.load(std::memory_order_seq_cst) == lSeen) return;
        if (m_bPublishing.exchange(true, std::memory_order_seq_cst)) return;
    }
}

void Queue::LinkLocked(Endpoint* endpoint) {
    endpoint->m_next = nullptr;
    endpoint->m_bLinked = true;
    (m_tail ? m_tail->m_next : m_head) = endpoint;
    m_tail = endpoint;
}

void Queue::UnlinkLocked(Endpoint* endpoint) {
    if (!endpoint->m_bLinked) return;
    Endpoint* previous = nullptr;
    for (Endpoint* at = m_head; at; previous = at, at = at->m_next) {
        if (at != endpoint) continue;
        (previous ? previous->m_next : m_head) = at->m_next;
        if (m_tail == at) m_tail = previous;
        break;
    }
    endpoint->m_next = nullptr;
    endpoint->m_bLinked = false;
}

bool Queue::PopLocked(Pending* pEvent, Endpoint** pSource) {
    while (Endpoint* endpoint = m_head) {
        UnlinkLocked(endpoint);
        if (endpoint->m_nPending <= 0) {  // linked only with events; never read below the first
            endpoint->m_nPending = 0;
            continue;
        }
        *pEvent = endpoint->m_pending[0];
        for (int i = 1; i < endpoint->m_nPending; ++i) endpoint->m_pending[i - 1] = endpoint->m_pending[i];
        --endpoint->m_nPending;
        *pSource = endpoint;
        // More of its events wait behind those of the other endpoints.
        if (endpoint->m_nPending) LinkLocked(endpoint);
        return true;
    }
    return false;
}

DWORD Queue::Wait(const Call& call, DWORD dwWait, qv_handle* pSource, DWORD* pdwEvent,
                  DWORD* pdwDetail) {
    HANDLE hEvent = Event();
    if (!hEvent) return LastError();
    Deadline deadline(dwWait);
    for (;;) {
        Pending event;
        Endpoint* source = nullptr;
        qv_handle hSource = nullptr;
        {
            FlagGuard guard(&m_bBusy);
            if (PopLocked(&event, &source)) hSource = source->Handle();
        }
        Publish(true);  // set while events wait, reset once none is left
        if (source) {
            if (pSource) *pSource = hSource;
            if (pdwEvent) *pdwEvent = event.dwEvent;
            if (pdwDetail) *pdwDetail = event.dwDetail;
            return ERROR_SUCCESS;
        }
        if (call.Closing()) return ERROR_OPERATION_ABORTED;
        DWORD dwRemaining = deadline.Remaining();
        if (!dwRemaining) return WAIT_TIMEOUT;
        if (os::WaitForSingleObject(hEvent, dwRemaining) == WAIT_FAILED) return LastError();
    }
}

void Queue::Wake() {
    if (HANDLE hEvent = m_hEvent.load(std::memory_order_acquire)) os::SetEvent(hEvent);
}

void Queue::Shutdown() {
    {
        FlagGuard guard(&m_bBusy);
        m_bClosed = true;
        while (Endpoint* endpoint = m_head) {
            endpoint->m_nPending = 0;
            UnlinkLocked(endpoint);
        }
    }
    Publish(true);
}

// ---- Endpoint ---------------------------------------------------------------

Endpoint::Endpoint(DWORD dwKind) : Object(dwKind) {
    m_own = new (std::nothrow) Queue;
    if (m_own && !m_own->Made()) {
        m_own->Release();
        m_own = nullptr;
    }
    m_queue.store(m_own);
}

Endpoint::~Endpoint() {
    if (m_own) m_own->Release();
    ScopedKernelHandle delivered(m_hDelivered.load());
}

long CALLBACK Endpoint::OnEvent(void* pParam, unsigned int, long lEvent) {
    Endpoint* endpoint = static_cast<Endpoint*>(pParam);
    if (endpoint->m_bEnded.load(std::memory_order_acquire)) return 0;
    Delivery delivery(endpoint);
    DWORD dwEvent = 0, dwDetail = 0;
    if (lEvent == listener::kEventListenerCall) {
        endpoint->HandOver();
    } else if (endpoint->Translate(lEvent, &dwEvent, &dwDetail)) {
        endpoint->Deliver(dwEvent, dwDetail);
    }
    return 0;
}

// Runs on the C++ endpoint's listener, while the endpoint is alive: a close
// from another thread waits for the listener before it lets the endpoint
// go. A close from inside the host's callback drops the table's reference
// only, so the one taken here keeps the endpoint until the callback is back.
// The queue the endpoint is routed to stays too: a route change releases
// the old queue only once no delivery runs (AwaitDeliveries).
Endpoint::Delivery::Delivery(Endpoint* endpoint) : m_endpoint(endpoint) {
    endpoint->AddRef();
    endpoint->m_lDelivering.fetch_add(1, std::memory_order_seq_cst);
    endpoint->m_dwDeliveringThread.store(os::GetCurrentThreadId(), std::memory_order_seq_cst);
}

Endpoint::Delivery::~Delivery() {
    if (m_endpoint->m_lDelivering.fetch_sub(1, std::memory_order_seq_cst) == 1 &&
        m_endpoint->m_lAwaiting.load(std::memory_order_seq_cst) > 0) {
        os::SetEvent(m_endpoint->m_hDelivered.load(std::memory_order_seq_cst));
    }
    m_endpoint->Release();
}

// Inside a Delivery.
void Endpoint::Deliver(DWORD dwEvent, DWORD dwDetail) {
    Target target;
    {
        FlagGuard guard(&m_bBusy);
        target = m_target;
    }
    if (target.pfnProc) {
        target.pfnProc(target.pContext, Handle(), dwEvent, dwDetail);
    } else if (target.hWnd) {
        Posted(dwEvent, dwDetail);  // before the message, which the host may take at once
        os::PostMessageW(target.hWnd, target.uMsg, reinterpret_cast<WPARAM>(Handle()),
                         static_cast<LPARAM>(dwEvent));
    } else {
        Enqueue(dwEvent, dwDetail);
    }
}

bool Endpoint::AddLocked(DWORD dwEvent, DWORD dwDetail) {
    for (int i = 0; i < m_nPending; ++i) {
        if (m_pending[i].dwEvent != dwEvent) continue;
        if (dwEvent == QV_EVENT_LINE_ERROR) m_pending[i].dwDetail |= dwDetail;
        if (dwEvent == QV_EVENT_MODEM_CHANGED) {
            m_pending[i].dwDetail = MergeModemDetail(m_pending[i].dwDetail, dwDetail);
        }
        return true;  // held once: the repeat adds nothing
    }
    if (m_nPending == kMaxPending) return false;  // only codes to come could fill it
    m_pending[m_nPending++] = Pending{dwEvent, dwDetail};
    return true;
}

template <class Fn>
bool Endpoint::WithQueue(Fn fn) {
    for (;;) {
        Queue* queue = m_queue.load(std::memory_order_acquire);
        if (!queue) return false;  // closed
        FlagGuard guard(&queue->m_bBusy);
        if (m_queue.load(std::memory_order_acquire) != queue) continue;  // moved meanwhile
        fn(queue);
        return true;
    }
}

void Endpoint::Enqueue(DWORD dwEvent, DWORD dwDetail) {
    Queue* linked = nullptr;
    WithQueue([&](Queue* queue) {
        if (queue->m_bClosed) return;
        if (AddLocked(dwEvent, dwDetail) && !m_bLinked) {
            queue->LinkLocked(this);
            linked = queue;
        }
    });
    if (linked) linked->Publish(false);
}

void Endpoint::HandOver() {
    {
        FlagGuard guard(&m_bBusy);
        if (!m_target.pfnProc && !m_target.hWnd) return;
    }
    Pending taken[kMaxPending];
    int nTaken = 0;
    Queue* left = nullptr;
    WithQueue([&](Queue* queue) {
        queue->UnlinkLocked(this);
        for (nTaken = 0; nTaken < m_nPending; ++nTaken) taken[nTaken] = m_pending[nTaken];
        m_nPending = 0;
        left = queue;
    });
    if (left) left->Publish(true);

    // In the order they were queued; one that finds the target gone since
    // is queued again.
    for (int i = 0; i < nTaken; ++i) Deliver(taken[i].dwEvent, taken[i].dwDetail);
}

void Endpoint::HandOverLater() {
    bool bWaiting = false;
    WithQueue([&](Queue*) { bWaiting = m_nPending != 0; });
    // A listener that another call is starting: that call hands over.
    if (bWaiting && m_nWatching.load() == kWatching) CallListener();
}

void Endpoint::AwaitDeliveries() {
    if (m_lDelivering.load(std::memory_order_seq_cst) == 0) return;
    if (m_dwDeliveringThread.load(std::memory_order_seq_cst) == os::GetCurrentThreadId()) {
        return;  // from inside the callback: it cannot wait for itself
    }
    HANDLE hDelivered = m_hDelivered.load(std::memory_order_seq_cst);
    if (!hDelivered) {
        ScopedKernelHandle made(os::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (made && m_hDelivered.compare_exchange_strong(hDelivered, made.get())) {
            hDelivered = made.release();
        }
    }
    if (!hDelivered) {  // no event to wait on: the delivery ends soon enough
        while (m_lDelivering.load(std::memory_order_seq_cst) != 0) os::Sleep(1);
        return;
    }
    m_lAwaiting.fetch_add(1, std::memory_order_seq_cst);
    for (;;) {
        os::ResetEvent(hDelivered);  // before the look, so that a later end is seen
        if (m_lDelivering.load(std::memory_order_seq_cst) == 0) break;
        os::WaitForSingleObject(hDelivered, INFINITE);
    }
    m_lAwaiting.fetch_sub(1, std::memory_order_seq_cst);
}

DWORD Endpoint::SetCallback(qv_event_proc pfnProc, void* pContext) {
    {
        FlagGuard guard(&m_bBusy);
        m_target.pfnProc = pfnProc;
        m_target.pContext = pContext;
    }
    if (!pfnProc) return ERROR_SUCCESS;
    DWORD dwStatus = Watch();
    HandOverLater();
    return dwStatus;
}

DWORD Endpoint::SetWindow(HWND hWnd, UINT uMsg) {
    {
        FlagGuard guard(&m_bBusy);
        m_target.hWnd = hWnd;
        m_target.uMsg = uMsg;
    }
    if (!hWnd) return ERROR_SUCCESS;
    DWORD dwStatus = Watch();
    HandOverLater();
    return dwStatus;
}

DWORD Endpoint::SetQueue(Queue* queue, Queue** pOld) {
    Queue* target = queue ? queue : m_own;
    if (queue) queue->AddRef();
    Queue* old = nullptr;
    {
        // One route change at a time: two that interleave would leave the
        // endpoint linked in a queue it is no longer routed to.
        FlagGuard routing(&m_bRouting);
        // Take the events waiting in the old queue...
        Pending taken[kMaxPending];
        int nTaken = 0;
        for (;;) {
            old = m_queue.load(std::memory_order_acquire);
            FlagGuard guard(&old->m_bBusy);
            if (m_queue.load(std::memory_order_acquire) != old) continue;
            old->UnlinkLocked(this);
            for (int i = 0; i < m_nPending; ++i) taken[nTaken++] = m_pending[i];
            m_nPending = 0;
            m_queue.store(target, std::memory_order_release);
            break;
        }
        // ...into the new one, ahead of any that came meanwhile.
        {
            FlagGuard guard(&target->m_bBusy);
            Pending later[kMaxPending];
            int nLater = m_nPending;
            for (int i = 0; i < nLater; ++i) later[i] = m_pending[i];
            m_nPending = 0;
            if (!target->m_bClosed) {
                for (int i = 0; i < nTaken; ++i) AddLocked(taken[i].dwEvent, taken[i].dwDetail);
                for (int i = 0; i < nLater; ++i) AddLocked(later[i].dwEvent, later[i].dwDetail);
                if (m_nPending && !m_bLinked) target->LinkLocked(this);
            }
        }
        target->Publish(false);
    }
    *pOld = old != m_own ? old : nullptr;  // released once no delivery holds it
    return Watch();
}

Queue* Endpoint::OwnQueue() {
    return m_queue.load(std::memory_order_acquire) == m_own ? m_own : nullptr;
}

DWORD Endpoint::Watch() {
    int nState = kIdle;
    if (!m_nWatching.compare_exchange_strong(nState, kStarting)) {
        return nState == kEnded ? ERROR_OPERATION_ABORTED : ERROR_SUCCESS;
    }
    DWORD dwStatus = StartListener();
    m_nWatching.store(dwStatus ? kIdle : kWatching);
    return dwStatus;
}

void Endpoint::EndWatching() {
    m_bEnded.store(true, std::memory_order_release);
    for (;;) {
        int nState = m_nWatching.load();
        if (nState == kStarting) {
            os::Sleep(1);  // a start that began before the close: a moment
            continue;
        }
        if (m_nWatching.compare_exchange_strong(nState, kEnded)) return;
    }
}

void Endpoint::Wake() {
    if (m_own) m_own->Wake();
}

void Endpoint::Finish() {
    Queue* queue = nullptr;
    for (;;) {
        queue = m_queue.load(std::memory_order_acquire);
        if (!queue) return;
        FlagGuard guard(&queue->m_bBusy);
        if (m_queue.load(std::memory_order_acquire) != queue) continue;
        queue->UnlinkLocked(this);
        m_nPending = 0;
        m_queue.store(nullptr, std::memory_order_release);
        break;
    }
    queue->Publish(true);
    if (queue != m_own) queue->Release();
}

}  // namespace quorvel::capi
