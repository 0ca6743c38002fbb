#pragma once
// The edge word, its tags, the level masks and the codecs of immediates and
// decode areas. Everything else in the trie reads and writes edges only
// through what this header offers.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "tolvane/core/fatal.hpp"

namespace tolvane {

static_assert(std::endian::native == std::endian::little,
              "edge and node bytes are read as little-endian integers");

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;
using i64 = std::int64_t;

// ---------------------------------------------------------------------------
// Shifts by whole bytes. A level or width L runs up to 8, and a C++ shift by
// 64 bits is undefined, so every shift by 8*L goes through these: a shift by
// 8 or more bytes gives 0, and the mask of 8 or more bytes is all ones.

constexpr u64 shl8(u64 x, unsigned bytes) noexcept { return bytes >= 8 ? 0 : x << (8 * bytes); }
constexpr u64 shr8(u64 x, unsigned bytes) noexcept { return bytes >= 8 ? 0 : x >> (8 * bytes); }
constexpr u64 low_bytes_mask(unsigned bytes) noexcept {
    return bytes >= 8 ? ~u64{0} : (u64{1} << (8 * bytes)) - 1;
}

// Population counts. The x86-64 baseline has no popcount instruction and
// std::popcount becomes a call into the compiler's runtime library; these
// few shifts, masks and one multiply run inline and are faster on every walk.
constexpr unsigned popcount64(u64 x) noexcept {
    x -= (x >> 1) & 0x5555555555555555u;
    x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return static_cast<unsigned>((x * 0x0101010101010101u) >> 56);
}
constexpr unsigned popcount32(u32 x) noexcept {
    x -= (x >> 1) & 0x55555555u;
    x = (x & 0x33333333u) + ((x >> 2) & 0x33333333u);
    x = (x + (x >> 4)) & 0x0F0F0F0Fu;
    return (x * 0x01010101u) >> 24;
}

// Entry i has its low i bytes set (entry 0 is 0, entry 7 is 2^56 - 1). There
// is no entry 8: a node at level 8 carries no pop0, so asking for it is a bug.
struct LevelMaskTable {
    constexpr u64 operator[](std::size_t i) const {
        if (i >= 8) fatal("LEVEL_MASK index out of range");
        return low_bytes_mask(static_cast<unsigned>(i));
    }
    static constexpr std::size_t size() noexcept { return 8; }
};
inline constexpr LevelMaskTable LEVEL_MASK{};

// ---------------------------------------------------------------------------
// Tag values (byte 15 of an edge).

inline constexpr u8 TAG_EMPTY = 0;
inline constexpr u8 TAG_BRANCH_L3 = 1;
inline constexpr u8 TAG_BRANCH_L7 = 2;
inline constexpr u8 TAG_BRANCH_B = 3;
inline constexpr u8 TAG_BRANCH_U = 4;
inline constexpr u8 TAG_LEAF_BASE = 4;  // linear leaf of w-byte keys has tag TAG_LEAF_BASE + w
inline constexpr u8 TAG_LEAF_1 = 5;
inline constexpr u8 TAG_LEAF_7 = 11;
inline constexpr u8 TAG_LEAF_BITMAP = 12;  // LeafB1 (set) or LeafBitmapL (map)
inline constexpr u8 TAG_FULL = 127;        // every key of the slot's range present; set flavour only

constexpr u8 linear_leaf_tag(unsigned w) noexcept { return static_cast<u8>(TAG_LEAF_BASE + w); }
constexpr bool is_linear_leaf_tag(u8 tag) noexcept { return tag >= TAG_LEAF_1 && tag <= TAG_LEAF_7; }
constexpr bool is_branch_tag(u8 tag) noexcept { return tag >= TAG_BRANCH_L3 && tag <= TAG_BRANCH_U; }

// A decoded tag byte: a node kind (tags 0-12 and 127, kind == tag, 0 being
// empty), an immediate of `count` keys of `key_bytes` bytes, or invalid.
struct EdgeKind {
    enum class Sort : u8 { Node, Immediate, Invalid };
    Sort sort = Sort::Invalid;
    u8 kind = 0;       // Node: the tag itself
    u8 key_bytes = 0;  // Immediate: key width 1..7
    u8 count = 0;      // Immediate: number of keys 1..15

    static constexpr EdgeKind node(u8 tag) noexcept { return {Sort::Node, tag, 0, 0}; }
    static constexpr EdgeKind immediate(u8 w, u8 n) noexcept { return {Sort::Immediate, 0, w, n}; }
    static constexpr EdgeKind invalid() noexcept { return {}; }

    constexpr bool is_node() const noexcept { return sort == Sort::Node; }
    constexpr bool is_empty() const noexcept { return sort == Sort::Node && kind == TAG_EMPTY; }
    constexpr bool is_immediate() const noexcept { return sort == Sort::Immediate; }
    constexpr bool is_invalid() const noexcept { return sort == Sort::Invalid; }
    friend constexpr bool operator==(const EdgeKind&, const EdgeKind&) = default;
};

// Tags 0-12 and 127 name nodes; (w << 4) | (count - 1) with w*count < 16
// names an immediate; tags 13-15 fail on w = 0 and 128-255 on the top bit.
constexpr EdgeKind decode_tag(u8 tag) noexcept {
    if (tag < 13 || tag == TAG_FULL) return EdgeKind::node(tag);
    const unsigned w = tag >> 4;
    const unsigned count = (tag & 15u) + 1;
    if (w != 0 && tag < 128 && count * w < 16)
        return EdgeKind::immediate(static_cast<u8>(w), static_cast<u8>(count));
    return EdgeKind::invalid();
}

constexpr u8 immediate_tag(unsigned w, unsigned count) noexcept {
    return static_cast<u8>((w << 4) | (count - 1));
}

// ---------------------------------------------------------------------------
// Edge: the 16-byte child word.
//
//   w0 (bytes 0-7)   child pointer; set immediate: key bytes; map immediate:
//                    the value (one key) or the value-array pointer; zero for
//                    empty and full edges.
//   w1 (bytes 8-15)  decode area in bytes 8-14 and the tag in byte 15. For a
//                    node at level L under a slot at level S: pop0 (population
//                    minus one) in decode positions 0..L-1, key bytes L..S-1
//                    of the skipped levels in positions L..S-1.
//
// Invariants: an all-zero edge is the empty edge; a level-8 slot never skips
// and its node has no pop0; a BranchU and a full edge sit at their slot level;
// an immediate's key width equals its slot level. Writers that share the tree
// with readers store w1 first, then w0 with release ordering.
struct alignas(16) Edge {
    u64 w0 = 0;
    u64 w1 = 0;

