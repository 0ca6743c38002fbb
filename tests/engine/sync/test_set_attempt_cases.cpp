// The optimistic set insert and removal, one thread, case by case: each
// scenario builds the form it needs through the set's exclusive path, checks
// the form of the key's edge, runs one optimistic phase and checks whether
// it finished optimistically or was left to the exclusive section, the
// answer and the form afterwards, then the whole set against std::set.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "support/trie_spot.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/sync/set_attempts.hpp"
#include "tolvane/sync/sync_set.hpp"

namespace tolvane::sync {
namespace {

using test::Form;
using test::IMMEDIATE_1;
using test::IMMEDIATE_2;

// Each scenario works under a top byte of its own.
constexpr u64 top(u64 byte) { return byte << 56; }

class SetCases : public ::testing::Test {
  protected:
    SyncTolvaneSet s;
    std::set<u64> oracle;

    void put(u64 k) {
        s.insert_exclusive(k);
        oracle.insert(k);
    }
    // One optimistic phase; true when it finished the write. A phase that
    // gives up is completed in the exclusive section, as the set does.
    bool opt_put(u64 k) {
        std::optional<bool> done = olc_insert_set_phase(s.shared(), k);
        const bool optimistic = done.has_value();
        if (!done) done = s.insert_exclusive(k);
        EXPECT_EQ(*done, oracle.insert(k).second) << std::hex << k;
        return optimistic;
    }
    bool opt_remove(u64 k) {
        std::optional<bool> done = olc_remove_set_phase(s.shared(), k);
        const bool optimistic = done.has_value();
        if (!done) done = s.remove_exclusive(k);
        EXPECT_EQ(*done, oracle.erase(k) == 1) << std::hex << k;
        return optimistic;
    }
    test::Spot spot(u64 k) { return test::spot_of(s.shared().tree.root, k); }
    Form form(u64 k) { return test::form_of(s.shared().tree.root, k); }
    void check() {
        const std::optional<std::string> broken = s.validate();
        ASSERT_FALSE(broken) << *broken;
        ASSERT_EQ(s.len(), oracle.size());
        const std::vector<u64> keys = s.shared().query_refolded([](TolvaneSet& t) { return t.keys(); });
        ASSERT_EQ(keys, std::vector<u64>(oracle.begin(), oracle.end()));
    }
    // 33 keys under `prefix` differing only in byte `byte` split their leaf
    // into a branch of level byte + 1, so later keys under `prefix` with
    // other digits there get slots of level `byte` of their own.
    void slots_under(u64 prefix, unsigned byte) {
        for (u64 i = 0; i < 33; ++i) put(prefix | (0xC0 + i) << (8 * byte));
    }
    void run(u64 base, u64 low, unsigned count) {
        for (unsigned i = 0; i < count; ++i) put(base | (low + i));
    }
};

TEST_F(SetCases, RootLeafAndEmptySetNeverAttempt) {
    EXPECT_FALSE(opt_put(5));
    EXPECT_FALSE(opt_put(5));
    EXPECT_FALSE(opt_remove(5));
    EXPECT_FALSE(opt_remove(5));
    for (u64 i = 0; i < 31; ++i) EXPECT_FALSE(opt_put(i << 40));
    EXPECT_EQ(load_relaxed(s.shared().root_kind), ROOT_LEAF);
    EXPECT_FALSE(opt_put(u64{99} << 40));  // the 32nd key makes a trie
    EXPECT_EQ(load_relaxed(s.shared().root_kind), ROOT_TREE);
    EXPECT_EQ(s.len(), 32u);
    check();
}

TEST_F(SetCases, PresentKeysAndFullEdgesChangeNothing) {
    const u64 a = top(0x31);
    slots_under(a, 1);
    run(a | 0x100, 0, 256);  // a full edge at slot level 1
    ASSERT_EQ(form(a | 0x1AB).tag, TAG_FULL);
    check();  // the refold consumes every dirty bit
    const test::Spot at = spot(a | 0x1AB);
    const u32 holder_before = load_relaxed(*at.holder_version);
    const u64 root_before = s.shared().version_relaxed();

    EXPECT_TRUE(opt_put(a | 0x1AB));        // under the full edge: present
    EXPECT_TRUE(opt_put(a | 0xC5ull << 8));  // a present immediate key
    EXPECT_EQ(load_relaxed(*at.holder_version), holder_before);  // no lock taken
    EXPECT_EQ(s.shared().dirty.peek(a >> 61), 0u);
    EXPECT_EQ(s.shared().version_relaxed(), root_before);

    EXPECT_FALSE(opt_remove(a | 0x1AB));  // a full edge is split exclusively
    EXPECT_EQ(form(a | 0x1AC).tag, TAG_LEAF_BITMAP);
    EXPECT_FALSE(opt_put(a | 0x1AB));  // the 256th key of a bitmap leaf, too
    EXPECT_TRUE(opt_put(a | 0xC5ull << 8 | 1));  // a new key marks its digit
    EXPECT_NE(s.shared().dirty.peek(a >> 61), 0u);
    check();
}

TEST_F(SetCases, ImmediatesGrow) {
    const u64 b = top(0x32), c = top(0x33);
    slots_under(b, 2);
    run(b | 0x010000, 0x100, 7);
    ASSERT_EQ(form(b | 0x010100).tag, IMMEDIATE_2);
    ASSERT_EQ(form(b | 0x010100).keys, 7u);
    EXPECT_TRUE(opt_put(b | 0x0101F0));  // the 8th: a leaf of capacity 8
    EXPECT_EQ(form(b | 0x010100).tag, linear_leaf_tag(2));
    EXPECT_EQ(form(b | 0x010100).keys, 8u);

    slots_under(c, 1);
    run(c | 0x0500, 0x10, 14);
    ASSERT_EQ(form(c | 0x0510).tag, IMMEDIATE_1);
    ASSERT_EQ(form(c | 0x0510).keys, 14u);
    EXPECT_TRUE(opt_put(c | 0x05F0));  // the 15th: still an immediate
    EXPECT_EQ(form(c | 0x0510).tag, IMMEDIATE_1);
    EXPECT_EQ(form(c | 0x0510).keys, 15u);
    EXPECT_TRUE(opt_put(c | 0x05F1));  // the 16th: a linear leaf
    EXPECT_EQ(form(c | 0x0510).tag, linear_leaf_tag(1));
    check();
}

TEST_F(SetCases, BitmapBranchGroupsGrowOrShift) {
    const u64 d = top(0x34);
    // A level-2 bitmap branch: digits 0..3 (group 0) and 32..36 (group 1).
    for (u64 digit : {0, 1, 2, 3, 32, 33, 34, 35, 36}) run(d | digit << 8, 0, 4);
    const test::Spot branch = spot(d | 4 << 8);
    ASSERT_TRUE(branch.missing);
    ASSERT_EQ(branch.e.tag_byte(), TAG_BRANCH_B);
    const BranchB* node = branch.e.ptr<BranchB>();
    const Edge* group0 = node->subarrays[0];
    const Edge* group1 = node->subarrays[1];

    EXPECT_TRUE(opt_put(d | 4 << 8));   // group of 4: a new subarray of 8
    EXPECT_NE(node->subarrays[0], group0);
    EXPECT_TRUE(opt_put(d | 37 << 8));  // group of 5: in place
    EXPECT_EQ(node->subarrays[1], group1);
    EXPECT_EQ(node->group_counts[0], 5u);
    EXPECT_EQ(node->group_counts[1], 6u);
    check();
}

TEST_F(SetCases, FullLeavesSplit) {
    const u64 e = top(0x35), f = top(0x36), g = top(0x37);
    slots_under(e, 1);
    run(e | 0x0200, 0, 25);  // a width-1 leaf of 25
    ASSERT_EQ(form(e | 0x0200).tag, linear_leaf_tag(1));
    ASSERT_EQ(form(e | 0x0200).keys, 25u);
    EXPECT_TRUE(opt_put(e | 0x02FF));
    EXPECT_EQ(form(e | 0x0200).tag, TAG_LEAF_BITMAP);
    EXPECT_EQ(form(e | 0x0200).keys, 26u);

    // Width-2 leaves of 32 at slot level 2: keys sharing all but the low
    // byte make a bitmap leaf; keys differing above it a branch.
    slots_under(f, 2);
    run(f | 0x100000, 0x0700, 32);
    ASSERT_EQ(form(f | 0x100700).tag, linear_leaf_tag(2));
    ASSERT_EQ(form(f | 0x100700).keys, 32u);
    EXPECT_TRUE(opt_put(f | 0x1007FF));
    EXPECT_EQ(form(f | 0x100700).tag, TAG_LEAF_BITMAP);
    EXPECT_EQ(form(f | 0x100700).keys, 33u);

    slots_under(g, 2);
    run(g | 0x200000, 0x0700, 32);
    EXPECT_TRUE(opt_put(g | 0x2009FF));
    EXPECT_EQ(spot(g | 0x2009FF).holder, TAG_BRANCH_L3);
    check();
}

// A conflict costs one retry, and the holder ends two changes further on:
// the abandoned lock puts its version back.
TEST_F(SetCases, RetriedWriterMovesTheHolderOnce) {
    const u64 h = top(0x38);
    slots_under(h, 1);
    run(h | 0x0300, 0, 20);
    const test::Spot at = spot(h | 0x0300);
    const u32 before = load_relaxed(*at.holder_version);
    OLC_FORCED_FAILURES = 1;
    EXPECT_TRUE(opt_put(h | 0x0340));
    EXPECT_EQ(OLC_FORCED_FAILURES, 0u);
    EXPECT_TRUE(opt_put(h | 0x0341));
    EXPECT_EQ(load_relaxed(*at.holder_version), before + 4);
    check();
}

TEST_F(SetCases, RemovalsShrinkLeaves) {
    const u64 i = top(0x39), j = top(0x3A);
    slots_under(i, 1);
    run(i | 0x0400, 0, 26);  // a LeafB1 of 26
    ASSERT_EQ(form(i | 0x0400).tag, TAG_LEAF_BITMAP);
    for (u64 k = 0; k < 4; ++k) EXPECT_TRUE(opt_remove(i | 0x0400 | k));
    EXPECT_TRUE(opt_remove(i | 0x0404));  // 22: in place
    EXPECT_EQ(form(i | 0x0410).tag, TAG_LEAF_BITMAP);
    EXPECT_EQ(form(i | 0x0410).keys, 21u);
    EXPECT_TRUE(opt_remove(i | 0x0405));  // 21 at level 1: a leaf of 20
    EXPECT_EQ(form(i | 0x0410).tag, linear_leaf_tag(1));
    EXPECT_EQ(form(i | 0x0410).keys, 20u);
    for (u64 k = 6; k < 11; ++k) EXPECT_TRUE(opt_remove(i | 0x0400 | k));
    EXPECT_EQ(form(i | 0x0410).tag, IMMEDIATE_1);  // 16 - 1: an immediate of 15
    EXPECT_EQ(form(i | 0x0410).keys, 15u);
    EXPECT_TRUE(opt_remove(i | 0x04AA));  // absent
    check();

    slots_under(j, 2);
    run(j | 0x110000, 0x0100, 10);  // a width-2 leaf of 10 at slot level 2
    EXPECT_TRUE(opt_remove(j | 0x110100));  // 10: in place
    EXPECT_EQ(form(j | 0x110105).keys, 9u);
    EXPECT_TRUE(opt_remove(j | 0x110101));  // 9: a block of 8
    EXPECT_EQ(form(j | 0x110105).tag, linear_leaf_tag(2));
    EXPECT_TRUE(opt_remove(j | 0x110102));  // 8: an immediate of 7
    EXPECT_EQ(form(j | 0x110105).tag, IMMEDIATE_2);
    EXPECT_EQ(form(j | 0x110105).keys, 7u);
    check();
}

TEST_F(SetCases, OnlyWideUncompressedBranchesLoseSlotsOptimistically) {
    const u64 k = top(0x3B);
    for (u64 d = 0; d < 200; ++d) put(k | d << 8);  // a level-2 BranchU of 200
    ASSERT_EQ(spot(k).holder, TAG_BRANCH_U);
    u64 optimistic = 0;
    for (u64 d = 199; d >= 150; --d) optimistic += opt_remove(k | d << 8);
    EXPECT_EQ(optimistic, 200u - 161u);  // while 162 or more remain before
    EXPECT_NE(spot(k).holder, TAG_BRANCH_U);  // demoted by the exclusive path

    // The only key of an immediate under another branch kind: exclusive.
    ASSERT_NE(spot(k | 5 << 8).holder, TAG_BRANCH_U);
    EXPECT_FALSE(opt_remove(k | 5 << 8));
    check();
}

}  // namespace
}  // namespace tolvane::sync
