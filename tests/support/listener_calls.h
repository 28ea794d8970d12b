// Records what a listener delivered to the host callback, from any thread.
#pragma once

#include <windows.h>

#include <mutex>
#include <set>
#include <vector>

namespace qvtest {

struct ListenerCalls {
    std::mutex mutex;
    std::vector<long> events;
    std::set<DWORD> threads;
    unsigned int handle = 0;
    void* param = nullptr;

    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return events.size();
    }
    static long CALLBACK Proc(void* pParam, unsigned int uHandle, long lEvent) {
        auto* calls = static_cast<ListenerCalls*>(pParam);
        std::lock_guard<std::mutex> lock(calls->mutex);
        calls->events.push_back(lEvent);
        calls->threads.insert(GetCurrentThreadId());
        calls->handle = uHandle;
        calls->param = pParam;
        return 0;
    }
};

}  // namespace qvtest
