#pragma once
// Leaf level of the set-flavour remove, one body for the exclusive and the
// reclaiming remove: what an immediate, a linear leaf, a LeafB1 or a full
// edge does when it loses a key (the thresholds are the exclusive remove's,
// mutate_remove.hpp). The slot type decides how memory changes
// (mutate_reclaiming.hpp):
//
//   ExclusiveSlot    the exclusive remove: plain stores, nothing bracketed;
//   SlotGuard<U>     the reclaiming remove: the slot is read into a private
//                    copy and republished (word 1, then word 0 with
//                    release); an edit that keeps its block is made in place
//                    with single atomic stores inside the slot's bracket; a
//                    block that changes size is rebuilt and published, and
//                    the old one released after (retired when deferred).
//
// Every test that finds the key absent comes before any change. `e` is the
// edge as read from `slot`.

#include <bit>
#include <cstddef>
#include <cstring>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/fatal.hpp"
#include "tolvane/leaf/leaf.hpp"
#include "tolvane/leaf/leaf_keys.hpp"
#include "tolvane/write/mutate_branch.hpp"
#include "tolvane/write/mutate_leaf_build.hpp"
#include "tolvane/write/mutate_reclaiming.hpp"
#include "tolvane/core/forms.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::mutate::remove_leaf {

// A linear leaf whose count falls to its slot's immediate capacity or below
// folds back into an immediate; a LeafB1 below its floor makes a linear leaf.
using forms::set_immediate_capacity;

// Tags 16..126: an immediate of n keys of w bytes (w is the slot level).
template <class Slot>
bool from_immediate(const Slot& out, Edge& slot, const Edge& e, EdgeKind kind, u64 key) {
    const u8 w = kind.key_bytes;
    const unsigned n = kind.count;
    const u64 k = key & low_bytes_mask(w);
    const KeyList16 stored = immed_keys(e, w, static_cast<u8>(n));
    u64 rest[16];
    unsigned kept = 0;
    bool found = false;
    for (unsigned i = 0; i < n; ++i) {
        if (stored[i] == k)
            found = true;
        else
            rest[kept++] = stored[i];
    }
    if (!found) return false;
    Edge fresh;
    if (kept > 0) write_immed(fresh, w, rest, kept);
    out.publish(slot, fresh);
    return true;
}

// A full edge loses a key by first becoming the node that lists its range:
// all 256 bits of a bitmap leaf at level 1, a BranchU of full edges above.
template <class Slot>
void expand_full_edge(const Slot& out, Edge& slot, unsigned level) {
    require(level >= 1 && level <= 7, "index out of bounds: full edge at level 8");
    Edge fresh;
    if (level == 1) {
        auto* leaf = detail::take_node<LeafB1>(out.alloc);
        for (u64& word : leaf->bitmap) word = ~u64{0};
        fresh.set_ptr(leaf);
        fresh.set_byte(8, 0xFF);
        fresh.set_tag(TAG_LEAF_BITMAP);
    } else {
        auto* node = detail::take_node<BranchU>(out.alloc);
        Edge child;
        child.set_tag(TAG_FULL);
        child.set_pop0(level - 1, LEVEL_MASK[level - 1]);
        for (Edge& c : node->children) c = child;
        fresh.set_ptr(node);
        fresh.set_pop0(level, LEVEL_MASK[level]);
        fresh.set_tag(TAG_BRANCH_U);
    }
    out.publish(slot, fresh);
}

