#include "tolvane/sync/olc_insert_map.hpp"

#include <cstring>
#include <vector>

#include "tolvane/core/key_value.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/leaf/leaf.hpp"
#include "tolvane/sync/olc_attempt_body.hpp"
#include "tolvane/write/mutate_free.hpp"
#include "tolvane/write/mutate_map_leaf.hpp"
#include "tolvane/write/mutate_map_leaf_grow.hpp"
#include "tolvane/write/mutate_map_reclaiming_insert.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::sync {
namespace {

using mutate::publish_edge;
using mutate_map::map_immediate_capacity;
using mutate_map::map_leaf_max_keys;

constexpr OlcOutcome RETRY = OLC_RETRY;
constexpr OlcOutcome EXCLUSIVE = OLC_EXCLUSIVE;
constexpr OlcOutcome ADDED{OlcStatus::New, 0};

// Largest map linear leaf block: 32 values and 32 keys of 7 bytes.
constexpr std::size_t LEAF_COPY_BYTES = 32 * (8 + 7);

// The one-key map immediate of `key` in a slot of `level` (1..7).
Edge map_child(u64 key, u64 value, unsigned level) {
    Edge e;
    e.w1 = (key & LEVEL_MASK[level]) | (static_cast<u64>(level) << 60);
    e.w0 = value;
    return e;
}

using At = OlcAt;

OlcOutcome overwrite(const At& at, u64* cell, u64 value) {
    OlcBlocks none(at.alloc);
    return olc_change(none, at.holder, at.slot, at.e, [&] {
        const u64 old = *cell;
        store_relaxed(*cell, value);
        return OlcOutcome{OlcStatus::Replaced, old};
    });
}

// Word 1 of a map immediate of n keys of w bytes, packed from `keys`.
u64 immediate_word1(const u8* keys, unsigned w, unsigned n) {
    u64 w1 = 0;
    std::memcpy(&w1, keys, n * w);
    return w1 | (static_cast<u64>(immediate_tag(w, n)) << 56);
}

OlcOutcome into_one_key_immediate(const At& at, unsigned w, u64 k, u64 value) {
    const Edge& e = at.e;
    const u64 other = e.w1 & low_bytes_mask(w);
    if (other == k) {
        OlcBlocks none(at.alloc);
        return olc_change(none, at.holder, at.slot, e, [&] {
            Edge fresh = e;
            fresh.w0 = value;
            publish_edge(at.slot, fresh);
            return OlcOutcome{OlcStatus::Replaced, e.w0};
        });
    }
    const bool first = k < other;
    const u64 keys[2] = {first ? k : other, first ? other : k};
    const u64 values[2] = {first ? value : e.w0, first ? e.w0 : value};
    OlcBlocks blocks(at.alloc);
    Edge fresh;
    if (w >= 4) {
        u8* block = blocks.make<u8>(map_leaf_block_bytes(2, w));
        std::memcpy(block, values, 16);
        leaf::put_packed_key(block + map_leaf_key_offset(2), 0, w, keys[0]);
        leaf::put_packed_key(block + map_leaf_key_offset(2), 1, w, keys[1]);
        fresh.set_ptr(block);
        fresh.w1 = olc_leaf_word1(e.w1, w, at.level, 1, linear_leaf_tag(w));
    } else {
        u64* array = blocks.make<u64>(value_array_bytes(2));
        std::memcpy(array, values, 16);
        fresh.set_ptr(array);
        fresh.w1 = keys[0] | shl8(keys[1], w) | (static_cast<u64>(immediate_tag(w, 2)) << 56);
    }
    return olc_change(blocks, at.holder, at.slot, e, [&] {
        publish_edge(at.slot, fresh);
        return ADDED;
    });
}

OlcOutcome into_immediate(const At& at, const EdgeKind& kind, u64 key, u64 value) {
    const unsigned w = kind.key_bytes;
    const unsigned n = kind.count;
    if (w != at.level) return EXCLUSIVE;  // an immediate always spans its slot
    const u64 k = key & low_bytes_mask(w);
    if (n == 1) return into_one_key_immediate(at, w, k, value);

    const Edge& e = at.e;
    u8 keys[8];
    std::memcpy(keys, &e.w1, 8);
    u64* values = e.ptr<u64>();
    const leaf::LeafPos pos = leaf::locate(keys, n, static_cast<u8>(w), k);
    if (pos.found) return overwrite(at, values + pos.index, value);
    const std::size_t i = pos.index;
    OlcBlocks blocks(at.alloc);

    if (n >= map_immediate_capacity(w)) {
        // Full: a linear leaf of n + 1 entries.
        u8* block = blocks.make<u8>(map_leaf_block_bytes(n + 1, w));
        return olc_change(blocks, at.holder, at.slot, e, [&] {
            u8* fresh_keys = block + map_leaf_key_offset(n + 1);
            for (std::size_t j = 0, from = 0; j <= n; ++j) {
                const bool is_new = j == i;
                const u64 kj = is_new ? k : leaf::packed_key(keys, from, w);
                const u64 vj = is_new ? value : values[from];
                if (!is_new) ++from;
                std::memcpy(block + 8 * j, &vj, 8);
                leaf::put_packed_key(fresh_keys, j, w, kj);
            }
            Edge fresh;
            fresh.set_ptr(block);
            fresh.w1 = olc_leaf_word1(e.w1, w, at.level, n, linear_leaf_tag(w));
            publish_edge(at.slot, fresh);
            blocks.replaced(values, value_array_bytes(n), LEAF_ALIGN);
            return ADDED;
        });
    }

    std::memmove(keys + (i + 1) * w, keys + i * w, (n - i) * w);
    leaf::put_packed_key(keys, i, w, k);
    Edge fresh;
    fresh.w1 = immediate_word1(keys, w, n + 1);
    if (capacity_class(n + 1) == capacity_class(n)) {
        return olc_change(blocks, at.holder, at.slot, e, [&] {
            for (std::size_t j = n; j > i; --j) store_relaxed(values[j], values[j - 1]);
            store_relaxed(values[i], value);
            fresh.set_ptr(values);
            publish_edge(at.slot, fresh);
            return ADDED;
        });
    }
    u64* grown = blocks.make<u64>(value_array_bytes(n + 1));
    return olc_change(blocks, at.holder, at.slot, e, [&] {
        std::memcpy(grown, values, i * 8);
        grown[i] = value;
        std::memcpy(grown + i + 1, values + i, (n - i) * 8);
        fresh.set_ptr(grown);
        publish_edge(at.slot, fresh);
        blocks.replaced(values, value_array_bytes(n), LEAF_ALIGN);
        return ADDED;
    });
}

// A full linear leaf: its pairs are copied without the lock and checked
// against the holder's word, the replacement (a bitmap leaf, or a BranchL3
// subtree filled through a private word) is built privately, and only its
// publication happens under the lock.
OlcOutcome split_full_leaf(const At& at, unsigned w, std::size_t n, std::size_t i, u64 k,
                           u64 value) {
    const Edge& e = at.e;
    if (!olc_still(*at.holder.word, at.holder.version)) return RETRY;
    const u8* block = e.ptr<const u8>();
    u8 copy[LEAF_COPY_BYTES];
    olc_copy_shared(copy, block, map_leaf_block_bytes(n, w));
    if (!olc_still(*at.holder.word, at.holder.version)) return RETRY;

    const u8* keys = copy + map_leaf_key_offset(n);
    const u64 skipped = e.w1 & shl8(LEVEL_MASK[at.level - w], w);
    std::vector<KeyValue> pairs;
    pairs.reserve(n + 1);
    for (std::size_t j = 0; j < n; ++j) {
        if (j == i) pairs.push_back(KeyValue{k | skipped, value});
        u64 v;
        std::memcpy(&v, copy + 8 * j, 8);
        pairs.push_back(KeyValue{leaf::packed_key(keys, j, w) | skipped, v});
    }
    if (i == n) pairs.push_back(KeyValue{k | skipped, value});

    NodeAlloc& alloc = at.alloc;
    Edge fresh;
    if (const unsigned node_level =
            mutate_map::split_full_leaf_head<true>(alloc, fresh, pairs, at.level)) {
        u32 private_word = 0;
        for (const KeyValue& kv : pairs) {
            mutate_map::InsertResult ignored;
            InsertPath path;
            mutate_map::map_insert_with_path_occ<true, true, false>(
                ignored, alloc, fresh, kv.key, kv.value, at.level, path,
                mutate::SlotHolder::branch(private_word));
        }
        fresh.set_pop0(node_level, pairs.size() - 1);
    }
    if (!olc_lock_verify(at.holder, at.slot, e)) {
        mutate::free_subtree_unpublished<true>(alloc, fresh);
        return RETRY;
    }
    publish_edge(at.slot, fresh);
    olc_unlock(*at.holder.word, at.holder.version);
    alloc.release(const_cast<u8*>(block), map_leaf_block_bytes(n, w), LEAF_ALIGN);
    return ADDED;
}

OlcOutcome into_linear_leaf(const At& at, u64 key, u64 value) {
    const Edge& e = at.e;
    const unsigned w = e.tag_byte() - TAG_LEAF_BASE;
    if (w > at.level || !prefix_matches(e, at.level, w, key)) return EXCLUSIVE;
    const std::size_t n = static_cast<std::size_t>(e.pop0(w)) + 1;
    if (n > map_leaf_max_keys(w)) return RETRY;
    u8* block = e.ptr<u8>();
    u64* values = e.ptr<u64>();
    const u64 k = key & low_bytes_mask(w);
    const leaf::LeafPos pos = olc_leaf_locate(block + map_leaf_key_offset(n), n, w, k);
    if (pos.found) return overwrite(at, values + pos.index, value);
    const std::size_t i = pos.index;
    if (n >= map_leaf_max_keys(w)) return split_full_leaf(at, w, n, i, k, value);

    OlcBlocks blocks(at.alloc);
    Edge fresh = e;
    fresh.set_pop0(w, n);
    if (capacity_class(n + 1) == capacity_class(n)) {
        return olc_change(blocks, at.holder, at.slot, e, [&] {
            leaf::shared_keys::map_insert_at(block, static_cast<u8>(w), n, i, k, value);
            publish_edge(at.slot, fresh);
            return ADDED;
        });
    }
    if (!olc_still(*at.holder.word, at.holder.version)) return RETRY;
    u8* grown = blocks.make<u8>(map_leaf_block_bytes(n + 1, w));
    return olc_change(blocks, at.holder, at.slot, e, [&] {
        std::memcpy(grown, block, i * 8);
        std::memcpy(grown + 8 * i, &value, 8);
        std::memcpy(grown + 8 * (i + 1), block + 8 * i, (n - i) * 8);
        const u8* old_keys = block + map_leaf_key_offset(n);
        u8* new_keys = grown + map_leaf_key_offset(n + 1);
        std::memcpy(new_keys, old_keys, i * w);
        leaf::put_packed_key(new_keys, i, w, k);
        std::memcpy(new_keys + (i + 1) * w, old_keys + i * w, (n - i) * w);
        fresh.set_ptr(grown);
        publish_edge(at.slot, fresh);
        blocks.replaced(block, map_leaf_block_bytes(n, w), LEAF_ALIGN);
        return ADDED;
    });
}

OlcOutcome into_bitmap_leaf(const At& at, u64 key, u64 value) {
    const Edge& e = at.e;
    if (!prefix_matches(e, at.level, 1, key)) return EXCLUSIVE;
    auto* leaf = e.ptr<LeafBitmapL>();
    const u8 d = static_cast<u8>(key);
    const unsigned g = d >> 5;
    const u32 bit = u32{1} << (d & 31);
    const u32 group = load_acquire(leaf->bitmap[g]);
    const unsigned rank = group_rank(group, d);
    if (group_has(group, d)) {
        u64* sub = load_acquire(leaf->value_subarrays[g]);
        if (!sub || !olc_still(*at.holder.word, at.holder.version)) return RETRY;
        return overwrite(at, sub + rank, value);
    }
    const u64 pop0 = e.pop0(1);
    if (pop0 >= 254) return EXCLUSIVE;
    const unsigned c = popcount32(group);
    Edge fresh = e;
    fresh.set_pop0(1, pop0 + 1);
    OlcBlocks blocks(at.alloc);
    if (capacity_class(c + 1) == capacity_class(c)) {
        return olc_change(blocks, at.holder, at.slot, e, [&] {
            u64* sub = leaf->value_subarrays[g];
            for (unsigned j = c; j > rank; --j) store_relaxed(sub[j], sub[j - 1]);
            store_relaxed(sub[rank], value);
            store_release(leaf->bitmap[g], group | bit);
            publish_edge(at.slot, fresh);
            return ADDED;
        });
    }
    u64* grown = blocks.make<u64>(value_array_bytes(c + 1));
    return olc_change(blocks, at.holder, at.slot, e, [&] {
        u64* old = leaf->value_subarrays[g];
        if (c > 0) std::memcpy(grown, old, rank * 8);
        grown[rank] = value;
        if (c > 0) std::memcpy(grown + rank + 1, old + rank, (c - rank) * 8);
        // The subarray before the bit: a reader that sees the bit finds the value.
        store_release(leaf->value_subarrays[g], grown);
        store_release(leaf->bitmap[g], group | bit);
        publish_edge(at.slot, fresh);
        if (c > 0) blocks.replaced(old, value_array_bytes(c), LEAF_ALIGN);
        return ADDED;
    });
}

struct MapInsert {
    static constexpr bool INSERTS = true;
    static constexpr OlcOutcome AT_FULL = EXCLUSIVE;
    static bool stores(const EdgeKind& kind) {
        return !kind.is_invalid() && (!kind.is_immediate() || mutate_map::fits_map_immediate(kind));
    }
    u64 key, value;
    Edge child(unsigned level) const { return map_child(key, value, level); }
    OlcOutcome immediate(const At& at, const EdgeKind& kind) const {
        return into_immediate(at, kind, key, value);
    }
    OlcOutcome bitmap_leaf(const At& at) const { return into_bitmap_leaf(at, key, value); }
    OlcOutcome linear_leaf(const At& at) const { return into_linear_leaf(at, key, value); }
};

}  // namespace

OlcOutcome olc_insert_map(NodeAlloc& alloc, const olc::RootRead& root, u64 key, u64 value) {
    return olc_attempt(alloc, root, key, MapInsert{key, value});
}

}  // namespace tolvane::sync
