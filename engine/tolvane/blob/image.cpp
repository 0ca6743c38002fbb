#include "tolvane/blob/image.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace tolvane::blob {

namespace {

constexpr char MAGIC[8] = {'T', 'O', 'L', 'V', 'A', 'N', 'E', '\0'};
constexpr u64 CHUNK_RECORD_HEADER = 24;
constexpr u64 INDEX_RECORD = 16;

u64 read_u64(const char* p) noexcept {
    u64 v;
    std::memcpy(&v, p, 8);
    return v;
}
u32 read_u32(const char* p) noexcept {
    u32 v;
    std::memcpy(&v, p, 4);
    return v;
}

// x + y when it fits in 64 bits.
std::optional<u64> checked_add(u64 x, u64 y) noexcept {
    if (x + y < x) return std::nullopt;
    return x + y;
}

// Gathers small fields in a fixed buffer and hands large blocks straight
// to the file; the first failed write sticks and stops every later one.
class ImageWriter {
  public:
    explicit ImageWriter(int fd) : fd_(fd) {}

    void put_u64(u64 v) { put(&v, 8); }
    void put_u32(u32 v) { put(&v, 4); }
    void put(const void* data, std::size_t size) {
        if (error_) return;
        if (size > sizeof(buffer_) - filled_) {
            flush();
            if (size >= sizeof(buffer_)) {
                write_all(static_cast<const char*>(data), size);
                return;
            }
        }
        std::memcpy(buffer_ + filled_, data, size);
        filled_ += size;
    }
    void zeros(std::size_t size) {
        static constexpr char ZERO[16] = {};
        put(ZERO, size);
    }
    std::optional<int> finish() {
        flush();
        return error_;
    }

  private:
    void flush() {
        if (error_ || filled_ == 0) return;
        write_all(buffer_, filled_);
        filled_ = 0;
    }
    void write_all(const char* p, std::size_t size) {
        while (size != 0 && !error_) {
            const ssize_t n = ::write(fd_, p, size);
            if (n < 0) {
                if (errno == EINTR) continue;
                error_ = errno;
            } else if (n == 0) {
                error_ = 0;
            } else {
                p += n;
                size -= static_cast<std::size_t>(n);
            }
        }
    }

    int fd_;
    std::optional<int> error_;
    std::size_t filled_ = 0;
    char buffer_[1 << 16];
};

ArenaError corrupted() { return ArenaError{ArenaErrorKind::CorruptedHeader}; }

// The loader's checks past the header: the chunk records, then the index.
ArenaStatus load_body(std::string_view image, u64 entries, u64 index_offset, u64 chunk_offset,
                      u64 chunk_count, TolvaneBlobMap& into) {
    const u64 len = image.size();
    BlobArena& arena = into.arena;
    u64 pos = chunk_offset;
    for (u64 c = 0; c < chunk_count; ++c) {
        const std::optional<u64> body = checked_add(pos, CHUNK_RECORD_HEADER);
        if (!body || *body > len) return corrupted();
        const u64 capacity = read_u64(image.data() + pos);
        const u64 used = read_u64(image.data() + pos + 8);
        const u32 generation = read_u32(image.data() + pos + 16);
        if (generation == 0 || used > capacity || capacity != arena.chunk_size ||
            capacity < 1 || capacity > MAX_CHUNK_SIZE)
            return corrupted();
        const std::optional<u64> end = checked_add(*body, used);
        if (!end || *end > len) return corrupted();
        ArenaResult<ArenaChunk> chunk =
            ArenaChunk::from_raw_parts(capacity, used, generation, image.substr(*body, used));
        if (!chunk.ok()) return chunk.error();
        // The arena places its next record at `used`, which a slot can only
        // name when it is a multiple of 16.
        chunk.value().align_used();
        arena.push_chunk(std::move(chunk.value()));
        const std::optional<u64> next = checked_add(*body, round_up16(used));
        if (!next) return corrupted();
        pos = *next;
    }
    if (!arena.chunks.empty()) arena.generation = arena.chunks.back().generation();

    for (u64 i = 0; i < entries; ++i) {
        const std::optional<u64> at = checked_add(index_offset, INDEX_RECORD * i);
        if (!at || *at > len || len - *at < INDEX_RECORD) return corrupted();
        const u64 key = read_u64(image.data() + *at);
        u64 slot = read_u64(image.data() + *at + 8);
        u64 live = 0;
        if (is_arena_slot(slot)) {
            if (const std::optional<std::string_view> record = arena.resolve(slot_offset(slot)))
                live = record->size() + RECORD_HEADER;
            else
                // Kept as it is, a later record placed at that offset would
                // become this key's payload.
                slot = absent_slot(slot);
        }
        const InsertOutcome outcome = into.trie.insert(key, slot);
        // A repeated key drops the record its earlier slot named.
        if (outcome.existed && is_arena_slot(outcome.old))
            if (const std::optional<std::string_view> old = arena.resolve(slot_offset(outcome.old)))
                arena.live_bytes -= old->size() + RECORD_HEADER;
        arena.live_bytes += live;
    }
    return std::nullopt;
}

}  // namespace

