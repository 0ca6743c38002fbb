#pragma once
// Reclaiming set-flavour remove: one key out of a tree that optimistic
// readers may walk while it runs. It takes every decision of the exclusive
// remove (mutate_remove.hpp): the same walk, thresholds, shrinks and frees, so
// both leave the same tree. What differs is how memory changes (see
// mutate_occ_insert.hpp for the same rules on the insert side):
//
// - every test that finds the key absent comes before any change and before
//   any slot bracket, so an absent key changes nothing (the unversioned
//   variant still bumps the words of the branches it descended through);
// - a leaf or subarray that moves into a smaller block is rebuilt in a new
//   one and published; edits that keep the block are made in place with
//   single atomic stores inside a bracket of the guarding word;
// - a branch that empties or shrinks is marked obsolete, then released
//   (retired to the collector when the allocator is deferred), then the edge
//   that replaces it is published.
//
// Unversioned = true: `bump_node_word` and `caller_word` are passed down
// unread; each descent is bracketed with the branch's own word. Unversioned =
// false: every change of the handed slot is bracketed with the word they name
// (the tree word at the root while the allocator covers it).

#include <bit>
#include <cstring>

#include "tolvane/alloc.hpp"
#include "tolvane/bits.hpp"
#include "tolvane/fatal.hpp"
#include "tolvane/leaf.hpp"
#include "tolvane/mutate_branch.hpp"
#include "tolvane/mutate_free.hpp"
#include "tolvane/mutate_leaf_build.hpp"
#include "tolvane/mutate_occ.hpp"
#include "tolvane/mutate_occ_remove_branch.hpp"
#include "tolvane/node.hpp"
#include "tolvane/types.hpp"
#include "tolvane/version.hpp"

