// The owner rule, written once. Every handle the library acquires has one
// owner, which alone releases it, exactly once:
//
// - A handle that a function holds for a while is a ScopedHandle: it is
//   released when it goes out of scope, unless it was handed on with
//   release().
// - A handle that an exported object holds is shared with the object's
//   copies (copies copy every member). The object keeps the raw value in its
//   own member, where hosts see it, and a SharedLink beside it; a
//   SharedHandle binds to both. The object that acquired the handle owns it
//   and releases it; a copy only drops its view, and once the owner has
//   released the handle a copy reads it as absent instead of using a value
//   the system may already have given out again.
//
// Releasing is clean-up: it keeps the thread's last error, so that a step
// that failed and then lets go of what it held still reports its own error.
// Only an object's own close (SharedHandle::Close) reports a refused release.
//
// A traits type says what the handle is and how it is released:
//   struct Traits {
//       using Handle = ...;
//       static Handle Invalid();          // the value that means "none"
//       static bool Release(Handle h);    // true when the system accepted it
//   };
#pragma once

#include "core/atomic.h"
#include "core/error.h"
#include "core/shared_link.h"
#include "platform/os.h"

namespace quorvel {

template <class Traits>
class ScopedHandle {
public:
    using Handle = typename Traits::Handle;

    ScopedHandle() : m_h(Traits::Invalid()) {}
    explicit ScopedHandle(Handle h) : m_h(h) {}
    ~ScopedHandle() { reset(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ScopedHandle(ScopedHandle&& other) : m_h(other.release()) {}
    ScopedHandle& operator=(ScopedHandle&& other) {
        if (this != &other) reset(other.release());
        return *this;
    }

    Handle get() const { return m_h; }
    bool valid() const { return m_h != Traits::Invalid(); }
    explicit operator bool() const { return valid(); }
    // Gives the handle up without releasing it.
    [[nodiscard]] Handle release() {
        Handle h = m_h;
        m_h = Traits::Invalid();
        return h;
    }
    // Releases the held handle (if any) and takes h; true unless the system
    // refused the release. The last error stays the caller's.
    bool reset(Handle h = Traits::Invalid()) {
        Handle old = m_h;
        m_h = h;
        if (old == Traits::Invalid()) return true;
        ErrorKeeper keep;
        return Traits::Release(old);
    }
    // For an operation that writes a new handle through a pointer.
    [[nodiscard]] Handle* receive() {
        reset();
        return &m_h;
    }

private:
    Handle m_h;
};

template <class Traits>
class SharedHandle {
public:
    using Handle = typename Traits::Handle;

    // value and link are the object's members; self is the object. Other
    // threads may read them (a call in progress, a listener), so they are
    // read and written whole.
    SharedHandle(Handle& value, SharedLink*& link, const void* self)
        : m_value(value), m_link(link), m_self(self) {}

    // Takes a handle just acquired, with a new record that names this object
    // its owner. When the record cannot be made the handle is released and
    // the result is false (ERROR_NOT_ENOUGH_MEMORY).
    [[nodiscard]] bool Adopt(Handle acquired) {
        SharedLink* link = SharedLink::Create(m_self);
        if (!link) {
            Traits::Release(acquired);  // the failure reported is the memory's
            return Fail(ERROR_NOT_ENOUGH_MEMORY);
        }
        Release();
        AtomicStore(m_value, acquired);
        AtomicStore(m_link, link);
        return true;
    }
    // Makes this object a copy's view of what the other object holds (its
    // members, read under their gate).
    void ShareFrom(const Handle& otherValue, SharedLink* const& otherLink) {
        Release();
        Handle value;
        SharedLink* link;
        {
            LinkGate gate(&otherLink);
            link = AtomicLoad(otherLink);
            value = AtomicLoad(otherValue);
            if (!link || !link->live || value == Traits::Invalid()) return;
            SharedLink::Share(link);
        }
        AtomicStore(m_value, value);
        AtomicStore(m_link, link);
    }
    // The handle while it is held and its owner has not released it;
    // Invalid() otherwise. Other threads may ask while the object lets go.
    Handle Get() const {
        LinkGate gate(&m_link);
        return Current(AtomicLoad(m_value), AtomicLoad(m_link));
    }
    bool Held() const { return Get() != Traits::Invalid(); }
    bool Owns() const {
        LinkGate gate(&m_link);
        return IsOwner(AtomicLoad(m_link), m_self);
    }
    // A copy whose owner has released the handle drops its view, so that it
    // holds nothing, as a new object does.
    void Refresh() {
        bool bStale;
        {
            LinkGate gate(&m_link);
            SharedLink* link = AtomicLoad(m_link);
            bStale = link && !link->live;
        }
        if (bStale) Forget();
    }

    // The owner releases the handle (copies stop using it first); a copy
    // lets go of its view. Afterwards the object holds nothing. false when
    // the system refused the release; the last error stays the caller's.
    bool Release() { return Let(/*bKeepIfRefused=*/false, /*bReportRefusal=*/false); }
    // The same as the object's own close, whose failure a refused release
    // is: false, with the system's error as the last error. With
    // bKeepIfRefused the owner then still holds the handle, unchanged.
    [[nodiscard]] bool Close(bool bKeepIfRefused = false) { return Let(bKeepIfRefused, true); }
    // Lets go without releasing the handle (it was handed on): the owner
    // tells its copies the handle is no longer theirs to use.
    void Forget() {
        SharedLink* link = AtomicLoad(m_link);
        if (IsOwner(link, m_self)) link->live = false;
        Drop();
    }

    // The same questions for an object that can only be read.
    static Handle Current(Handle value, const SharedLink* link) {
        return link && link->live && value != Traits::Invalid() ? value : Traits::Invalid();
    }
    static bool IsOwner(const SharedLink* link, const void* self) {
        return AcquiredBy(link, self) && link->live;
    }

private:
    bool Let(bool bKeepIfRefused, bool bReportRefusal) {
        DWORD dwError = os::GetLastError();  // the caller's, unless a refusal is reported
        bool bReleased = true;
        SharedLink* link = AtomicLoad(m_link);
        // Copies stop using it before it goes; released once, even where a
        // last resort has released it already (see serial.cpp).
        if (AcquiredBy(link, m_self) && link->live.exchange(false)) {
            bReleased = Traits::Release(AtomicLoad(m_value));
            if (!bReleased && bReportRefusal) dwError = os::GetLastError();
            if (!bReleased && bKeepIfRefused) {
                link->live = true;
                os::SetLastError(dwError);
                return false;
            }
        }
        Drop();
        os::SetLastError(dwError);
        return bReleased;
    }
    void Drop() {
        SharedLink::Detach(m_link);
        AtomicStore(m_value, Traits::Invalid());
    }

    Handle& m_value;
    SharedLink*& m_link;
    const void* m_self;
};

// The kinds of handle the library holds.
struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return nullptr; }
    static bool Release(Handle h) { return os::CloseHandle(h) != FALSE; }
};

struct RegistryKeyTraits {
    using Handle = HKEY;
    static Handle Invalid() { return nullptr; }
    static bool Release(Handle h) { return os::RegCloseKey(h) == ERROR_SUCCESS; }
};

struct DeviceInfoSetTraits {
    using Handle = HDEVINFO;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static bool Release(Handle h) { return os::SetupDiDestroyDeviceInfoList(h) != FALSE; }
};

struct SocketTraits {
    using Handle = SOCKET;
    static Handle Invalid() { return INVALID_SOCKET; }
    static bool Release(Handle h) { return os::closesocket(h) != SOCKET_ERROR; }
};

// A block of the process heap (HeapAlloc), seen as a T*.
template <class T>
struct HeapBlockTraits {
    using Handle = T*;
    static Handle Invalid() { return nullptr; }
    static bool Release(Handle h) { return os::HeapFree(os::GetProcessHeap(), 0, h) != FALSE; }
};

// A walk of the local Bluetooth radios.
struct RadioFindTraits {
    using Handle = HBLUETOOTH_RADIO_FIND;
    static Handle Invalid() { return nullptr; }
    static bool Release(Handle h) { return os::BluetoothFindRadioClose(h) != FALSE; }
};

// A Bluetooth device search (inquiry) of one radio.
struct DeviceFindTraits {
    using Handle = HBLUETOOTH_DEVICE_FIND;
    static Handle Invalid() { return nullptr; }
    static bool Release(Handle h) { return os::BluetoothFindDeviceClose(h) != FALSE; }
};

// A lookup in a Windows Sockets name space (WSALookupServiceBegin).
struct NameLookupTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return nullptr; }
    static bool Release(Handle h) { return os::WSALookupServiceEnd(h) == 0; }
};

// A registration for Bluetooth authentication requests.
struct AuthRegistrationTraits {
    using Handle = HBLUETOOTH_AUTHENTICATION_REGISTRATION;
    static Handle Invalid() { return nullptr; }
    static bool Release(Handle h) { return os::BluetoothUnregisterAuthentication(h) != FALSE; }
};

// Releases a handle that its owner keeps in a plain member (one its copies
// never release, such as a port's events) and clears the member; true
// unless the system refused the release. The last error stays the caller's.
template <class Traits>
bool ReleaseMember(typename Traits::Handle& member) {
    ScopedHandle<Traits> owned(member);
    member = Traits::Invalid();
    return owned.reset();
}

using ScopedKernelHandle = ScopedHandle<KernelHandleTraits>;
using ScopedSocket = ScopedHandle<SocketTraits>;
using ScopedRegistryKey = ScopedHandle<RegistryKeyTraits>;
using ScopedDeviceInfoSet = ScopedHandle<DeviceInfoSetTraits>;

}  // namespace quorvel
