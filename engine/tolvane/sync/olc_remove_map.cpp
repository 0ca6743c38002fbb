#include "tolvane/sync/olc_remove_map.hpp"

#include <bit>
#include <cstring>

#include "tolvane/core/forms.hpp"
#include "tolvane/core/key_value.hpp"
#include "tolvane/leaf/leaf.hpp"
#include "tolvane/sync/olc_attempt_body.hpp"
#include "tolvane/write/mutate_branch.hpp"
#include "tolvane/write/mutate_map_leaf.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::sync {
namespace {

using mutate::publish_edge;
using mutate_map::map_immediate_capacity;
using mutate_map::map_leaf_max_keys;
constexpr unsigned MAP_BITMAP_LEAF_MIN_KEYS = forms::BITMAP_LEAF_MIN_KEYS;

constexpr OlcOutcome RETRY = OLC_RETRY;
constexpr OlcOutcome EXCLUSIVE = OLC_EXCLUSIVE;
constexpr OlcOutcome ABSENT = OLC_ABSENT;

OlcOutcome removed(u64 value) { return OlcOutcome{OlcStatus::Removed, value}; }

using At = OlcAt;

// The key is not there, provided nothing moved under the holder since the
// walk read the edge.
OlcOutcome absent_if_still(const OlcStep& holder) { return olc_if_still(holder, ABSENT); }

// Word 1 of a map immediate of `count` keys of w bytes.
u64 immediate_word1(const KeyValue* pairs, unsigned w, unsigned count) {
    u64 w1 = 0;
    for (unsigned j = 0; j < count; ++j) w1 |= shl8(pairs[j].key & low_bytes_mask(w), j * w);
    return w1 | (static_cast<u64>(immediate_tag(w, count)) << 56);
}

// The pairs left over made into a map immediate of key size `level` (values
// into `array`, allocated by the caller when there are two or more).
Edge immediate_of(const KeyValue* pairs, unsigned count, unsigned level, u64* array) {
    Edge fresh;
    fresh.w1 = immediate_word1(pairs, level, count);
    if (count == 1) {
        fresh.w0 = pairs[0].value;
        return fresh;
    }
    for (unsigned j = 0; j < count; ++j) array[j] = pairs[j].value;
    fresh.set_ptr(array);
    return fresh;
}

OlcOutcome from_immediate(const At& at, const EdgeKind& kind, u64 key) {
    const Edge& e = at.e;
    const unsigned w = kind.key_bytes;
    const unsigned n = kind.count;
    if (w != at.level) return EXCLUSIVE;
    const u64 k = key & low_bytes_mask(w);
    OlcBlocks blocks(at.alloc);
    if (n == 1) {
        if ((e.w1 & low_bytes_mask(w)) != k) return absent_if_still(at.holder);
        if (!olc_may_empty(at.holder)) return EXCLUSIVE;
        return olc_change(blocks, at.holder, at.slot, e, [&] {
            publish_edge(at.slot, Edge{});
            return removed(e.w0);
        });
    }
    u8 keys[8];
    std::memcpy(keys, &e.w1, 8);
    const leaf::LeafPos pos = leaf::locate(keys, n, static_cast<u8>(w), k);
    if (!pos.found) return absent_if_still(at.holder);
    const std::size_t i = pos.index;
    u64* values = e.ptr<u64>();

    if (n == 2) {
        return olc_change(blocks, at.holder, at.slot, e, [&] {
            const std::size_t j = 1 - i;
            Edge fresh;
            fresh.w0 = values[j];
            fresh.w1 = leaf::packed_key(keys, j, w) |
                       (static_cast<u64>(immediate_tag(w, 1)) << 56);
            const u64 value = values[i];
            publish_edge(at.slot, fresh);
            blocks.replaced(values, value_array_bytes(2), LEAF_ALIGN);
            return removed(value);
        });
    }
    std::memmove(keys + i * w, keys + (i + 1) * w, (n - 1 - i) * w);
    Edge fresh;
    fresh.w1 = 0;
    std::memcpy(&fresh.w1, keys, (n - 1) * w);
    fresh.set_tag(immediate_tag(w, n - 1));
    if (capacity_class(n - 1) == capacity_class(n)) {
        return olc_change(blocks, at.holder, at.slot, e, [&] {
            const u64 value = values[i];
            for (std::size_t j = i; j + 1 < n; ++j) store_relaxed(values[j], values[j + 1]);
            fresh.set_ptr(values);
            publish_edge(at.slot, fresh);
            return removed(value);
        });
    }
    u64* smaller = blocks.make<u64>(value_array_bytes(n - 1));
    return olc_change(blocks, at.holder, at.slot, e, [&] {
        const u64 value = values[i];
        std::memcpy(smaller, values, i * 8);
        std::memcpy(smaller + i, values + i + 1, (n - 1 - i) * 8);
        fresh.set_ptr(smaller);
        publish_edge(at.slot, fresh);
        blocks.replaced(values, value_array_bytes(n), LEAF_ALIGN);
        return removed(value);
    });
}

OlcOutcome from_linear_leaf(const At& at, u64 key) {
    const Edge& e = at.e;
    const unsigned w = e.tag_byte() - TAG_LEAF_BASE;
    if (w > at.level || !prefix_matches(e, at.level, w, key)) return EXCLUSIVE;
    const std::size_t n = static_cast<std::size_t>(e.pop0(w)) + 1;
    if (n > map_leaf_max_keys(w)) return RETRY;
    u8* block = e.ptr<u8>();
    const u8* keys = block + map_leaf_key_offset(n);
    const leaf::LeafPos pos = olc_leaf_locate(keys, n, w, key & low_bytes_mask(w));
    if (!pos.found) return absent_if_still(at.holder);
    const std::size_t i = pos.index;
    const u64* values = e.ptr<u64>();
    OlcBlocks blocks(at.alloc);

    if (n == 1) {
        if (!olc_may_empty(at.holder)) return EXCLUSIVE;
        return olc_change(blocks, at.holder, at.slot, e, [&] {
            const u64 value = values[0];
            publish_edge(at.slot, Edge{});
            blocks.replaced(block, map_leaf_block_bytes(1, w), LEAF_ALIGN);
            return removed(value);
        });
    }
    if (n <= map_immediate_capacity(at.level)) {
        // Few enough keys for an immediate spanning the slot: each key
        // regains the digits the leaf skipped.
        const unsigned r = static_cast<unsigned>(n - 1);
        u64* array = r >= 2 ? blocks.make<u64>(value_array_bytes(r)) : nullptr;
        const u64 skipped = e.w1 & (low_bytes_mask(at.level) & ~low_bytes_mask(w));
        return olc_change(blocks, at.holder, at.slot, e, [&] {
            KeyValue rest[mutate_map::MAP_IMMEDIATE_KEY_BYTES];
            unsigned m = 0;
            for (std::size_t j = 0; j < n; ++j)
                if (j != i) rest[m++] = KeyValue{leaf::packed_key(keys, j, w) | skipped, values[j]};
            const u64 value = values[i];
            publish_edge(at.slot, immediate_of(rest, m, at.level, array));
            blocks.replaced(block, map_leaf_block_bytes(n, w), LEAF_ALIGN);
            return removed(value);
        });
    }
    Edge fresh = e;
    fresh.set_pop0(w, n - 2);
    if (capacity_class(n - 1) == capacity_class(n)) {
        return olc_change(blocks, at.holder, at.slot, e, [&] {
            const u64 value = values[i];
            leaf::shared_keys::map_remove_at(block, static_cast<u8>(w), n, i);
            publish_edge(at.slot, fresh);
            return removed(value);
        });
    }
    u8* smaller = blocks.make<u8>(map_leaf_block_bytes(n - 1, w));
    return olc_change(blocks, at.holder, at.slot, e, [&] {
        const u64 value = values[i];
        leaf::map_realloc_remove(block, smaller, static_cast<u8>(w), n, i);
        fresh.set_ptr(smaller);
        publish_edge(at.slot, fresh);
        blocks.replaced(block, map_leaf_block_bytes(n, w), LEAF_ALIGN);
        return removed(value);
    });
}

// A bitmap leaf of 21 keys or fewer loses key `d`: the rest become a linear
// leaf of 1-byte keys (`block`) or an immediate of the slot's width
// (`array` for two or more values).
Edge shrunk_bitmap_leaf(const At& at, LeafBitmapL* leaf, u8 d, u8* block, u64* array,
                        OlcBlocks& blocks, u64& value) {
    KeyValue pairs[MAP_BITMAP_LEAF_MIN_KEYS];
    unsigned m = 0;
    for (unsigned g = 0; g < 8; ++g) {
        const u32 group = leaf->bitmap[g];
        if (group == 0) continue;
        const u64* values = leaf->value_subarrays[g];
        unsigned rank = 0;
        for (u32 bits = group; bits != 0; bits &= bits - 1, ++rank) {
            const u64 digit = 32u * g + static_cast<unsigned>(std::countr_zero(bits));
            if (digit == d) {
                value = values[rank];
                continue;
            }
            require(m < MAP_BITMAP_LEAF_MIN_KEYS, "bitmap leaf below its floor holds too many keys");
            pairs[m++] = KeyValue{digit, values[rank]};
        }
        blocks.replaced(values, value_array_bytes(popcount32(group)), LEAF_ALIGN);
    }
    blocks.replaced(leaf, LEAF_BITMAP_L_BYTES, NODE_ALIGN);
    const Edge& e = at.e;
    if (!block) {
        const u64 upper = e.w1 & (low_bytes_mask(at.level) & ~low_bytes_mask(1));
        for (unsigned j = 0; j < m; ++j) pairs[j].key |= upper;
        return immediate_of(pairs, m, at.level, array);
    }
    const std::size_t cap = capacity_class(m);
    for (unsigned j = 0; j < m; ++j) {
        std::memcpy(block + 8 * j, &pairs[j].value, 8);
        block[8 * cap + j] = static_cast<u8>(pairs[j].key);
    }
    Edge fresh;
    fresh.set_ptr(block);
    fresh.w1 = olc_leaf_word1(e.w1, 1, at.level, m - 1, linear_leaf_tag(1));
    return fresh;
}

OlcOutcome from_bitmap_leaf(const At& at, u64 key) {
    const Edge& e = at.e;
    if (!prefix_matches(e, at.level, 1, key)) return EXCLUSIVE;
    auto* leaf = e.ptr<LeafBitmapL>();
    const u8 d = static_cast<u8>(key);
    const unsigned g = d >> 5;
    const u32 bit = u32{1} << (d & 31);
    const u32 group = load_acquire(leaf->bitmap[g]);
    if (!group_has(group, d)) return absent_if_still(at.holder);
    const std::size_t n = static_cast<std::size_t>(e.pop0(1)) + 1;
    OlcBlocks blocks(at.alloc);

    if (n == 1) {
        if (!olc_may_empty(at.holder)) return EXCLUSIVE;
        return olc_change(blocks, at.holder, at.slot, e, [&] {
            u64* sub = leaf->value_subarrays[g];
            const u64 value = sub[0];
            publish_edge(at.slot, Edge{});
            blocks.replaced(sub, value_array_bytes(1), LEAF_ALIGN);
            blocks.replaced(leaf, LEAF_BITMAP_L_BYTES, NODE_ALIGN);
            return removed(value);
        });
    }
    if (n <= MAP_BITMAP_LEAF_MIN_KEYS) {
        const unsigned r = static_cast<unsigned>(n - 1);
        const bool linear = r >= map_immediate_capacity(at.level);
        u8* block = linear ? blocks.make<u8>(map_leaf_block_bytes(r, 1)) : nullptr;
        u64* array = !linear && r >= 2 ? blocks.make<u64>(value_array_bytes(r)) : nullptr;
        return olc_change(blocks, at.holder, at.slot, e, [&] {
            u64 value = 0;
            const Edge fresh = shrunk_bitmap_leaf(at, leaf, d, block, array, blocks, value);
            publish_edge(at.slot, fresh);
            return removed(value);
        });
    }
    const unsigned c = popcount32(group);
    const unsigned rank = group_rank(group, d);
    Edge fresh = e;
    fresh.set_pop0(1, n - 2);
    u64* smaller = c >= 2 && capacity_class(c - 1) != capacity_class(c)
                       ? blocks.make<u64>(value_array_bytes(c - 1))
                       : nullptr;
    return olc_change(blocks, at.holder, at.slot, e, [&] {
        u64* sub = leaf->value_subarrays[g];
        const u64 value = sub[rank];
        if (c == 1) {
            store_release(leaf->value_subarrays[g], static_cast<u64*>(nullptr));
            blocks.replaced(sub, value_array_bytes(1), LEAF_ALIGN);
        } else if (!smaller) {
            for (unsigned j = rank; j + 1 < c; ++j) store_relaxed(sub[j], sub[j + 1]);
        } else {
            std::memcpy(smaller, sub, rank * 8);
            std::memcpy(smaller + rank, sub + rank + 1, (c - 1 - rank) * 8);
            store_release(leaf->value_subarrays[g], smaller);
            blocks.replaced(sub, value_array_bytes(c), LEAF_ALIGN);
        }
        store_release(leaf->bitmap[g], group & ~bit);
        publish_edge(at.slot, fresh);
        return removed(value);
    });
}

struct MapRemove {
    static constexpr bool INSERTS = false;
    static constexpr OlcOutcome AT_FULL = EXCLUSIVE;
    static bool stores(const EdgeKind& kind) {
        return !kind.is_invalid() && (!kind.is_immediate() || mutate_map::fits_map_immediate(kind));
    }
    u64 key;
    OlcOutcome immediate(const At& at, const EdgeKind& kind) const { return from_immediate(at, kind, key); }
    OlcOutcome bitmap_leaf(const At& at) const { return from_bitmap_leaf(at, key); }
    OlcOutcome linear_leaf(const At& at) const { return from_linear_leaf(at, key); }
};

}  // namespace

u64 branch_u_digits_shared(const BranchU* node, u64 limit) {
    u64 count = 0;
    for (unsigned d = 0; d < 256 && count < limit; ++d)
        if ((load_relaxed(node->children[d].w1) >> 56) != TAG_EMPTY) ++count;
    std::atomic_thread_fence(std::memory_order_acquire);
    return count;
}

bool olc_may_empty(const OlcStep& holder) {
    if (holder.kind != TAG_BRANCH_U) return false;
    const u64 need = mutate::U_SHRINK_AT + 2;
    return branch_u_digits_shared(static_cast<const BranchU*>(holder.node), need) >= need;
}

OlcOutcome olc_remove_map(NodeAlloc& alloc, const olc::RootRead& root, u64 key) {
    return olc_attempt(alloc, root, key, MapRemove{key});
}

}  // namespace tolvane::sync
