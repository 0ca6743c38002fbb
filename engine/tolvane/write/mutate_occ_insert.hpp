#pragma once
// Reclaiming set-flavour insert: one key into a tree that optimistic readers
// may walk while it runs. It places keys and changes node forms exactly as the
// exclusive insert does (mutate_insert.hpp), so both build the same tree from
// the same keys; what differs is how memory changes:
//
// - a block that changes size or form is rebuilt in a new block, filled
//   completely, then published; the old block goes back through the
//   allocator's current mode (retired to the collector when deferred);
// - edits that keep a block's size (a key into a leaf with room, a bitmap
//   bit, a child slot opened in a branch) are made in place with single
//   atomic stores, inside a bracket of the version word that guards them;
// - every edge is written word 1 first, then word 0 with release;
// - a replaced branch is marked obsolete before it is released.
//
// The walk recurses one frame per slot. A frame whose node changes form
// reads its slot again and dispatches on the new form. After a child call
// stored the key, the frame adds one to its own slot's population and
// republishes it. The insert path is flushed and emptied at entry of every
// frame and never filled: the hot-leaf cache is for exclusive trees only.
// The branch level is shared with the map flavour
// (mutate_occ_insert_branch.hpp), the split of a full leaf with the
// exclusive insert (mutate_leaf_split.hpp).
//
// Unversioned = true: no arguments beyond the path, brackets around descents.
// Unversioned = false: the SlotHolder (version.hpp) says which word guards the
// handed slot; top-level callers pass the root, which the tree word guards
// when the allocator covers it.

#include <bit>
#include <cstring>
#include <optional>
#include <vector>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/bits.hpp"
#include "tolvane/core/fatal.hpp"
#include "tolvane/core/forms.hpp"
#include "tolvane/leaf/leaf.hpp"
#include "tolvane/write/mutate_branch.hpp"
#include "tolvane/write/mutate_insert.hpp"
#include "tolvane/write/mutate_leaf_build.hpp"
#include "tolvane/write/mutate_leaf_split.hpp"
#include "tolvane/write/mutate_occ.hpp"
#include "tolvane/write/mutate_occ_insert_branch.hpp"
#include "tolvane/write/mutate_path.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::mutate {

template <bool Unversioned>
bool insert_with_path_occ(NodeAlloc& alloc, Edge& slot, u64 key, unsigned level, InsertPath& path,
                          SlotHolder holder);

namespace occ_detail {

template <bool U>
bool insert_into_immediate(const SlotGuard<U>& guard, Edge& slot, const Edge& e, EdgeKind kind,
                           u64 key) {
    const u8 w = kind.key_bytes;
    const unsigned n = kind.count;
    const u64 k = key & low_bytes_mask(w);
    const KeyList16 stored = immed_keys(e, w, static_cast<u8>(n));
    u64 keys[16];
    unsigned at = 0;
    while (at < n && stored[at] < k) ++at;
    if (at < n && stored[at] == k) return false;
    for (unsigned i = 0; i < at; ++i) keys[i] = stored[i];
    keys[at] = k;
    for (unsigned i = at; i < n; ++i) keys[i + 1] = stored[i];

    Edge fresh;
    if (n < forms::set_immediate_capacity(w))
        write_immed(fresh, w, keys, n + 1);
    else
        build_leaf<true>(guard.alloc, fresh, w, keys, n + 1);
    guard.publish(slot, fresh);
    return true;
}

// The 26th key of a 1-byte leaf, or the 33rd of a wider one: the keys move
// into a bitmap leaf, or under a new BranchL3 at the highest byte in which
// they differ, built on a private edge by inserting them one by one.
template <bool U>
bool insert_into_full_leaf(const SlotGuard<U>& guard, Edge& slot, const Edge& e, unsigned level,
                           u8 w, std::size_t n, std::size_t at, u64 k) {
    NodeAlloc& alloc = guard.alloc;
    std::vector<u64> keys = leaf_keys(e, w, n);
    keys.insert(keys.begin() + static_cast<std::ptrdiff_t>(at), k);

    Edge fresh;
    if (w == 1) {
        fresh = e;  // keeps the skipped digits above byte 8
        fresh.set_ptr(bitmap_leaf_of(alloc, keys));
        fresh.set_byte(8, static_cast<u8>(n));
        fresh.set_tag(TAG_LEAF_BITMAP);
    } else {
        if (w < level) {
            const u64 prefix = shl8(decode_value(e, w, static_cast<u8>(level)), w);
            for (u64& x : keys) x |= prefix;
        }
        if (const unsigned node_level = split_full_leaf_head(alloc, fresh, keys, level)) {
            // No reader sees the private edge yet; a private word stands in
            // for the branch that will hold it.
            u32 private_word = 0;
            for (u64 x : keys) {
                InsertPath private_path;
                insert_with_path_occ<U>(alloc, fresh, x, level, private_path,
                                        SlotHolder::branch(private_word));
            }
            fresh.set_pop0(node_level, n);
        }
    }
    guard.publish(slot, fresh);
    alloc.release(e.ptr<void>(), leaf_block_bytes(n, w), LEAF_ALIGN);
    return true;
}

template <bool U>
InsertStep insert_into_linear_leaf(const SlotGuard<U>& guard, Edge& slot, Edge e, u64 key,
                                   unsigned level) {
    const u8 w = static_cast<u8>(e.tag_byte() - TAG_LEAF_BASE);
    const std::size_t n = static_cast<std::size_t>(e.pop0(w)) + 1;
    // A key whose skipped bytes differ belongs beside this leaf, not in it.
    if (w < level) {
        if (const unsigned at = skip_mismatch_level(e, level, w, key))
            return wrap_and_retry(guard, slot, e, at, level, n);
    }
    u8* block = e.ptr<u8>();
    require(block != nullptr, "leaf ptr");
    const u64 k = key & low_bytes_mask(w);

    std::size_t at;
    const u64 last = packed_key(block, n - 1, w);
    if (k > last) {
        at = n;
    } else if (k == last) {
        return false;
    } else {
        const leaf::LeafPos pos = leaf::locate(block, n, w, k);
        if (pos.found) return false;
        at = pos.index;
    }

    if (n >= forms::linear_leaf_max_keys(w))
        return insert_into_full_leaf(guard, slot, e, level, w, n, at, k);

    if (capacity_class(n + 1) == capacity_class(n)) {
        guard.begin();
        leaf::shared_keys::insert_at(block, w, n, at, k);
        e.set_pop0(w, n);
        publish_edge(slot, e);
        guard.end();
        return true;
    }
    u8* fresh = static_cast<u8*>(guard.alloc.allocate_zeroed(leaf_block_bytes(n + 1, w)));
    std::memcpy(fresh, block, at * w);
    put_packed_key(fresh, at, w, k);
    std::memcpy(fresh + (at + 1) * w, block + at * w, (n - at) * w);
    e.set_ptr(fresh);
    e.set_pop0(w, n);
    guard.publish(slot, e);
    guard.alloc.release(block, leaf_block_bytes(n, w), LEAF_ALIGN);
    return true;
}

template <bool U>
InsertStep insert_into_bitmap_leaf(const SlotGuard<U>& guard, Edge& slot, Edge e, u64 key,
                                   unsigned level) {
    if (level > 1) {
        if (const unsigned at = skip_mismatch_level(e, level, 1, key))
            return wrap_and_retry(guard, slot, e, at, level, e.pop0(1) + 1);
    }
    auto* leaf = e.ptr<LeafB1>();
    require(leaf != nullptr, "leaf ptr");
    u64& word = leaf->bitmap[(key >> 6) & 3];
    const u64 bit = u64{1} << (key & 63);

    guard.begin();
    const u64 old = load_relaxed(word);
    if (old & bit) {
        store_relaxed(word, old);
        publish_edge(slot, e);
        guard.end();
        return false;
    }
    store_relaxed(word, old | bit);
    const unsigned count = e.byte(8) + 2u;
    if (count == 256 && level == 1) {
        // Every key of the slot is present: the edge says so by itself.
        guard.alloc.release(leaf, LEAF_B1_BYTES, NODE_ALIGN);
        Edge full;
        full.set_tag(TAG_FULL);
        full.set_byte(8, 0xFF);
        publish_edge(slot, full);
    } else {
        e.set_byte(8, static_cast<u8>(count - 1));
        publish_edge(slot, e);
    }
    guard.end();
    return true;
}

}  // namespace occ_detail