    static constexpr Edge empty() noexcept { return Edge{}; }

    // By shifts within the word rather than through memory, so that an edge
    // built in registers stays there: a byte stored into a stack copy and
    // read back as a whole edge stalls the store buffer.
    constexpr u8 byte(std::size_t i) const noexcept {
        return static_cast<u8>((i < 8 ? w0 : w1) >> (8 * (i & 7)));
    }
    constexpr void set_byte(std::size_t i, u8 b) noexcept {
        u64& w = i < 8 ? w0 : w1;
        const unsigned shift = 8 * (i & 7);
        w = (w & ~(u64{0xFF} << shift)) | (u64{b} << shift);
    }

    constexpr u8 tag_byte() const noexcept { return static_cast<u8>(w1 >> 56); }
    constexpr void set_tag(u8 tag) noexcept {
        w1 = (w1 & low_bytes_mask(7)) | (static_cast<u64>(tag) << 56);
    }
    constexpr EdgeKind tag() const noexcept { return decode_tag(tag_byte()); }
    constexpr bool is_empty() const noexcept { return w0 == 0 && w1 == 0; }

    // The decode area (bytes 8-14) as a 56-bit integer.
    constexpr u64 decode_area() const noexcept { return w1 & low_bytes_mask(7); }

    template <class T>
    T* ptr() const noexcept {
        return reinterpret_cast<T*>(static_cast<std::uintptr_t>(w0));
    }
    void set_ptr(const void* p) noexcept { w0 = reinterpret_cast<std::uintptr_t>(p); }

    // pop0 of a child at node level L (1..7); level 8 has none and is fatal.
    constexpr u64 pop0(unsigned level) const { return w1 & LEVEL_MASK[level]; }
    constexpr void set_pop0(unsigned level, u64 pop0) {
        const u64 m = LEVEL_MASK[level];
        w1 = (w1 & ~m) | (pop0 & m);
    }
    // Wraps inside the mask: never carries into skipped key bytes or the tag.
    constexpr void add_pop0(unsigned level, i64 delta) {
        const u64 m = LEVEL_MASK[level];
        w1 = (w1 & ~m) | (((w1 & m) + static_cast<u64>(delta)) & m);
    }

    friend constexpr bool operator==(const Edge&, const Edge&) = default;
};
static_assert(sizeof(Edge) == 16 && alignof(Edge) == 16);
static_assert(std::is_trivially_copyable_v<Edge>);

// Whether `key` can lie below an edge whose child starts at node level
// `node_level` while the edge sits in a slot of level `slot_level`: the
// skipped key bytes node_level..slot_level-1 must match the decode area.
constexpr bool prefix_matches(const Edge& e, unsigned slot_level, unsigned node_level, u64 key) {
    if (node_level >= slot_level) return true;
    const u64 span = LEVEL_MASK[slot_level - node_level];
    return ((e.w1 ^ key) & shl8(span, node_level)) == 0;
}

// ---------------------------------------------------------------------------
// KeyList16: up to 16 keys by value, as the immediate decoders return them.
struct KeyList16 {
    static constexpr std::size_t CAPACITY = 16;
    u64 keys[CAPACITY] = {};
    u8 len = 0;

    void push_back(u64 k) {
        require(len < CAPACITY, "KeyList16 capacity exceeded");
        keys[len++] = k;
    }
    std::size_t size() const noexcept { return len; }
    bool empty() const noexcept { return len == 0; }
    u64 operator[](std::size_t i) const {
        require(i < len, "KeyList16 index out of range");
        return keys[i];
    }
    const u64* begin() const noexcept { return keys; }
    const u64* end() const noexcept { return keys + len; }
    const u64* data() const noexcept { return keys; }
};

// ---------------------------------------------------------------------------
// Codecs of immediates and decode areas.
namespace mutate {

// Writes a set-flavour immediate over the whole edge. Keys ascend and are
// already reduced to their low w bytes. One key is stored as a plain integer
// in w0; several are packed little-endian from byte 0, w*count < 16.
void write_immed(Edge& e, u8 w, const u64* keys, std::size_t count);

// Keys of a set-flavour immediate: key i from bytes i*w .. i*w+w-1.
KeyList16 immed_keys(const Edge& e, u8 w, u8 count);

// Keys of a map-flavour immediate: key i from decode positions i*w .. i*w+w-1.
KeyList16 immed_map_keys(const Edge& e, u8 w, u8 count);

// Stores key bytes from..to-1 into decode positions from..to-1; every other
// byte of the edge is kept. Requires from <= to <= 7.
void write_decode(Edge& e, u8 from, u8 to, u64 key);

// Decode positions from..to-1 as an integer (position `from` lowest).
// (0, L) is the pop0 of a child at level L; (L, S) its skipped key bytes.
u64 decode_value(const Edge& e, u8 from, u8 to);

}  // namespace mutate
}  // namespace tolvane
