// Neighbours, rank and select on hand-made trees: full edges, skipped
// prefixes on either side of the probe, uncompressed branches with gaps at
// both ends of the digit range, all-ones low bytes, the bitmap-leaf select
// walk, and the fatal paths. Every form against an oracle:
// test_read_oracle.cpp.

#include <gtest/gtest.h>

#include <vector>

#include "support/hand_trees.hpp"
#include "support/set_tree.hpp"
#include "tolvane/read/nav.hpp"

namespace tolvane::test {
namespace {

constexpr u64 kMax = ~u64{0};
using Hit = std::optional<KeyValue>;

Hit key(u64 k, u64 v = 0) { return KeyValue{k, v}; }

TEST(EdgePopDeathTest, InvalidTagsAndLevelEightAreFatal) {
    Edge bad;
    bad.set_tag(13);
    EXPECT_DEATH(nav::edge_pop(bad, 3), "valid edge tag");
    bad.set_tag(0x3F);  // w = 3, 16 keys: breaks the immediate rule
    EXPECT_DEATH(nav::edge_pop(bad, 3), "valid edge tag");
    Edge full;
    full.set_tag(TAG_FULL);
    EXPECT_DEATH(nav::edge_pop(full, 8), "LEVEL_MASK");
}

// A level-2 leaf skipping bytes 2..4 of a slot at level 5; probes whose
// skipped bytes are below, equal to and above the prefix.
TEST(Nav, SkippedPrefixAboveAndBelowTheProbe) {
    HandTrees<false> t;
    Edge leaf = t.b.skip(t.b.linear_leaf(2, {0x0010, 0x8000, 0xFFFF}), 2, 5, 0x3344550000);
    t.keep(leaf);
    const u64 first = 0x3344550010, last = 0x334455FFFF;
    // Prefix above the probe: the whole leaf lies after it.
    for (const u64 k : {u64{0}, u64{0x3344540000}, u64{0x334454FFFF}, u64{0x2F44559999}}) {
        EXPECT_EQ(nav::next<false>(leaf, k, 5), key(first));
        EXPECT_EQ(nav::prev<false>(leaf, k, 5), std::nullopt);
        EXPECT_EQ(nav::count_below<false>(leaf, k, 5), 0u);
    }
    // Prefix below the probe: the whole leaf lies before it.
    for (const u64 k : {u64{0x3344560000}, u64{0xFFFFFFFFFF}, u64{0x3345000000}}) {
        EXPECT_EQ(nav::next<false>(leaf, k, 5), std::nullopt);
        EXPECT_EQ(nav::prev<false>(leaf, k, 5), key(last));
        EXPECT_EQ(nav::count_below<false>(leaf, k, 5), 3u);
    }
    // Inside: all-ones low bytes take the leaf's last key.
    EXPECT_EQ(nav::prev<false>(leaf, 0x334455FFFF, 5), key(last));
    EXPECT_EQ(nav::prev<false>(leaf, 0x334455FFFE, 5), key(0x3344558000));
    EXPECT_EQ(nav::next<false>(leaf, 0x3344558001, 5), key(last));
    EXPECT_EQ(nav::count_below<false>(leaf, 0x334455FFFF, 5), 2u);
    EXPECT_EQ(nav::by_count<false>(leaf, 1, 5), (KeyValue{0x3344558000, 0}));

    // The same on a skipping branch: its population counts as a whole.
    Edge branch = t.b.skip(t.b.branch_l3(2, {{0x10, t.b.immediate(1, {1, 2})}}), 2, 4, 0xABCD0000);
    t.keep(branch);
    EXPECT_EQ(nav::count_below<false>(branch, 0xABCC0000, 4), 0u);
    EXPECT_EQ(nav::count_below<false>(branch, 0xABCE0000, 4), 2u);
    EXPECT_EQ(nav::next<false>(branch, 0, 4), key(0xABCD1001));
    EXPECT_EQ(nav::prev<false>(branch, kMax & 0xFFFFFFFF, 4), key(0xABCD1002));
}

// Gaps at both ends of an uncompressed branch: no wrap past digit 255 or 0.
TEST(Nav, UncompressedBranchGapsDoNotWrap) {
    HandTrees<false> t;
    const Edge& root = t.keep(
        t.b.branch_u(8, {{0x00, t.b.branch_u(7, {{0x10, t.b.immediate(6, {5})}})},
                         {0x7F, t.b.branch_u(7, {{0x00, t.b.immediate(6, {0})},
                                                 {0xFF, t.b.immediate(6, {0xFFFFFFFFFFFF})}})},
                         {0xFF, t.b.branch_u(7, {{0x01, t.b.immediate(6, {0x0203})}})}}));
    const u64 a = 0x0010000000000005, b = 0x7F00000000000000, c = 0x7FFFFFFFFFFFFFFF,
              d = 0xFF01000000000203;
    EXPECT_EQ(nav::next<false>(root, 0, 8), key(a));
    EXPECT_EQ(nav::next<false>(root, a + 1, 8), key(b));  // digit-0x00 child has nothing more
    EXPECT_EQ(nav::next<false>(root, 0x0100000000000000, 8), key(b));  // empty children 1..0x7E
    EXPECT_EQ(nav::next<false>(root, b + 1, 8), key(c));
    EXPECT_EQ(nav::next<false>(root, c + 1, 8), key(d));
    EXPECT_EQ(nav::next<false>(root, d + 1, 8), std::nullopt);  // digit 255, nothing: no wrap
    EXPECT_EQ(nav::next<false>(root, kMax, 8), std::nullopt);
    EXPECT_EQ(nav::prev<false>(root, kMax, 8), key(d));
    EXPECT_EQ(nav::prev<false>(root, d - 1, 8), key(c));
    EXPECT_EQ(nav::prev<false>(root, 0xFEFFFFFFFFFFFFFF, 8), key(c));
    EXPECT_EQ(nav::prev<false>(root, b - 1, 8), key(a));
    EXPECT_EQ(nav::prev<false>(root, a - 1, 8), std::nullopt);  // digit 0, nothing: no wrap
    EXPECT_EQ(nav::prev<false>(root, 0, 8), std::nullopt);
    EXPECT_EQ(nav::count_below<false>(root, kMax, 8), 4u);
    EXPECT_EQ(nav::count_below<false>(root, d, 8), 3u);
    EXPECT_EQ(nav::by_count<false>(root, 3, 8), (KeyValue{d, 0}));
}

TEST(Nav, KeysZeroAndMaxInAMutatorBuiltTree) {
    SetTree tree;
    for (const u64 k : {u64{0}, kMax, u64{1} << 32}) ASSERT_TRUE(tree.insert(k));
    ASSERT_TRUE(tree.validate().ok());
    EXPECT_EQ(nav::next<false>(tree.root, 0, 8), key(0));
    EXPECT_EQ(nav::next<false>(tree.root, 1, 8), key(u64{1} << 32));
    EXPECT_EQ(nav::next<false>(tree.root, (u64{1} << 32) + 1, 8), key(kMax));
    EXPECT_EQ(nav::prev<false>(tree.root, kMax - 1, 8), key(u64{1} << 32));
    EXPECT_EQ(nav::prev<false>(tree.root, 0, 8), key(0));
    EXPECT_EQ(nav::count_below<false>(tree.root, kMax, 8), 2u);
    EXPECT_EQ(nav::count_below<false>(tree.root, 0, 8), 0u);
    EXPECT_EQ(nav::by_count<false>(tree.root, 2, 8).key, kMax);
    EXPECT_EQ(nav::by_count<false>(tree.root, 0, 8).key, 0u);
    ASSERT_TRUE(tree.remove(0));
    ASSERT_TRUE(tree.validate().ok());
    EXPECT_EQ(nav::prev<false>(tree.root, (u64{1} << 32) - 1, 8), std::nullopt);
    ASSERT_TRUE(tree.remove(kMax));
    ASSERT_TRUE(tree.validate().ok());
    EXPECT_EQ(nav::next<false>(tree.root, (u64{1} << 32) + 1, 8), std::nullopt);
}

TEST(NavDeathTest, BrokenTreesStopTheProcess) {
    HandTrees<false> t;
    EXPECT_DEATH(nav::by_count<false>(Edge{}, 0, 3),
                 "internal error: entered unreachable code: select into empty subtree");
    Edge branch = t.b.branch_l3(3, {{0x01, t.b.immediate(2, {7})}});
    t.keep(branch);
    EXPECT_DEATH(nav::by_count<false>(branch, 1, 3),
                 "internal error: entered unreachable code: select beyond branch population");
    // A bitmap leaf claiming more keys than it has bits.
    Edge bitmap = t.b.bitmap_leaf({1, 2});
    t.keep(bitmap);
    EXPECT_DEATH(nav::by_count<false>(bitmap, 5, 1), "select within population");
    Edge bad;
    bad.set_tag(0x80);
    EXPECT_DEATH(nav::next<false>(bad, 0, 2), "valid edge tag");
    EXPECT_DEATH(nav::prev<true>(bad, 0, 2), "valid edge tag");
    EXPECT_DEATH(nav::count_below<false>(bad, 0, 2), "valid edge tag");
    EXPECT_DEATH(nav::by_count<true>(bad, 0, 2), "valid edge tag");
}

}  // namespace
}  // namespace tolvane::test
