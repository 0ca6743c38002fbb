#include "tolvane/blob/compaction.hpp"

#include <new>

#include "tolvane/blob/value_slot.hpp"
#include "tolvane/read/get.hpp"

namespace tolvane::blob {

namespace {

// The value word of a present key, found by the map's point lookup.
u64* value_word(TolvaneMap& trie, u64 key) {
    if (trie.core.root_state == ROOT_LEAF) {
        const std::optional<u64> i =
            map_detail::leaf_find(trie.core.leaf_keys(), trie.core.leaf_count(), key);
        return i ? trie.core.leaf_values() + *i : nullptr;
    }
    if (trie.core.root_state == ROOT_TREE) return get::locate_slot(&trie.core.root, key, 8);
    return nullptr;
}

u32 next_generation(u32 g) noexcept { return g + 1 == 0 ? 1 : g + 1; }

}  // namespace

ArenaResult<CompactionPlan> prepare_compaction(const BlobArena& old, const TolvaneMap& trie) {
    CompactionPlan plan{BlobArena(old.chunk_size, old.max_capacity), {}};
    plan.arena.generation = next_generation(old.generation);
    try {
        plan.relocated.reserve(trie.size());
    } catch (const std::bad_alloc&) {
        return ArenaError{ArenaErrorKind::AllocFailed};
    }
    MapIter it = trie.iter_fwd_raw();
    while (const std::optional<KeyValue> e = it.next())
        if (is_arena_slot(e->value)) plan.relocated.emplace_back(e->key, e->value);

    for (auto& [key, slot] : plan.relocated) {
        const std::optional<std::string_view> payload = old.resolve(slot_offset(slot));
        if (!payload) {
            // Only a loaded image can hold such a slot. Left as it is it
            // would name a place in the new layout, maybe another key's
            // record: it becomes a slot that never resolves.
            slot = absent_slot(slot);
            continue;
        }
        if (payload->size() + RECORD_HEADER > old.chunk_size)
            return ArenaError{ArenaErrorKind::AllocFailed};
        u64 offset;
        if (const std::optional<u64> placed = plan.arena.bump(*payload)) {
            offset = *placed;
        } else {
            ArenaResult<u64> opened = plan.arena.alloc_blob_in_new_chunk(*payload);
            if (!opened.ok()) return opened.error();
            offset = opened.value();
        }
        if (offset % 16 != 0 || offset >= OFFSET_LIMIT)
            return ArenaError{ArenaErrorKind::GrowthCeiling};
        slot = arena_slot(offset, slot_meta(slot));
    }
    return plan;
}

CompactionReport apply_compaction(BlobArena& arena, TolvaneMap& trie, CompactionPlan plan) {
    for (const auto& [key, slot] : plan.relocated) {
        u64* word = value_word(trie, key);
        // Prepare listed the key from this very map a moment ago; an old
        // offset left behind would read the new layout's records.
        require(word != nullptr, "compaction relocates only keys present in the map");
        *word = slot;
    }
    CompactionReport report{arena.live_bytes,
                            plan.arena.live_bytes,
                            arena.allocated_bytes,
                            plan.arena.allocated_bytes,
                            arena.chunk_count(),
                            plan.arena.chunk_count(),
                            plan.relocated.size()};
    // The old buffers are released only after the switch, when
    // `old_chunks` goes out of scope.
    std::vector<ArenaChunk> old_chunks = std::move(arena.chunks);
    arena.chunks = std::move(plan.arena.chunks);
    arena.current = plan.arena.current;
    arena.allocated_bytes = plan.arena.allocated_bytes;
    arena.live_bytes = plan.arena.live_bytes;
    arena.generation = plan.arena.generation;
    arena.reclaim_allocated = arena.allocated_bytes;
    arena.reclaim_live = arena.live_bytes;
    return report;
}

}  // namespace tolvane::blob
