#pragma once
// Leaf level of the map insert, one body for the exclusive walk
// (mutate_map.cpp) and the reclaiming one (mutate_map_reclaiming_insert.hpp):
// what the key does to the empty edge, map immediate, map linear leaf (one
// step with the set's, insert_leaf.hpp) or LeafBitmapL it reaches. The slot
// type decides how each change is written (mutate_reclaiming.hpp):
// ExclusiveSlot stores plainly and brackets nothing, and the exclusive walk
// refills its insert path after a key went into a one-byte leaf or a
// LeafBitmapL of a level-1 slot; SlotGuard<U> writes as follows, and never
// refills the path:
//
//   - a form that changes size is rebuilt in a new block, filled completely
//     and published by one edge store; the old block is released after the
//     publication (retired to the collector in deferred mode);
//   - an edit that keeps its block (values shifted inside a value array,
//     leaf block or value subarray, a bitmap bit, an overwritten value) is
//     made in place with single atomic stores and ends with the edge
//     republished, also when its 16 bytes did not change;
//   - every such change, in place or by replacement, is bracketed with the
//     frame's holder word in the versioned member; the unversioned member
//     relies on the parent branch's word, which its walk holds odd;
//   - a present key costs the get-or-insert member nothing at all: no store,
//     no bracket;
//   - the insert path is never refilled: hot leaves are for exclusive trees.
//
// A full leaf that must split is rebuilt on a private edge by inserting its
// pairs one by one under a new BranchL3 through the caller's walk; nobody can
// see that edge, so the reclaiming inserts bump only a private word, and the
// finished subtree is published in one bracket.

#include <bit>
#include <cstring>
#include <vector>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/fatal.hpp"
#include "tolvane/read/get.hpp"
#include "tolvane/core/key_value.hpp"
#include "tolvane/leaf/leaf.hpp"
#include "tolvane/write/mutate_branch.hpp"
#include "tolvane/write/mutate_insert.hpp"
#include "tolvane/write/mutate_map_insert.hpp"
#include "tolvane/write/mutate_map_leaf.hpp"
#include "tolvane/write/mutate_map_leaf_grow.hpp"
#include "tolvane/write/mutate_reclaiming.hpp"
#include "tolvane/write/insert_branch.hpp"
#include "tolvane/write/insert_leaf.hpp"
#include "tolvane/write/mutate_reclaiming_insert.hpp"
#include "tolvane/write/mutate_path.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::mutate_map::reclaiming_detail {

using mutate::publish_edge;
using mutate::insert_leaf::Outcome;
using mutate::reclaiming_detail::SlotGuard;

// Each step answers as the set's do (insert_leaf.hpp): Present or Stored
// once the result is written, Reshaped when the slot must be read again.
inline Outcome report_found(InsertResult& out, u64 old, u64* word) {
    out.existed = 1;
    out.old = old;
    out.slot = word;
    return Outcome::Present;
}

inline Outcome report_added(InsertResult& out, u64* word) {
    out.existed = 0;
    out.slot = word;
    return Outcome::Stored;
}

// A present key whose value lives in a block behind the edge: left alone by
// get-or-insert, else overwritten and the unchanged edge republished, so the
// new value is released together with it.
template <bool KeepExisting, class Slot>
Outcome settle_present(const Slot& guard, InsertResult& out, Edge& slot, const Edge& e,
                       u64* word, u64 value) {
    const u64 old = load_relaxed(*word);
    if constexpr (!KeepExisting) {
        guard.begin();
        guard.store(*word, value);
        guard.store_edge(slot, e);
        guard.end();
    }
    return report_found(out, old, word);
}

// An empty slot below level 8 takes a one-key immediate of the slot's width.
template <class Slot>
Outcome insert_into_empty(const Slot& guard, InsertResult& out, Edge& slot, u64 key, u64 value,
                          unsigned level) {
    require(level >= 1 && level <= 7, "immediate 1 key");
    Edge fresh;
    fresh.w0 = value;
    fresh.w1 = key & LEVEL_MASK[level];
    fresh.set_tag(immediate_tag(level, 1));
    guard.publish(slot, fresh);
    return report_added(out, &slot.w0);
}

