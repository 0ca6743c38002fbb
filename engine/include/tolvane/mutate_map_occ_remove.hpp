#pragma once
// Reclaiming map-flavour remove: one key out of a tree that optimistic
// readers may walk while it runs, its value handed back. It takes every
// decision of the exclusive remove (mutate_map_remove.hpp): the same search,
// the same shrink bounds and forms, so both leave the same tree. What differs
// is how memory changes:
//
//   - nothing is written before the key is known to be present (the
//     unversioned member still bumps the words of the branches it descended
//     through by 2 each);
//   - a leaf, value array or subarray that moves into a smaller block is
//     rebuilt in a new one and published, then the old block released
//     (retired to the collector in deferred mode); an edit that keeps its
//     block is made in place with single atomic stores;
//   - a branch's own change (a child slot closed) is bracketed with its own
//     word; a branch that empties is marked obsolete before it is released,
//     a demoted one inside the reclaiming shrink step;
//   - each frame republishes its slot after a successful removal below it:
//     population one lower (never below 0), a demoted branch, or emptied.
//
// Unversioned = true: each branch's word is held odd around the descent
// below it; no frame brackets its own slot (at the root nothing does).
// Unversioned = false: every change of a frame's slot, and of the leaf or
// value array behind it, is bracketed with the holder word that
// `bump_node_word` / `caller_word` name (see mutate_map_occ_insert.hpp); for
// a linear or bitmap branch that bracket opens after the branch's own one
// closed. Callers flush their insert path first and count the removal in
// their own population; an emptied root slot is left all zero.

#include <bit>
#include <cstring>

#include "tolvane/alloc.hpp"
#include "tolvane/bits.hpp"
#include "tolvane/fatal.hpp"
#include "tolvane/key_value.hpp"
#include "tolvane/leaf.hpp"
#include "tolvane/mutate_branch.hpp"
#include "tolvane/mutate_free.hpp"
#include "tolvane/mutate_map_leaf.hpp"
#include "tolvane/mutate_map_remove.hpp"
#include "tolvane/mutate_occ.hpp"
#include "tolvane/mutate_occ_remove_branch.hpp"
#include "tolvane/node.hpp"
#include "tolvane/types.hpp"
#include "tolvane/version.hpp"

