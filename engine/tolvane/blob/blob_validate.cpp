#include "tolvane/blob/blob_validate.hpp"

#include <unordered_set>

namespace tolvane::blob {

std::optional<std::string> validate_blob_map(TolvaneBlobMap& map) {
    if (std::optional<std::string> trie = map.trie.validate_defensive()) return "trie: " + *trie;
    const BlobArena& arena = map.arena;
    if (arena.chunk_size < MIN_CHUNK_SIZE || arena.chunk_size > MAX_CHUNK_SIZE ||
        arena.chunk_size % 16 != 0)
        return "chunk_size a multiple of 16 in [4096, 2^30]";
    if (arena.generation == 0) return "arena generation never 0";
    if (arena.allocated_bytes != arena.chunk_count() * arena.chunk_size)
        return "allocated_bytes = chunk count * chunk_size";
    if (arena.allocated_bytes > arena.max_capacity) return "allocated_bytes within max_capacity";
    if (arena.chunks.empty() ? arena.current.has_value()
                             : arena.current != arena.chunk_count() - 1)
        return "the current chunk is the last chunk";
    for (const ArenaChunk& chunk : arena.chunks) {
        if (chunk.capacity() != arena.chunk_size) return "chunk capacity = chunk_size";
        if (chunk.used() > chunk.capacity()) return "chunk used within its capacity";
        if (chunk.used() % 16 != 0) return "chunk used a multiple of 16";
    }
    u64 live = 0;
    bool shared = false;
    std::unordered_set<u64> offsets;
    MapIter it = map.trie.iter_fwd_raw();
    while (const std::optional<KeyValue> e = it.next()) {
        if (!is_arena_slot(e->value)) continue;
        const std::optional<std::string_view> record = arena.resolve(slot_offset(e->value));
        if (!record) return "every arena slot resolves to a record";
        shared |= !offsets.insert(slot_offset(e->value)).second;
        live += record->size() + RECORD_HEADER;
    }
    if (live != arena.live_bytes) return "live_bytes = sum of L + 8 over the referred records";
    // Only an image can name one record twice; its live bytes count it
    // twice, as the sum above does.
    if (shared) return std::string(SHARED_RECORD);
    return std::nullopt;
}

}  // namespace tolvane::blob
