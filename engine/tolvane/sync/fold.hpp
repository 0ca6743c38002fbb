#pragma once
// Recounting subtree populations. Optimistic writers change leaves without
// touching the population fields (pop0) of the branch edges above them; the
// exclusive section recounts what they may have left stale before a query
// reads those fields. One body serves both flavours: the walks read only
// edges, branch headers and stored leaf counts.
//
// Every rewrite changes only the pop0 bits of an edge's word 1 (the low L
// bytes for a node of level L, 1..7), never a pointer, prefix digit or tag,
// so a lock-free reader that reads the edge meanwhile still finds the same
// node. The folds must run with every writer of the tree excluded; their
// stores are relaxed atomics because optimistic readers may read the word.

#include "tolvane/core/types.hpp"

namespace tolvane::sync {

// Exact number of keys under `edge` (null: 0) in a slot of `level`; rewrites
// the pop0 of every branch edge of node level 1..7 in the subtree, the given
// edge included, bottom-up.
u64 fold_branch_pop0(Edge* edge, unsigned level);

// The exact population of a tree, given that every top-level subtree with a
// stale count has its digit set in `dirty` (bit d & 31 of word d >> 5).
// Recounts only those subtrees (or the whole tree when the root node skips
// levels); every other child contributes its stored count.
u64 fold_branch_pop0_selective(Edge* edge, unsigned level, const u32 dirty[8]);

// True when no key lies under the edge: only empty edges and branch nodes
// whose every child is vacant.
bool subtree_vacant(const Edge& edge, unsigned level);

// The count an edge's fields claim for its subtree, without a walk.
u64 stored_count(const Edge& edge);

}  // namespace tolvane::sync
