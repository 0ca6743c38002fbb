#include "tolvane/blob/arena.hpp"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace tolvane::blob {

namespace {

u32 load_u32(const u8* p) noexcept {
    u32 v;
    std::memcpy(&v, p, 4);
    return v;
}

}  // namespace

// ---- ArenaChunk ------------------------------------------------------------

ArenaChunk::~ArenaChunk() { std::free(data_); }

ArenaChunk::ArenaChunk(ArenaChunk&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      used_(std::exchange(other.used_, 0)),
      generation_(other.generation_) {}

ArenaChunk& ArenaChunk::operator=(ArenaChunk&& other) noexcept {
    if (this != &other) {
        std::free(data_);
        data_ = std::exchange(other.data_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
        used_ = std::exchange(other.used_, 0);
        generation_ = other.generation_;
    }
    return *this;
}

std::optional<ArenaChunk> ArenaChunk::zeroed(u64 capacity, u32 generation) {
    // calloc: pages of a large chunk cost nothing until they are written,
    // and glibc hands out 16-aligned blocks.
    void* buffer = std::calloc(1, capacity);
    if (buffer == nullptr) return std::nullopt;
    require(reinterpret_cast<std::uintptr_t>(buffer) % 16 == 0, "chunk buffers 16-aligned");
    ArenaChunk chunk;
    chunk.data_ = static_cast<u8*>(buffer);
    chunk.capacity_ = capacity;
    chunk.generation_ = generation;
    return chunk;
}

ArenaResult<ArenaChunk> ArenaChunk::from_raw_parts(u64 capacity, u64 used, u32 generation,
                                                   std::string_view bytes) {
    if (capacity < 1 || capacity > MAX_CHUNK_SIZE || bytes.size() > capacity || used > capacity)
        return ArenaError{ArenaErrorKind::InvalidOffset};
    std::optional<ArenaChunk> chunk = zeroed(capacity, generation);
    if (!chunk) return ArenaError{ArenaErrorKind::AllocFailed};
    const u64 copied = used < bytes.size() ? used : bytes.size();
    if (copied != 0) std::memcpy(chunk->data_, bytes.data(), copied);
    chunk->used_ = used;
    return std::move(*chunk);
}

std::optional<std::string_view> ArenaChunk::get_slice(u64 w) const noexcept {
    if (w > used_ || used_ - w < RECORD_HEADER) return std::nullopt;
    const u32 length = load_u32(data_ + w);
    if (load_u32(data_ + w + 4) != generation_) return std::nullopt;
    if (length > used_ - w - RECORD_HEADER) return std::nullopt;
    return std::string_view(reinterpret_cast<const char*>(data_ + w + RECORD_HEADER), length);
}

u64 ArenaChunk::place(std::string_view payload) noexcept {
    const u64 w = used_;
    const u32 length = static_cast<u32>(payload.size());
    std::memcpy(data_ + w, &length, 4);
    std::memcpy(data_ + w + 4, &generation_, 4);
    if (!payload.empty()) std::memcpy(data_ + w + RECORD_HEADER, payload.data(), payload.size());
    used_ = round_up16(w + RECORD_HEADER + payload.size());
    return w;
}

void ArenaChunk::align_used() noexcept {
    const u64 rounded = round_up16(used_);
    used_ = rounded <= capacity_ ? rounded : capacity_;
}

// ---- BlobArena -------------------------------------------------------------

BlobArena::BlobArena(u64 requested_chunk_size, u64 cap)
    : chunk_size(clamp_chunk_size(requested_chunk_size)), max_capacity(cap) {}

std::optional<std::string_view> BlobArena::resolve(u64 g) const noexcept {
    const u64 c = g / chunk_size;
    if (c >= chunks.size()) return std::nullopt;
    return chunks[c].get_slice(g - c * chunk_size);
}

std::optional<u64> BlobArena::bump(std::string_view payload) noexcept {
    if (!current) return std::nullopt;
    ArenaChunk& chunk = chunks[*current];
    // A used that is not a multiple of 16 would place a record no slot can
    // name; refuse before writing anything, so nothing is counted for it.
    if (chunk.used() % 16 != 0 || !chunk.fits(payload.size() + RECORD_HEADER))
        return std::nullopt;
    const u64 w = chunk.place(payload);
    live_bytes += payload.size() + RECORD_HEADER;
    return *current * chunk_size + w;
}

ArenaResult<u64> BlobArena::alloc_blob_in_new_chunk(std::string_view payload) {
    if (chunks.size() >= MAX_CHUNKS) return ArenaError{ArenaErrorKind::GrowthCeiling};
    const u64 grown = allocated_bytes + chunk_size < allocated_bytes ? ~u64{0}
                                                                     : allocated_bytes + chunk_size;
    if (grown > max_capacity) return ArenaError{ArenaErrorKind::GrowthCeiling};
    const u64 need = payload.size() + RECORD_HEADER;
    if (need > chunk_size) return ArenaError{ArenaErrorKind::AllocFailed};
    chunks.reserve(chunks.size() + 1);
    std::optional<ArenaChunk> chunk = ArenaChunk::zeroed(chunk_size, generation);
    if (!chunk) return ArenaError{ArenaErrorKind::AllocFailed};
    chunk->place(payload);
    const u64 index = chunks.size();
    chunks.push_back(std::move(*chunk));
    current = index;
    allocated_bytes += chunk_size;
    live_bytes += need;
    return index * chunk_size;
}

void BlobArena::push_chunk(ArenaChunk chunk) {
    allocated_bytes += chunk.capacity();
    chunks.push_back(std::move(chunk));
    current = chunks.size() - 1;
}

void BlobArena::reset() {
    current.reset();
    std::vector<ArenaChunk> old = std::move(chunks);
    chunks.clear();
    allocated_bytes = 0;
    live_bytes = 0;
    reclaim_allocated = 0;
    reclaim_live = 0;
    // `old` releases every buffer, then its storage.
}

}  // namespace tolvane::blob
