#pragma once
// Counts what the calling thread asks of the global operator new while an
// AllocationProbe is open: the tests that show clearing and teardown need no
// memory. Include it in exactly one source file of a test executable. It
// replaces every form of the global allocation and deallocation functions
// (all of them, so that no form a sanitizer brings pairs with ours), each
// forwarding to malloc, aligned_alloc and free.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace tolvane::test {

inline constinit thread_local bool PROBE_OPEN = false;
inline constinit thread_local std::uint64_t PROBE_COUNT = 0;

class AllocationProbe {
  public:
    AllocationProbe() noexcept {
        PROBE_COUNT = 0;
        PROBE_OPEN = true;
    }
    ~AllocationProbe() { PROBE_OPEN = false; }
    AllocationProbe(const AllocationProbe&) = delete;
    AllocationProbe& operator=(const AllocationProbe&) = delete;

    // Calls of operator new on this thread since the probe opened.
    std::uint64_t allocations() const noexcept { return PROBE_COUNT; }
};

namespace probe_detail {

inline void* take(std::size_t size, std::size_t align) noexcept {
    if (PROBE_OPEN) ++PROBE_COUNT;
    if (size == 0) size = 1;
    if (align <= alignof(std::max_align_t)) return std::malloc(size);
    return std::aligned_alloc(align, (size + align - 1) / align * align);
}

inline void* take_or_throw(std::size_t size, std::size_t align) {
    void* block = take(size, align);
    if (!block) throw std::bad_alloc();
    return block;
}

}  // namespace probe_detail
}  // namespace tolvane::test

// clang-format off
void* operator new(std::size_t n) { return tolvane::test::probe_detail::take_or_throw(n, 0); }
void* operator new[](std::size_t n) { return tolvane::test::probe_detail::take_or_throw(n, 0); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return tolvane::test::probe_detail::take(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return tolvane::test::probe_detail::take(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) { return tolvane::test::probe_detail::take_or_throw(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return tolvane::test::probe_detail::take_or_throw(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { return tolvane::test::probe_detail::take(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { return tolvane::test::probe_detail::take(n, static_cast<std::size_t>(a)); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
// clang-format on
