#pragma once
// Leaf level of the map-flavour remove, one body for the exclusive and the
// reclaiming remove: what a map immediate, a map linear leaf or a LeafBitmapL
// does when it loses a key (the table in mutate_map_remove.hpp). The forms
// and bounds are the same in both modes; the slot type decides how memory
// changes (mutate_reclaiming.hpp):
//
//   ExclusiveSlot    the exclusive remove: plain stores, nothing bracketed;
//   SlotGuard<U>     the reclaiming remove: the slot is read into a private
//                    copy and republished (word 1, then word 0 with
//                    release); an edit that keeps its block is made in place
//                    with single atomic stores inside the slot's bracket; a
//                    block that changes size is rebuilt, published, and only
//                    then released (retired to the collector when deferred).
//
// Every test that finds the key absent comes before any change. `e` is the
// edge as read from `slot`; `value` receives the removed value.

#include <bit>
#include <cstddef>
#include <cstring>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/fatal.hpp"
#include "tolvane/core/key_value.hpp"
#include "tolvane/leaf/leaf.hpp"
#include "tolvane/leaf/leaf_keys.hpp"
#include "tolvane/write/mutate_map_leaf.hpp"
#include "tolvane/write/mutate_reclaiming.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::mutate_map::remove_leaf {

// Slot level 0 has no immediate capacity; each mode names that fault its own way.
template <class Slot>
inline void require_slot_level(unsigned level) {
    if constexpr (Slot::kReclaiming)
        require(level != 0, "attempt to divide by zero");
    else
        require(level != 0, "index out of bounds: slot level 0 at a leaf");
}

// Tags 16..126: a map immediate of n keys of w bytes (w is the slot level).
template <class Slot>
bool from_immediate(const Slot& out, Edge& slot, const Edge& e, const EdgeKind& kind, u64 key,
                    u64& value) {
    NodeAlloc& alloc = out.alloc;
    const unsigned w = kind.key_bytes;
    const unsigned n = kind.count;
    const u64 k = key & LEVEL_MASK[w];
    if (n == 1) {
        if ((e.w1 & LEVEL_MASK[w]) != k) return false;
        value = e.w0;
        out.publish(slot, Edge::empty());
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
        fresh.w1 = leaf::packed_key(keys, j, w);
        fresh.set_tag(immediate_tag(w, 1));
        out.publish(slot, fresh);
        release_values(alloc, values, 2);
        return true;
    }
    require(w >= 1 && w <= 7 && n - 1 >= 1 && (n - 1) * w < 16, "immediate capacity");
    std::memmove(keys + i * w, keys + (i + 1) * w, (n - 1 - i) * w);
    std::memset(keys + (n - 1) * w, 0, sizeof keys - (n - 1) * w);
    Edge fresh;
    std::memcpy(&fresh.w1, keys, MAP_IMMEDIATE_KEY_BYTES);
    fresh.set_tag(immediate_tag(w, n - 1));
    if (capacity_class(n - 1) == capacity_class(n)) {
        out.begin();
        for (std::size_t j = i; j + 1 < n; ++j) out.store(values[j], values[j + 1]);
        fresh.set_ptr(values);
        out.store_edge(slot, fresh);
        out.end();
        return true;
    }
    u64* smaller = take_values(alloc, n - 1);
    std::memcpy(smaller, values, i * 8);
    std::memcpy(smaller + i, values + i + 1, (n - 1 - i) * 8);
    fresh.set_ptr(smaller);
    out.publish(slot, fresh);
    release_values(alloc, values, n);
    return true;
}

