#include "tolvane/sync/writer_slots.hpp"

#include <bit>

#include "tolvane/core/fatal.hpp"

namespace tolvane::sync {

namespace thread_token {
std::atomic<u64> NEXT{1};

namespace {
thread_local u64 TOKEN = 0;  // 0 = not taken yet (NEXT starts at 1)
}

u64 get() noexcept {
    if (TOKEN == 0) TOKEN = NEXT.fetch_add(1, std::memory_order_relaxed);
    return TOKEN;
}
}  // namespace thread_token

namespace {
std::atomic<u64> NEXT_GATE_ID{1};

// Lowest clear bit of the mask, set by compare-and-swap; none when all 64
// are taken.
u64 claim(std::atomic<u64>& mask) {
    u64 seen = mask.load(std::memory_order_relaxed);
    while (seen != ~u64{0}) {
        const u64 s = static_cast<u64>(std::countr_one(seen));
        if (mask.compare_exchange_weak(seen, seen | (u64{1} << s), std::memory_order_acq_rel,
                                       std::memory_order_relaxed))
            return s;
    }
    return thread_token::get() & 63;
}
}  // namespace

u64 next_gate_id() noexcept { return NEXT_GATE_ID.fetch_add(1, std::memory_order_relaxed); }

u64 writer_slot_slow(u64 gate_id, std::atomic<u64>& slot_mask) {
    auto& cache = WRITER_CACHED_SLOTS;
    for (const auto& [gate, slot] : cache) {
        if (gate == gate_id) {
            WRITER_LAST_KEY = gate_id;
            WRITER_LAST_SLOT = slot;
            return slot;
        }
    }
    if (cache.size() >= WRITER_SLOT_CACHE_CAP) cache.erase(cache.begin());
    const u64 slot = claim(slot_mask);
    require(slot < 64, "index out of bounds: writer slot above 63");
    cache.emplace_back(gate_id, slot);
    WRITER_LAST_KEY = gate_id;
    WRITER_LAST_SLOT = slot;
    return slot;
}

}  // namespace tolvane::sync