// Tag 12: a LeafB1 in a slot of `level`.
template <class Slot>
bool from_bitmap_leaf(const Slot& out, Edge& slot, Edge e, u64 key, unsigned level) {
    if (!prefix_matches(e, level, 1, key)) return false;
    auto* leaf = e.ptr<LeafB1>();
    require(leaf != nullptr, "leaf ptr");
    u64& word = leaf->bitmap[(key >> 6) & 3];
    const u64 bit = u64{1} << (key & 63);
    const u64 old = load_relaxed(word);
    if (!(old & bit)) return false;

    out.begin();
    out.store(word, old & ~bit);
    const unsigned remaining = e.byte(8);  // the old pop0 is the new count
    if (remaining >= forms::BITMAP_LEAF_MIN_KEYS) {
        e.set_byte(8, static_cast<u8>(remaining - 1));
        out.store_edge(slot, e);
        out.end();
        return true;
    }
    // Too few keys for a bitmap: back to a 1-byte leaf (or an immediate).
    u64 keys[32];
    unsigned n = 0;
    for (unsigned g = 0; g < 4; ++g) {
        for (u64 bits = leaf->bitmap[g]; bits != 0; bits &= bits - 1) {
            require(n < 32, "index out of bounds: bitmap leaf below its floor holds too many keys");
            keys[n++] = 64 * g + static_cast<unsigned>(std::countr_zero(bits));
        }
    }
    const u64 prefix = level > 1 ? decode_value(e, 1, static_cast<u8>(level)) : 0;
    out.alloc.release(leaf, LEAF_B1_BYTES, NODE_ALIGN);
    Edge fresh;
    if (n < set_immediate_capacity(level)) {
        for (unsigned i = 0; i < n; ++i) keys[i] |= shl8(prefix, 1);
        if (n > 0) write_immed(fresh, static_cast<u8>(level), keys, n);
    } else {
        build_leaf<Slot::kReclaiming>(out.alloc, fresh, 1, keys, n);
        for (unsigned j = 1; j < level && j < 7; ++j) fresh.set_byte(8 + j, e.byte(8 + j));
    }
    out.store_edge(slot, fresh);
    out.end();
    return true;
}

// Tags 5..11: a linear leaf of w-byte keys in a slot of `level`.
template <class Slot>
bool from_linear_leaf(const Slot& out, Edge& slot, Edge e, u64 key, unsigned level) {
    const u8 w = static_cast<u8>(e.tag_byte() - TAG_LEAF_BASE);
    if (!prefix_matches(e, level, w, key)) return false;
    const std::size_t n = static_cast<std::size_t>(e.pop0(w)) + 1;
    u8* block = e.ptr<u8>();
    require(block != nullptr, "leaf ptr");
    const leaf::LeafPos pos = leaf::locate(block, n, w, key & low_bytes_mask(w));
    if (!pos.found) return false;
    const std::size_t at = pos.index;
    NodeAlloc& alloc = out.alloc;

    if (n <= set_immediate_capacity(level)) {
        // Few enough keys to live in the edge at the slot's full width.
        Edge fresh;
        if (n > 1) {
            const u64 prefix = shl8(decode_value(e, w, static_cast<u8>(level)), w);
            u64 rest[16];
            unsigned kept = 0;
            for (std::size_t i = 0; i < n; ++i)
                if (i != at) rest[kept++] = leaf::packed_key(block, i, w) | prefix;
            write_immed(fresh, static_cast<u8>(level), rest, kept);
        }
        out.publish(slot, fresh);
        alloc.release(block, leaf_block_bytes(n, w), LEAF_ALIGN);
        return true;
    }
    if (capacity_class(n - 1) == capacity_class(n)) {
        out.begin();
        if constexpr (Slot::kReclaiming)
            leaf::shared_keys::remove_at(block, w, n, at);
        else
            std::memmove(block + at * w, block + (at + 1) * w, (n - 1 - at) * w);
        e.set_pop0(w, n - 2);
        out.store_edge(slot, e);
        out.end();
        return true;
    }
    u8* fresh = static_cast<u8*>(alloc.allocate_zeroed(leaf_block_bytes(n - 1, w)));
    std::memcpy(fresh, block, at * w);
    std::memcpy(fresh + at * w, block + (at + 1) * w, (n - 1 - at) * w);
    e.set_ptr(fresh);
    e.set_pop0(w, n - 2);
    out.publish(slot, e);
    alloc.release(block, leaf_block_bytes(n, w), LEAF_ALIGN);
    return true;
}

}  // namespace tolvane::mutate::remove_leaf