template <bool Unversioned>
bool insert_with_path_occ(NodeAlloc& alloc, Edge& slot, u64 key, unsigned level, InsertPath& path,
                          SlotHolder holder) {
    using namespace occ_detail;
    path.flush_and_reset();
    const SlotGuard<Unversioned> guard{alloc, holder};
    for (;;) {
        const Edge e = read_edge(slot);
        const EdgeKind kind = e.tag();
        if (kind.is_invalid()) fatal("valid edge tag");
        if (kind.is_immediate()) return insert_into_immediate(guard, slot, e, kind, key);

        InsertStep step;
        switch (kind.kind) {
            case TAG_EMPTY: {
                Edge fresh;
                if (level == 8) {
                    guard.publish(slot, detail::fresh_root_branch(alloc));
                    continue;
                }
                fresh.w0 = key & low_bytes_mask(level);
                fresh.set_tag(immediate_tag(level, 1));
                guard.publish(slot, fresh);
                return true;
            }
            case TAG_BRANCH_L3:
            case TAG_BRANCH_L7:
            case TAG_BRANCH_B:
            case TAG_BRANCH_U:
                step = insert_branch_step_occ(
                    guard, slot, e, key, level, [&](Edge& child, unsigned child_level, u32& word) {
                        return insert_with_path_occ<Unversioned>(alloc, child, key, child_level,
                                                                 path, SlotHolder::branch(word));
                    });
                break;
            case TAG_LEAF_BITMAP:
                step = insert_into_bitmap_leaf(guard, slot, e, key, level);
                break;
            case TAG_FULL:
                return false;
            default:
                step = insert_into_linear_leaf(guard, slot, e, key, level);
                break;
        }
        if (step) return *step;
    }
}

// The flag-and-pointer spelling of the holder (SlotHolder::of).
template <bool Unversioned>
bool insert_with_path_occ(NodeAlloc& alloc, Edge& slot, u64 key, unsigned level, InsertPath& path,
                          u64 bump_node_word, u32* caller_word) {
    return insert_with_path_occ<Unversioned>(alloc, slot, key, level, path,
                                             SlotHolder::of(bump_node_word, caller_word));
}

// The unversioned variant, for trees whose root no tree word covers.
inline bool insert_with_path_occ(NodeAlloc& alloc, Edge& slot, u64 key, unsigned level,
                                 InsertPath& path) {
    return insert_with_path_occ<true>(alloc, slot, key, level, path, SlotHolder::root());
}

// The versioned variant: bit 0 of `bump_node_word` set means `caller_word`
// guards the slot; clear means the slot is the root (tree word when covered).
inline bool insert_with_path_occ(NodeAlloc& alloc, Edge& slot, u64 key, unsigned level,
                                 InsertPath& path, u64 bump_node_word, u32* caller_word) {
    return insert_with_path_occ<false>(alloc, slot, key, level, path,
                                       SlotHolder::of(bump_node_word, caller_word));
}

}  // namespace tolvane::mutate
