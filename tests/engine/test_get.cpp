// Point lookup on hand-made trees: where the value word of immediates and
// bitmap leaves sits, keys that differ only in skipped or immediate bytes,
// uncompressed chains, writes through the returned address, invalid tags.
// Every form against an oracle: test_read_oracle.cpp.

#include <gtest/gtest.h>

#include <vector>

#include "support/hand_trees.hpp"
#include "tolvane/get.hpp"

namespace tolvane::test {
namespace {

constexpr u64 kMax = ~u64{0};

TEST(LocateSlot, EmptyEdgeHasNoKey) {
    const Edge root;
    for (const u64 k : {u64{0}, u64{1}, u64{0x123456789}, kMax}) {
        EXPECT_EQ(get::locate_slot(&root, k, 8), nullptr);
        EXPECT_FALSE(get::contains(&root, k, 8));
    }
}

TEST(LocateSlot, MapImmediatesAnswerOnlyTheirExactLowBytes) {
    HandTrees<true> t;
    // One key: the value is the edge's own word 0.
    Edge one = t.b.immediate(3, {0xABCDEF}, {77});
    EXPECT_EQ(get::locate_slot(&one, 0xABCDEF, 3), &one.w0);
    EXPECT_EQ(get::locate_slot(&one, 0xABCDEE, 3), nullptr);  // lowest byte differs
    EXPECT_EQ(get::locate_slot(&one, 0xAB00EF, 3), nullptr);  // middle byte differs
    EXPECT_EQ(get::locate_slot(&one, 0x00CDEF, 3), nullptr);  // top byte differs

    // Several keys: entries of the value array, in key order.
    Edge three = t.b.immediate(2, {0x0102, 0x0304, 0xFFFF}, {5, 6, 7});
    const u64* values = three.ptr<const u64>();
    EXPECT_EQ(get::locate_slot(&three, 0x0102, 2), values);
    EXPECT_EQ(get::locate_slot(&three, 0x0304, 2), values + 1);
    EXPECT_EQ(get::locate_slot(&three, 0xFFFF, 2), values + 2);
    EXPECT_EQ(get::locate_slot(&three, 0x0103, 2), nullptr);
    EXPECT_EQ(get::locate_slot(&three, 0x0002, 2), nullptr);
    t.keep(three);
}

// A leaf that skips key bytes answers only keys carrying those bytes, even
// when the low bytes match a stored key.
TEST(LocateSlot, SkippedBytesMustMatch) {
    HandTrees<true> t;
    Edge leaf = t.b.skip(t.b.linear_leaf(2, {0x0102, 0x0304}, {5, 6}), 2, 5, 0xAABBCC0000);
    const u64* values = leaf.ptr<const u64>();
    EXPECT_EQ(get::locate_slot(&leaf, 0xAABBCC0102, 5), values);
    EXPECT_EQ(get::locate_slot(&leaf, 0xAABBCC0304, 5), values + 1);
    EXPECT_EQ(get::locate_slot(&leaf, 0xAABBCD0102, 5), nullptr);  // byte 2
    EXPECT_EQ(get::locate_slot(&leaf, 0xAAFBCC0102, 5), nullptr);  // byte 3
    EXPECT_EQ(get::locate_slot(&leaf, 0xABBBCC0102, 5), nullptr);  // byte 4
    t.keep(leaf);

    HandTrees<false> s;
    const Edge& root = s.under_root(s.b.bitmap_leaf({0x00, 0x80, 0xFF}), 1, 0x0102030405060000);
    EXPECT_TRUE(get::contains(&root, 0x0102030405060080, 8));
    EXPECT_TRUE(get::contains(&root, 0x01020304050600FF, 8));
    EXPECT_FALSE(get::contains(&root, 0x0102030405070080, 8));
    EXPECT_FALSE(get::contains(&root, 0x0112030405060080, 8));
    EXPECT_FALSE(get::contains(&root, 0x0202030405060080, 8));  // root digit
}

TEST(LocateSlot, BitmapLeafValuesByGroupRank) {
    HandTrees<true> t;
    Edge leaf = t.b.bitmap_leaf({3, 40, 41, 255}, {30, 400, 410, 2550});
    const LeafBitmapL* node = leaf.ptr<const LeafBitmapL>();
    EXPECT_EQ(get::locate_slot(&leaf, 3, 1), node->value_subarrays[0]);
    EXPECT_EQ(get::locate_slot(&leaf, 40, 1), node->value_subarrays[1]);
    EXPECT_EQ(get::locate_slot(&leaf, 41, 1), node->value_subarrays[1] + 1);
    EXPECT_EQ(get::locate_slot(&leaf, 255, 1), node->value_subarrays[7]);
    EXPECT_EQ(*get::locate_slot(&leaf, 41, 1), 410u);
    EXPECT_EQ(get::locate_slot(&leaf, 42, 1), nullptr);
    EXPECT_EQ(get::locate_slot(&leaf, 39, 1), nullptr);
    EXPECT_EQ(get::locate_slot(&leaf, 0, 1), nullptr);
    t.keep(leaf);
}

TEST(LocateSlot, UncompressedChainsAndWritesThroughTheSlot) {
    HandTrees<true> t;
    const Edge imm = t.b.immediate(6, {0x0000A0B0C0D0}, {1});
    const Edge u7 = t.b.branch_u(7, {{0x06, imm}, {0xFF, t.b.immediate(6, {2}, {9})}});
    Edge& root = const_cast<Edge&>(t.keep(t.b.branch_u(8, {{0x05, u7}})));
    const u64 key = 0x05060000A0B0C0D0;
    u64* slot = get::locate_slot(&root, key, 8);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(*slot, 1u);
    *slot = 42;  // an in-place update is what the address is for
    EXPECT_EQ(*get::locate_slot(&root, key, 8), 42u);
    EXPECT_EQ(*get::locate_slot(&root, 0x05FF000000000002, 8), 9u);
    EXPECT_EQ(get::locate_slot(&root, 0x05FF000000000003, 8), nullptr);
    EXPECT_EQ(get::locate_slot(&root, 0x05070000A0B0C0D0, 8), nullptr);  // empty child
    EXPECT_EQ(get::locate_slot(&root, 0x06060000A0B0C0D0, 8), nullptr);
}

TEST(LocateSlot, InvalidTagsAreAbsent) {
    for (const u8 tag : {u8{13}, u8{15}, u8{31}, u8{0x3F}, u8{0x80}, u8{0xFF}}) {
        Edge e;
        e.w0 = 0x1234;
        e.set_tag(tag);
        EXPECT_EQ(get::locate_slot(&e, 0x1234, 1), nullptr) << int(tag);
        EXPECT_FALSE(get::contains(&e, 0x1234, 1)) << int(tag);
    }
}

TEST(LocateSlotDeathTest, FullEdgeInTheMapFlavourIsFatal) {
    const Edge full = testing::TreeBuilder<true>::full_edge(1);
    EXPECT_DEATH(
        get::locate_slot(&full, 7, 1),
        "internal error: entered unreachable code: full-tolvane edges are set-flavor only");
}

}  // namespace
}  // namespace tolvane::test
