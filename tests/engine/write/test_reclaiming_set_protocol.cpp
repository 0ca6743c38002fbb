// The reclaiming set mutators on hand-picked trees: keys under a skipped
// prefix, which words each variant bumps and by how much, which blocks are
// edited in place and which are replaced and retired, the insert path, and
// the fatal error on an undecodable edge.

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "support/reclaiming_set_tree.hpp"
#include "support/set_tree.hpp"
#include "support/tree_dump.hpp"
#include "tolvane/write/mutate_reclaiming_insert.hpp"
#include "tolvane/write/mutate_reclaiming_remove.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/check/validate.hpp"

namespace tolvane::test {
namespace {

// The version word of the branch that holds the key's leaf or immediate.
u32 holder_word(const Edge& root, u64 key) {
    return branch_word(root, key, trace_key(root, key).steps.size() - 2);
}

// 33 keys that differ only in byte 1 (or byte 6): the full 7-byte leaf splits
// and a branch at level 2 (or 7) gets one child per key.
void split_at_byte(ReclaimingSetTree& t, u64 base, unsigned byte) {
    for (u64 x = 0; x <= 32; ++x) t.insert(base | (x << (8 * byte)));
}

// ---------------------------------------------------------------------------
// A 1-byte leaf far below its slot, reached by shrinking a bitmap leaf that a
// split left under a skipped prefix. A key that differs from that prefix
// must land beside the leaf under a new branch, never inside it.

constexpr u64 kPrefix = 0x00AABBCCDDEE0000;
constexpr u64 kDiverging = 0x00AABBCCDDEF0040;  // byte 2 differs

class ReclaimingSetSkippedPrefix : public ::testing::TestWithParam<ReclaimingMode> {};

TEST_P(ReclaimingSetSkippedPrefix, KeyDifferingInSkippedBytesGetsItsOwnBranch) {
    ReclaimingSetTree reclaiming(GetParam());
    SetTree exclusive;
    exclusive.check_path = false;
    for (u64 x = 0; x <= 32; ++x) {
        reclaiming.insert(kPrefix | x);
        exclusive.insert(kPrefix | x);
    }
    for (u64 x = 20; x <= 32; ++x) {
        reclaiming.remove(kPrefix | x);
        exclusive.remove(kPrefix | x);
    }
    const TraceStep leaf = trace_key(reclaiming.root, kPrefix).steps.back();
    ASSERT_EQ(leaf.tag, TAG_LEAF_1) << "setup: the bitmap leaf should have shrunk to a 1-byte leaf";
    ASSERT_EQ(leaf.slot_level, 7u);

    EXPECT_TRUE(reclaiming.insert(kDiverging));
    EXPECT_TRUE(exclusive.insert(kDiverging));
    EXPECT_TRUE(trace_key(reclaiming.root, kDiverging).present);
    EXPECT_FALSE(trace_key(reclaiming.root, kPrefix | 0x40).present)
        << "stored under the leaf's prefix";
    EXPECT_EQ(validated_population<false>(reclaiming.root), 21u);
    EXPECT_EQ(dump_tree<false>(reclaiming.root, 8), dump_tree<false>(exclusive.root, 8));

    // The leaf keeps working under its new parent.
    EXPECT_TRUE(reclaiming.insert(kPrefix | 0x41));
    EXPECT_FALSE(reclaiming.insert(kPrefix | 0x05));
    EXPECT_EQ(validated_population<false>(reclaiming.root), 22u);
}

INSTANTIATE_TEST_SUITE_P(Modes, ReclaimingSetSkippedPrefix,
                         ::testing::ValuesIn(kAllReclaimingModes), [](const auto& info) {
                             return std::string(reclaiming_mode_name(info.param));
                         });

// ---------------------------------------------------------------------------
// Version words.

// Root BranchL3 (level 8) -> BranchB (level 7, 33 digits) -> one immediate
// per digit at slot level 6.
void fill_two_levels(ReclaimingSetTree& t) { split_at_byte(t, 0x0100000000001234, 6); }
constexpr u64 kThroughTwoBranches = 0x0105000000005678;  // same digits, absent low bytes

TEST(ReclaimingSetVersionWords, AbsentRemoveBumpsOnlyTheUnversionedDescents) {
    ReclaimingSetTree unversioned(ReclaimingMode::DeferredUnversioned);
    fill_two_levels(unversioned);
    const u32 root_before = branch_word(unversioned.root, kThroughTwoBranches, 0);
    const u32 mid_before = branch_word(unversioned.root, kThroughTwoBranches, 1);
    EXPECT_FALSE(unversioned.remove(kThroughTwoBranches));
    EXPECT_EQ(branch_word(unversioned.root, kThroughTwoBranches, 0), root_before + 2);
    EXPECT_EQ(branch_word(unversioned.root, kThroughTwoBranches, 1), mid_before + 2);

    ReclaimingSetTree versioned(ReclaimingMode::DeferredCovered);
    fill_two_levels(versioned);
    const u32 vroot = branch_word(versioned.root, kThroughTwoBranches, 0);
    const u32 vmid = branch_word(versioned.root, kThroughTwoBranches, 1);
    const u64 tree = versioned.tree_word;
    EXPECT_FALSE(versioned.remove(kThroughTwoBranches));
    EXPECT_EQ(branch_word(versioned.root, kThroughTwoBranches, 0), vroot);
    EXPECT_EQ(branch_word(versioned.root, kThroughTwoBranches, 1), vmid);
    EXPECT_EQ(versioned.tree_word, tree);
}

TEST(ReclaimingSetVersionWords, PresentKeyCostsABracketOnlyInABitmapLeaf) {
    // Slot level 1 under a level-2 branch: a 1-byte leaf for prefix A, a
    // bitmap leaf for prefix B.
    constexpr u64 A = 0x0000000000000100, B = 0x0000000000000200;
    ReclaimingSetTree versioned(ReclaimingMode::DeferredCovered);
    for (u64 x = 0; x < 20; ++x) versioned.insert(A | x);
    for (u64 x = 0; x < 40; ++x) versioned.insert(B | x);
    ASSERT_EQ(trace_key(versioned.root, A).steps.back().tag, TAG_LEAF_1);
    ASSERT_EQ(trace_key(versioned.root, B).steps.back().tag, TAG_LEAF_BITMAP);

    const u32 before = holder_word(versioned.root, A);
    EXPECT_FALSE(versioned.insert(A | 7));
    EXPECT_EQ(holder_word(versioned.root, A), before) << "present key in a linear leaf";
    EXPECT_FALSE(versioned.insert(B | 7));
    EXPECT_EQ(holder_word(versioned.root, B), before + 2) << "present key in a bitmap leaf";

    ReclaimingSetTree unversioned(ReclaimingMode::DeferredUnversioned);
    for (u64 x = 0; x < 20; ++x) unversioned.insert(A | x);
    const u32 u_before = holder_word(unversioned.root, A);
    EXPECT_FALSE(unversioned.insert(A | 7));
    EXPECT_EQ(holder_word(unversioned.root, A), u_before + 2) << "the descent is bracketed";
}

TEST(ReclaimingSetVersionWords, TreeWordRisesByTwoPerRootSlotChange) {
    ReclaimingSetTree t(ReclaimingMode::DeferredCovered);
    EXPECT_TRUE(t.insert(0x0100000000000000));
    EXPECT_EQ(t.tree_word, 4u) << "new root branch, then the republished root";
    EXPECT_TRUE(t.insert(0x0200000000000000));
    EXPECT_EQ(t.tree_word, 6u);
    EXPECT_TRUE(t.insert(0x0300000000000000));
    EXPECT_TRUE(t.insert(0x0400000000000000));  // the root grows to a BranchL7
    EXPECT_EQ(t.tree_word, 12u);
    EXPECT_FALSE(t.insert(0x0400000000000000));
    EXPECT_EQ(t.tree_word, 12u);
    EXPECT_TRUE(t.remove(0x0400000000000000));
    EXPECT_EQ(t.tree_word, 14u);
    EXPECT_FALSE(t.remove(0x0400000000000000));
    EXPECT_EQ(t.tree_word, 14u);
}

TEST(ReclaimingSetVersionWords, PrivateSubtreeUsesItsOwnWordNotTheTreeWord) {
    ReclaimingSetTree t(ReclaimingMode::DeferredCovered);
    Edge scratch;
    InsertPath path;
    u32 word = 0;
    for (u64 k = 0; k < 100; ++k)
        EXPECT_TRUE(mutate::insert_with_path_occ(t.alloc, scratch, k * 0x10001, 8, path, 1, &word));
    EXPECT_EQ(t.tree_word, 0u);
    EXPECT_EQ(word % 2, 0u);
    EXPECT_GE(word, 200u) << "each change of the private slot is bracketed";
    EXPECT_EQ(validated_population<false>(scratch), 100u);
    for (u64 k = 0; k < 100; ++k)
        EXPECT_TRUE(mutate::remove_occ<false>(t.alloc, scratch, k * 0x10001, 8, 1, &word));
    EXPECT_TRUE(scratch.is_empty());
    EXPECT_EQ(t.tree_word, 0u);
}

// ---------------------------------------------------------------------------
// Blocks: in place while the capacity class holds, replaced and retired when
// it changes.

TEST(ReclaimingSetBlocks, LeafMovesOnlyWhenItsCapacityClassChanges) {
    ReclaimingSetTree t(ReclaimingMode::DeferredCovered);
    constexpr u64 Q = 0x7700000000000000, P = Q | 0x1200;
    split_at_byte(t, Q, 1);  // P's level-1 slot holds the immediate {0x00}
    for (u64 x = 1; x <= 15; ++x) t.insert(P | (2 * x));  // 16 keys: a leaf of capacity 16
    const Edge* slot = slot_at(t.root, P, 1);
    ASSERT_NE(slot, nullptr);
    ASSERT_EQ(slot->tag_byte(), TAG_LEAF_1);
    const void* block16 = slot->ptr<void>();

    u64 retired = t.collector->retired_bytes();
    t.insert(P | 1);  // 17 keys: capacity 24
    const void* block24 = slot->ptr<void>();
    EXPECT_NE(block24, block16);
    EXPECT_EQ(t.collector->retired_bytes(), retired + 16);

    retired = t.collector->retired_bytes();
    t.insert(P | 3);  // 18 keys: still 24
    EXPECT_EQ(slot->ptr<void>(), block24);
    t.remove(P | 3);  // 17
    EXPECT_EQ(slot->ptr<void>(), block24);
    EXPECT_EQ(t.collector->retired_bytes(), retired);

    t.remove(P | 1);  // 16 keys: capacity 16
    EXPECT_NE(slot->ptr<void>(), block24);
    EXPECT_EQ(t.collector->retired_bytes(), retired + 24);
    EXPECT_EQ(validated_population<false>(t.root), 33u + 15u);
}

TEST(ReclaimingSetBlocks, SubarrayMovesOnlyWhenItsCapacityClassChanges) {
    ReclaimingSetTree t(ReclaimingMode::DeferredCovered);
    constexpr u64 Q = 0x0100000000000000;
    split_at_byte(t, Q, 6);  // a level-7 BranchB; group 1 holds digit 32 alone
    const Edge* slot = slot_at(t.root, Q, 7);
    ASSERT_EQ(slot->tag_byte(), TAG_BRANCH_B);
    const BranchB* node = slot->ptr<BranchB>();
    const Edge* sub1 = node->subarrays[1];
    t.insert(Q | (u64{33} << 48));  // 2 children: capacity 2
    const Edge* sub2 = node->subarrays[1];
    EXPECT_NE(sub2, sub1);
    t.insert(Q | (u64{35} << 48));  // 3: capacity 4
    const Edge* sub4 = node->subarrays[1];
    EXPECT_NE(sub4, sub2);
    t.insert(Q | (u64{34} << 48));  // 4: still 4, opened in place
    EXPECT_EQ(node->subarrays[1], sub4);
    EXPECT_EQ(node->group_counts[1], 4u);
    t.remove(Q | (u64{33} << 48));  // 3: still 4, closed in place
    EXPECT_EQ(node->subarrays[1], sub4);
    // The vacated last place holds no stale copy of the edge that moved down.
    EXPECT_EQ(sub4[3].tag_byte(), TAG_EMPTY);
    EXPECT_NE(sub4[2].tag_byte(), TAG_EMPTY);
    EXPECT_EQ(validated_population<false>(t.root), 33u + 2u);
}

// ---------------------------------------------------------------------------
// The insert path and fatal errors.

TEST(ReclaimingSetInsertPath, PendingCountsAreSettledAndThePathEmptied) {
    SetTree tree;  // local allocator; the exclusive insert fills the path
    tree.check_path = false;
    tree.fast_path = true;
    constexpr u64 Q = 0x0102030405060000, P = Q | 0x0500;
    for (u64 x = 0; x <= 32; ++x) tree.insert(Q | (x << 8));  // level-1 slots under a branch
    for (u64 x = 1; x <= 40; ++x) tree.insert(P | x);         // the hot-leaf path owes counts
    ASSERT_GT(tree.path.pending, 0);
    EXPECT_TRUE(
        mutate::insert_with_path_occ(tree.alloc, tree.root, 0x0900000000000000, 8, tree.path));
    EXPECT_EQ(tree.path.len, 0u);
    EXPECT_EQ(tree.path.prefix, InsertPath::NO_PREFIX);
    EXPECT_EQ(validated_population<false>(tree.root), 33u + 40u + 1u);
    tree.insert(P | 41);  // fills the path again
    ASSERT_GT(tree.path.len, 0u);
    EXPECT_FALSE(mutate::insert_with_path_occ(tree.alloc, tree.root, P | 3, 8, tree.path));
    EXPECT_EQ(tree.path.len, 0u);
    EXPECT_EQ(validated_population<false>(tree.root), 33u + 41u + 1u);
}

TEST(ReclaimingSetDeathTest, UndecodableEdgeIsFatal) {
    Edge bad;
    bad.set_tag(13);
    NodeAlloc alloc;
    InsertPath path;
    EXPECT_DEATH(mutate::insert_with_path_occ(alloc, bad, 1, 1, path), "valid edge tag");
    EXPECT_DEATH(mutate::remove_occ<true>(alloc, bad, 1, 1, 0, nullptr), "valid edge tag");
}

}  // namespace
}  // namespace tolvane::test