namespace tolvane::mutate_map {

namespace occ_remove_detail {

using mutate::publish_edge;
using mutate::read_edge;
using mutate::occ_detail::packed_key;
using mutate::occ_detail::SlotGuard;

// Tags 16..126: a map immediate of n keys of w bytes (w is the slot level).
template <bool U>
bool remove_from_immediate(const SlotGuard<U>& guard, Edge& slot, const Edge& e,
                           const EdgeKind& kind, u64 key, u64& value) {
    NodeAlloc& alloc = guard.alloc;
    const unsigned w = kind.key_bytes;
    const unsigned n = kind.count;
    const u64 k = key & LEVEL_MASK[w];
    if (n == 1) {
        if ((e.w1 & LEVEL_MASK[w]) != k) return false;
        value = e.w0;
        guard.publish(slot, Edge::empty());
        return true;
    }
    u8 keys[8];
    std::memcpy(keys, &e.w1, 8);
    const leaf::LeafPos pos = leaf::locate(keys, n, static_cast<u8>(w), k);
    if (!pos.found) return false;
    const std::size_t i = pos.index;
    u64* values = e.ptr<u64>();
    require(values != nullptr, "value array");
    value = values[i];

    if (n == 2) {
        // The survivor's value moves inline and the array goes.
        const std::size_t j = 1 - i;
        Edge fresh;
        fresh.w0 = values[j];
        fresh.w1 = packed_key(keys, j, w);
        fresh.set_tag(immediate_tag(w, 1));
        guard.publish(slot, fresh);
        release_values(alloc, values, 2);
        return true;
    }
    require(w >= 1 && w <= 7 && (n - 1) * w < 16, "immediate capacity");
    std::memmove(keys + i * w, keys + (i + 1) * w, (n - 1 - i) * w);
    std::memset(keys + (n - 1) * w, 0, sizeof keys - (n - 1) * w);
    Edge fresh;
    std::memcpy(&fresh.w1, keys, MAP_IMMEDIATE_KEY_BYTES);
    fresh.set_tag(immediate_tag(w, n - 1));
    if (capacity_class(n - 1) == capacity_class(n)) {
        guard.begin();
        for (std::size_t j = i; j + 1 < n; ++j) store_relaxed(values[j], values[j + 1]);
        fresh.set_ptr(values);
        publish_edge(slot, fresh);
        guard.end();
        return true;
    }
    u64* smaller = take_values(alloc, n - 1);
    std::memcpy(smaller, values, i * 8);
    std::memcpy(smaller + i, values + i + 1, (n - 1 - i) * 8);
    fresh.set_ptr(smaller);
    guard.publish(slot, fresh);
    release_values(alloc, values, n);
    return true;
}

// Tags 5..11: a map linear leaf of w-byte keys.
template <bool U>
bool remove_from_linear_leaf(const SlotGuard<U>& guard, Edge& slot, Edge e, u64 key, unsigned level,
                             u64& value) {
    NodeAlloc& alloc = guard.alloc;
    const unsigned w = e.tag_byte() - TAG_LEAF_BASE;
    if (!prefix_matches(e, level, w, key)) return false;
    const std::size_t n = static_cast<std::size_t>(e.pop0(w)) + 1;
    u8* block = e.ptr<u8>();
    require(block != nullptr, "leaf ptr");
    const u8* keys = block + map_leaf_key_offset(n);
    const leaf::LeafPos pos = leaf::locate(keys, n, static_cast<u8>(w), key & LEVEL_MASK[w]);
    if (!pos.found) return false;
    const std::size_t i = pos.index;
    std::memcpy(&value, block + 8 * i, 8);
    require(level != 0, "attempt to divide by zero");

    if (n == 1 || n <= map_immediate_capacity(level)) {
        // Few enough keys for an immediate of the slot's width: each key
        // regains the digits the leaf skipped.
        Edge fresh;
        if (n > 1) {
            const u64 upper =
                shl8(mutate::decode_value(e, static_cast<u8>(w), static_cast<u8>(level)), w);
            KeyValue rest[MAP_IMMEDIATE_KEY_BYTES + 1];
            std::size_t m = 0;
            for (std::size_t j = 0; j < n; ++j) {
                if (j == i) continue;
                require(m < MAP_IMMEDIATE_KEY_BYTES + 1,
                        "index out of bounds: leaf folds into an immediate");
                u64 v;
                std::memcpy(&v, block + 8 * j, 8);
                rest[m++] = KeyValue{packed_key(keys, j, w) | upper, v};
            }
            write_map_immed<true>(alloc, fresh, static_cast<u8>(level), rest, m);
        }
        guard.publish(slot, fresh);
        release_map_leaf(alloc, block, n, w);
        return true;
    }
    if (capacity_class(n - 1) == capacity_class(n)) {
        guard.begin();
        leaf::shared_keys::map_remove_at(block, static_cast<u8>(w), n, i);
        e.set_pop0(w, n - 2);
        publish_edge(slot, e);
        guard.end();
        return true;
    }
    u8* fresh = take_map_leaf(alloc, n - 1, w);
    leaf::map_realloc_remove(block, fresh, static_cast<u8>(w), n, i);
    e.set_ptr(fresh);
    e.set_pop0(w, n - 2);
    guard.publish(slot, e);
    release_map_leaf(alloc, block, n, w);
    return true;
}

// Tag 12: a LeafBitmapL. It keeps at least 21 keys; below that it becomes a
// width-1 leaf under the same skipped digits (or an immediate).
template <bool U>
bool remove_from_bitmap_leaf(const SlotGuard<U>& guard, Edge& slot, Edge e, u64 key, unsigned level,
                             u64& value) {
    NodeAlloc& alloc = guard.alloc;
    if (!prefix_matches(e, level, 1, key)) return false;
    auto* leaf = e.ptr<LeafBitmapL>();
    require(leaf != nullptr, "leaf ptr");
    const u8 d = static_cast<u8>(key);
    const unsigned g = d >> 5;
    const u32 group = leaf->bitmap[g];
    if (!group_has(group, d)) return false;
    const unsigned r = group_rank(group, d);
    u64* values = leaf->value_subarrays[g];
    require(values != nullptr, "values");
    value = values[r];
    const unsigned c = static_cast<unsigned>(std::popcount(group));

    guard.begin();
    if (c == 1) {
        store_release(leaf->value_subarrays[g], static_cast<u64*>(nullptr));
        release_values(alloc, values, 1);
    } else if (capacity_class(c - 1) == capacity_class(c)) {
        for (unsigned j = r; j + 1 < c; ++j) store_relaxed(values[j], values[j + 1]);
    } else {
        u64* smaller = take_values(alloc, c - 1);
        std::memcpy(smaller, values, r * 8);
        std::memcpy(smaller + r, values + r + 1, (c - 1 - r) * 8);
        store_release(leaf->value_subarrays[g], smaller);
        release_values(alloc, values, c);
    }
    store_relaxed(leaf->bitmap[g], group & ~(u32{1} << (d & 31)));

    if (e.byte(8) >= MAP_BITMAP_LEAF_MIN_KEYS) {  // at least 21 keys remain
        e.set_byte(8, static_cast<u8>(e.byte(8) - 1));
        publish_edge(slot, e);
        guard.end();
        return true;
    }
    KeyValue pairs[32];
    std::size_t k = 0;
    for (unsigned gg = 0; gg < 8; ++gg) {
        std::size_t rank = 0;
        for (u32 bits = leaf->bitmap[gg]; bits != 0; bits &= bits - 1, ++rank) {
            require(k < 32, "index out of bounds: bitmap leaf below its floor holds too many keys");
            require(leaf->value_subarrays[gg] != nullptr, "values");
            pairs[k++] = KeyValue{32u * gg + static_cast<unsigned>(std::countr_zero(bits)),
                                  leaf->value_subarrays[gg][rank]};
        }
    }
    release_bitmap_leaf_map(alloc, leaf);
    require(level != 0, "attempt to divide by zero");
    Edge fresh;
    if (k < map_immediate_capacity(level)) {
        const u64 prefix =
            level >= 2 ? shl8(mutate::decode_value(e, 1, static_cast<u8>(level)), 1) : 0;
        for (std::size_t j = 0; j < k; ++j) pairs[j].key |= prefix;
        write_map_immed<true>(alloc, fresh, static_cast<u8>(level), pairs, k);
    } else {
        require(level <= 7, "index out of bounds: map bitmap leaf rebuilt at slot level 8");
        build_map_leaf<true>(alloc, fresh, 1, pairs, k);
        mutate::write_decode(fresh, 1, static_cast<u8>(level), e.w1);
    }
    publish_edge(slot, fresh);
    guard.end();
    return true;
}

template <bool U>
bool remove_frame(NodeAlloc& alloc, Edge& slot, u64 key, unsigned level, u64 bump_node_word,
                  u32* caller_word, u64& value) {
    const SlotGuard<U> guard{alloc, bump_node_word, caller_word};
    const Edge e = read_edge(slot);
    const EdgeKind kind = e.tag();
    if (kind.is_invalid() || (kind.is_immediate() && !fits_map_immediate(kind)))
        fatal("valid edge tag");
    if (kind.is_immediate()) return remove_from_immediate(guard, slot, e, kind, key, value);
    switch (kind.kind) {
        case TAG_EMPTY:
            return false;
        case TAG_BRANCH_L3:
        case TAG_BRANCH_L7:
        case TAG_BRANCH_B:
        case TAG_BRANCH_U:
            return mutate::occ_detail::remove_branch_step_occ<true>(
                guard, slot, e, key, level, [&](Edge& child, unsigned child_level, u32& word) {
                    return remove_frame<U>(alloc, child, key, child_level, 1, &word, value);
                });
        case TAG_LEAF_BITMAP:
            return remove_from_bitmap_leaf(guard, slot, e, key, level, value);
        case TAG_FULL:
            fatal(
                "internal error: entered unreachable code: full-tolvane edges are set-flavor only");
        default:  // tags 5..11; 13..15 do not decode
            return remove_from_linear_leaf(guard, slot, e, key, level, value);
    }
}

}  // namespace occ_remove_detail

// The unversioned member: for trees whose root slot no tree word guards.
template <bool Occ, bool Unversioned>
    requires(Occ && Unversioned)
RemoveResult map_remove_occ(NodeAlloc& alloc, Edge& edge, u64 key, u32 level) {
    RemoveResult out;
    out.found =
        occ_remove_detail::remove_frame<true>(alloc, edge, key, level, 0, nullptr, out.value);
    return out;
}

// The versioned member: bit 0 of `bump_node_word` set means `caller_word`
// guards `edge`; clear means `edge` is the root slot (tree word while the
// allocator covers the root).
template <bool Occ, bool Unversioned>
    requires(Occ && !Unversioned)
RemoveResult map_remove_occ(NodeAlloc& alloc, Edge& edge, u64 key, u32 level, u64 bump_node_word,
                            u32* caller_word) {
    RemoveResult out;
    out.found = occ_remove_detail::remove_frame<false>(alloc, edge, key, level, bump_node_word,
                                                       caller_word, out.value);
    return out;
}

}  // namespace tolvane::mutate_map
