// Population folds on hand-built trees: stale pop0 fields are rewritten to
// the recounted value (only their low level bytes), the selective fold
// recounts only dirty top-level digits, and vacant subtrees are recognised.

#include <gtest/gtest.h>

#include "support/hand_trees.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/sync/fold.hpp"

namespace tolvane::sync {
namespace {

using test::HandTrees;

// Overwrites the low `level` bytes of the edge's word 1 with junk.
void make_stale(Edge& e, unsigned level) { e.w1 = (e.w1 & ~LEVEL_MASK[level]) | (0x5A5A5A5A5A5A5A5Aull & LEVEL_MASK[level]); }

TEST(SyncFold, RewritesOnlyPopulationBytesBottomUp) {
    HandTrees<false> t;
    // Level 7 branch -> level 2 branch (skipping 3..6) -> three leaves.
    const Edge leaf_a = t.b.linear_leaf(1, {1, 2, 3});
    const Edge leaf_b = t.b.bitmap_leaf({7, 9});
    const Edge imm = t.b.immediate(1, {4, 5, 6});
    Edge low = t.b.branch_l3(2, {{0x10, leaf_a}, {0x20, leaf_b}, {0x30, imm}});
    low = t.b.skip(low, 2, 6, 0x0000'00AB'CDEF'0000ull);
    Edge top = t.b.branch_b(7, {{0x44, low}, {0x45, t.b.immediate(6, {0x010203040506ull})}});
    Edge& root = const_cast<Edge&>(t.keep(t.b.branch_u(8, {{0x09, top}})));

    Edge& top_slot = root.ptr<BranchU>()->children[0x09];
    Edge& low_slot = top_slot.ptr<BranchB>()->subarrays[2][0];
    const u64 top_high = top_slot.w1 & ~LEVEL_MASK[7];
    const u64 low_high = low_slot.w1 & ~LEVEL_MASK[2];
    make_stale(top_slot, 7);
    make_stale(low_slot, 2);

    EXPECT_EQ(fold_branch_pop0(&root, 8), 9u);
    EXPECT_EQ(top_slot.w1 & LEVEL_MASK[7], 8u);  // seven bytes: 9 keys - 1
    EXPECT_EQ(low_slot.w1 & LEVEL_MASK[2], 7u);  // two bytes: 8 keys - 1
    EXPECT_EQ(top_slot.w1 & ~LEVEL_MASK[7], top_high);
    EXPECT_EQ(low_slot.w1 & ~LEVEL_MASK[2], low_high);  // skipped digits and tag intact

    EXPECT_EQ(fold_branch_pop0(nullptr, 8), 0u);
    EXPECT_EQ(fold_branch_pop0_selective(nullptr, 8, nullptr), 0u);
}

TEST(SyncFold, SelectiveRecountsOnlyDirtyDigits) {
    HandTrees<false> t;
    auto sub = [&](u64 base) {
        return t.b.branch_l3(7, {{0x00, t.b.skip(t.b.linear_leaf(1, {base, base + 1}), 1, 6, 0)}});
    };
    Edge& root = const_cast<Edge&>(t.keep(t.b.branch_u(
        8, {{0x01, sub(1)}, {0x40, sub(5)}, {0x41, t.b.full_edge(7)}})));
    BranchU* node = root.ptr<BranchU>();
    make_stale(node->children[0x01], 7);
    make_stale(node->children[0x40], 7);
    const Edge untouched = node->children[0x40];
    const u64 stale = (untouched.w1 & LEVEL_MASK[7]) + 1;

    u32 dirty[8] = {};
    dirty[0] = 1u << 1;   // digit 0x01
    dirty[1] = 1u << 31;  // digit 0x3F: no child there, contributes nothing
    const u64 full = u64{1} << 56;
    EXPECT_EQ(fold_branch_pop0_selective(&root, 8, dirty), 2 + stale + full);
    EXPECT_EQ(node->children[0x01].w1 & LEVEL_MASK[7], 1u);
    EXPECT_EQ(node->children[0x40], untouched);

    // A root node that skips levels is recounted whatever the dirty set says.
    Edge& skipping = const_cast<Edge&>(
        t.keep(t.b.branch_l3(7, {{0x02, t.b.skip(t.b.linear_leaf(1, {9, 10}), 1, 6, 0)}})));
    make_stale(skipping, 7);
    const u32 none[8] = {};
    EXPECT_EQ(fold_branch_pop0_selective(&skipping, 8, none), 2u);
    EXPECT_EQ(skipping.w1 & LEVEL_MASK[7], 1u);

    // A root that is a leaf answers its stored count and is not written.
    Edge leaf = t.b.linear_leaf(7, {11, 12, 13});
    const Edge before = leaf;
    EXPECT_EQ(fold_branch_pop0_selective(&leaf, 8, none), 3u);
    EXPECT_EQ(leaf, before);
    t.keep(leaf);
}

TEST(SyncFold, EmptiedSubtreeFoldsToZeroAndIsVacant) {
    HandTrees<false> t;
    Edge inner = t.b.branch_l3(2, {{0x01, t.b.immediate(1, {3})}});
    Edge& outer = const_cast<Edge&>(t.keep(t.b.branch_l7(4, {{0x05, t.b.skip(inner, 2, 3, 0)}})));
    EXPECT_FALSE(subtree_vacant(outer, 4));
    // The last key goes; the branches stay behind.
    Edge& inner_slot = outer.ptr<BranchL7>()->children[0];
    inner_slot.ptr<BranchL3>()->children[0] = Edge{};
    EXPECT_TRUE(subtree_vacant(outer, 4));
    EXPECT_EQ(fold_branch_pop0(&outer, 4), 0u);
    EXPECT_EQ(outer.w1 & LEVEL_MASK[4], 0u);
    EXPECT_EQ(inner_slot.w1 & LEVEL_MASK[2], 0u);
    EXPECT_TRUE(subtree_vacant(Edge{}, 3));
    EXPECT_FALSE(subtree_vacant(t.b.immediate(2, {1}), 2));
}

}  // namespace
}  // namespace tolvane::sync
