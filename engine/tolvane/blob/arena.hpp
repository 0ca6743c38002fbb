#pragma once
// The blob arena: equally sized chunks holding one record per payload that
// does not fit a value slot, placed by bump allocation in the last chunk.
//
// Record at in-chunk offset w (a multiple of 16):
//   u32 payload length L, u32 generation of the chunk, then L bytes;
//   the next record starts at round_up(w + 8 + L, 16), the gap stays 0.
// A record's global offset is chunk index * chunk_size + w.
//
// Invariants:
// - chunk_size is a multiple of 16 in [4096, 2^30]; every chunk's capacity
//   is chunk_size and its buffer is zero-filled and 16-aligned.
// - used <= capacity and used % 16 == 0 in every chunk (a loaded chunk's
//   used is rounded up when it is loaded).
// - allocated_bytes = chunk count * chunk_size <= max_capacity (except for
//   loaded arenas, whose loader checks the same bound itself).
// - current is the last chunk's index, or none when there are no chunks.
// - generation is never 0.
// - live_bytes is the sum of L + 8 over the records the owning map's slots
//   refer to; the arena itself does not see slots, the map keeps it so.

#include <optional>
#include <string_view>
#include <vector>

#include "tolvane/blob/arena_error.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::blob {

inline constexpr u64 MIN_CHUNK_SIZE = 4096;
inline constexpr u64 MAX_CHUNK_SIZE = u64{1} << 30;
inline constexpr u64 MAX_CHUNKS = 65536;
inline constexpr u64 RECORD_HEADER = 8;

constexpr u64 round_up16(u64 x) noexcept { return (x + 15) & ~u64{15}; }

// chunk_size as construction takes it: clamped to [4096, 2^30], then
// rounded up to a multiple of 16.
constexpr u64 clamp_chunk_size(u64 requested) noexcept {
    const u64 c = requested < MIN_CHUNK_SIZE   ? MIN_CHUNK_SIZE
                  : requested > MAX_CHUNK_SIZE ? MAX_CHUNK_SIZE
                                               : requested;
    return round_up16(c);
}

class ArenaChunk {
  public:
    ArenaChunk() = default;
    ~ArenaChunk();
    ArenaChunk(ArenaChunk&& other) noexcept;
    ArenaChunk& operator=(ArenaChunk&& other) noexcept;
    ArenaChunk(const ArenaChunk&) = delete;
    ArenaChunk& operator=(const ArenaChunk&) = delete;

    // A zero-filled chunk; none when the buffer cannot be had.
    static std::optional<ArenaChunk> zeroed(u64 capacity, u32 generation);
    // A chunk from image data: InvalidOffset unless 1 <= capacity <= 2^30,
    // bytes.size() <= capacity and used <= capacity; AllocFailed without a
    // buffer. Copies the first min(used, bytes.size()) bytes.
    static ArenaResult<ArenaChunk> from_raw_parts(u64 capacity, u64 used, u32 generation,
                                                  std::string_view bytes);

    // The payload of the record at in-chunk offset w, when its header lies
    // within used, carries this chunk's generation and its payload ends
    // within used.
    std::optional<std::string_view> get_slice(u64 w) const noexcept;

    // Room for a record of `need` bytes (header included) at the end?
    bool fits(u64 need) const noexcept { return need <= capacity_ - used_; }
    // Writes the record at `used` and returns its offset; the caller has
    // checked fits().
    u64 place(std::string_view payload) noexcept;

    const u8* data() const noexcept { return data_; }
    u64 capacity() const noexcept { return capacity_; }
    u64 used() const noexcept { return used_; }
    u32 generation() const noexcept { return generation_; }
    // Loading only: rounds used up to 16 (never past the capacity).
    void align_used() noexcept;

  private:
    u8* data_ = nullptr;
    u64 capacity_ = 0;
    u64 used_ = 0;
    u32 generation_ = 0;
};

struct BlobArena {
    std::optional<u64> current;
    std::vector<ArenaChunk> chunks;
    u64 chunk_size;
    u64 allocated_bytes = 0;
    u64 live_bytes = 0;
    // allocated_bytes and live_bytes after the last compaction, or before
    // the last failed attempt; 0 and 0 when there was none.
    u64 reclaim_allocated = 0;
    u64 reclaim_live = 0;
    u64 max_capacity;
    u32 generation = 1;

    // chunk_size is clamped; max_capacity is taken as given.
    BlobArena(u64 chunk_size, u64 max_capacity);

    u64 chunk_count() const noexcept { return chunks.size(); }

    // The payload at a global offset, by the resolution rule: chunk index
    // below the count, header within used, generations equal, payload
    // within used.
    std::optional<std::string_view> resolve(u64 global_offset) const noexcept;
    // The same for the 32-bit offset field of an arena slot.
    std::optional<std::string_view> resolve_meta(u32 reference) const noexcept {
        return resolve(u64{reference} * 16);
    }

    // Places the record in the current chunk when it has room; none when
    // it has not (or there is no current chunk).
    std::optional<u64> bump(std::string_view payload) noexcept;
    // Opens a chunk and places the record at its start: GrowthCeiling at
    // 65536 chunks or past max_capacity, AllocFailed without a buffer or
    // for a record longer than a chunk.
    ArenaResult<u64> alloc_blob_in_new_chunk(std::string_view payload);
    // Appends a ready chunk (loading): it becomes current.
    void push_chunk(ArenaChunk chunk);
    // No chunks, counters 0; chunk_size, max_capacity and generation stay.
    void reset();
};

}  // namespace tolvane::blob
