#pragma once
// One optimistic attempt of the concurrent set's insert and removal: the
// lock-free walk, the holder lock and the private blocks of the map's
// attempts (olc_attempt.hpp, olc_walk.hpp), with set-flavour leaves: set
// immediates packing up to 15 key bytes, linear leaves of packed keys, the
// LeafB1 bitmap leaf and the full edge.
//
// Insert, at the edge the walk reaches (n keys of w bytes, slot level L):
//   full edge (any depth)                  present, no lock
//   empty slot of an uncompressed branch   one-key immediate
//   digit missing in a linear / bitmap     one-key immediate added to the
//     branch with room                     branch's children in place
//   immediate with room (n < 15 / w)       rebuilt with the key
//   full immediate                         linear leaf of n + 1 keys
//   linear leaf with room                  in place, or a grown block
//   full linear leaf (25 / 32 keys)        LeafB1, or a private BranchL3
//                                          subtree at the highest byte in
//                                          which the keys differ
//   LeafB1 below 255 keys                  bit set in place
// Removal:
//   the only key of a leaf or immediate    slot emptied, only under an
//                                          uncompressed branch that keeps
//                                          more than 160 children
//   immediate of 2 or more                 rebuilt without the key
//   linear leaf left with m <= 15 / L      immediate of width L
//   other linear leaf                      in place, or a smaller block
//   LeafB1 of 22 or more                   bit cleared in place
//   LeafB1 of 2..21                        immediate of width L when the
//                                          rest fits, else a 1-byte leaf
// Everything else (root changes, branch growth or demotion, full edges on
// removal, skipped-prefix mismatches under a leaf) answers Exclusive; a
// conflict answers Retry. Both leave the tree as it was.
//
// Outcomes reuse OlcStatus: insert New = added, Replaced = already present;
// removal Removed = removed, Absent = not there. The caller counts the change
// in its population shard and marks the key's top digit dirty.

#include <optional>

#include "tolvane/core/types.hpp"
#include "tolvane/mem/alloc.hpp"
#include "tolvane/sync/olc_attempt.hpp"
#include "tolvane/sync/olc_read.hpp"
#include "tolvane/sync/shared.hpp"

namespace tolvane::sync {

OlcOutcome olc_insert_set(NodeAlloc& alloc, const olc::RootRead& root, u64 key);
OlcOutcome olc_remove_set(NodeAlloc& alloc, const olc::RootRead& root, u64 key);

// The optimistic phase of the set's insert / removal (writer slot, pin,
// attempts): whether the key was added / removed, or none when the write
// must finish in the exclusive section (the root is no trie, an attempt
// answered Exclusive, or 64 attempts conflicted).
std::optional<bool> olc_insert_set_phase(Shared<TolvaneSet>& s, u64 key);
std::optional<bool> olc_remove_set_phase(Shared<TolvaneSet>& s, u64 key);

namespace olc_insert_set_detail {
// First index in [start, end) of packed w-byte keys whose key is greater
// than `target`; `end` when none is.
std::size_t upper_slot(std::size_t start, std::size_t end, const u8* keys, unsigned w, u64 target);
}  // namespace olc_insert_set_detail

}  // namespace tolvane::sync
