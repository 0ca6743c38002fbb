#pragma once
// Exclusive set-flavour insert: one key into a tree that only the calling
// thread can reach (allocator in local mode). Nodes change in place without
// version words or ordered stores, and replaced blocks go straight back to
// the allocator's free lists.
//
// What the next key does to a full form (capacities in core/forms.hpp):
// an immediate becomes a linear leaf, a 1-byte linear leaf a LeafB1, a wider
// linear leaf splits, a LeafB1 reaching 256 keys at slot level 1 becomes a
// full edge (above slot level 1 it stays a LeafB1), a branch grows
// (mutate_branch.hpp).
//
// The leaf and branch levels are one body each with the reclaiming insert
// (insert_leaf.hpp, insert_branch.hpp). The walk is a loop with an explicit
// descent stack; it grows a full node into its next form before it adds a
// child, and wraps a node whose skipped prefix differs from the key under a
// new BranchL3. The insert path is
// flushed before every change of shape and refilled when the key went into
// a level-1 leaf, so that the owner can add the next keys with the same
// prefix straight into that leaf.

#include <cstddef>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/write/mutate_path.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::mutate {

// Stores `key` below `edge`, a slot of level `level` (8 for a root edge);
// only the low `level` bytes of the key are used. Returns true when the key
// was absent and has been stored, false when it was present. `path` comes in
// flushed and reset; it leaves empty or naming a level-1 leaf that holds the
// key, with its ancestors and nothing pending.
bool insert_with_path_flat(NodeAlloc& alloc, Edge& edge, u64 key, unsigned level, InsertPath& path);

// ---------------------------------------------------------------------------
// Steps of the walk shared with the map-flavour insert, whose branches are
// the same.

// The level to wrap at when the key's bytes node_level..slot_level-1 differ
// from the skipped bytes in the edge's decode area: one above the highest
// differing byte. 0 when they all match (or nothing is skipped).
unsigned skip_mismatch_level(const Edge& edge, unsigned slot_level, unsigned node_level, u64 key);

// Outcome of one branch step.
enum class BranchStep : u8 {
    Descended,  // `slot` and `level` now name the child slot to continue in
    Reshaped,   // the node behind `slot` changed form or gained a parent:
                // dispatch again on the same slot
};

// One step of the exclusive walk at a branch edge (tags 1 to 4), the shared
// branch step of insert_branch.hpp: repairs a diverging skipped prefix with a
// wrap, grows a full node, or finds or opens the key's child slot, pushes the
// branch on `stack` and moves `slot` and `level` to the child. Every
// reshaping flushes `path` first.
BranchStep insert_branch_step(NodeAlloc& alloc, Edge*& slot, unsigned& level, u64 key,
                              DescentStack& stack, InsertPath& path);

// Last step of every insert that stored a key: each ancestor on the stack
// below level 8 gains one key, and is recorded on the path after a fill.
void complete_insert(const DescentStack& stack, InsertPath& path);

}  // namespace tolvane::mutate
