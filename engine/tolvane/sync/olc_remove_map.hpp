#pragma once
// One optimistic attempt of the concurrent map removal, the mirror of the
// insert attempt (olc_insert_map.hpp): the same lock-free walk, the same
// holder lock, and one change at the leaf edge the key sits in.
//
// What removing one of the n keys does (L the slot level, r = n - 1):
//   the only key of a leaf or immediate    the edge is emptied, but only under
//                                          an uncompressed branch that keeps
//                                          more than 160 children; else
//                                          Exclusive
//   immediate of 2                         one-key immediate, value inline
//   immediate of 3 or more                 keys and values shifted in place,
//                                          or a smaller value array
//   linear leaf with n <= 7 / L            map immediate of key size L
//   other linear leaf                      in place, or a smaller block
//   bitmap leaf of 22 or more              bit cleared, subarray shifted in
//                                          place, shrunk or dropped
//   bitmap leaf of 21 or fewer             linear leaf of 1-byte keys (or an
//                                          immediate when r < 7 / L)
// Branches never lose a child here and nothing above the leaf edge changes;
// the caller counts the removal in its population shard and marks the key's
// top byte dirty.

#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/mem/alloc.hpp"
#include "tolvane/sync/olc_attempt.hpp"
#include "tolvane/sync/olc_read.hpp"

namespace tolvane::sync {

OlcOutcome olc_remove_map(NodeAlloc& alloc, const olc::RootRead& root, u64 key);

// Non-empty children of an uncompressed branch that other writers may change,
// counted in digit order up to `limit` (returned once reached).
u64 branch_u_digits_shared(const BranchU* node, u64 limit);

// Whether the holder may lose a child optimistically: only an uncompressed
// branch that keeps more than U_SHRINK_AT children afterwards (below that the
// exclusive section demotes it).
bool olc_may_empty(const OlcStep& holder);

}  // namespace tolvane::sync
