#pragma once
// A map-flavour tree driven straight through the exclusive map mutators, as
// an oracle-harness subject (see oracle.hpp) mirrored on MapModel.
//
//   MapTree tree;                 // root edge at level 8, local allocator
//   MapModel model;
//   replay(model, tree, ops);     // answers compared, tree verified
//
// Every insert also checks its own report: the value word it names is the
// one a lookup finds, it holds the stored value, and the old-value field is
// left alone for a new key. With `check_path` set it checks what the insert
// path names afterwards: nothing, or exactly the level-1 leaf the key went
// into with its ancestors, when and only when the key was added to that
// leaf in place. verify() flushes the path, runs the map-flavour validator,
// compares its population with the model, reads every model key's value
// word, and compares the allocator's live bytes with the validator's bytes.

#include <functional>

#include "support/oracle.hpp"
#include "support/set_tree.hpp"
#include "tolvane/mem/alloc.hpp"
#include "tolvane/write/mutate_map_insert.hpp"
#include "tolvane/write/mutate_path.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/check/validate.hpp"

namespace tolvane::test {

class MapTree : public ExclusiveTree<true> {
  public:
    // Overwriting insert (get-or-insert when `keep_existing` is set).
    MapModel::Result insert(u64 key, u64 value);
    MapModel::Result remove(u64 key);
    // The value word of `key`, or null.
    const u64* find(u64 key) const;

    // Oracle-harness subject interface.
    MapModel::Result apply(const Op& op) {
        return op.kind == Op::Kind::Insert ? insert(op.key, op.value) : remove(op.key);
    }
    void verify(const MapModel& model);

    bool keep_existing = false;
    mutate_map::InsertResult last;  // report of the latest insert

  private:
    void check_report(u64 key, u64 value, const mutate_map::InsertResult& r);
    void check_path_after_insert(u64 key, bool added, const KeyTrace& before,
                                 const KeyTrace& after);
};

// Gives each insert of `ops` a value: mostly random, with 0, 2^64 - 1 and
// values that repeat the key mixed in. Removals keep value 0.
std::vector<Op> with_values(std::vector<Op> ops, u64 seed);

}  // namespace tolvane::test
