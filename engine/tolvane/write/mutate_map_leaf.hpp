#pragma once
// Map-flavour leaf forms built whole from a list of (key, value) pairs, and
// the reader that turns a map linear leaf back into such a list.
//
// Forms (n keys of w bytes, cap = capacity_class):
//
//   map immediate   keys packed little-endian from edge byte 8, n * w <= 7,
//                   rest of bytes 8..14 zero, tag (w << 4) | (n - 1); word 0
//                   holds the value (n = 1) or points to a value array of
//                   cap(n) words, value i for key i, zero past n.
//   map linear leaf one block of cap(n) * (w + 8) bytes: cap(n) values, then
//                   the n keys from byte 8 * cap(n); pop0 = n - 1 in the low
//                   w decode bytes, tag 4 + w.
//   LeafBitmapL     128-byte node: 256-bit key bitmap as 8 u32 groups and 8
//                   value subarrays of cap(c) words for a group of c keys
//                   (null for an empty group); pop0 in edge byte 8, tag 12.
//
// A builder allocates the new blocks, fills them and writes the whole edge it
// is handed. It does not read or free the form it replaces, writes no decode
// bytes of skipped levels and touches no ancestor, path or version word.
// Pairs come in ascending order of distinct keys; the builders keep that
// order and do not check it. Occ = false: the allocator is in local mode by
// construction; Occ = true: it may be deferred, and the caller publishes the
// private edge copy it handed in. The allocator picks its mode per block, so
// both members build the same bytes.

#include <bit>
#include <cstddef>
#include <cstring>
#include <vector>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/fatal.hpp"
#include "tolvane/core/forms.hpp"
#include "tolvane/core/key_value.hpp"
#include "tolvane/write/mutate_branch.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::mutate_map {

// Map leaf forms hold the set forms' key counts, except the immediates,
// whose keys share the edge with a value word.
using forms::map_immediate_capacity;
using forms::MAP_IMMEDIATE_KEY_BYTES;
constexpr unsigned map_leaf_max_keys(unsigned w) noexcept { return forms::linear_leaf_max_keys(w); }

// Whether a tag that decodes as an immediate also fits the map flavour's
// seven key bytes. Wider ones are valid set immediates but would make a map
// reader run past byte 14 of the edge.
constexpr bool fits_map_immediate(const EdgeKind& kind) noexcept {
    return kind.is_immediate() && unsigned{kind.key_bytes} * kind.count <= MAP_IMMEDIATE_KEY_BYTES;
}

// ---------------------------------------------------------------------------
// Blocks of the map forms and their exact sizes.

inline u64* take_values(NodeAlloc& alloc, std::size_t count) {
    return static_cast<u64*>(alloc.allocate_zeroed(value_array_bytes(count)));
}
inline void release_values(NodeAlloc& alloc, u64* values, std::size_t count) {
    alloc.release(values, value_array_bytes(count), LEAF_ALIGN);
}
inline u8* take_map_leaf(NodeAlloc& alloc, std::size_t n, unsigned w) {
    return static_cast<u8*>(alloc.allocate_zeroed(map_leaf_block_bytes(n, w)));
}
inline void release_map_leaf(NodeAlloc& alloc, void* block, std::size_t n, unsigned w) {
    alloc.release(block, map_leaf_block_bytes(n, w), LEAF_ALIGN);
}

// Where a key's last byte sits in a LeafBitmapL: its group, the group's
// bitmap word, its rank there and the group's value subarray. A present
// key's group always has a subarray; a broken leaf stops here.
struct BitmapLeafSpot {
    LeafBitmapL* leaf;
    u8 digit;
    unsigned group_index;
    u32 group;
    unsigned rank;
    u64* values;
    bool present;
};

inline BitmapLeafSpot find_in_bitmap_leaf(const Edge& e, u64 key) {
    auto* leaf = e.ptr<LeafBitmapL>();
    require(leaf != nullptr, "leaf ptr");
    const u8 d = static_cast<u8>(key);
    const unsigned g = d >> 5;
    const u32 group = leaf->bitmap[g];
    const bool present = group_has(group, d);
    u64* values = leaf->value_subarrays[g];
    if (present) require(values != nullptr, "values");
    return {leaf, d, g, group, group_rank(group, d), values, present};
}

namespace detail {

template <unsigned W>
inline void store_keys(u8* dst, const KeyValue* pairs, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) std::memcpy(dst + i * W, &pairs[i].key, W);
}

