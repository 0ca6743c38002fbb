#pragma once
// A map-flavour tree driven through the reclaiming map insert and remove, in
// one of the ways the engines use them (see OccMode in occ_set_tree.hpp), as
// an oracle-harness subject mirrored on MapModel or as the shared tree of a
// stress test.
//
//   OccMapTree tree(OccMode::DeferredCovered);   // collector, tree word
//   tree.insert(k, v); tree.remove(k);
//
// The versioned modes call the versioned members on the root slot with the
// bump flag clear, so a covered root is guarded by `tree_word`. With
// `keep_existing` set inserts use the get-or-insert member. The destructor
// gives the whole tree back.

#include <memory>

#include "support/occ_set_tree.hpp"
#include "support/oracle.hpp"
#include "tolvane/alloc.hpp"
#include "tolvane/mutate_map_insert.hpp"
#include "tolvane/mutate_map_remove.hpp"
#include "tolvane/mutate_path.hpp"
#include "tolvane/occ.hpp"
#include "tolvane/types.hpp"

namespace tolvane::test {

class OccMapTree {
  public:
    explicit OccMapTree(OccMode mode);
    ~OccMapTree();
    OccMapTree(const OccMapTree&) = delete;
    OccMapTree& operator=(const OccMapTree&) = delete;

    // Its `old` field holds kUntouched unless the insert wrote it.
    mutate_map::InsertResult insert(u64 key, u64 value);
    mutate_map::RemoveResult remove(u64 key);
    // The value word of `key`, or null.
    u64* find(u64 key);

    bool deferred() const {
        return mode == OccMode::DeferredUnversioned || mode == OccMode::DeferredCovered;
    }
    bool versioned() const {
        return mode == OccMode::LocalVersioned || mode == OccMode::DeferredCovered;
    }

    static constexpr u64 kUntouched = 0x5EB7'1E55'0DDB'A115ull;

    const OccMode mode;
    std::shared_ptr<Collector> collector;  // null in local mode
    NodeAlloc alloc;
    Edge root;
    InsertPath path;
    u64 tree_word = 0;
    bool keep_existing = false;
};

}  // namespace tolvane::test
