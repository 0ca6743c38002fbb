#pragma once
// A set-flavour tree driven through the reclaiming insert and remove, in one
// of the ways the engines use them (OccMode, occ_tree.hpp), as an
// oracle-harness subject (see oracle.hpp) or as the shared tree of a stress
// test.
//
//   OccSetTree tree(OccMode::DeferredCovered);   // collector, tree word
//   tree.insert(k); tree.remove(k);

#include "support/occ_tree.hpp"
#include "support/oracle.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::test {

class OccSetTree : public OccTree<false> {
  public:
    using OccTree::OccTree;

    bool insert(u64 key);
    bool remove(u64 key);
    bool apply(const Op& op) {
        return op.kind == Op::Kind::Insert ? insert(op.key) : remove(op.key);
    }
};

}  // namespace tolvane::test