// The low w bytes of each key, packed from dst; one loop per width.
inline void pack_keys(u8* dst, unsigned w, const KeyValue* pairs, std::size_t n) {
    switch (w) {
        case 1:
            return store_keys<1>(dst, pairs, n);
        case 2:
            return store_keys<2>(dst, pairs, n);
        case 3:
            return store_keys<3>(dst, pairs, n);
        case 4:
            return store_keys<4>(dst, pairs, n);
        case 5:
            return store_keys<5>(dst, pairs, n);
        case 6:
            return store_keys<6>(dst, pairs, n);
        case 7:
            return store_keys<7>(dst, pairs, n);
        default:
            fatal("internal error: entered unreachable code: a packed leaf key is 1..=7 bytes");
    }
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Builders.

// A map linear leaf of the n pairs' low w bytes: block of exactly
// cap(n) * (w + 8) bytes, edge {block, pop0 n - 1, tag 4 + w}.
template <bool Occ>
void build_map_leaf(NodeAlloc& alloc, Edge& edge, u8 w, const KeyValue* pairs, u64 n) {
    require(w >= 1 && w <= 7,
            "internal error: entered unreachable code: a packed leaf key is 1..=7 bytes");
    require(n >= 1, "index out of bounds: map leaf of no keys");
    u8* block = take_map_leaf(alloc, n, w);
    u64 value;
    for (std::size_t i = 0; i < n; ++i) {
        value = pairs[i].value;
        std::memcpy(block + 8 * i, &value, 8);
    }
    detail::pack_keys(block + map_leaf_key_offset(n), w, pairs, n);
    Edge e;
    e.set_ptr(block);
    e.set_tag(linear_leaf_tag(w));
    e.set_pop0(w, n - 1);
    edge = e;
}

// A map immediate of n keys of w bytes. A width of 0 would write a node tag,
// so it is refused with the other impossible shapes.
template <bool Occ>
void write_map_immed(NodeAlloc& alloc, Edge& edge, u8 w, const KeyValue* pairs, u64 n) {
    require(w >= 1 && w <= 7 && n >= 1 && n * w <= 15, "immediate capacity");
    require(n * w <= MAP_IMMEDIATE_KEY_BYTES,
            "index out of bounds: map immediate keys past edge byte 14");
    // Keys packed little-endian from decode position 0; n * w <= 7 keeps them
    // clear of the tag byte.
    Edge e;
    for (u64 i = 0; i < n; ++i) e.w1 |= shl8(pairs[i].key & low_bytes_mask(w), static_cast<unsigned>(i * w));
    if (n == 1) {
        e.w0 = pairs[0].value;
    } else {
        u64* values = take_values(alloc, n);
        for (std::size_t i = 0; i < n; ++i) values[i] = pairs[i].value;
        e.set_ptr(values);
    }
    e.set_tag(immediate_tag(w, static_cast<unsigned>(n)));
    edge = e;
}

// A LeafBitmapL of n (1..256) pairs whose keys are level-1 digits.
template <bool Occ>
void build_bitmap_leaf_map(NodeAlloc& alloc, Edge& edge, const KeyValue* pairs, u64 n) {
    require(n >= 1 && n <= 256, "index out of bounds: bitmap leaf of 1..=256 keys");
    LeafBitmapL* leaf = mutate::detail::take_node<LeafBitmapL>(alloc);
    for (std::size_t i = 0; i < n; ++i) {
        const u64 d = pairs[i].key;
        require(d < 256, "index out of bounds: bitmap leaf digit above 255");
        leaf->bitmap[d >> 5] |= u32{1} << (d & 31);
    }
    // Ascending keys make each group one run of pairs.
    for (std::size_t i = 0; i < n;) {
        const unsigned g = static_cast<unsigned>(pairs[i].key >> 5);
        std::size_t end = i;
        while (end < n && (pairs[end].key >> 5) == g) ++end;
        u64* values = take_values(alloc, end - i);
        for (std::size_t j = i; j < end; ++j) values[j - i] = pairs[j].value;
        leaf->value_subarrays[g] = values;
        i = end;
    }
    Edge e;
    e.set_ptr(leaf);
    e.set_tag(TAG_LEAF_BITMAP);
    e.set_pop0(1, n - 1);
    edge = e;
}

// The n (key, value) pairs of the map linear leaf behind `edge`, keys as
// their w stored bytes; room for one more pair.
std::vector<KeyValue> read_map_leaf(const Edge& edge, u8 w, u64 n);

// Releases every value subarray of a LeafBitmapL, then the node.
void release_bitmap_leaf_map(NodeAlloc& alloc, LeafBitmapL* leaf);

}  // namespace tolvane::mutate_map
