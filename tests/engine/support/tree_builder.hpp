#pragma once
// Hand-made trees for tests: each helper allocates one node (or none) from a
// NodeAlloc, fills it exactly as the node layouts say, and returns the edge
// that points at it. Nothing is checked or sorted: what you pass is what gets
// written, so broken trees are as easy to make as sound ones. Poke node bytes
// through edge.ptr<BranchL3>() etc. afterwards to break a tree further.
//
// Populations: every node edge gets pop0 = (keys below it) - 1 in its low
// node-level bytes, computed from the children's edges, except at level 8
// (no pop0). Keys are full 64-bit keys; leaves and immediates keep their low
// w bytes. Skipped prefixes are written by `skip`.
//
//   NodeAlloc alloc;
//   TreeBuilder<false> b(alloc);                           // set flavour
//   Edge leaf = b.linear_leaf(1, {1, 2, 3});               // 1-byte keys
//   Edge bm   = b.bitmap_leaf(keys_0_to_40);               // LeafB1
//   Edge l3   = b.branch_l3(2, {{0x10, leaf}, {0x20, bm}}); // level-2 branch
//   Edge mid  = b.skip(l3, 4, 0x0000000A0B000000);         // now under a level-4 slot
//   Edge root = b.branch_l3(8, {{0x00, b.branch_l3(7, {{0x00, ...}})}});
//   ... use root ...
//   b.free(root);                                          // back to the allocator
//
//   TreeBuilder<true> m(alloc);                            // map flavour
//   Edge ml = m.linear_leaf(2, {0x0102, 0x0304}, {10, 20}); // keys with values

#include <cstddef>
#include <utility>
#include <vector>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::testing {

using Children = std::vector<std::pair<u8, Edge>>;

// Keys behind an edge in a slot of `slot_level`, as its tag and pop0 tell.
// Nodes at level 8 carry no pop0: fatal.
u64 edge_population(const Edge& e, u8 slot_level);

template <bool Map>
class TreeBuilder {
  public:
    explicit TreeBuilder(NodeAlloc& alloc) : alloc_(alloc) {}

    // Set flavour: keys packed into the edge. Map flavour: keys in the decode
    // area, the value inline (one key) or in a value array (several).
    Edge immediate(u8 w, const std::vector<u64>& keys)
        requires(!Map);
    Edge immediate(u8 w, const std::vector<u64>& keys, const std::vector<u64>& values)
        requires(Map);

    // Linear leaf of w-byte keys, pop0 = keys.size() - 1.
    Edge linear_leaf(u8 w, const std::vector<u64>& keys)
        requires(!Map);
    Edge linear_leaf(u8 w, const std::vector<u64>& keys, const std::vector<u64>& values)
        requires(Map);

    // Bitmap leaf at level 1 of the keys' low bytes, pop0 in edge byte 8.
    Edge bitmap_leaf(const std::vector<u64>& keys)
        requires(!Map);
    Edge bitmap_leaf(const std::vector<u64>& keys, const std::vector<u64>& values)
        requires(Map);

    // Every key under a slot of this level.
    static Edge full_edge(u8 slot_level);

    // Branches at `level`; children in the given order (a BranchB sorts them
    // into its groups by digit, a BranchU puts each at its digit).
    Edge branch_l3(u8 level, const Children& children) { return linear<3>(level, children); }
    Edge branch_l7(u8 level, const Children& children) { return linear<7>(level, children); }
    Edge branch_b(u8 level, const Children& children);
    Edge branch_u(u8 level, const Children& children);

    // The edge moved under a slot of `slot_level` above its node level:
    // decode positions node_level..slot_level-1 get key bytes of `prefix`.
    static Edge skip(Edge e, u8 node_level, u8 slot_level, u64 prefix);

    // Gives the whole subtree back (exclusive subtree freeing).
    void free(Edge& e);

    NodeAlloc& alloc() { return alloc_; }

  private:
    template <std::size_t N>
    Edge linear(u8 level, const Children& children);
    Edge node_edge(const void* node, u8 tag, u8 level, u64 population);

    NodeAlloc& alloc_;
};

extern template class TreeBuilder<false>;
extern template class TreeBuilder<true>;

}  // namespace tolvane::testing
