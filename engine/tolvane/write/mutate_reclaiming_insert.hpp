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
// The branch level is one body with the map flavour and the exclusive insert
// (insert_branch.hpp), the leaf level with the exclusive insert
// (insert_leaf.hpp).
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
#include "tolvane/write/insert_branch.hpp"
#include "tolvane/write/insert_leaf.hpp"
#include "tolvane/write/mutate_branch.hpp"
#include "tolvane/write/mutate_insert.hpp"
#include "tolvane/write/mutate_leaf_build.hpp"
#include "tolvane/write/mutate_leaf_split.hpp"
#include "tolvane/write/mutate_reclaiming.hpp"
#include "tolvane/write/mutate_path.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane::mutate {

template <bool Unversioned>
bool insert_with_path_occ(NodeAlloc& alloc, Edge& slot, u64 key, unsigned level, InsertPath& path,
                          SlotHolder holder);

template <bool Unversioned>
bool insert_with_path_occ(NodeAlloc& alloc, Edge& slot, u64 key, unsigned level, InsertPath& path,
                          SlotHolder holder) {
    using namespace reclaiming_detail;
    path.flush_and_reset();
    const SlotGuard<Unversioned> guard{alloc, holder};
    const auto insert_again = [&](Edge& fresh, u64 k, SlotHolder private_holder) {
        InsertPath private_path;
        insert_with_path_occ<Unversioned>(alloc, fresh, k, level, private_path, private_holder);
    };
    for (;;) {
        const Edge e = read_edge(slot);
        const EdgeKind kind = e.tag();
        if (kind.is_invalid()) fatal("valid edge tag");
        insert_leaf::Outcome outcome;
        if (kind.is_immediate()) {
            outcome = insert_leaf::into_immediate(guard, slot, e, kind, key, path);
        } else {
            switch (kind.kind) {
                case TAG_EMPTY:
                    outcome = insert_leaf::into_empty(guard, slot, key, level, path);
                    break;
                case TAG_BRANCH_L3:
                case TAG_BRANCH_L7:
                case TAG_BRANCH_B:
                case TAG_BRANCH_U: {
                    const insert_branch::InsertStep step = insert_branch::descend_reclaiming(
                        guard, slot, e, key, level, path,
                        [&](Edge& child, unsigned child_level, u32& word) {
                            return insert_with_path_occ<Unversioned>(
                                alloc, child, key, child_level, path, SlotHolder::branch(word));
                        });
                    if (step) return *step;
                    continue;
                }
                case TAG_LEAF_BITMAP:
                    outcome = insert_leaf::into_bitmap_leaf(guard, slot, e, key, level, path);
                    break;
                case TAG_FULL:
                    return false;
                default:
                    outcome = insert_leaf::into_linear_leaf(
                        guard, insert_leaf::SetFlavour{}, slot, e, key, level, path, insert_again);
                    break;
            }
        }
        if (outcome != insert_leaf::Outcome::Reshaped)
            return outcome == insert_leaf::Outcome::Stored;
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