// Tags 16..126: a map immediate of n keys of w bytes (w is the slot level).
template <bool KeepExisting, class Slot>
Outcome insert_into_immediate(const Slot& guard, InsertResult& out, Edge& slot, const Edge& e,
                              const EdgeKind& kind, u64 key, u64 value) {
    NodeAlloc& alloc = guard.alloc;
    const unsigned w = kind.key_bytes;
    const unsigned n = kind.count;
    const u64 k = key & LEVEL_MASK[w];

    if (n == 1) {
        const u64 stored = e.w1 & LEVEL_MASK[w];
        if (stored == k) {
            if constexpr (!KeepExisting) {
                Edge fresh = e;
                fresh.w0 = value;
                guard.publish(slot, fresh);
            }
            return report_found(out, e.w0, &slot.w0);
        }
        const bool key_first = k < stored;
        const KeyValue mine{k, value}, other{stored, e.w0};
        const KeyValue pairs[2] = {key_first ? mine : other, key_first ? other : mine};
        Edge fresh;
        if (2 * w > MAP_IMMEDIATE_KEY_BYTES)
            build_map_leaf<Slot::kReclaiming>(alloc, fresh, static_cast<u8>(w), pairs, 2);
        else
            write_map_immed<Slot::kReclaiming>(alloc, fresh, static_cast<u8>(w), pairs, 2);
        guard.publish(slot, fresh);
        return report_added(out, fresh.ptr<u64>() + (key_first ? 0 : 1));
    }

    u8 keys[8];
    std::memcpy(keys, &e.w1, 8);
    const leaf::LeafPos pos = leaf::locate(keys, n, static_cast<u8>(w), k);
    u64* values = e.ptr<u64>();
    require(values != nullptr, "value array");
    const std::size_t i = pos.index;
    if (pos.found) return settle_present<KeepExisting>(guard, out, slot, e, values + i, value);

    if (n >= map_immediate_capacity(w)) {
        // Full: the n + 1 pairs move into a map linear leaf of width w.
        KeyValue pairs[MAP_IMMEDIATE_KEY_BYTES + 1];
        immediate_pairs_with(keys, values, n, w, i, k, value, pairs);
        Edge fresh;
        build_map_leaf<Slot::kReclaiming>(alloc, fresh, static_cast<u8>(w), pairs, n + 1);
        guard.publish(slot, fresh);
        release_values(alloc, values, n);
        return report_added(out, fresh.ptr<u64>() + i);
    }

    require((n + 1) * w < 16, "immediate capacity");
    std::memmove(keys + (i + 1) * w, keys + i * w, (n - i) * w);
    leaf::put_packed_key(keys, i, w, k);
    Edge fresh;
    std::memcpy(&fresh.w1, keys, MAP_IMMEDIATE_KEY_BYTES);
    fresh.set_tag(immediate_tag(w, n + 1));
    if (capacity_class(n + 1) == capacity_class(n)) {
        guard.begin();
        for (std::size_t j = n; j > i; --j) guard.store(values[j], values[j - 1]);
        guard.store(values[i], value);
        fresh.set_ptr(values);
        guard.store_edge(slot, fresh);
        guard.end();
        return report_added(out, values + i);
    }
    u64* grown = grown_values(alloc, values, n, i, value);
    fresh.set_ptr(grown);
    guard.publish(slot, fresh);
    release_values(alloc, values, n);
    return report_added(out, grown + i);
}

// The map flavour of the linear-leaf step (insert_leaf.hpp): a value word
// per key, and the result names it.
template <bool KeepExisting>
struct MapFlavour {
    static constexpr bool kValues = true;
    InsertResult& result;
    u64 value;

