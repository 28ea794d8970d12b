// The C interface's functions that every kind of handle shares: the
// library's version, error text, closing, events and the stream transfers.
#include <new>

#include "capi/common.h"
#include "capi/error_text.h"
#include "platform/os.h"

namespace capi = quorvel::capi;
using capi::Call;
using capi::KindBit;

namespace quorvel::capi {

DWORD PutText(const wchar_t* psz, size_t cchMax, wchar_t* pszOut, DWORD dwCapacity,
              DWORD* pdwLength) {
    if (!pszOut && dwCapacity) return capi::Refuse(ERROR_INVALID_PARAMETER);
    size_t cch = BoundedLength(psz, cchMax);
    if (pdwLength) *pdwLength = static_cast<DWORD>(cch);
    if (cch >= dwCapacity) {
        if (dwCapacity) pszOut[0] = L'\0';
        return capi::Refuse(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(pszOut, psz, cch * sizeof(wchar_t));
    pszOut[cch] = L'\0';
    return ERROR_SUCCESS;
}

// A change of where an endpoint's events go, made by change(endpoint, &old)
// inside the counted call (old: a shared queue to release afterwards). The
// wait for a delivery under way that may still use the old target comes
// once no call is counted any more: that delivery may close the endpoint,
// and its close waits for counted calls. The hold taken inside keeps the
// endpoint meanwhile.
template <class Change>
DWORD Retarget(qv_handle endpoint, Change change) {
    capi::Endpoint* changed = nullptr;
    capi::Queue* old = nullptr;
    DWORD dwStatus = ERROR_SUCCESS;
    {
        Call call(endpoint, capi::kEndpoints);
        if (call.Status()) return call.Status();
        changed = call.Get<capi::Endpoint>();
        changed->AddRef();
        dwStatus = change(changed, &old);
    }
    changed->AwaitDeliveries();
    if (old) old->Release();
    changed->Release();
    return dwStatus;
}

}  // namespace quorvel::capi

extern "C" {

DWORD WINAPI qv_version(DWORD* version) {
    if (!version) return capi::Refuse(ERROR_INVALID_PARAMETER);
    *version = QV_LIBRARY_VERSION_MAJOR << 16 | QV_LIBRARY_VERSION_MINOR << 8 |
               QV_LIBRARY_VERSION_PATCH;
    return ERROR_SUCCESS;
}

DWORD WINAPI qv_error_text(DWORD code, wchar_t* text, DWORD capacity, DWORD* length) {
    if (!text && capacity) return capi::Refuse(ERROR_INVALID_PARAMETER);
    wchar_t szText[capi::kErrorTextCch];
    capi::ErrorText(code, szText);
    return capi::PutText(szText, capi::kErrorTextCch, text, capacity, length);
}

DWORD WINAPI qv_close(qv_handle handle) { return capi::Close(handle); }

DWORD WINAPI qv_handle_kind(qv_handle handle, DWORD* kind) {
    if (kind) *kind = 0;
    Call call(handle, capi::kAnyKind);
    if (call.Status()) return call.Status();
    if (!kind) return capi::Refuse(ERROR_INVALID_PARAMETER);
    *kind = call.Get<capi::Object>()->Kind();
    return ERROR_SUCCESS;
}

// ---- events -----------------------------------------------------------------

DWORD WINAPI qv_set_callback(qv_handle endpoint, qv_event_proc proc, void* context) {
    return capi::Retarget(endpoint, [&](capi::Endpoint* changed, capi::Queue**) {
        return changed->SetCallback(proc, context);
    });
}

DWORD WINAPI qv_set_window(qv_handle endpoint, HWND window, UINT message) {
    return capi::Retarget(endpoint, [&](capi::Endpoint* changed, capi::Queue**) {
        return changed->SetWindow(window, message);
    });
}

DWORD WINAPI qv_queue_open(qv_handle* queue) {
    if (!queue) return capi::Refuse(ERROR_INVALID_PARAMETER);
    *queue = nullptr;
    capi::Queue* made = new (std::nothrow) capi::Queue;
    if (made && !made->Made()) {
        made->Release();
        made = nullptr;
    }
    return capi::Register(made, queue);
}

DWORD WINAPI qv_set_queue(qv_handle endpoint, qv_handle queue) {
    return capi::Retarget(endpoint, [&](capi::Endpoint* changed, capi::Queue** pOld) -> DWORD {
        if (!queue) return changed->SetQueue(nullptr, pOld);
        Call shared(queue, KindBit(QV_KIND_EVENT_QUEUE));  // alive while it is handed over
        if (shared.Status()) return shared.Status();
        return changed->SetQueue(shared.Get<capi::Queue>(), pOld);
    });
}

namespace {

// The queue qv_wait_event and qv_event_handle use: a shared queue, or an
// endpoint's own (which then watches for events).
DWORD QueueOf(const Call& call, capi::Queue** pQueue) {
    capi::Object* object = call.Get<capi::Object>();
    if (object->Kind() == QV_KIND_EVENT_QUEUE) {
        *pQueue = static_cast<capi::Queue*>(object);
        return ERROR_SUCCESS;
    }
    capi::Endpoint* endpoint = static_cast<capi::Endpoint*>(object);
    *pQueue = endpoint->OwnQueue();
    if (!*pQueue) return ERROR_INVALID_FUNCTION;  // routed to a shared queue
    return endpoint->Watch();
}

}  // namespace

DWORD WINAPI qv_wait_event(qv_handle handle, DWORD timeout_ms, qv_handle* source, DWORD* event,
                           DWORD* detail) {
    if (source) *source = nullptr;
    if (event) *event = 0;
    if (detail) *detail = 0;
    Call call(handle, capi::kEndpoints | KindBit(QV_KIND_EVENT_QUEUE));
    if (call.Status()) return call.Status();
    capi::Queue* queue = nullptr;
    if (DWORD dwStatus = QueueOf(call, &queue)) return dwStatus;
    return queue->Wait(call, timeout_ms, source, event, detail);
}

DWORD WINAPI qv_event_handle(qv_handle handle, HANDLE* waitable) {
    if (waitable) *waitable = nullptr;
    Call call(handle, capi::kEndpoints | KindBit(QV_KIND_EVENT_QUEUE));
    if (call.Status()) return call.Status();
    if (!waitable) return capi::Refuse(ERROR_INVALID_PARAMETER);
    capi::Queue* queue = nullptr;
    if (DWORD dwStatus = QueueOf(call, &queue)) return dwStatus;
    return queue->Waitable(waitable);
}

// ---- streams ----------------------------------------------------------------

DWORD WINAPI qv_send(qv_handle stream, const void* data, DWORD length, DWORD timeout_ms,
                     DWORD* sent) {
    if (sent) *sent = 0;
    Call call(stream, capi::kStreams);
    if (call.Status()) return call.Status();
    if (!data && length) return capi::Refuse(ERROR_INVALID_PARAMETER);
    unsigned long ulSent = 0;
    int nResult = call.Get<capi::Stream>()->SendExact(static_cast<const unsigned char*>(data),
                                                       length, timeout_ms, &ulSent);
    if (sent) *sent = ulSent;
    return capi::Result(call, nResult);
}

DWORD WINAPI qv_recv(qv_handle stream, void* buffer, DWORD length, DWORD timeout_ms,
                     DWORD* received) {
    if (received) *received = 0;
    Call call(stream, capi::kStreams);
    if (call.Status()) return call.Status();
    if (!buffer && length) return capi::Refuse(ERROR_INVALID_PARAMETER);
    unsigned long ulReceived = 0;
    int nResult = call.Get<capi::Stream>()->RecvExact(static_cast<unsigned char*>(buffer), length,
                                                       timeout_ms, &ulReceived);
    if (received) *received = ulReceived;
    return capi::Result(call, nResult);
}

DWORD WINAPI qv_recv_some(qv_handle stream, void* buffer, DWORD size, DWORD timeout_ms,
                          DWORD* received) {
    if (received) *received = 0;
    Call call(stream, capi::kStreams);
    if (call.Status()) return call.Status();
    if (!buffer || !size) return capi::Refuse(ERROR_INVALID_PARAMETER);  // room for the byte it promises
    unsigned long ulReceived = 0;
    int nResult = call.Get<capi::Stream>()->RecvSome(static_cast<unsigned char*>(buffer), size,
                                                      timeout_ms, &ulReceived);
    if (received) *received = ulReceived;
    return capi::Result(call, nResult);
}

DWORD WINAPI qv_queue_counts(qv_handle stream, DWORD* to_read, DWORD* to_send) {
    if (to_read) *to_read = 0;
    if (to_send) *to_send = 0;
    Call call(stream, capi::kStreams);
    if (call.Status()) return call.Status();
    unsigned long ulToRead = 0, ulToSend = 0;
    int nResult = call.Get<capi::Stream>()->Counts(&ulToRead, &ulToSend);
    if (to_read) *to_read = ulToRead;
    if (to_send) *to_send = ulToSend;
    return capi::Result(call, nResult);
}

}  // extern "C"
