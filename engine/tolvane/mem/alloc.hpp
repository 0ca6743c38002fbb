#pragma once
// The per-tree node allocator.
//
// NodeAlloc works in one of two modes:
// - local (from construction): blocks of a slab class are carved from
//   4096-byte pages, released blocks go onto this allocator's own intrusive
//   free lists (one per size class) and the counters live here. One writer at a
//   time, guaranteed by the owning container.
// - deferred (after defer_to): the allocator owns no page and no free block;
//   blocks come from the collector's per-stripe free lists or the system,
//   released blocks are retired to the collector, and the counters live in the
//   statistics line of the calling thread's allocation slot. Any number of
//   writer threads may allocate and release at once.
//
// Invariants:
// - The mode word is 1 (local) until defer_to stores 0 (deferred); it never
//   goes back. The Deferred record is installed before the mode word changes.
// - In deferred mode the page list and all 62 free lists are empty.
// - A free block's first 8 bytes hold the next free block of its list (null
//   ends the list); the rest of a free block is left as it was.
// - Every block is released with the size and alignment it was allocated with
//   (checked in debug builds by a side table of live blocks).
// - live bytes / live nodes count the charged size / number of blocks handed
//   out; the allocation count only grows.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "tolvane/core/fatal.hpp"
#include "tolvane/mem/size_classes.hpp"

namespace tolvane {

class Collector;

// Block handed out by the system allocator directly. 16-byte alignment for
// small sizes needs posix_memalign; calloc already gives 16 for larger ones.
namespace alloc {
void* system_block(std::size_t size, std::size_t align);
void* system_zeroed(std::size_t size);

#if TOLVANE_DEBUG_CHECKS
// Side table of live blocks: address -> (size, alignment).
void debug_track(const void* block, std::size_t size, std::size_t align);
void debug_untrack(const void* block, std::size_t size, std::size_t align);
std::size_t debug_live_blocks();
#endif
}  // namespace alloc

// One per allocation slot; each on a 64-byte line of its own so that writers
// on different slots never share a line. Only the sum over lines means
// anything: a line goes negative when its thread releases what another took.
struct alignas(64) StatLine {
    std::atomic<std::int64_t> live_bytes{0};
    std::atomic<std::int64_t> live_nodes{0};
    std::atomic<std::uint64_t> allocs{0};
};

struct Deferred {
    StatLine lines[64];
    std::shared_ptr<Collector> collector;
};

class NodeAlloc {
public:
    static constexpr std::uint32_t MODE_LOCAL = 1;
    static constexpr std::uint32_t MODE_DEFERRED = 0;

    NodeAlloc() noexcept = default;
    ~NodeAlloc();
    NodeAlloc(const NodeAlloc&) = delete;
    NodeAlloc& operator=(const NodeAlloc&) = delete;
    NodeAlloc(NodeAlloc&& other) noexcept;
    NodeAlloc& operator=(NodeAlloc&& other) noexcept;

    // A 64-aligned block (64 or 128 bytes for branch nodes and bitmap leaves;
    // any other size without a class, e.g. a 4160-byte uncompressed branch,
    // comes from the system). Contents are unspecified.
    void* allocate(std::size_t size);
    // A 16-aligned block whose first `size` bytes are zero.
    void* allocate_zeroed(std::size_t size);
    // Gives back a block with the size and alignment it was allocated with.
    void release(void* block, std::size_t size, std::size_t align);
    // Gives back a block that no reader can ever have seen: in deferred mode it
    // is recycled at once instead of waiting out a grace period.
    void release_unpublished(void* block, std::size_t size, std::size_t align);

    std::uint64_t bytes_held() const;
    std::uint64_t total_allocs() const;
    std::uint64_t release_free();
    // Bytes / blocks currently handed out (over all statistics lines in
    // deferred mode, taken as 0 when the sum is negative).
    std::uint64_t live_bytes() const;
    std::uint64_t live_nodes() const;

    // Consumes one reference to the collector.
    void defer_to(std::shared_ptr<Collector> collector);
    void bind_tree_word(std::uint64_t* word);
    void cover_root();
    // The tree word the versioned mutators bump, or null when the root is not
    // covered.
    std::uint64_t* tree_version() const;

