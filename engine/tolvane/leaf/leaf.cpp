#include <atomic>
#include <cstdint>
#include <cstring>

#include "tolvane/leaf/leaf.hpp"
#include "tolvane/core/node.hpp"

namespace tolvane {
namespace {

constexpr const char* BAD_WIDTH = "internal error: entered unreachable code: a packed leaf key is 1..=7 bytes";

// Words of the edit buffer: 32 keys of 7 bytes take 28 words, plus the tail.
constexpr std::size_t EDIT_WORDS = 32;

u64 load_word(const u8* p) {
    u64 v;
    std::memcpy(&v, p, 8);
    return v;
}

// Stores that readers of a shared tree may observe: one store per word, and
// the tail as at most three naturally aligned pieces.
template <class T>
void store_atomic(u8* p, T v) {
    std::atomic_ref<T>(*reinterpret_cast<T*>(p)).store(v, std::memory_order_relaxed);
}

void tail_store(u8* p, std::size_t t, u64 v) {
    std::size_t off = 0;
    if (t & 4) {
        store_atomic<u32>(p, static_cast<u32>(v));
        off = 4;
    }
    if (t & 2) {
        store_atomic<u16>(p + off, static_cast<u16>(v >> (8 * off)));
        off += 2;
    }
    if (t & 1) store_atomic<u8>(p + off, static_cast<u8>(v >> (8 * off)));
}

// The stretch of an area that an edit reads and writes back: words
// first..last-1 whole, and the partial tail when the keys reach into it.
struct Stretch {
    std::size_t whole;  // whole words of the area
    std::size_t tail;   // bytes of the partial tail (area length mod 8)
    std::size_t first;  // word holding the first byte of the edited key
    std::size_t last;   // one past the last whole word edited
    bool with_tail;     // whether the tail takes part
    u64 buf[EDIT_WORDS];

    Stretch(const u8* area, std::size_t area_bytes, std::size_t used_bytes, std::size_t edit_byte) {
        whole = area_bytes / 8;
        tail = area_bytes % 8;
        const std::size_t need = (used_bytes + 7) / 8;
        first = edit_byte / 8;
        last = need < whole ? need : whole;
        with_tail = need > whole;
        require(first <= last && loaded_words() <= EDIT_WORDS, "leaf edit stretch exceeds the edit buffer");
        std::size_t slot = 0;
        for (std::size_t k = first; k < last; ++k) buf[slot++] = load_word(area + 8 * k);
        if (with_tail) buf[whole - first] = leaf::shared_keys::tail_load(area + 8 * whole, tail);
    }

    unsigned char* bytes() { return reinterpret_cast<unsigned char*>(buf); }
    std::size_t loaded_words() const { return with_tail ? whole - first + 1 : last - first; }

    // Moves len bytes from `from` to `to` inside the loaded stretch.
    void move(std::size_t to, std::size_t from, std::size_t len) {
        const std::size_t loaded = 8 * loaded_words();
        require(from + len <= loaded && to + len <= loaded, "leaf edit moves past its stretch");
        std::memmove(bytes() + to, bytes() + from, len);
    }