u64 image_length(const TolvaneBlobMap& map) {
    u64 total = IMAGE_HEADER_BYTES + INDEX_RECORD * map.size();
    for (const ArenaChunk& chunk : map.arena.chunks)
        total += CHUNK_RECORD_HEADER + round_up16(chunk.used());
    return total;
}

SaveOutcome save_to_writer(const TolvaneBlobMap& map, int fd) {
    const u64 n = map.size();
    const u64 total = image_length(map);
    ImageWriter out(fd);
    out.put(MAGIC, 8);
    out.put_u32(IMAGE_VERSION);
    out.put_u32(0);
    out.put_u64(n);
    out.put_u64(IMAGE_HEADER_BYTES);
    out.put_u64(IMAGE_HEADER_BYTES + INDEX_RECORD * n);
    out.put_u64(total);
    out.put_u64(map.arena.chunk_size);
    out.put_u64(map.arena.chunk_count());
    MapIter it = map.trie.iter_fwd_raw();
    while (const std::optional<KeyValue> e = it.next()) {
        out.put_u64(e->key);
        out.put_u64(e->value);
    }
    for (const ArenaChunk& chunk : map.arena.chunks) {
        out.put_u64(chunk.capacity());
        out.put_u64(chunk.used());
        out.put_u32(chunk.generation());
        out.put_u32(0);
        out.put(chunk.data(), chunk.used());
        out.zeros(round_up16(chunk.used()) - chunk.used());
    }
    if (const std::optional<int> error = out.finish()) return {0, error};
    return {total, std::nullopt};
}

ArenaResult<ImageHeader> check_image_header(std::string_view header, u64 image_length,
                                            u64 max_capacity) {
    const u64 len = image_length;
    if (len < IMAGE_HEADER_BYTES || header.size() < IMAGE_HEADER_BYTES) return corrupted();
    const char* h = header.data();
    if (std::memcmp(h, MAGIC, 8) != 0) return corrupted();
    const u32 version = read_u32(h + 8);
    if (version != IMAGE_VERSION)
        return ArenaError{ArenaErrorKind::UnsupportedVersion, version, IMAGE_VERSION};
    const u64 entries = read_u64(h + 16);
    const u64 index_offset = read_u64(h + 24);
    const u64 chunk_offset = read_u64(h + 32);
    const u64 total = read_u64(h + 40);
    const u64 chunk_size = read_u64(h + 48);
    const u64 chunk_count = read_u64(h + 56);
    if (total > len || total < IMAGE_HEADER_BYTES) return corrupted();
    if (chunk_size < MIN_CHUNK_SIZE || chunk_size > MAX_CHUNK_SIZE) return corrupted();
    if (chunk_count > MAX_CHUNKS || chunk_size % 16 != 0) return corrupted();
    // Both factors are bounded above, so the product cannot wrap.
    const u64 span = chunk_count * chunk_size;
    if (span > OFFSET_LIMIT) return corrupted();
    if (chunk_count > len / CHUNK_RECORD_HEADER || entries > len / INDEX_RECORD) return corrupted();
    if (index_offset > len || chunk_offset > len) return corrupted();
    const u64 cap = clamp_max_capacity(max_capacity, chunk_size);
    if (span > cap) return ArenaError{ArenaErrorKind::GrowthCeiling};
    return ImageHeader{entries, index_offset, chunk_offset, chunk_size, chunk_count, cap};
}

ArenaStatus from_bytes_slice_with_max_capacity(std::string_view image, u64 max_capacity,
                                               TolvaneBlobMap& into) {
    const ArenaResult<ImageHeader> header = check_image_header(image, image.size(), max_capacity);
    if (!header.ok()) return header.error();
    const ImageHeader& h = header.value();
    into.arena.chunk_size = h.chunk_size;
    into.arena.max_capacity = h.capacity;
    if (ArenaStatus error =
            load_body(image, h.entries, h.index_offset, h.chunk_offset, h.chunk_count, into)) {
        into.clear();
        into.arena.generation = 1;
        return error;
    }
    return std::nullopt;
}

}  // namespace tolvane::blob
