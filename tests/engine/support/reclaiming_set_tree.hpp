#pragma once
// A set-flavour tree driven through the reclaiming insert and remove, in one
// of the ways the engines use them (ReclaimingMode, reclaiming_tree.hpp), as an
// oracle-harness subject (see oracle.hpp) or as the shared tree of a stress
// test.
//
//   ReclaimingSetTree tree(ReclaimingMode::DeferredCovered);   // collector, tree word
//   tree.insert(k); tree.remove(k);

#include "support/reclaiming_tree.hpp"
#include "support/oracle.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::test {

class ReclaimingSetTree : public ReclaimingTree<false> {
  public:
    using ReclaimingTree::ReclaimingTree;

    bool insert(u64 key);
    bool remove(u64 key);
    bool apply(const Op& op) {
        return op.kind == Op::Kind::Insert ? insert(op.key) : remove(op.key);
    }
};

}  // namespace tolvane::test