    void write_back(u8* area) {
        std::size_t slot = 0;
        for (std::size_t k = first; k < last; ++k) store_atomic<u64>(area + 8 * k, buf[slot++]);
        if (with_tail) tail_store(area + 8 * whole, tail, buf[whole - first]);
    }
};

void require_word_aligned(const void* p) {
    require(reinterpret_cast<std::uintptr_t>(p) % 8 == 0, "leaf key area is 8-byte aligned");
}

// Key j of an area of `area_bytes` bytes, read word-wise so that no byte past
// the area is touched.
u64 read_key_wordwise(const u8* area, std::size_t area_bytes, unsigned w, std::size_t j) {
    auto word_at = [&](std::size_t k) {
        return 8 * k + 8 <= area_bytes ? load_word(area + 8 * k)
                                       : leaf::shared_keys::tail_load(area + 8 * k, area_bytes - 8 * k);
    };
    const std::size_t b = j * w;
    const std::size_t k = b / 8;
    const unsigned shift = static_cast<unsigned>(8 * (b % 8));
    u64 x = word_at(k) >> shift;
    if (shift + 8 * w > 64) x |= word_at(k + 1) << (64 - shift);
    return x & low_bytes_mask(w);
}

}  // namespace

namespace leaf::shared_keys {

void insert_at(u8* area, u8 w, u64 n, std::size_t i, u64 key) {
    require(w >= 1 && w <= 7, BAD_WIDTH);
    // Writing past the current class would run off the block.
    require(i <= n && capacity_class(n + 1) == capacity_class(n), "leaf key insert needs room in its capacity class");
    require_word_aligned(area);
    const std::size_t area_bytes = capacity_class(n) * w;
    Stretch s(area, area_bytes, (n + 1) * w, i * w);
    const std::size_t off = (i * w) % 8;
    s.move(off + w, off, (n - i) * w);
    std::memcpy(s.bytes() + off, &key, w);
    s.write_back(area);
}

void remove_at(u8* area, u8 w, u64 n, std::size_t i) {
    if (i + 1 >= n) return;  // the last key: dropping the count is the caller's part
    require(w >= 1 && w <= 7, BAD_WIDTH);
    require_word_aligned(area);
    const std::size_t area_bytes = capacity_class(n) * w;
    Stretch s(area, area_bytes, n * w, i * w);
    const std::size_t off = (i * w) % 8;
    s.move(off, off + w, (n - 1 - i) * w);
    s.write_back(area);
}

void map_insert_at(u8* block, u8 w, u64 n, std::size_t i, u64 key, u64 value) {
    require(w >= 1 && w <= 7, BAD_WIDTH);
    require(i <= n && capacity_class(n + 1) == capacity_class(n), "leaf key insert needs room in its capacity class");
    require_word_aligned(block);
    for (std::size_t j = n; j > i; --j) store_atomic<u64>(block + 8 * j, load_word(block + 8 * (j - 1)));
    store_atomic<u64>(block + 8 * i, value);
    insert_at(block + 8 * capacity_class(n), w, n, i, key);
}

void map_remove_at(u8* block, u8 w, u64 n, std::size_t i) {
    if (i + 1 >= n) return;  // neither values nor keys move for the last entry
    require_word_aligned(block);
    for (std::size_t j = i; j + 1 < n; ++j) store_atomic<u64>(block + 8 * j, load_word(block + 8 * (j + 1)));
    remove_at(block + 8 * capacity_class(n), w, n, i);
}

std::vector<u64> keys_vec(const u8* area, u8 w, std::size_t n) {
    std::vector<u64> out;
    out.reserve(n + 1);
    const std::size_t area_bytes = capacity_class(n) * w;
    for (std::size_t j = 0; j < n; ++j) out.push_back(read_key_wordwise(area, area_bytes, w, j));
    return out;
}

std::vector<std::pair<u64, u64>> map_entries(const u8* block, u8 w, std::size_t n) {
    std::vector<std::pair<u64, u64>> out;
    out.reserve(n + 1);
    const std::size_t cap = capacity_class(n);
    const u8* keys = block + 8 * cap;
    for (std::size_t j = 0; j < n; ++j)
        out.emplace_back(read_key_wordwise(keys, cap * w, w, j), load_word(block + 8 * j));
    return out;
}

}  // namespace leaf::shared_keys

namespace leaf {

void map_realloc_remove(const u8* old, u8* fresh, u8 w, u64 n, std::size_t i) {
    require(n >= 2 && i < n, "map leaf shrink index out of range");
    std::memcpy(fresh, old, 8 * i);
    std::memcpy(fresh + 8 * i, old + 8 * (i + 1), 8 * (n - 1 - i));
    const u8* old_keys = old + 8 * capacity_class(n);
    u8* new_keys = fresh + 8 * capacity_class(n - 1);
    std::memcpy(new_keys, old_keys, i * w);
    std::memcpy(new_keys + i * w, old_keys + (i + 1) * w, (n - 1 - i) * w);
}

}  // namespace leaf

namespace mutate {

std::vector<u64> leaf_keys(const Edge& e, u8 w, std::size_t n) {
    require(w >= 1 && w <= 7, BAD_WIDTH);
    std::vector<u64> out;
    out.reserve(n + 1);
    const u8* keys = e.ptr<const u8>();
    for (std::size_t j = 0; j < n; ++j) out.push_back(leaf::packed_key(keys, j, w));
    return out;
}

}  // namespace mutate
}  // namespace tolvane
