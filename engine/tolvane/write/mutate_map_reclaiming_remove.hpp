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
// value array behind it, is bracketed with its holder's word
// (mutate::SlotHolder); for
// a linear or bitmap branch that bracket opens after the branch's own one
// closed. Callers flush their insert path first and count the removal in
// their own population; an emptied root slot is left all zero.
//
// The leaf level is the exclusive remove's own body (mutate_map_remove_leaf.hpp)
// run through the slot guard; the branch level is shared with the set flavour
// (mutate_reclaiming_remove_branch.hpp).

#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/fatal.hpp"
#include "tolvane/write/mutate_map_leaf.hpp"
#include "tolvane/write/mutate_map_remove.hpp"
#include "tolvane/write/mutate_map_remove_leaf.hpp"
#include "tolvane/write/mutate_reclaiming.hpp"
#include "tolvane/write/mutate_reclaiming_remove_branch.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::mutate_map {

namespace reclaiming_remove_detail {

using mutate::read_edge;
using mutate::reclaiming_detail::SlotGuard;

template <bool U>
bool remove_frame(NodeAlloc& alloc, Edge& slot, u64 key, unsigned level,
                  mutate::SlotHolder holder, u64& value) {
    const SlotGuard<U> guard{alloc, holder};
    const Edge e = read_edge(slot);
    const EdgeKind kind = e.tag();
    if (kind.is_invalid() || (kind.is_immediate() && !fits_map_immediate(kind)))
        fatal("valid edge tag");
    if (kind.is_immediate()) return remove_leaf::from_immediate(guard, slot, e, kind, key, value);
    switch (kind.kind) {
        case TAG_EMPTY:
            return false;
        case TAG_BRANCH_L3:
        case TAG_BRANCH_L7:
        case TAG_BRANCH_B:
        case TAG_BRANCH_U:
            return mutate::reclaiming_detail::remove_branch_step_reclaiming<true>(
                guard, slot, e, key, level, [&](Edge& child, unsigned child_level, u32& word) {
                    return remove_frame<U>(alloc, child, key, child_level,
                                           mutate::SlotHolder::branch(word), value);
                });
        case TAG_LEAF_BITMAP:
            return remove_leaf::from_bitmap_leaf(guard, slot, e, key, level, value);
        case TAG_FULL:
            fatal(
                "internal error: entered unreachable code: full-tolvane edges are set-flavor only");
        default:  // tags 5..11; 13..15 do not decode
            return remove_leaf::from_linear_leaf(guard, slot, e, key, level, value);
    }
}

}  // namespace reclaiming_remove_detail

// The typed spelling of both members: `holder` guards `edge` in the versioned
// member (the root slot by default) and is ignored by the unversioned one.
template <bool Unversioned>
RemoveResult map_remove_occ(NodeAlloc& alloc, Edge& edge, u64 key, unsigned level,
                            mutate::SlotHolder holder = mutate::SlotHolder::root()) {
    RemoveResult out;
    out.found = reclaiming_remove_detail::remove_frame<Unversioned>(alloc, edge, key, level,
                                                                    holder, out.value);
    return out;
}

// The unversioned member: for trees whose root slot no tree word guards.
template <bool Occ, bool Unversioned>
    requires(Occ && Unversioned)
RemoveResult map_remove_occ(NodeAlloc& alloc, Edge& edge, u64 key, u32 level) {
    return map_remove_occ<true>(alloc, edge, key, level);
}

// The versioned member: bit 0 of `bump_node_word` set means `caller_word`
// guards `edge`; clear means `edge` is the root slot (tree word while the
// allocator covers the root).
template <bool Occ, bool Unversioned>
    requires(Occ && !Unversioned)
RemoveResult map_remove_occ(NodeAlloc& alloc, Edge& edge, u64 key, u32 level, u64 bump_node_word,
                            u32* caller_word) {
    return map_remove_occ<false>(alloc, edge, key, level,
                                 mutate::SlotHolder::of(bump_node_word, caller_word));
}

}  // namespace tolvane::mutate_map
