// An object that lives on pages of its own, so that a test can make its
// memory inaccessible the moment it is destroyed: whatever touches it later
// (a listener thread still running, say) faults on the spot instead of
// reading freed memory unnoticed.
#pragma once

#include <windows.h>

#include <new>
#include <utility>

namespace qvtest {

template <class T>
class GuardedObject {
public:
    template <class... A>
    explicit GuardedObject(A&&... args)
        : m_pages(VirtualAlloc(nullptr, sizeof(T), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)),
          m_object(m_pages ? new (m_pages) T(std::forward<A>(args)...) : nullptr) {}
    ~GuardedObject() {
        Destroy();
        if (m_pages) VirtualFree(m_pages, 0, MEM_RELEASE);
    }
    GuardedObject(const GuardedObject&) = delete;
    GuardedObject& operator=(const GuardedObject&) = delete;

    T* get() const { return m_object; }
    T* operator->() const { return m_object; }
    T& operator*() const { return *m_object; }

    // Runs the destructor (from any thread, a callback included) and then
    // makes the memory inaccessible. Once only.
    void Destroy() {
        T* object = m_object;
        if (!object) return;
        m_object = nullptr;
        object->~T();
        DWORD old = 0;
        VirtualProtect(m_pages, sizeof(T), PAGE_NOACCESS, &old);
    }
    bool Destroyed() const { return m_object == nullptr; }

private:
    void* m_pages;
    T* m_object;
};

}  // namespace qvtest