    bool deferred() const { return mode_.load(std::memory_order_seq_cst) == MODE_DEFERRED; }
    std::uint32_t mode_word(std::memory_order order = std::memory_order_seq_cst) const {
        return mode_.load(order);
    }
    // Null in local mode.
    Collector* collector() const;
    std::uint64_t* tree_word(std::memory_order order = std::memory_order_acquire) const {
        return tree_word_.load(order);
    }
    // 0 until cover_root sets 1; a concurrent container's exclusive sections
    // hold it at 2 while they run.
    std::uint8_t root_covered(std::memory_order order = std::memory_order_acquire) const {
        return root_covered_.load(order);
    }
    void set_root_covered(std::uint8_t value, std::memory_order order = std::memory_order_release) {
        root_covered_.store(value, order);
    }

private:
    static void* next_of(const void* block) {
        void* next;
        std::memcpy(&next, block, sizeof next);
        return next;
    }
    static void set_next(void* block, void* next) { std::memcpy(block, &next, sizeof next); }

    void count_alloc(std::size_t charged) {
        live_bytes_.fetch_add(static_cast<std::int64_t>(charged), std::memory_order_relaxed);
        live_nodes_.fetch_add(1, std::memory_order_relaxed);
        allocs_.fetch_add(1, std::memory_order_relaxed);
    }
    void count_release(std::size_t charged) {
        live_bytes_.fetch_sub(static_cast<std::int64_t>(charged), std::memory_order_relaxed);
        live_nodes_.fetch_sub(1, std::memory_order_relaxed);
    }
    void* pop_local(unsigned cls) {
        void* block = free_[cls];
        if (block) free_[cls] = next_of(block);
        return block;
    }
    void push_local(unsigned cls, void* block) {
        set_next(block, free_[cls]);
        free_[cls] = block;
    }

    void* allocate_local_slow(std::size_t size, std::size_t align, unsigned cls);
    void* allocate_deferred(std::size_t size, std::size_t align);
    void release_local_unclassed(void* block);
    void release_deferred(void* block, std::size_t size, std::size_t align, bool published);
    void* carve_page(unsigned cls);
    void teardown() noexcept;
    void steal(NodeAlloc& other) noexcept;

    // Once-cell: the record pointer is written before the mode word turns 0.
    Deferred* deferred_ = nullptr;
    std::atomic<std::uint32_t> mode_{MODE_LOCAL};
    void* free_[NUM_SIZE_CLASSES] = {};
    std::atomic<std::int64_t> live_bytes_{0};
    std::atomic<std::int64_t> live_nodes_{0};
    std::atomic<std::uint64_t*> tree_word_{nullptr};
    std::atomic<std::uint64_t> allocs_{0};
    void* pages_ = nullptr;  // most recently carved page first
    std::atomic<std::uint8_t> root_covered_{0};
};

inline void* NodeAlloc::allocate(std::size_t size) {
    if (deferred()) [[unlikely]]
        return allocate_deferred(size, 64);
    count_alloc(charged_size(size, 64));
    const unsigned cls = align64_class(size);
    void* block = cls != NO_SIZE_CLASS ? pop_local(cls) : nullptr;
    if (!block) [[unlikely]]
        return allocate_local_slow(size, 64, cls);
#if TOLVANE_DEBUG_CHECKS
    alloc::debug_track(block, size, 64);
#endif
    return block;
}

inline void* NodeAlloc::allocate_zeroed(std::size_t size) {
    if (deferred()) [[unlikely]]
        return allocate_deferred(size, 16);
    count_alloc(charged_size(size, 16));
    const unsigned cls = size <= MAX_EXACT_SIZE ? EXACT_SIZE_CLASS[size] : NO_SIZE_CLASS;
    void* block = cls != NO_SIZE_CLASS ? pop_local(cls) : nullptr;
    if (!block) [[unlikely]]
        return allocate_local_slow(size, 16, cls);
    std::memset(block, 0, size);
#if TOLVANE_DEBUG_CHECKS
    alloc::debug_track(block, size, 16);
#endif
    return block;
}

inline void NodeAlloc::release(void* block, std::size_t size, std::size_t align) {
    if (deferred()) [[unlikely]]
        return release_deferred(block, size, align, true);
#if TOLVANE_DEBUG_CHECKS
    alloc::debug_untrack(block, size, align);
#endif
    count_release(charged_size(size, align));
    const unsigned cls = size_class_of(size, align);
    if (cls != NO_SIZE_CLASS)
        push_local(cls, block);
    else
        release_local_unclassed(block);
}

inline void NodeAlloc::release_unpublished(void* block, std::size_t size, std::size_t align) {
    if (deferred()) [[unlikely]]
        return release_deferred(block, size, align, false);
    release(block, size, align);
}

}  // namespace tolvane
