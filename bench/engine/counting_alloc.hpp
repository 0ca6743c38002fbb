#pragma once
// An allocator for the peer containers that counts what they take, so their
// bytes per key can stand beside the trie's own allocator counters.
//
// Two figures are kept: the bytes the container asked for, and what the
// system allocator really spends on those requests (usable size of each chunk
// plus its 8-byte header). The first flatters small nodes; the second is the
// honest one to compare with the trie, whose blocks come from 4096-byte pages.
// Counters are process-wide and only meaningful as a difference taken around
// the building of one container.

#include <cstddef>
#include <cstdint>
#include <new>

namespace bench {

struct AllocCounters {
    std::int64_t requested = 0;
    std::int64_t spent = 0;
};

AllocCounters& alloc_counters();
void* counted_allocate(std::size_t bytes);
void counted_release(void* p, std::size_t bytes);

template <class T>
struct CountingAllocator {
    using value_type = T;
    // The older allocator interface, which libstdc++'s policy-based trees
    // still read.
    using size_type = std::size_t;
    using difference_type = std::ptrdiff_t;
    using pointer = T*;
    using const_pointer = const T*;
    using reference = T&;
    using const_reference = const T&;
    template <class U>
    struct rebind {
        using other = CountingAllocator<U>;
    };

    CountingAllocator() noexcept = default;
    template <class U>
    CountingAllocator(const CountingAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) { return static_cast<T*>(counted_allocate(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept { counted_release(p, n * sizeof(T)); }

    template <class U>
    bool operator==(const CountingAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace bench
