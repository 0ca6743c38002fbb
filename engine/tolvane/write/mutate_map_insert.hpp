#pragma once
// Exclusive map-flavour insert: one key with its value into a tree that only
// the calling thread can reach (allocator in local mode). Nodes change in
// place without version words or ordered stores; replaced blocks go straight
// back to the allocator's free lists.
//
// The walk over branches is the set flavour's (mutate_insert.hpp): same
// growth, same skip-level wrap, same descent stack and ancestor counts. Only
// the leaf level differs; it is one body with the reclaiming map insert
// (mutate_map_insert_leaf.hpp). What the next key does to each leaf form (n keys
// of w bytes before the insert, S the slot level):
//
//   empty, S = 8          an empty BranchL3 of level 8; the walk goes on
//   empty, S <= 7         one-key immediate of width S, value in word 0
//   immediate, n = 1      two-key immediate (w <= 3) or two-entry leaf (w >= 4)
//   immediate, n < 7/w    one key more; value array grows with its class
//   immediate, n = 7/w    map linear leaf of n + 1 entries
//   linear leaf           one key more, in place while the class holds,
//                         up to 25 keys (w = 1) or 32 (w >= 2)
//   full leaf, w = 1      LeafBitmapL of 26 keys
//   full leaf, w >= 2     LeafBitmapL of 33 keys when all share every byte but
//                         the lowest, else a BranchL3 that takes the 33 pairs
//   LeafBitmapL           one key more, up to 256
//
// The insert path comes in flushed and empty. It is flushed again before
// every change of shape, and refilled only after a new key went into a
// width-1 leaf or a LeafBitmapL in a level-1 slot; a split hands it back
// empty, so it never names a leaf under a shortened prefix.

#include "tolvane/mem/alloc.hpp"
#include "tolvane/write/mutate_path.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::mutate_map {

// What a map insert reports.
//   existed  1 when the key was present before the call, 0 when it was added
//   old      existed = 1: the value before the call (still in place for the
//            keep-existing member); not written for a new key
//   slot     the key's value word in the tree, valid until the next
//            structural change: a map leaf or LeafBitmapL value word, a value
//            array entry, or word 0 of a one-key immediate's edge
struct InsertResult {
    u64 existed = 0;
    u64 old = 0;
    u64* slot = nullptr;
};

// Inserts `key` with `value` below `edge`, a slot of `level` (8 for a root
// edge); only the low `level` bytes of the key are used. KeepExisting =
// false overwrites a present key's value and reports the old one; true
// leaves it and reports it (get-or-insert). `path` comes in flushed and
// reset and leaves empty or naming a level-1 leaf that holds the key, with
// its ancestors and nothing pending. The caller counts a new key itself.
template <bool KeepExisting>
void map_insert_with_path_flat(InsertResult& out, NodeAlloc& alloc, Edge& edge, u64 key, u64 value,
                               u8 level, InsertPath& path);

extern template void map_insert_with_path_flat<false>(InsertResult&, NodeAlloc&, Edge&, u64, u64,
                                                      u8, InsertPath&);
extern template void map_insert_with_path_flat<true>(InsertResult&, NodeAlloc&, Edge&, u64, u64, u8,
                                                     InsertPath&);

}  // namespace tolvane::mutate_map