// Tags 5..11: a map linear leaf of w-byte keys in a slot of `level`.
template <class Slot>
bool from_linear_leaf(const Slot& out, Edge& slot, Edge e, u64 key, unsigned level, u64& value) {
    NodeAlloc& alloc = out.alloc;
    const unsigned w = e.tag_byte() - TAG_LEAF_BASE;
    if (!prefix_matches(e, level, w, key)) return false;
    const std::size_t n = static_cast<std::size_t>(e.pop0(w)) + 1;
    u8* block = e.ptr<u8>();
    require(block != nullptr, "leaf");
    const u8* keys = block + map_leaf_key_offset(n);
    const leaf::LeafPos pos = leaf::locate(keys, n, static_cast<u8>(w), key & LEVEL_MASK[w]);
    if (!pos.found) return false;
    const std::size_t i = pos.index;
    std::memcpy(&value, block + 8 * i, 8);
    require_slot_level<Slot>(level);

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
                rest[m++] = KeyValue{leaf::packed_key(keys, j, w) | upper, v};
            }
            write_map_immed<Slot::kReclaiming>(alloc, fresh, static_cast<u8>(level), rest, m);
        }
        out.publish(slot, fresh);
        release_map_leaf(alloc, block, n, w);
        return true;
    }
    if (capacity_class(n - 1) == capacity_class(n)) {
        out.begin();
        leaf::shared_keys::map_remove_at(block, static_cast<u8>(w), n, i);
        e.set_pop0(w, n - 2);
        out.store_edge(slot, e);
        out.end();
        return true;
    }
    u8* fresh = take_map_leaf(alloc, n - 1, w);
    leaf::map_realloc_remove(block, fresh, static_cast<u8>(w), n, i);
    e.set_ptr(fresh);
    e.set_pop0(w, n - 2);
    out.publish(slot, e);
    release_map_leaf(alloc, block, n, w);
    return true;
}

// Tag 12: a LeafBitmapL. It keeps at least 21 keys; below that it becomes a
// width-1 leaf under the same skipped digits (or an immediate).
template <class Slot>
bool from_bitmap_leaf(const Slot& out, Edge& slot, Edge e, u64 key, unsigned level, u64& value) {
    NodeAlloc& alloc = out.alloc;
    if (!prefix_matches(e, level, 1, key)) return false;
    const auto [leaf, d, g, group, r, values, present] = find_in_bitmap_leaf(e, key);
    if (!present) return false;
    value = values[r];
    const unsigned c = popcount32(group);

    out.begin();
    if (c == 1) {
        out.store_pointer(leaf->value_subarrays[g], static_cast<u64*>(nullptr));
        release_values(alloc, values, 1);
    } else if (capacity_class(c - 1) == capacity_class(c)) {
        for (unsigned j = r; j + 1 < c; ++j) out.store(values[j], values[j + 1]);
    } else {
        u64* smaller = take_values(alloc, c - 1);
        std::memcpy(smaller, values, r * 8);
        std::memcpy(smaller + r, values + r + 1, (c - 1 - r) * 8);
        out.store_pointer(leaf->value_subarrays[g], smaller);
        release_values(alloc, values, c);
    }
    out.store(leaf->bitmap[g], group & ~(u32{1} << (d & 31)));

    if (e.byte(8) >= forms::BITMAP_LEAF_MIN_KEYS) {  // at least 21 keys remain
        e.set_byte(8, static_cast<u8>(e.byte(8) - 1));
        out.store_edge(slot, e);
        out.end();
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
    require_slot_level<Slot>(level);
    Edge fresh;
    if (k < map_immediate_capacity(level)) {
        const u64 prefix =
            level >= 2 ? shl8(mutate::decode_value(e, 1, static_cast<u8>(level)), 1) : 0;
        for (std::size_t j = 0; j < k; ++j) pairs[j].key |= prefix;
        write_map_immed<Slot::kReclaiming>(alloc, fresh, static_cast<u8>(level), pairs, k);
    } else {
        require(level <= 7, "index out of bounds: map bitmap leaf rebuilt at slot level 8");
        build_map_leaf<Slot::kReclaiming>(alloc, fresh, 1, pairs, k);
        mutate::write_decode(fresh, 1, static_cast<u8>(level), e.w1);
    }
    out.store_edge(slot, fresh);
    out.end();
    return true;
}

}  // namespace tolvane::mutate_map::remove_leaf
