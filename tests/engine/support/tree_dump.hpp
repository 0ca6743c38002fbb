#pragma once
// Canonical text of a trie, for comparing trees built by different mutators
// (exclusive against reclaiming, set or map flavour): two trees have the same
// dump exactly when they have the same shape, forms, levels, populations,
// skipped prefixes and contents.
//
// Left out on purpose, because they legitimately differ between equal trees:
// block addresses, branch version words, and bytes past the live entries of
// a block (a leaf's slots beyond its count, a subarray's edges beyond its
// group count, a value array's unused words).
//
//   std::string a = dump_tree<false>(exclusive_root, 8);
//   std::string b = dump_tree<false>(reclaiming_root, 8);
//   EXPECT_EQ(a, b);
//
// The walk reads plain memory: the tree must not change while it runs.

#include <string>
#include <vector>

#include "tolvane/core/types.hpp"

namespace tolvane::test {

// One line per edge, children indented under their parent and prefixed with
// their digit. Map = true reads leaves and immediates in the map flavour.
template <bool Map>
std::string dump_tree(const Edge& edge, unsigned slot_level);

extern template std::string dump_tree<false>(const Edge&, unsigned);
extern template std::string dump_tree<true>(const Edge&, unsigned);

// A branch node of a tree with the address of its version word.
struct BranchRef {
    const void* node;
    u8 tag;
    u32* version;
};

// Every branch node below `edge`, depth first, parents before children.
std::vector<BranchRef> branch_nodes(const Edge& edge);

}  // namespace tolvane::test
