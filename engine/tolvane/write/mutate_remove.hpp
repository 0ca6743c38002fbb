#pragma once
// Exclusive set-flavour remove: one key out of a tree that only the calling
// thread can reach (allocator in local mode).
//
// What each form does when it loses a key (t(L) = 15 / L, the immediate
// capacity at slot level L):
//
//   immediate                 empty edge when the last key goes
//   linear leaf at level L    an immediate of width L (or empty) when the
//                             old count was t(L) or less
//   LeafB1 at level L         a linear leaf of 1-byte keys (an immediate if
//                             below t(L)) when fewer than 21 keys remain
//   full edge                 expanded first: a LeafB1 of 256 keys at level
//                             1, a BranchU of 256 full edges above
//   branches                  freed at 0 children, else shrunk at the bounds
//                             of mutate_branch.hpp
//
// A branch left with one child stays a branch: removal never merges a branch
// into a skip level. Every branch edge on the path below level 8 loses one
// from its pop0; the whole tree's population is the caller's.

#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::mutate {

// Removes `key` below `edge`, a slot of level `level` (8 for a root edge).
// True when the key was present and is gone; false (nothing changed) when it
// was absent. Callers flush their insert path first.
bool remove(NodeAlloc& alloc, Edge& edge, u64 key, u8 level);

}  // namespace tolvane::mutate
