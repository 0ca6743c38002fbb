#pragma once
// The sharded population of a concurrent container and its dirty-digit
// bitmap.
//
// ShardedTreePop invariants:
// - The container's population is base + the 64 shards, summed in slot order
//   with signed saturating addition; a negative total reads as 0.
// - Shard s is changed only by writers inside writer slot s (relaxed atomic
//   add of +1 / -1) or inside the exclusive section; the base only inside the
//   exclusive section. Each shard and the base sit alone on a 64-byte line.
//
// DirtyDigits invariants:
// - Bit b of word w is set when some optimistic write changed a key whose top
//   byte is 32w + b since the last refold took the word; the branch
//   population fields below that top-level digit may then be stale. Fields
//   under a clear bit are exact.
// - Writers only set bits (relaxed OR, skipped when already set); the refold
//   takes every word by exchange with 0.

#include <atomic>
#include <cstdint>
#include <limits>

#include "tolvane/core/types.hpp"

namespace tolvane::sync {

inline constexpr unsigned WRITER_SLOTS = 64;

// a + b, stuck at the i64 limits instead of wrapping.
constexpr i64 saturating_add(i64 a, i64 b) noexcept {
    i64 sum;
    if (__builtin_add_overflow(a, b, &sum))
        return b > 0 ? std::numeric_limits<i64>::max() : std::numeric_limits<i64>::min();
    return sum;
}

struct ShardedTreePop {
    struct alignas(64) Line {
        std::atomic<i64> value{0};
    };
    Line shards[WRITER_SLOTS];
    Line base;

    void add_shard(u64 slot, i64 delta) noexcept {
        shards[slot].value.fetch_add(delta, std::memory_order_relaxed);
    }
    void add_base(i64 delta) noexcept { base.value.fetch_add(delta, std::memory_order_relaxed); }

    // Base plus every shard whose bit is set in `slot_mask`, saturating,
    // negative read as 0. Shards of unclaimed slots are always 0.
    u64 total(u64 slot_mask = ~u64{0}) const noexcept {
        i64 sum = base.value.load(std::memory_order_relaxed);
        for (unsigned s = 0; s < WRITER_SLOTS; ++s)
            if ((slot_mask >> s) & 1)
                sum = saturating_add(sum, shards[s].value.load(std::memory_order_relaxed));
        return sum < 0 ? 0 : static_cast<u64>(sum);
    }

    // Inside the exclusive section only: the counters restart from `count`.
    // Stores are relaxed atomics: len() reads them optimistically meanwhile.
    void flush_and_set(u64 count) noexcept {
        base.value.store(static_cast<i64>(count), std::memory_order_relaxed);
        for (Line& s : shards) s.value.store(0, std::memory_order_relaxed);
    }
    void zero() noexcept { flush_and_set(0); }
};

struct DirtyDigits {
    struct alignas(64) Line {
        std::atomic<u32> bits{0};
    };
    Line words[8];

    // Marks the top byte of `key`.
    void mark(u64 key) noexcept {
        Line& line = words[key >> 61];
        const u32 bit = u32{1} << ((key >> 56) & 31);
        if ((line.bits.load(std::memory_order_relaxed) & bit) == 0)
            line.bits.fetch_or(bit, std::memory_order_relaxed);
    }

    // Takes every bit, leaving the bitmap clear.
    struct Taken {
        u32 words[8];
        bool any() const noexcept {
            for (u32 w : words)
                if (w) return true;
            return false;
        }
    };
    Taken take() noexcept {
        Taken t{};
        for (unsigned i = 0; i < 8; ++i) t.words[i] = words[i].bits.exchange(0, std::memory_order_relaxed);
        return t;
    }
    u32 peek(unsigned word) const noexcept { return words[word].bits.load(std::memory_order_relaxed); }
};

}  // namespace tolvane::sync
