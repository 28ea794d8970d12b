// Events of the C interface's endpoints: the C++ endpoint calls one
// callback of this layer (Endpoint::OnEvent) on its listener thread, which
// hands the event to the host's callback, posts it to the host's window, or
// queues it for a host that waits.
#pragma once

#include <atomic>

#include "capi/table.h"
#include "quorvel/core.h"

namespace quorvel::capi {

class Endpoint;

// Two modem-changed details as one: the lines that changed add up, their
// state is the latest.
constexpr DWORD MergeModemDetail(DWORD dwKept, DWORD dwNext) {
    return ((dwKept | dwNext) & ~0xFFu) | (dwNext & 0xFFu);
}

// One event of an endpoint waiting in a queue.
struct Pending {
    DWORD dwEvent;
    DWORD dwDetail;
};

// An event queue: an endpoint's own, or one that several endpoints share
// (QV_KIND_EVENT_QUEUE). It holds the endpoints that have events waiting,
// in the order they first had them; each endpoint holds each kind of event
// once, so nothing is dropped and nothing grows without bound.
class Queue : public Object {
public:
    Queue();
    ~Queue() override;
    bool Made() const { return true; }

    // qv_wait_event on this queue: the next event, waiting at most dwWait.
    DWORD Wait(const Call& call, DWORD dwWait, qv_handle* pSource, DWORD* pdwEvent,
               DWORD* pdwDetail);
    // qv_event_handle: the manual-reset event signalled while events wait.
    DWORD Waitable(HANDLE* phWaitable);

    void Wake() override;      // ends waits (qv_close of the queue or its endpoint)
    void Shutdown() override;  // endpoints routed here drop their events from now on

private:
    friend class Endpoint;
    bool PopLocked(Pending* pEvent, Endpoint** pSource);
    void LinkLocked(Endpoint* endpoint);
    void UnlinkLocked(Endpoint* endpoint);
    // After a change that may have made the queue empty or not: the event
    // is set once endpoints wait. It is reset once the queue is empty only
    // where bReset asks (a taker of events, a hand-over, a close): a route
    // change that takes events away leaves it set, and the next wait that
    // finds nothing resets it, so that routing back and forth costs no trip
    // to the system each time. Called outside the guard (setting an event is such a trip,
    // too long to hold others spinning).
    void Publish(bool bReset);
    HANDLE Event();  // made on first need; nullptr if it cannot be made

    std::atomic<bool> m_bBusy{false};  // guards the members below (FlagGuard)
    std::atomic<HANDLE> m_hEvent{nullptr};
    Endpoint* m_head = nullptr;
    Endpoint* m_tail = nullptr;
    bool m_bClosed = false;
    // Publish: one thread at a time sets or resets the event; a change
    // made meanwhile has that thread look again.
    std::atomic<bool> m_bPublishing{false};
    std::atomic<LONG> m_lChanges{0};
    std::atomic<bool> m_bResetWanted{false};
    bool m_bSignalled = false;  // the event's state (the publishing thread's)
};

// The host's callback or window.
struct Target {
    qv_event_proc pfnProc;
    void* pContext;
    HWND hWnd;
    UINT uMsg;
};

// An endpoint of the C interface: a serial port or a socket.
class Endpoint : public Object {
public:
    explicit Endpoint(DWORD dwKind);
    ~Endpoint() override;
    // Its own queue and guard; false if memory ran out.
    bool Made() const { return m_own != nullptr; }

    // The C++ endpoint's callback; its parameter is the Endpoint.
    static long CALLBACK OnEvent(void* pParam, unsigned int uHandle, long lEvent);

    // qv_set_callback, qv_set_window, qv_set_queue (nullptr: its own), made
    // inside the host's counted call. A delivery under way may still use the
    // old target: the caller leaves its counted calls first (that delivery
    // may close the endpoint, and the close waits for them), then waits with
    // AwaitDeliveries on a hold of its own, and only then releases *pOld,
    // the old shared queue (nullptr when there is none to release).
    DWORD SetCallback(qv_event_proc pfnProc, void* pContext);
    DWORD SetWindow(HWND hWnd, UINT uMsg);
    DWORD SetQueue(Queue* queue, Queue** pOld);
    // Waits until no delivery that may have read the old target runs,
    // unless this is the delivering thread itself.
    void AwaitDeliveries();
    // The queue qv_wait_event and qv_event_handle use on the endpoint;
    // nullptr (ERROR_INVALID_FUNCTION) while it is routed to a shared one.
    Queue* OwnQueue();
    // Makes sure the endpoint watches for events (starts its listener).
    DWORD Watch();
    // For Shutdown, before the C++ endpoint closes: no event is told from
    // now on (closing the endpoint may raise some), no listener starts, and
    // a start under way on another thread is waited for.
    void EndWatching();

    void Wake() override;
    void Finish() override;  // leaves its queue

protected:
    // What the C++ endpoint's event means here: false to tell nothing.
    virtual bool Translate(long lEvent, DWORD* pdwEvent, DWORD* pdwDetail) = 0;
    // Starts the C++ endpoint's listener; sockets start it on first need.
    virtual DWORD StartListener() { return ERROR_SUCCESS; }
    // An event posted to the host's window, whose message carries only the
    // code: its detail is kept here for the host to take with a call.
    virtual void Posted(DWORD /*dwEvent*/, DWORD /*dwDetail*/) {}
    // Asks the listener for a call on its thread (listener::kEventListenerCall),
    // where the events queued before a callback or window was set are handed
    // to it; false when no listener runs to make it.
    virtual bool CallListener() = 0;

private:
    friend class Queue;
    // One event's delivery on the listener, for its span: a hold on the
    // endpoint and a count that AwaitDeliveries waits on.
    class Delivery {
    public:
        explicit Delivery(Endpoint* endpoint);
        ~Delivery();
        Delivery(const Delivery&) = delete;
        Delivery& operator=(const Delivery&) = delete;

    private:
        Endpoint* m_endpoint;
    };
    void Deliver(DWORD dwEvent, DWORD dwDetail);
    // Runs fn(queue) under the guard of the queue the endpoint is routed to;
    // false (fn not run) once it has left its queue.
    template <class Fn>
    bool WithQueue(Fn fn);
    // On the listener: the queued events to the callback or window, if one
    // is set (else they stay queued).
    void HandOver();
    // For SetCallback and SetWindow: the listener hands over what waits
    // (an endpoint whose listener has ended keeps it queued).
    void HandOverLater();
    void Enqueue(DWORD dwEvent, DWORD dwDetail);
    bool AddLocked(DWORD dwEvent, DWORD dwDetail);

    std::atomic<bool> m_bBusy{false};  // guards the target (FlagGuard)
    std::atomic<bool> m_bRouting{false};  // route changes (SetQueue) one at a time
    Target m_target = {};
    std::atomic<LONG> m_lDelivering{0};
    std::atomic<DWORD> m_dwDeliveringThread{0};
    std::atomic<LONG> m_lAwaiting{0};
    std::atomic<HANDLE> m_hDelivered{nullptr};  // set when the last delivery ends
    enum : int { kIdle, kStarting, kWatching, kEnded };
    std::atomic<int> m_nWatching{kIdle};
    std::atomic<bool> m_bEnded{false};  // qv_close has begun

    // Queue state, guarded by the current queue's guard.
    std::atomic<Queue*> m_queue{nullptr};
    Queue* m_own = nullptr;
    static constexpr int kMaxPending = 8;
    Pending m_pending[kMaxPending];
    int m_nPending = 0;
    bool m_bLinked = false;
    Endpoint* m_next = nullptr;
};

}  // namespace quorvel::capi