    template <class Slot>
    Outcome present(const Slot& guard, Edge& slot, const Edge& e, u8* block,
                    std::size_t i) const {
        return settle_present<KeepExisting>(guard, result, slot, e,
                                            reinterpret_cast<u64*>(block) + i, value);
    }

    // A full leaf takes its next key at index `at`: a LeafBitmapL when all
    // keys share every byte but the lowest, else a BranchL3 at the highest
    // byte in which they differ, filled on a private edge; either is
    // published in one step, then the old block released.
    template <class Slot, class InsertAgain>
    Outcome rebuild_full(const Slot& guard, Edge& slot, const Edge& e, unsigned level, u8 w,
                         std::size_t n, std::size_t at, u64 key, InsertPath& path,
                         InsertAgain& insert_again) const {
        NodeAlloc& alloc = guard.alloc;
        std::vector<KeyValue> pairs = full_leaf_pairs(e, level, w, at, key, value);
        Edge fresh;
        const unsigned node_level =
            split_full_leaf_head<Slot::kReclaiming>(alloc, fresh, pairs, level);
        if (node_level != 0) {
            u32 private_word = 0;
            for (const KeyValue& kv : pairs)
                insert_again(fresh, kv, mutate::SlotHolder::branch(private_word));
            fresh.set_pop0(node_level, pairs.size() - 1);
            // The re-inserts carried only the low bytes of each key, so a hot
            // leaf they named would sit under a shortened prefix.
            path.flush_and_reset();
        }
        guard.publish(slot, fresh);
        release_map_leaf(alloc, e.ptr<void>(), n, w);
        u64* word = get::locate_slot(&slot, key, static_cast<u8>(level));
        require(word != nullptr, "just-inserted key");
        return report_added(result, word);
    }

    Outcome added(u8* block, std::size_t i) const {
        return report_added(result, reinterpret_cast<u64*>(block) + i);
    }
};

// Tag 12: a LeafBitmapL. The node itself is never copied by an insert: only
// the value subarray of the key's group moves when its capacity class does.
template <bool KeepExisting, class Slot>
Outcome insert_into_bitmap_leaf(const Slot& guard, InsertResult& out, Edge& slot, Edge e, u64 key,
                                u64 value, unsigned level, InsertPath& path) {
    NodeAlloc& alloc = guard.alloc;
    if (level > 1) {
        if (const unsigned at = mutate::skip_mismatch_level(e, level, 1, key)) {
            path.flush_and_reset();
            mutate::insert_branch::wrap_in_slot(guard, slot, e, at, level, e.pop0(1) + 1);
            return Outcome::Reshaped;
        }
    }
    const auto [leaf, b, g, group, r, values, present] = find_in_bitmap_leaf(e, key);
    if (present) return settle_present<KeepExisting>(guard, out, slot, e, values + r, value);

    const unsigned c = popcount32(group);
    guard.begin();
    if (c > 0 && capacity_class(c + 1) == capacity_class(c)) {
        require(values != nullptr, "values");
        for (unsigned j = c; j > r; --j) guard.store(values[j], values[j - 1]);
        guard.store(values[r], value);
    } else {
        if (c > 0) require(values != nullptr, "values");
        u64* fresh = grown_values(alloc, values, c, r, value);
        if (c > 0) release_values(alloc, values, c);
        guard.store_pointer(leaf->value_subarrays[g], fresh);
    }
    guard.store(leaf->bitmap[g], group | (u32{1} << (b & 31)));
    const unsigned count = e.byte(8) + 2u;
    e.set_byte(8, static_cast<u8>(count - 1));
    guard.store_edge(slot, e);
    guard.end();
    if (!Slot::kReclaiming && level == 1)
        path.fill(&slot, leaf, nullptr, static_cast<u16>(count), key);
    return report_added(out, leaf->value_subarrays[g] + r);
}

}  // namespace tolvane::mutate_map::reclaiming_detail
