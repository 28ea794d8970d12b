// What a Visual C++ runtime library would give the DLL of the Visual C++
// flavour, which is built without one (cmake/clang-msvc-common.cmake): the
// global operator new and delete, the stack probe for large frames and the
// floating-point marker. Memory comes from the C runtime of the system
// (msvcrt.dll), as it does in the MinGW flavour.
#include <malloc.h>
#include <stdlib.h>

#include <new>

namespace std {
const nothrow_t nothrow{};
}

namespace {

// The library itself allocates with std::nothrow where it can fail softly;
// anything else has no way to report a failure without exceptions.
void* AllocateOrAbort(size_t cb) {
    void* p = malloc(cb ? cb : 1);
    if (!p) abort();
    return p;
}

void* AllocateAligned(size_t cb, std::align_val_t align) {
    return _aligned_malloc(cb ? cb : 1, static_cast<size_t>(align));
}

}  // namespace

void* operator new(size_t cb) { return AllocateOrAbort(cb); }
void* operator new[](size_t cb) { return AllocateOrAbort(cb); }
void* operator new(size_t cb, const std::nothrow_t&) noexcept { return malloc(cb ? cb : 1); }
void* operator new[](size_t cb, const std::nothrow_t&) noexcept { return malloc(cb ? cb : 1); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { free(p); }

void* operator new(size_t cb, std::align_val_t align) {
    void* p = AllocateAligned(cb, align);
    if (!p) abort();
    return p;
}
void* operator new[](size_t cb, std::align_val_t align) { return operator new(cb, align); }
void* operator new(size_t cb, std::align_val_t align, const std::nothrow_t&) noexcept {
    return AllocateAligned(cb, align);
}
void* operator new[](size_t cb, std::align_val_t align, const std::nothrow_t&) noexcept {
    return AllocateAligned(cb, align);
}
void operator delete(void* p, std::align_val_t) noexcept { _aligned_free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { _aligned_free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { _aligned_free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { _aligned_free(p); }
