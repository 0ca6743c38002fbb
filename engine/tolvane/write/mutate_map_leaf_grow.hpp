#pragma once
// Blocks a map-flavour insert builds when a leaf form gains a key it has no
// room for, shared by the exclusive insert (mutate_map.cpp) and the
// reclaiming one (mutate_map_insert_leaf.hpp). Each builder fills a new block
// completely and leaves the old one alone: when to publish the new block and
// when to release the old one is the caller's protocol.

#include <bit>
#include <cstddef>
#include <cstring>
#include <vector>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/fatal.hpp"
#include "tolvane/core/key_value.hpp"
#include "tolvane/leaf/leaf_keys.hpp"
#include "tolvane/write/mutate_branch.hpp"
#include "tolvane/write/mutate_map_leaf.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::mutate_map {

// A value array of cap(c + 1) words: the c `values` with `value` at index r.
inline u64* grown_values(NodeAlloc& alloc, const u64* values, std::size_t c, std::size_t r,
                         u64 value) {
    u64* fresh = take_values(alloc, c + 1);
    if (c > 0) {
        std::memcpy(fresh, values, r * 8);
        std::memcpy(fresh + r + 1, values + r, (c - r) * 8);
    }
    fresh[r] = value;
    return fresh;
}

// The n pairs of a full map immediate (packed `keys`, `values`) with (k,
// value) at index i, into `pairs` (room for n + 1).
inline void immediate_pairs_with(const u8* keys, const u64* values, std::size_t n, unsigned w,
                                 std::size_t i, u64 k, u64 value, KeyValue* pairs) {
    for (std::size_t j = 0, from = 0; j <= n; ++j) {
        if (j == i) {
            pairs[j] = KeyValue{k, value};
            continue;
        }
        pairs[j] = KeyValue{leaf::packed_key(keys, from, w), values[from]};
        ++from;
    }
}

// A full map linear leaf in a slot of `level` about to take (key, value) at
// index i: every pair with the digits the leaf skipped, so each holds its
// key's low `level` bytes, in order.
inline std::vector<KeyValue> full_leaf_pairs(const Edge& e, unsigned level, unsigned w,
                                             std::size_t i, u64 key, u64 value) {
    std::vector<KeyValue> pairs = read_map_leaf(e, static_cast<u8>(w), map_leaf_max_keys(w));
    pairs.insert(pairs.begin() + static_cast<std::ptrdiff_t>(i),
                 KeyValue{key & LEVEL_MASK[w], value});
    const u64 skipped = e.w1 & shl8(LEVEL_MASK[level - w], w);
    for (KeyValue& kv : pairs) kv.key |= skipped;
    return pairs;
}

// What replaces a full leaf whose pairs (full_leaf_pairs) share every byte
// above `level`, written into `fresh`: a LeafBitmapL holding them all when
// they differ only in the lowest byte, under the skipped digits (returns 0);
// else an empty BranchL3 at the level above the highest byte in which they
// differ, under its skipped digits, for the caller to fill and count
// (returns that level).
template <bool Occ>
unsigned split_full_leaf_head(NodeAlloc& alloc, Edge& fresh, std::vector<KeyValue>& pairs,
                              unsigned level) {
    const u64 first = pairs.front().key;
    const u64 diff = (first ^ pairs.back().key) & LEVEL_MASK[level];
    if (diff < 256) {
        for (KeyValue& kv : pairs) kv.key &= 0xFF;
        build_bitmap_leaf_map<Occ>(alloc, fresh, pairs.data(), pairs.size());
        mutate::write_decode(fresh, 1, static_cast<u8>(level), first);
        return 0;
    }
    const unsigned node_level = (static_cast<unsigned>(63 - std::countl_zero(diff)) >> 3) + 1;
    auto* node = mutate::detail::take_node<BranchL3>(alloc);
    node->level = static_cast<u8>(node_level);
    Edge head;
    head.set_ptr(node);
    head.set_tag(TAG_BRANCH_L3);
    if (node_level < level)
        mutate::write_decode(head, static_cast<u8>(node_level), static_cast<u8>(level), first);
    fresh = head;
    return node_level;
}

}  // namespace tolvane::mutate_map
