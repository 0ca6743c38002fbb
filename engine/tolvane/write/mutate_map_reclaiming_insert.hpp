#pragma once
// Reclaiming map-flavour insert: one key with its value into a tree that
// optimistic readers may walk while it runs. It builds exactly the tree the
// exclusive insert (mutate_map_insert.hpp) builds from the same operations:
// same growth, same skip-level wraps, same leaf forms and thresholds, same
// counts. What differs is how memory changes (see mutate_map_insert_leaf.hpp for
// the leaf level):
//
//   - a branch that grows is rebuilt by the reclaiming growth steps, which
//     mark the old node obsolete and release it (retire it when deferred);
//   - a child opened in a branch with room is opened in place inside a
//     bracket of that branch's own word;
//   - the walk recurses one frame per slot; each frame works on a private
//     copy of its slot, publishes it (word 1, then word 0 with release), and
//     after a growth or wrap reads the slot again;
//   - after a child frame added the key, the frame adds one to its slot's
//     population and republishes it (unchanged at level 8); a present key
//     stops every frame above it from writing anything;
//   - the insert path is flushed and emptied on entry and never refilled.
//
// The branch level is one body with the set flavour and the exclusive insert
// (insert_branch.hpp); the leaf level, shared with the exclusive insert, is
// mutate_map_insert_leaf.hpp.
//
// Members, chosen at compile time:
//
//   KeepExisting  false: a present key's value is overwritten and the old one
//                 reported; true: it is left and reported (get-or-insert)
//   Unversioned   true: no arguments beyond the path. Each branch's own word
//                 is held odd around the descent below it (for a child opened
//                 in a linear branch the opening bracket stays open through
//                 the descent), and no frame brackets its own slot.
//                 false: every change of a frame's slot, and of the leaf or
//                 value array behind it, is bracketed with the slot's holder
//                 word (mutate::SlotHolder): the version word of the branch
//                 holding the slot, or a private word for a subtree no reader
//                 can reach, or at the root the tree word while the
//                 allocator's root-covered flag is 1, else nothing. No word
//                 is held across a descent.
//   Occ           always true in this family.
//
// The result record and its meaning are the exclusive insert's: existed, the
// old value for a present key (not written for a new one), and the key's
// value word in the tree. The caller counts a new key in its own population.

#include <optional>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/bits.hpp"
#include "tolvane/core/fatal.hpp"
#include "tolvane/write/insert_branch.hpp"
#include "tolvane/write/mutate_branch.hpp"
#include "tolvane/write/mutate_map_insert.hpp"
#include "tolvane/write/mutate_map_leaf.hpp"
#include "tolvane/write/mutate_map_insert_leaf.hpp"
#include "tolvane/write/mutate_reclaiming.hpp"
#include "tolvane/write/mutate_reclaiming_insert.hpp"
#include "tolvane/write/mutate_path.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::mutate_map {

namespace reclaiming_detail {

using mutate::read_edge;

// One frame of the walk: the key below `slot`, a slot of `level`, whose
// changes `holder` guards; the unversioned member ignores it.
template <bool K, bool U>
Outcome insert_frame(InsertResult& out, NodeAlloc& alloc, Edge& slot, u64 key, u64 value,
                     unsigned level, InsertPath& path, mutate::SlotHolder holder) {
    path.flush_and_reset();
    const SlotGuard<U> guard{alloc, holder};
    for (;;) {
        const Edge e = read_edge(slot);
        const EdgeKind kind = e.tag();
        // A map immediate keeps its keys in edge bytes 8..14; a wider one is
        // as broken as an undecodable tag.
        if (kind.is_invalid() || (kind.is_immediate() && !fits_map_immediate(kind)))
            fatal("valid edge tag");
        if (kind.is_immediate())
            return insert_into_immediate<K>(guard, out, slot, e, kind, key, value);

        Outcome outcome;
        switch (kind.kind) {
            case TAG_EMPTY:
                if (level == 8) {
                    guard.publish(slot, mutate::detail::fresh_root_branch(alloc));
                    continue;
                }
                return insert_into_empty(guard, out, slot, key, value, level);
            case TAG_BRANCH_L3:
            case TAG_BRANCH_L7:
            case TAG_BRANCH_B:
            case TAG_BRANCH_U: {
                const mutate::insert_branch::InsertStep step =
                    mutate::insert_branch::descend_reclaiming(
                        guard, slot, e, key, level, path,
                        [&](Edge& child, unsigned child_level, u32& word) {
                            insert_frame<K, U>(out, alloc, child, key, value, child_level, path,
                                               mutate::SlotHolder::branch(word));
                            return out.existed == 0;
                        });
                outcome = !step ? Outcome::Reshaped : *step ? Outcome::Stored : Outcome::Present;
                break;
            }
            case TAG_LEAF_BITMAP:
                outcome = insert_into_bitmap_leaf<K>(guard, out, slot, e, key, value, level, path);
                break;
            case TAG_FULL:
                fatal(
                    "internal error: entered unreachable code: full-tolvane edges are set-flavor "
                    "only");
            default:  // tags 5..11; 13..15 do not decode
                outcome = mutate::insert_leaf::into_linear_leaf(
                    guard, MapFlavour<K>{out, value}, slot, e, key, level, path,
                    [&](Edge& fresh, const KeyValue& kv, mutate::SlotHolder private_holder) {
                        InsertResult ignored;
                        insert_frame<K, U>(ignored, alloc, fresh, kv.key, kv.value, level, path,
                                           private_holder);
                    });
                break;
        }
        if (outcome != Outcome::Reshaped) return outcome;
    }
}

}  // namespace reclaiming_detail

// Every member with the typed spelling of the holder: `holder` guards `edge`
// in the versioned members (the root slot by default) and is ignored by the
// unversioned ones, which take no extra arguments.
template <bool KeepExisting, bool Occ, bool Unversioned>
    requires(Occ)
void map_insert_with_path_occ(InsertResult& out, NodeAlloc& alloc, Edge& edge, u64 key, u64 value,
                              u32 level, InsertPath& path,
                              mutate::SlotHolder holder = mutate::SlotHolder::root()) {
    reclaiming_detail::insert_frame<KeepExisting, Unversioned>(out, alloc, edge, key, value, level,
                                                               path, holder);
}

// The versioned members: bit 0 of `bump_node_word` set means `caller_word`
// guards `edge`; clear means `edge` is the root slot (tree word while the
// allocator covers the root; `caller_word` is then not read).
template <bool KeepExisting, bool Occ, bool Unversioned>
    requires(Occ && !Unversioned)
void map_insert_with_path_occ(InsertResult& out, NodeAlloc& alloc, Edge& edge, u64 key, u64 value,
                              u32 level, InsertPath& path, u64 bump_node_word, u32* caller_word) {
    map_insert_with_path_occ<KeepExisting, true, false>(
        out, alloc, edge, key, value, level, path,
        mutate::SlotHolder::of(bump_node_word, caller_word));
}

}  // namespace tolvane::mutate_map
