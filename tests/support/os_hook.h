// Replaces one platform operation for the lifetime of a Hook object:
//
//   qvtest::Hook<quorvel::os::CreateEventW> hook(
//       [](LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) -> HANDLE { return nullptr; });
//
// The replacement may capture state; hook.Real() is the operation it replaced.
// Whatever a test leaves replaced is put back when the test ends (see
// test_main.cpp), even when the test fails. Install hooks while no library
// thread runs, and remove them after the threads have been joined.
#pragma once

#include <cassert>
#include <functional>
#include <type_traits>
#include <utility>

#include "platform/os.h"

namespace qvtest {

template <auto& Slot, class Fn = std::remove_reference_t<decltype(Slot)>>
class Hook;

template <auto& Slot, class R, class... A>
class Hook<Slot, R(WINAPI*)(A...)> {
public:
    using Fn = R(WINAPI*)(A...);

    template <class F>
    explicit Hook(F&& fn) : m_real(Slot) {
        assert(!s_fn && "one hook per operation at a time");
        s_fn = std::forward<F>(fn);
        Slot = &Call;
    }
    ~Hook() {
        Slot = m_real;
        s_fn = nullptr;
    }
    Hook(const Hook&) = delete;
    Hook& operator=(const Hook&) = delete;

    Fn Real() const { return m_real; }

private:
    static R WINAPI Call(A... args) { return s_fn(args...); }

    static inline std::function<R(A...)> s_fn;
    Fn m_real;
};

// Records the system's operations; called once before any test runs.
void SnapshotPlatform();
// Points every operation back at the system's.
void ResetPlatform();

}  // namespace qvtest
