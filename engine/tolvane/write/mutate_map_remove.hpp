#pragma once
// Exclusive map-flavour remove: one key out of a tree that only the calling
// thread can reach (allocator in local mode), its value handed back.
//
// Nothing changes until the key is known to be present. What each form does
// when it loses a key (n keys of w bytes before the removal, L the slot
// level, t = 7 / L the keys a map immediate of width L holds):
//
//   immediate, n = 1        empty edge
//   immediate, n = 2        one-key immediate, the survivor's value inline
//   immediate, n >= 3       one key fewer; value array moves with its class
//   linear leaf, n = 1      empty edge
//   linear leaf, n <= t     immediate of width L of the other n - 1 keys,
//                           each carrying the skipped digits
//   linear leaf, n > t      one key fewer, in place while the class holds
//   LeafBitmapL             one key fewer while 21 or more remain; else a
//                           width-1 leaf under the same decode bytes (an
//                           immediate if fewer than t remain)
//   branches                repaired on the way up (mutate_remove_branch.hpp)
//
// The caller flushes its insert path before the call (every pop0 met on the
// way down is then exact) and adjusts its own population afterwards; the root
// edge carries none. An emptied root edge is left all zero.

#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::mutate_map {

struct RemoveResult {
    bool found = false;
    u64 value = 0;  // the removed value when found; meaningless otherwise
};

// Removes `key` below `edge`, a slot of `level` (8 for a root edge).
RemoveResult map_remove(NodeAlloc& alloc, Edge& edge, u64 key, u32 level);

}  // namespace tolvane::mutate_map
