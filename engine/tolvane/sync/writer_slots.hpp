#pragma once
// Writer slots: each concurrent container has 64, claimed by threads through
// its slot mask. A thread remembers its slot per container in a per-thread
// cache: the last container it wrote (two thread-local words, the fast path)
// and a list of at most WRITER_SLOT_CACHE_CAP (gate id, slot) pairs, oldest
// first. Containers are named by their gate id, unique in the process and
// never reused, so entries of dropped containers are harmless until evicted.
//
// Claims are never given back: a slot stays claimed for the container's
// life. Once all 64 are claimed, a thread shares slot (token & 63), its
// per-thread token taken once from a process-wide counter.

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

#include "tolvane/core/types.hpp"

namespace tolvane::sync {

inline constexpr u64 WRITER_SLOT_CACHE_CAP = 128;
inline constexpr u64 NO_WRITER_SLOT = ~u64{0};

inline thread_local u64 WRITER_LAST_KEY = 0;
inline thread_local u64 WRITER_LAST_SLOT = NO_WRITER_SLOT;
// (gate id, slot), oldest first.
inline thread_local std::vector<std::pair<u64, u64>> WRITER_CACHED_SLOTS;

namespace thread_token {
extern std::atomic<u64> NEXT;
// This thread's token, taken from NEXT on first need.
u64 get() noexcept;
}  // namespace thread_token

// Hands out container gate ids, starting at 1.
u64 next_gate_id() noexcept;

// The calling thread's writer slot in the container with this gate id and
// slot mask: the fast path, else the cache, else a claim.
inline u64 writer_slot(u64 gate_id, std::atomic<u64>& slot_mask);
u64 writer_slot_slow(u64 gate_id, std::atomic<u64>& slot_mask);

inline u64 writer_slot(u64 gate_id, std::atomic<u64>& slot_mask) {
    if (WRITER_LAST_KEY == gate_id && WRITER_LAST_SLOT != NO_WRITER_SLOT) return WRITER_LAST_SLOT;
    return writer_slot_slow(gate_id, slot_mask);
}

}  // namespace tolvane::sync
