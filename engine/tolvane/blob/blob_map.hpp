#pragma once
// The engine TolvaneBlobMap: u64 keys to byte payloads with an optional
// 24-bit hot_meta. An engine TolvaneMap holds one value slot per key
// (value_slot.hpp); payloads that no slot form holds are records in the
// arena (arena.hpp), which grows under max_capacity and is compacted
// (compaction.hpp) when the cap refuses a chunk and reclaim_at_cap allows.
//
// Invariants:
// - Every arena slot refers to one record, and no record is referred to by
//   two slots; replaced and removed records stay as dead bytes until a
//   compaction or a clear.
// - arena.live_bytes is the sum of L + 8 over the records that the trie's
//   arena slots resolve to.
// - The trie's allocator stays in local mode.
//
// Not copyable or movable: the trie is built in place.

#include <optional>
#include <string_view>

#include "tolvane/blob/arena.hpp"
#include "tolvane/blob/compaction.hpp"
#include "tolvane/blob/value_slot.hpp"
#include "tolvane/int/map.hpp"

namespace tolvane::blob {

inline constexpr u64 DEFAULT_CHUNK_SIZE = u64{2} << 20;
inline constexpr u64 DEFAULT_MAX_CAPACITY = u64{1} << 30;

// max_capacity as construction takes it, for an already clamped chunk size.
constexpr u64 clamp_max_capacity(u64 requested, u64 chunk_size) noexcept {
    if (requested < chunk_size) return chunk_size;
    return requested < OFFSET_LIMIT ? requested : OFFSET_LIMIT;
}

// A payload found by get: a view into the arena record, or the bytes
// decoded from the slot. The arena view is valid until the map changes.
struct BlobValue {
    const char* arena_bytes = nullptr;
    u64 arena_size = 0;
    InlineBytes decoded{};
    u32 hot_meta = 0;

    std::string_view payload() const noexcept {
        return arena_bytes ? std::string_view(arena_bytes, arena_size) : decoded.view();
    }
};

class TolvaneBlobMap {
  public:
    BlobArena arena;
    TolvaneMap trie;
    bool reclaim_at_cap = true;

    // Absent values take the defaults (2 MiB chunks, a 1 GiB cap); given
    // ones are clamped.
    explicit TolvaneBlobMap(std::optional<u64> chunk_size = std::nullopt,
                            std::optional<u64> max_capacity = std::nullopt);
    TolvaneBlobMap(const TolvaneBlobMap&) = delete;
    TolvaneBlobMap& operator=(const TolvaneBlobMap&) = delete;

    u64 size() const noexcept { return trie.size(); }
    bool contains(u64 key) const { return trie.contains_key(key); }

    // On an error the key keeps its previous slot (a compaction may have
    // run all the same).
    ArenaStatus insert(u64 key, std::string_view payload, u32 hot_meta);
    // None for an absent key and for slots that do not decode.
    std::optional<BlobValue> get(u64 key) const;
    bool remove(u64 key);
    // Every entry and chunk goes; chunk_size, max_capacity, the generation
    // and reclaim_at_cap stay.
    void clear();
    // Prepare and apply back to back; on an error nothing changed.
    ArenaResult<CompactionReport> compact();

    // Arena chunk bytes plus the trie's node bytes.
    u64 mem_used() const { return arena.allocated_bytes + trie.alloc.live_bytes(); }

    // Places one record, compacting when the cap refuses a chunk and the
    // reclaim rule allows it.
    ArenaResult<u64> alloc_payload(std::string_view payload);
    ArenaResult<u64> alloc_after_reclaim(std::string_view payload);
    // The reclaim rule's condition, on the arena as it stands.
    bool reclaim_worthwhile() const noexcept;

    // Entries with start <= key <= end, ascending: predicate(key, meta)
    // sees each (meta from the slot alone); accepted entries whose payload
    // decodes go to visitor(key, payload, meta), which stops the scan by
    // returning false.
    template <class Predicate, class Visitor>
    void scan_filtered(u64 start, u64 end, Predicate&& predicate, Visitor&& visitor) const;

  private:
    // Subtracts the record of a replaced or removed arena slot, floored at 0.
    void forget(u64 slot) noexcept;
    // Decodes a slot (inline forms and resolving arena references).
    bool decode(u64 slot, BlobValue& out) const noexcept;
};

template <class Predicate, class Visitor>
void TolvaneBlobMap::scan_filtered(u64 start, u64 end, Predicate&& predicate,
                                   Visitor&& visitor) const {
    if (start > end) return;
    MapIter it = trie.range_fwd_raw(start);
    while (const std::optional<KeyValue> e = it.next()) {
        if (e->key > end) return;
        const u32 meta = slot_meta(e->value);
        if (!predicate(e->key, meta)) continue;
        BlobValue value;
        if (!decode(e->value, value)) continue;
        if (!visitor(e->key, value.payload(), meta)) return;
    }
}

}  // namespace tolvane::blob
