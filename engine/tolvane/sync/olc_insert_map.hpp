#pragma once
// One optimistic attempt of the concurrent map insert: walks the trie
// without locks, locks only the branch that holds the edge it changes, and
// either edits the leaf in place or publishes a privately built replacement.
// Whatever would change the root, grow a branch into another form or fill a
// bitmap leaf past 255 keys answers Exclusive; a conflict answers Retry. Both
// leave the tree and the allocator's live counts as they were.
//
// What a new key does at the edge the walk reaches (n keys of w bytes):
//   empty slot of an uncompressed branch   one-key immediate
//   digit missing in a linear / bitmap     one-key immediate added to the
//     branch with room                     branch's children in place
//   immediate, n = 1                       two-key immediate (w <= 3) or a
//                                          two-entry leaf (w >= 4)
//   immediate with room                    key added, value array in place
//                                          or grown to its next class
//   full immediate                         linear leaf of n + 1 entries
//   linear leaf with room                  in place, or a grown block
//   full linear leaf (25 / 32 keys)        bitmap leaf, or a private BranchL3
//                                          subtree at the highest byte in
//                                          which the keys differ
//   bitmap leaf below 255 keys             in place, or a grown subarray
// A present key's value is overwritten in place under the holder's lock.
//
// The attempt never changes the root, the root version or any population
// field above the leaf edge it changes; the caller counts a new key in its
// population shard and marks the key's top byte dirty.

#include "tolvane/core/types.hpp"
#include "tolvane/mem/alloc.hpp"
#include "tolvane/sync/olc_attempt.hpp"
#include "tolvane/sync/olc_read.hpp"

namespace tolvane::sync {

OlcOutcome olc_insert_map(NodeAlloc& alloc, const olc::RootRead& root, u64 key, u64 value);

}  // namespace tolvane::sync
