#pragma once
// A map-flavour tree driven through the reclaiming map insert and remove, in
// one of the ways the engines use them (ReclaimingMode, reclaiming_tree.hpp), as
// an oracle-harness subject mirrored on MapModel or as the shared tree of a
// stress test.
//
//   ReclaimingMapTree tree(ReclaimingMode::DeferredCovered);   // collector, tree word
//   tree.insert(k, v); tree.remove(k);
//
// The versioned modes call the versioned members on the root slot with the
// bump flag clear, so a covered root is guarded by `tree_word`. With
// `keep_existing` set inserts use the get-or-insert member.

#include "support/reclaiming_tree.hpp"
#include "support/oracle.hpp"
#include "tolvane/write/mutate_map_insert.hpp"
#include "tolvane/write/mutate_map_remove.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::test {

class ReclaimingMapTree : public ReclaimingTree<true> {
  public:
    using ReclaimingTree::ReclaimingTree;

    // Its `old` field holds kUntouched unless the insert wrote it.
    mutate_map::InsertResult insert(u64 key, u64 value);
    mutate_map::RemoveResult remove(u64 key);
    // The value word of `key`, or null.
    u64* find(u64 key);

    static constexpr u64 kUntouched = 0x5EB7'1E55'0DDB'A115ull;

    bool keep_existing = false;
};

}  // namespace tolvane::test