namespace tolvane::mutate {

// Removes `key` below `slot`, a slot of level `level` (8 for a root edge).
// True when the key was present and is gone. Top-level callers pass
// bump_node_word 0; recursive calls pass 1 and the holding branch's word.
template <bool Unversioned>
bool remove_occ(NodeAlloc& alloc, Edge& slot, u64 key, u8 level, u64 bump_node_word,
                u32* caller_word);

namespace occ_detail {

// Keys an immediate keeps at slot level L.
constexpr unsigned immediate_room(unsigned level) noexcept { return 15u / level; }

template <bool U>
bool remove_from_immediate(const SlotGuard<U>& guard, Edge& slot, const Edge& e, EdgeKind kind,
                           u64 key) {
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
    guard.publish(slot, fresh);
    return true;
}

// A full edge loses a key by first becoming the node that lists its range:
// all 256 bits of a bitmap leaf at level 1, a BranchU of full edges above.
template <bool U>
void expand_full_edge(const SlotGuard<U>& guard, Edge& slot, unsigned level) {
    Edge fresh;
    if (level == 1) {
        auto* leaf = detail::take_node<LeafB1>(guard.alloc);
        for (u64& word : leaf->bitmap) word = ~u64{0};
        fresh.set_ptr(leaf);
        fresh.set_byte(8, 0xFF);
        fresh.set_tag(TAG_LEAF_BITMAP);
    } else {
        require(level <= 7, "index out of bounds: full edge at level 8");
        auto* node = detail::take_node<BranchU>(guard.alloc);
        Edge child;
        child.set_tag(TAG_FULL);
        child.set_pop0(level - 1, LEVEL_MASK[level - 1]);
        for (Edge& c : node->children) c = child;
        fresh.set_ptr(node);
        fresh.set_pop0(level, LEVEL_MASK[level]);
        fresh.set_tag(TAG_BRANCH_U);
    }
    guard.publish(slot, fresh);
}

template <bool U>
bool remove_from_bitmap_leaf(const SlotGuard<U>& guard, Edge& slot, Edge e, u64 key,
                             unsigned level) {
    if (!prefix_matches(e, level, 1, key)) return false;
    auto* leaf = e.ptr<LeafB1>();
    require(leaf != nullptr, "leaf ptr");
    u64& word = leaf->bitmap[(key >> 6) & 3];
    const u64 bit = u64{1} << (key & 63);
    const u64 old = load_relaxed(word);
    if (!(old & bit)) return false;

    guard.begin();
    store_relaxed(word, old & ~bit);
    const unsigned remaining = e.byte(8);  // the old pop0 is the new count
    if (remaining >= 21) {
        e.set_byte(8, static_cast<u8>(remaining - 1));
        publish_edge(slot, e);
        guard.end();
        return true;
    }
    // Too few keys for a bitmap: back to a 1-byte leaf (or an immediate).
    u64 keys[32];
    unsigned n = 0;
    for (unsigned d = 0; d < 256; ++d) {
        if ((leaf->bitmap[d >> 6] >> (d & 63)) & 1u) {
            require(n < 32, "index out of bounds: bitmap leaf shrink above 32 keys");
            keys[n++] = d;
        }
    }
    const u64 prefix = level > 1 ? decode_value(e, 1, static_cast<u8>(level)) : 0;
    guard.alloc.release(leaf, LEAF_B1_BYTES, NODE_ALIGN);
    Edge fresh;
    if (n < immediate_room(level)) {
        for (unsigned i = 0; i < n; ++i) keys[i] |= shl8(prefix, 1);
        write_immed(fresh, static_cast<u8>(level), keys, n);
    } else {
        build_leaf<true>(guard.alloc, fresh, 1, keys, n);
        for (unsigned j = 1; j < level; ++j) fresh.set_byte(8 + j, e.byte(8 + j));
    }
    publish_edge(slot, fresh);
    guard.end();
    return true;
}

template <bool U>
bool remove_from_linear_leaf(const SlotGuard<U>& guard, Edge& slot, Edge e, u64 key,
                             unsigned level) {
    const u8 w = static_cast<u8>(e.tag_byte() - TAG_LEAF_BASE);
    if (!prefix_matches(e, level, w, key)) return false;
    const std::size_t n = static_cast<std::size_t>(e.pop0(w)) + 1;
    u8* block = e.ptr<u8>();
    require(block != nullptr, "leaf ptr");
    const leaf::LeafPos pos = leaf::locate(block, n, w, key & low_bytes_mask(w));
    if (!pos.found) return false;
    const std::size_t at = pos.index;
    NodeAlloc& alloc = guard.alloc;

    if (n <= immediate_room(level)) {
        // Few enough keys to live in the edge at the slot's full width.
        Edge fresh;
        if (n > 1) {
            const u64 prefix = shl8(decode_value(e, w, static_cast<u8>(level)), w);
            u64 rest[16];
            unsigned kept = 0;
            for (std::size_t i = 0; i < n; ++i)
                if (i != at) rest[kept++] = packed_key(block, i, w) | prefix;
            write_immed(fresh, static_cast<u8>(level), rest, kept);
        }
        guard.publish(slot, fresh);
        alloc.release(block, leaf_block_bytes(n, w), LEAF_ALIGN);
        return true;
    }
    if (capacity_class(n - 1) == capacity_class(n)) {
        guard.begin();
        leaf::shared_keys::remove_at(block, w, n, at);
        e.set_pop0(w, n - 2);
        publish_edge(slot, e);
        guard.end();
        return true;
    }
    u8* fresh = static_cast<u8*>(alloc.allocate_zeroed(leaf_block_bytes(n - 1, w)));
    std::memcpy(fresh, block, at * w);
    std::memcpy(fresh + at * w, block + (at + 1) * w, (n - 1 - at) * w);
    e.set_ptr(fresh);
    e.set_pop0(w, n - 2);
    guard.publish(slot, e);
    alloc.release(block, leaf_block_bytes(n, w), LEAF_ALIGN);
    return true;
}

}  // namespace occ_detail

template <bool Unversioned>
bool remove_occ(NodeAlloc& alloc, Edge& slot, u64 key, u8 level, u64 bump_node_word,
                u32* caller_word) {
    using namespace occ_detail;
    const SlotGuard<Unversioned> guard{alloc, bump_node_word, caller_word};
    const Edge e = read_edge(slot);
    const EdgeKind kind = e.tag();
    if (kind.is_invalid()) fatal("valid edge tag");
    if (kind.is_immediate()) return remove_from_immediate(guard, slot, e, kind, key);
    switch (kind.kind) {
        case TAG_EMPTY:
            return false;
        case TAG_BRANCH_L3:
        case TAG_BRANCH_L7:
        case TAG_BRANCH_B:
        case TAG_BRANCH_U:
            return remove_branch_step_occ<false>(
                guard, slot, e, key, level, [&](Edge& child, unsigned child_level, u32& word) {
                    return remove_occ<Unversioned>(alloc, child, key, static_cast<u8>(child_level),
                                                   1, &word);
                });
        case TAG_LEAF_BITMAP:
            return remove_from_bitmap_leaf(guard, slot, e, key, level);
        case TAG_FULL:
            expand_full_edge(guard, slot, level);
            return remove_occ<Unversioned>(alloc, slot, key, level, bump_node_word, caller_word);
        default:
            return remove_from_linear_leaf(guard, slot, e, key, level);
    }
}

}  // namespace tolvane::mutate
