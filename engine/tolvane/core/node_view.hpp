#pragma once
// Read-only views of the nodes behind an edge, shared by point lookup,
// ordered navigation and iteration. Each view reads a node through its own
// struct type and copies the few header fields a walk needs; nothing here
// writes, allocates or checks more than the bounds a walk relies on.

#include <bit>
#include <cstddef>
#include <cstring>
#include <optional>

#include "tolvane/core/bits.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::view {

// Key bytes node_level..slot_level-1 that every key below the edge shares,
// shifted down by node_level bytes; 0 when the edge skips nothing.
inline u64 skipped_prefix(const Edge& e, unsigned node_level, unsigned slot_level) {
    if (node_level >= slot_level) return 0;
    return mutate::decode_value(e, static_cast<u8>(node_level), static_cast<u8>(slot_level));
}

// A w-byte little-endian key of a packed key array.
inline u64 load_key(const u8* p, unsigned w) noexcept {
    u64 k = 0;
    std::memcpy(&k, p, w);
    return k;
}

// Linear branch (tags 1 and 2): the header copied, the children in place.
struct Linear {
    const Edge* children = nullptr;
    u8 digits[8] = {};
    unsigned count = 0;
    unsigned level = 0;
    u16 summary = 0;
};

template <std::size_t N>
Linear linear_of(const BranchL<N>* node) {
    Linear v;
    v.children = node->children;
    std::memcpy(v.digits, node->digits, 8);
    v.count = node->count;
    v.level = node->level;
    v.summary = node->summary;
    require(v.count <= N, "linear branch child count out of range");
    return v;
}

inline Linear linear(const Edge& e) {
    if (e.tag_byte() == TAG_BRANCH_L3) return linear_of(e.ptr<const BranchL3>());
    return linear_of(e.ptr<const BranchL7>());
}

// Bitmap branch (tag 3): the child of a present digit by its group rank.
inline const Edge& bitmap_child(const BranchB* node, u8 d) {
    return node->subarrays[d >> 5][group_rank(node->bitmap[d >> 5], d)];
}

inline Bitmap256 bitmap_bits(const BranchB* node) { return Bitmap256::from_groups(node->bitmap); }

// Largest set digit at or below `from`: the mirror of Bitmap256::next_set.
inline std::optional<u8> prev_set(const Bitmap256& bits, u8 from) noexcept {
    int i = from >> 6;
    const unsigned s = 63 - (from & 63u);
    u64 x = (bits.words[i] << s) >> s;
    for (;;) {
        if (x != 0) return static_cast<u8>(64 * i + 63 - static_cast<int>(std::countl_zero(x)));
        if (--i < 0) return std::nullopt;
        x = bits.words[i];
    }
}

// Bitmap leaf (tag 12): LeafB1 in the set flavour, LeafBitmapL in the map
// flavour. Both hold the same bit image; only the map one has values.
template <bool Map>
Bitmap256 leaf_bits(const Edge& e) {
    if constexpr (Map) {
        return Bitmap256::from_groups(e.ptr<const LeafBitmapL>()->bitmap);
    } else {
        Bitmap256 b;
        std::memcpy(b.words, e.ptr<const LeafB1>()->bitmap, sizeof b.words);
        return b;
    }
}

// Value of the present key byte b of a map bitmap leaf.
inline u64 bitmap_leaf_value(const LeafBitmapL* leaf, u8 b) {
    return leaf->value_subarrays[b >> 5][group_rank(leaf->bitmap[b >> 5], b)];
}

// Linear leaf (tags 5-11) of `count` w-byte keys. The map flavour keeps
// capacity_class(count) values in front of the keys.
struct LinearLeaf {
    const u8* keys = nullptr;
    const u64* values = nullptr;  // map flavour only
    unsigned w = 0;
    std::size_t count = 0;

    u64 key(std::size_t i) const noexcept { return load_key(keys + w * i, w); }
};

template <bool Map>
LinearLeaf linear_leaf(const Edge& e) {
    LinearLeaf v;
    v.w = e.tag_byte() - TAG_LEAF_BASE;
    v.count = static_cast<std::size_t>(e.pop0(v.w)) + 1;
    const u8* block = e.ptr<const u8>();
    if constexpr (Map) {
        v.values = e.ptr<const u64>();
        v.keys = block + map_leaf_key_offset(v.count);
    } else {
        v.keys = block;
    }
    return v;
}

// Keys of an immediate, in the flavour's packing.
template <bool Map>
KeyList16 immediate_keys(const Edge& e, const EdgeKind& kind) {
    if constexpr (Map)
        return mutate::immed_map_keys(e, kind.key_bytes, kind.count);
    else
        return mutate::immed_keys(e, kind.key_bytes, kind.count);
}

// Value of key i of an immediate: word 0 itself for one key, else entry i of
// the value array it points to. The set flavour has none.
template <bool Map>
u64 immediate_value(const Edge& e, unsigned count, std::size_t i) {
    if constexpr (!Map) {
        return 0;
    } else {
        if (count == 1) return e.w0;
        const u64* values = e.ptr<const u64>();
        return values ? values[i] : 0;
    }
}

}  // namespace tolvane::view
