#pragma once
// Hand-made trees that free themselves: a TreeBuilder with its allocator and
// the roots built from it, given back when the holder goes away.
//
//   HandTrees<true> t;                                  // map flavour
//   Edge leaf = t.b.linear_leaf(2, {0x10, 0x20}, {1, 2});
//   const Edge& root = t.under_root(leaf, 2, 0x1122334455660000);
//   // root: a level-8 BranchL3 whose child sits on the path of the key's
//   // high bytes, skipping key bytes 2..6.

#include <deque>

#include "support/tree_builder.hpp"
#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::test {

template <bool Map>
struct HandTrees {
    NodeAlloc alloc;
    testing::TreeBuilder<Map> b{alloc};
    std::deque<Edge> roots;  // stable addresses

    HandTrees() = default;
    HandTrees(const HandTrees&) = delete;
    HandTrees& operator=(const HandTrees&) = delete;
    ~HandTrees() {
        for (Edge& root : roots) b.free(root);
    }

    // Takes ownership of a finished tree.
    const Edge& keep(Edge root) { return roots.emplace_back(root); }

    // `node` (its own level node_level <= 7) under a level-8 BranchL3, at
    // the root digit key byte 7, the edge skipping key bytes node_level..6.
    const Edge& under_root(Edge node, u8 node_level, u64 key) {
        const Edge child = node_level < 7 ? b.skip(node, node_level, 7, key) : node;
        return keep(b.branch_l3(8, {{static_cast<u8>(key >> 56), child}}));
    }
};

}  // namespace tolvane::test
