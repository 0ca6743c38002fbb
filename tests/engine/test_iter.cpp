// Forward iteration and the positioned cursor on hand-made trees: the ends
// of the key space, positioning by a start key inside and between nodes,
// bitmap group boundaries, gaps in uncompressed branches, root-leaf cursors
// and the sticky end. Every form against an oracle: test_read_oracle.cpp.

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "support/hand_trees.hpp"
#include "support/set_tree.hpp"
#include "tolvane/cursor.hpp"
#include "tolvane/iter.hpp"

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

TEST(RawIter, EmptyRootAndFreshIteratorYieldNothing) {
    const Edge root;
    EXPECT_TRUE(drain(SetIter::from_tree(root)).empty());
    EXPECT_TRUE(drain(MapIter::from_tree_range(root, 0)).empty());
    SetIter fresh;
    EXPECT_FALSE(fresh.next().has_value());
    EXPECT_EQ(fresh.leaf.kind, LeafCursor::NONE);
    EXPECT_EQ(fresh.depth, 0u);
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

TEST(RawIter, FromTreeRangePositionsInsideAndBetweenNodes) {
    HandTrees<false> t;
    // Two subtrees under a level-3 bitmap branch: a linear leaf of 1-byte
    // keys at digit 0x10 of a level-2 branch, a bitmap leaf at digit 0x40.
    const Edge leaf = t.b.linear_leaf(1, {0x05, 0x09, 0x80});
    const Edge bitmap = t.b.bitmap_leaf({0x00, 0x3F, 0x40, 0xFF});
    const Edge l2a = t.b.branch_l3(2, {{0x10, leaf}});
    const Edge l2b = t.b.branch_l3(2, {{0x40, bitmap}});
    const u64 base = 0x0102030405000000;
    const Edge l3 = t.b.branch_b(3, {{0x20, l2a}, {0x21, l2b}});
    const Edge& root = t.under_root(l3, 3, base);

    const std::vector<u64> all = {base | 0x201005, base | 0x201009, base | 0x201080,
                                  base | 0x214000, base | 0x21403F, base | 0x214040,
                                  base | 0x2140FF};
    EXPECT_EQ(drain(SetIter::from_tree(root)), all);
    auto from = [&](u64 start) { return drain(SetIter::from_tree_range(root, start)); };
    auto tail = [&](std::size_t i) { return std::vector<u64>(all.begin() + i, all.end()); };
    EXPECT_EQ(from(0), all);
    EXPECT_EQ(from(base | 0x201009), tail(1));  // an existing key
    EXPECT_EQ(from(base | 0x201006), tail(1));  // between two keys of one leaf
    EXPECT_EQ(from(base | 0x201081), tail(3));  // past a leaf: next subtree
    EXPECT_EQ(from(base | 0x203FFF), tail(3));  // between subtrees of a branch
    EXPECT_EQ(from(base | 0x214001), tail(4));  // inside the bitmap leaf
    EXPECT_EQ(from(base | 0x2140FF), tail(6));
    EXPECT_TRUE(from((base | 0x2140FF) + 1).empty());  // above every key
    EXPECT_TRUE(from(kMax).empty());
    EXPECT_EQ(from(base - 1), all);               // below the skipped prefix
    EXPECT_TRUE(from(base + 0x1000000).empty());  // above the skipped prefix
}

TEST(RawIter, BitmapLeavesAndBranchesAcrossGroupBoundaries) {
    const std::vector<u64> digits = {0, 31, 32, 63, 64, 127, 128, 191, 192, 223, 224, 255};
    const u64 base = 0x00AA00BB00CC0000;
    {
        HandTrees<false> t;
        const Edge& root =
            t.under_root(t.b.branch_l3(2, {{0x00, t.b.bitmap_leaf(digits)}}), 2, base);
        std::vector<u64> want;
        for (u64 d : digits) want.push_back(base | d);
        EXPECT_EQ(drain(SetIter::from_tree(root)), want);
        for (std::size_t i = 0; i < digits.size(); ++i) {
            EXPECT_EQ(drain(SetIter::from_tree_range(root, base | digits[i])),
                      std::vector<u64>(want.begin() + i, want.end()));
        }
    }
    {
        HandTrees<true> t;
        std::vector<u64> values;
        for (u64 d : digits) values.push_back(1000 + d);
        const Edge& root =
            t.under_root(t.b.branch_l3(2, {{0x00, t.b.bitmap_leaf(digits, values)}}), 2, base);
        std::vector<KeyValue> want;
        for (u64 d : digits) want.push_back({base | d, 1000 + d});
        EXPECT_EQ(drain(MapIter::from_tree(root)), want);
        for (std::size_t i = 0; i < digits.size(); ++i) {
            // From just past the previous key: the gap is passed over.
            const u64 start = i == 0 ? base : base | (digits[i - 1] + 1);
            EXPECT_EQ(drain(MapIter::from_tree_range(root, start)),
                      std::vector<KeyValue>(want.begin() + i, want.end()));
        }
    }
    {
        // A bitmap branch whose digits sit on the group edges, one key each.
        HandTrees<true> t;
        testing::Children children;
        std::vector<KeyValue> want;
        for (u64 d : digits) {
            children.push_back({static_cast<u8>(d), t.b.immediate(1, {0x77}, {d})});
            want.push_back({base | (d << 8) | 0x77, d});
        }
        const Edge& root = t.under_root(t.b.branch_b(2, children), 2, base);
        EXPECT_EQ(drain(MapIter::from_tree(root)), want);
        for (std::size_t i = 0; i < digits.size(); ++i) {
            EXPECT_EQ(drain(MapIter::from_tree_range(root, base | (digits[i] << 8))),
                      std::vector<KeyValue>(want.begin() + i, want.end()));
        }
    }
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

TEST(RawIter, RootLeafCursorYieldsFromItsPosition) {
    const u64 keys[] = {3, 9, 27, 81, kMax};
    const u64 values[] = {1, 2, 3, 4, 5};
    EXPECT_EQ(drain(MapIter::over_root_leaf(keys, values, 5, 2)),
              (std::vector<KeyValue>{{27, 3}, {81, 4}, {kMax, 5}}));
    EXPECT_EQ(drain(SetIter::over_root_leaf(keys, nullptr, 5, 0)),
              (std::vector<u64>{3, 9, 27, 81, kMax}));
    SetIter done = SetIter::over_root_leaf(keys, nullptr, 5, 5);
    EXPECT_FALSE(done.next().has_value());
    EXPECT_FALSE(done.next().has_value());
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
