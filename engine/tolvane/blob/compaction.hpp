#pragma once
// Compaction: every live record copied, in ascending key order, into fresh
// chunks of the next generation, and the moved slots rewritten. Prepare
// builds the new layout without touching the map, so a failure leaves it
// as it was; apply switches the map over and cannot fail. The two always
// run back to back on one map.

#include <utility>
#include <vector>

#include "tolvane/blob/arena.hpp"
#include "tolvane/int/map.hpp"

namespace tolvane::blob {

struct CompactionPlan {
    BlobArena arena;
    // (key, new slot), ascending keys: the records moved, and the arena
    // references that resolved to nothing, rewritten as absent slots.
    std::vector<std::pair<u64, u64>> relocated;
};

struct CompactionReport {
    u64 live_bytes_before;
    u64 live_bytes_after;
    u64 total_allocated_before;
    u64 total_allocated_after;
    u64 chunks_before;
    u64 chunks_after;
    u64 relocated;
};

// Reads the arena and the trie, changes neither.
ArenaResult<CompactionPlan> prepare_compaction(const BlobArena& arena, const TolvaneMap& trie);
// Consumes the plan.
CompactionReport apply_compaction(BlobArena& arena, TolvaneMap& trie, CompactionPlan plan);

}  // namespace tolvane::blob
