#pragma once
// Reclaiming set-flavour remove: one key out of a tree that optimistic
// readers may walk while it runs. It takes every decision of the exclusive
// remove (mutate_remove.hpp): the same walk, thresholds, shrinks and frees, so
// both leave the same tree. What differs is how memory changes (see
// mutate_reclaiming_insert.hpp for the same rules on the insert side):
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
// Unversioned = true: the slot holder is passed down unread; each descent is
// bracketed with the branch's own word. Unversioned = false: every change of
// the handed slot is bracketed with its holder's word (the tree word at the
// root while the allocator covers it).
//
// The leaf level is the exclusive remove's own body (mutate_remove_leaf.hpp)
// run through the slot guard; the branch level is shared with the map flavour
// (mutate_reclaiming_remove_branch.hpp).

#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/fatal.hpp"
#include "tolvane/write/mutate_reclaiming.hpp"
#include "tolvane/write/mutate_reclaiming_remove_branch.hpp"
#include "tolvane/write/mutate_remove_leaf.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::mutate {

// Removes `key` below `slot`, a slot of level `level` (8 for a root edge).
// True when the key was present and is gone. Top-level callers pass the root
// holder; recursive calls the holding branch's word.
template <bool Unversioned>
bool remove_occ(NodeAlloc& alloc, Edge& slot, u64 key, u8 level, SlotHolder holder) {
    using namespace reclaiming_detail;
    const SlotGuard<Unversioned> guard{alloc, holder};
    const Edge e = read_edge(slot);
    const EdgeKind kind = e.tag();
    if (kind.is_invalid()) fatal("valid edge tag");
    if (kind.is_immediate()) return remove_leaf::from_immediate(guard, slot, e, kind, key);
    switch (kind.kind) {
        case TAG_EMPTY:
            return false;
        case TAG_BRANCH_L3:
        case TAG_BRANCH_L7:
        case TAG_BRANCH_B:
        case TAG_BRANCH_U:
            return remove_branch_step_reclaiming<false>(
                guard, slot, e, key, level, [&](Edge& child, unsigned child_level, u32& word) {
                    return remove_occ<Unversioned>(alloc, child, key, static_cast<u8>(child_level),
                                                   SlotHolder::branch(word));
                });
        case TAG_LEAF_BITMAP:
            return remove_leaf::from_bitmap_leaf(guard, slot, e, key, level);
        case TAG_FULL:
            remove_leaf::expand_full_edge(guard, slot, level);
            return remove_occ<Unversioned>(alloc, slot, key, level, holder);
        default:
            return remove_leaf::from_linear_leaf(guard, slot, e, key, level);
    }
}

// The flag-and-pointer spelling of the holder (SlotHolder::of).
template <bool Unversioned>
bool remove_occ(NodeAlloc& alloc, Edge& slot, u64 key, u8 level, u64 bump_node_word,
                u32* caller_word) {
    return remove_occ<Unversioned>(alloc, slot, key, level,
                                   SlotHolder::of(bump_node_word, caller_word));
}

}  // namespace tolvane::mutate
