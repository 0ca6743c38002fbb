// Forward iteration and the positioned cursor on hand-made trees: the top
// end of the key space, gaps and empty linear branches under uncompressed
// branches, and the cursor's sticky end and reseek. Every form and start key
// against an oracle: test_read_oracle.cpp.

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "support/hand_trees.hpp"
#include "support/set_tree.hpp"
#include "tolvane/read/cursor.hpp"
#include "tolvane/read/iter.hpp"

namespace tolvane::test {
namespace {

constexpr u64 kMax = ~u64{0};

// Everything the iterator still yields, up to a bound far above any tree
// here, so that a walk that wraps around fails instead of hanging.
template <bool Map>
std::vector<typename RawIter<Map>::Item> drain(RawIter<Map> it) {
    std::vector<typename RawIter<Map>::Item> out;
    while (out.size() < 100000) {
        const auto item = it.next();
        if (!item) break;
        out.push_back(*item);
    }
    return out;
}

std::vector<u64> range_keys(u64 first, u64 count) {
    std::vector<u64> keys(count);
    std::iota(keys.begin(), keys.end(), first);
    return keys;
}

// The 256 largest keys live in one full edge at level 1 under seven all-ones
// high bytes; the walk must end after 2^64 - 1 instead of wrapping to 0.
TEST(RawIter, FullEdgeAtTheTopOfTheKeySpaceEndsAtTheLargestKey) {
    HandTrees<false> t;
    const Edge level2 = t.b.branch_l3(2, {{0xFF, t.b.full_edge(1)}});
    const Edge& root = t.under_root(level2, 2, kMax);

    const std::vector<u64> top = range_keys(kMax - 255, 256);
    SetIter it = SetIter::from_tree(root);
    std::vector<u64> got;
    while (got.size() < 300) {  // bounded: a wrap to 0 must fail, not hang
        const auto k = it.next();
        if (!k) break;
        got.push_back(*k);
    }
    EXPECT_EQ(got, top);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(it.next().has_value());

    EXPECT_EQ(drain(SetIter::from_tree_range(root, kMax)), std::vector<u64>{kMax});
    EXPECT_EQ(drain(SetIter::from_tree_range(root, kMax - 2)),
              (std::vector<u64>{kMax - 2, kMax - 1, kMax}));
    EXPECT_EQ(drain(SetIter::from_tree_range(root, 5)), top);
}

// The same shape made by the mutators from the keys themselves; one key
// below the 256 makes the level-2 branch that puts their leaf in a level-1
// slot, where it becomes a full edge.
TEST(RawIter, MutatorBuiltFullEdgeAtTheTopEndsAtTheLargestKey) {
    SetTree tree;
    ASSERT_TRUE(tree.insert(kMax - 256));
    for (u64 k = kMax;; --k) {
        ASSERT_TRUE(tree.insert(k));
        if (k == kMax - 255) break;
    }
    ASSERT_TRUE(tree.validate().ok());
    const KeyTrace trace = trace_key(tree.root, kMax);
    ASSERT_FALSE(trace.steps.empty());
    EXPECT_EQ(trace.steps.back().tag, TAG_FULL);

    EXPECT_EQ(drain(SetIter::from_tree(tree.root)), range_keys(kMax - 256, 257));
    EXPECT_EQ(drain(SetIter::from_tree_range(tree.root, kMax - 1)),
              (std::vector<u64>{kMax - 1, kMax}));
}

TEST(RawIter, UncompressedBranchWithEmptyChildrenAndEmptyLinearBranches) {
    HandTrees<false> t;
    // Digits 3 and 250 present; 250 holds an empty linear branch first in a
    // level-6 BranchU, so the walk must pass over it.
    const Edge empty_linear = t.b.branch_l3(5, {});
    const Edge u6 = t.b.branch_u(6, {{0x01, empty_linear}, {0x02, t.b.immediate(5, {0x42})}});
    const Edge u7 = t.b.branch_u(7, {{0x03, u6}, {0xFA, t.b.immediate(6, {0x1234, 0x5678})}});
    const Edge& root = t.keep(t.b.branch_u(8, {{0x80, u7}}));
    const std::vector<u64> all = {0x8003020000000042, 0x80FA000000001234, 0x80FA000000005678};
    EXPECT_EQ(drain(SetIter::from_tree(root)), all);
    EXPECT_EQ(drain(SetIter::from_tree_range(root, 0x8003010000000000)), all);
    EXPECT_EQ(drain(SetIter::from_tree_range(root, 0x8003020000000043)),
              std::vector<u64>(all.begin() + 1, all.end()));
    EXPECT_EQ(drain(SetIter::from_tree_range(root, 0x80FA000000001235)), std::vector<u64>{all[2]});
    EXPECT_TRUE(drain(SetIter::from_tree_range(root, 0x80FA000000005679)).empty());
    EXPECT_TRUE(drain(SetIter::from_tree_range(root, 0x81)).size() == 3);
}

TEST(RawCursor, LookaheadAdvanceAndReseek) {
    HandTrees<true> t;
    const Edge l2 = t.b.branch_l3(2, {{0x10, t.b.linear_leaf(1, {1, 2, 3}, {10, 20, 30})}});
    const Edge& root = t.under_root(l2, 2, 0x4200000000000000);
    const u64 base = 0x4200000000001000;

    RawCursor cursor;
    EXPECT_EQ(cursor.found, 0u);
    EXPECT_FALSE(cursor.advance().has_value());

    cursor.seek_tree(root, base | 2);
    ASSERT_EQ(cursor.found, 1u);
    EXPECT_EQ(cursor.entry, (KeyValue{base | 2, 20}));
    EXPECT_EQ(cursor.advance(), (std::optional<KeyValue>{{base | 2, 20}}));
    EXPECT_EQ(cursor.advance(), (std::optional<KeyValue>{{base | 3, 30}}));
    EXPECT_EQ(cursor.found, 0u);
    EXPECT_FALSE(cursor.advance().has_value());
    EXPECT_FALSE(cursor.advance().has_value());

    cursor.seek_tree(root, 0);  // a used cursor starts over completely
    EXPECT_EQ(cursor.entry, (KeyValue{base | 1, 10}));
    cursor.seek_tree(root, base | 4);
    EXPECT_EQ(cursor.found, 0u);
    EXPECT_FALSE(cursor.advance().has_value());

    const u64 keys[] = {5, 6};
    const u64 values[] = {50, 60};
    cursor.seek(MapIter::over_root_leaf(keys, values, 2, 1));
    EXPECT_EQ(cursor.advance(), (std::optional<KeyValue>{{6, 60}}));
    EXPECT_FALSE(cursor.advance().has_value());
    cursor.reset();
    EXPECT_EQ(cursor.found, 0u);
    EXPECT_EQ(cursor.iter.leaf.kind, LeafCursor::NONE);
}

}  // namespace
}  // namespace tolvane::test
