#include "tolvane/blob/blob_map.hpp"

#include <utility>

namespace tolvane::blob {

namespace {

u64 saturating_sub(u64 x, u64 y) noexcept { return y > x ? 0 : x - y; }
u64 saturating_add(u64 x, u64 y) noexcept { return x + y < x ? ~u64{0} : x + y; }

}  // namespace

TolvaneBlobMap::TolvaneBlobMap(std::optional<u64> chunk_size, std::optional<u64> max_capacity)
    : arena(chunk_size.value_or(DEFAULT_CHUNK_SIZE), DEFAULT_MAX_CAPACITY) {
    if (max_capacity) arena.max_capacity = clamp_max_capacity(*max_capacity, arena.chunk_size);
}

void TolvaneBlobMap::forget(u64 slot) noexcept {
    if (!is_arena_slot(slot)) return;
    if (const std::optional<std::string_view> record = arena.resolve(slot_offset(slot)))
        arena.live_bytes = saturating_sub(arena.live_bytes, record->size() + RECORD_HEADER);
}

bool TolvaneBlobMap::decode(u64 slot, BlobValue& out) const noexcept {
    if (is_arena_slot(slot)) {
        const std::optional<std::string_view> record = arena.resolve(slot_offset(slot));
        if (!record) return false;
        out.arena_bytes = record->data();
        out.arena_size = record->size();
        out.hot_meta = slot_meta(slot);
        return true;
    }
    return decode_inline(slot, out.decoded);
}

ArenaStatus TolvaneBlobMap::insert(u64 key, std::string_view payload, u32 hot_meta) {
    const Encoding encoding = encode(payload, hot_meta);
    u64 slot = encoding.slot;
    if (encoding.kind == Encoding::Kind::MetaOverflow) return ArenaError{ArenaErrorKind::MetaOverflow};
    if (encoding.kind == Encoding::Kind::Arena) {
        ArenaResult<u64> placed = alloc_payload(payload);
        if (!placed.ok()) return placed.error();
        const u64 offset = placed.value();
        if (offset % 16 != 0 || offset >= OFFSET_LIMIT) {
            // The record is written but no slot can name it: count it out.
            arena.live_bytes = saturating_sub(arena.live_bytes, payload.size() + RECORD_HEADER);
            return ArenaError{ArenaErrorKind::GrowthCeiling};
        }
        slot = arena_slot(offset, hot_meta);
    }
    const InsertOutcome outcome = trie.insert(key, slot);
    if (outcome.existed) forget(outcome.old);
    return std::nullopt;
}

std::optional<BlobValue> TolvaneBlobMap::get(u64 key) const {
    const std::optional<u64> slot = trie.get(key);
    if (!slot) return std::nullopt;
    BlobValue value;
    if (!decode(*slot, value)) return std::nullopt;
    return value;
}

bool TolvaneBlobMap::remove(u64 key) {
    const RemoveOutcome removed = trie.remove(key);
    if (!removed.found) return false;
    forget(removed.value);
    return true;
}

void TolvaneBlobMap::clear() {
    trie.clear_entries();
    trie.alloc.release_free();
    arena.reset();
}

ArenaResult<CompactionReport> TolvaneBlobMap::compact() {
    ArenaResult<CompactionPlan> plan = prepare_compaction(arena, trie);
    if (!plan.ok()) return plan.error();
    return apply_compaction(arena, trie, std::move(plan.value()));
}

ArenaResult<u64> TolvaneBlobMap::alloc_payload(std::string_view payload) {
    if (payload.size() + RECORD_HEADER > arena.chunk_size)
        return ArenaError{ArenaErrorKind::AllocFailed};
    if (const std::optional<u64> placed = arena.bump(payload)) return *placed;
    ArenaResult<u64> opened = arena.alloc_blob_in_new_chunk(payload);
    if (opened.ok() || opened.error().kind != ArenaErrorKind::GrowthCeiling) return opened;
    return alloc_after_reclaim(payload);
}

bool TolvaneBlobMap::reclaim_worthwhile() const noexcept {
    const u64 a = arena.allocated_bytes;
    const u64 v = arena.live_bytes;
    // Since the last compaction the arena must have grown, plus lost live
    // bytes, by at least what is live now; otherwise compacting again
    // would win back too little to be worth its copy.
    const u64 gained =
        saturating_add(saturating_sub(a, arena.reclaim_allocated), saturating_sub(arena.reclaim_live, v));
    if (v > gained) return false;
    return v < (u64{1} << 63) && 2 * v < a;
}

ArenaResult<u64> TolvaneBlobMap::alloc_after_reclaim(std::string_view payload) {
    if (!reclaim_at_cap || !reclaim_worthwhile()) return ArenaError{ArenaErrorKind::GrowthCeiling};
    const u64 allocated_before = arena.allocated_bytes;
    const u64 live_before = arena.live_bytes;
    ArenaResult<CompactionPlan> plan = prepare_compaction(arena, trie);
    if (!plan.ok()) {
        arena.reclaim_allocated = allocated_before;
        arena.reclaim_live = live_before;
        return plan.error();
    }
    apply_compaction(arena, trie, std::move(plan.value()));
    if (payload.size() + RECORD_HEADER > arena.chunk_size)
        return ArenaError{ArenaErrorKind::AllocFailed};
    if (const std::optional<u64> placed = arena.bump(payload)) return *placed;
    ArenaResult<u64> opened = arena.alloc_blob_in_new_chunk(payload);
    if (!opened.ok() && opened.error().kind == ArenaErrorKind::GrowthCeiling)
        return ArenaError{ArenaErrorKind::ArenaFull};
    return opened;
}

}  // namespace tolvane::blob
