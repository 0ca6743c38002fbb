// The reclaiming map mutators on small hand-checked trees: by how much each
// variant moves which version word (node words, the tree word, a private
// word), which blocks are edited in place and which are replaced and retired,
// what becomes of an insert path that owes counts, and the fatal errors.

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "support/map_tree.hpp"
#include "support/reclaiming_map_tree.hpp"
#include "support/set_tree.hpp"
#include "tolvane/write/mutate_map_reclaiming_insert.hpp"
#include "tolvane/write/mutate_map_reclaiming_remove.hpp"
#include "tolvane/write/mutate_map_remove.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/check/validate.hpp"

namespace tolvane::test {
namespace {

using mutate_map::InsertResult;

// Keys base | x << 8*byte for x < count, value x + 1.
void fill(ReclaimingMapTree& t, u64 base, unsigned byte, u64 count) {
    for (u64 x = 0; x < count; ++x) t.insert(base | (x << (8 * byte)), x + 1);
}

// Root BranchL3 (level 8) -> BranchB (level 2, 33 digits, skipping bytes
// 2..6) -> one immediate per digit in the level-1 slots.
constexpr u64 Q = 0x0100000000000000;
void two_levels(ReclaimingMapTree& t) { fill(t, Q, 1, 33); }
constexpr u64 kDeep = Q | (5u << 8);  // held by the BranchB

// ---------------------------------------------------------------------------
// Version words.

TEST(ReclaimingMapBrackets, FirstKeyBuildsTheRootBranchInsideTreeWordBrackets) {
    ReclaimingMapTree t(ReclaimingMode::DeferredCovered);
    const InsertResult r = t.insert(Q, 7);
    EXPECT_EQ(t.tree_word, 4u) << "new root branch, then the republished root";
    EXPECT_EQ(t.root.w1, u64{TAG_BRANCH_L3} << 56) << "a level-8 edge carries no count";
    const auto* root = t.root.ptr<BranchL3>();
    EXPECT_EQ(root->version, 4u) << "child opened in place, then its immediate published";
    EXPECT_EQ(r.slot, &root->children[0].w0);
    EXPECT_EQ(root->children[0].tag_byte(), immediate_tag(7, 1));
}

TEST(ReclaimingMapBrackets, OverwriteBumpsOnlyTheHolderOfTheKeysEdge) {
    ReclaimingMapTree t(ReclaimingMode::DeferredCovered);
    two_levels(t);
    const u32 root = branch_word(t.root, kDeep, 0), mid = branch_word(t.root, kDeep, 1);
    const u64 tree = t.tree_word;
    EXPECT_EQ(t.insert(kDeep, 99).existed, 1u);
    EXPECT_EQ(branch_word(t.root, kDeep, 0), root);
    EXPECT_EQ(branch_word(t.root, kDeep, 1), mid + 2);
    EXPECT_EQ(t.tree_word, tree);

    // A leaf held by the root node itself: the root node's word, not the tree word.
    ReclaimingMapTree flat(ReclaimingMode::DeferredCovered);
    flat.insert(Q, 1);
    const u32 before = flat.root.ptr<BranchL3>()->version;
    const u64 flat_tree = flat.tree_word;
    EXPECT_EQ(flat.insert(Q, 2).old, 1u);
    EXPECT_EQ(flat.root.ptr<BranchL3>()->version, before + 2);
    EXPECT_EQ(flat.tree_word, flat_tree);
}

// A present key for get-or-insert, an absent one for remove: nothing is
// written, yet the unversioned member brackets each descent all the same.
TEST(ReclaimingMapBrackets, NoOpCallsMoveWordsOnlyInTheUnversionedMember) {
    constexpr u64 absent = kDeep | 0x77;  // same digits, absent low byte
    for (ReclaimingMode mode :
         {ReclaimingMode::DeferredCovered, ReclaimingMode::DeferredUnversioned}) {
        SCOPED_TRACE(reclaiming_mode_name(mode));
        ReclaimingMapTree t(mode);
        t.keep_existing = true;
        two_levels(t);
        const u32 step = mode == ReclaimingMode::DeferredCovered ? 0 : 2;
        const u32 root = branch_word(t.root, kDeep, 0), mid = branch_word(t.root, kDeep, 1);
        const u64 tree = t.tree_word;
        const InsertResult r = t.insert(kDeep, 99);
        EXPECT_EQ(r.existed, 1u);
        EXPECT_EQ(r.old, 6u);
        EXPECT_EQ(*r.slot, 6u);
        EXPECT_EQ(branch_word(t.root, kDeep, 0), root + step);
        EXPECT_EQ(branch_word(t.root, kDeep, 1), mid + step);
        EXPECT_FALSE(t.remove(absent).found);
        EXPECT_EQ(branch_word(t.root, kDeep, 0), root + 2 * step);
        EXPECT_EQ(branch_word(t.root, kDeep, 1), mid + 2 * step);
        EXPECT_EQ(t.tree_word, tree);
        EXPECT_EQ(validated_population<true>(t.root), 33u);
    }
}

TEST(ReclaimingMapBrackets, ChildOpenedInPlaceCostsItsBranchTwoBracketsAndItsHolderOne) {
    ReclaimingMapTree t(ReclaimingMode::DeferredCovered);
    two_levels(t);
    // A key leaving the skipped byte 4 wraps the BranchB under a BranchL3 of
    // level 5 with two children; the next one is opened in place.
    constexpr u64 first = Q | (u64{1} << 32), second = Q | (u64{2} << 32);
    t.insert(first, 1);
    const KeyTrace trace = trace_key(t.root, second);
    ASSERT_EQ(trace.steps[1].tag, TAG_BRANCH_L3);
    ASSERT_EQ(trace.steps[1].node_level, 5u);
    const u32 root = branch_word(t.root, second, 0), l3 = branch_word(t.root, second, 1);
    const u64 tree = t.tree_word;
    EXPECT_EQ(t.insert(second, 2).existed, 0u);
    EXPECT_EQ(branch_word(t.root, second, 1), l3 + 4);
    EXPECT_EQ(branch_word(t.root, second, 0), root + 2) << "count of the BranchL3's edge";
    EXPECT_EQ(t.tree_word, tree + 2);
    EXPECT_EQ(validated_population<true>(t.root), 35u);

    // Its removal: the emptied child in the branch's word, then the slot
    // closed in the same word; the count above in the root node's.
    EXPECT_TRUE(t.remove(second).found);
    EXPECT_EQ(branch_word(t.root, first, 1), l3 + 8);
    EXPECT_EQ(branch_word(t.root, first, 0), root + 4);
    EXPECT_EQ(t.tree_word, tree + 4);
}

TEST(ReclaimingMapBrackets, NewKeyInAnUncompressedRootBumpsItsWordAndTheTreeWord) {
    ReclaimingMapTree t(ReclaimingMode::DeferredCovered);
    for (u64 d = 0; d < 200; ++d) t.insert(d << 56, d);
    ASSERT_EQ(t.root.tag_byte(), TAG_BRANCH_U);
    const u32 before = t.root.ptr<BranchU>()->version;
    const u64 tree = t.tree_word;
    EXPECT_EQ(t.insert(u64{250} << 56, 1).existed, 0u);
    EXPECT_EQ(t.root.ptr<BranchU>()->version, before + 2);
    EXPECT_EQ(t.tree_word, tree + 2) << "the root edge is republished, its bytes unchanged";
}

TEST(ReclaimingMapBrackets, LeafSplitShowsSharedWordsOneBracket) {
    ReclaimingMapTree t(ReclaimingMode::DeferredCovered);
    fill(t, Q, 1, 32);  // a full width-7 leaf in the root node's slot 0
    ASSERT_EQ(t.root.ptr<BranchL3>()->children[0].tag_byte(), linear_leaf_tag(7));
    const u32 root = t.root.ptr<BranchL3>()->version;
    const u64 tree = t.tree_word;
    const InsertResult r = t.insert(Q | (u64{32} << 8), 33);
    EXPECT_EQ(r.existed, 0u);
    EXPECT_EQ(t.root.ptr<BranchL3>()->version, root + 2) << "one bracket around the new subtree";
    EXPECT_EQ(t.tree_word, tree + 2);
    EXPECT_EQ(r.slot, t.find(Q | (u64{32} << 8)));
    EXPECT_EQ(validated_population<true>(t.root), 33u);
}

TEST(ReclaimingMapBrackets, ExclusiveSectionOwnsTheTreeWordAtFlagTwo) {
    ReclaimingMapTree t(ReclaimingMode::DeferredCovered);
    two_levels(t);
    // The concurrent map's exclusive section: its own two increments around
    // the member, the root-covered flag at 2 meanwhile.
    auto section = [&](auto&& body) {
        t.tree_word += 1;
        t.alloc.set_root_covered(2);
        body();
        t.alloc.set_root_covered(1);
        t.tree_word += 1;
    };
    const u64 tree = t.tree_word;
    section([&] {
        for (u64 d = 2; d < 10; ++d) t.insert(d << 56, d);  // grows the root twice
    });
    EXPECT_EQ(t.tree_word, tree + 2);
    ASSERT_EQ(t.root.tag_byte(), TAG_BRANCH_B);
    const u64 mid = t.tree_word;
    const u32 b = t.root.ptr<BranchB>()->version;
    section([&] { EXPECT_TRUE(t.remove(u64{9} << 56).found); });
    EXPECT_EQ(t.tree_word, mid + 2);
    EXPECT_EQ(t.root.ptr<BranchB>()->version, b + 4) << "node words are still bracketed";
    EXPECT_EQ(validated_population<true>(t.root), 33u + 7u);
}

TEST(ReclaimingMapBrackets, UnversionedMemberNeverTouchesTheTreeWord) {
    ReclaimingMapTree t(ReclaimingMode::DeferredCovered);
    for (u64 k = 0; k < 300; ++k) {
        InsertResult r;
        mutate_map::map_insert_with_path_occ<false, true, true>(r, t.alloc, t.root, k * 0x01010101,
                                                                k, 8, t.path);
    }
    for (u64 k = 0; k < 300; k += 2)
        mutate_map::map_remove_occ<true, true>(t.alloc, t.root, k * 0x01010101, 8);
    EXPECT_EQ(t.tree_word, 0u);
    EXPECT_EQ(validated_population<true>(t.root), 150u);
}

// The concurrent map fills a copy of a full leaf on a stack edge holding an
// empty BranchL3, with a private word, then publishes it itself.
TEST(ReclaimingMapBrackets, PrivateSubtreeBumpsOnlyItsPrivateWord) {
    ReclaimingMapTree t(ReclaimingMode::DeferredCovered);
    constexpr u64 base = 0x0000000000AB0000;  // slot level 4, branch level 2
    auto* node = mutate::detail::take_node<BranchL3>(t.alloc);
    node->level = 2;
    Edge scratch;
    scratch.set_ptr(node);
    scratch.set_tag(TAG_BRANCH_L3);
    mutate::write_decode(scratch, 2, 4, base);
    InsertPath path;
    u32 word = 0;
    for (u64 x = 0; x < 60; ++x) {
        InsertResult r;
        mutate_map::map_insert_with_path_occ<true, true, false>(
            r, t.alloc, scratch, base | (x * 0x13 & 0xFFFF), x, 4, path, 1, &word);
        EXPECT_EQ(r.existed, 0u);
    }
    scratch.set_pop0(2, 59);
    EXPECT_EQ(t.tree_word, 0u);
    EXPECT_EQ(word % 2, 0u);
    EXPECT_GE(word, 2u * 60) << "every change of the stack edge is bracketed";
    EXPECT_EQ(validated_population<true>(scratch, 4), 60u);
    mutate::free_subtree<true, true>(t.alloc, scratch);
}

TEST(ReclaimingMapBracketsDeathTest, CoveredRootWithoutATreeWordIsFatal) {
    ReclaimingMapTree t(ReclaimingMode::DeferredUnversioned);
    t.alloc.set_root_covered(1);  // covered, yet no word was ever bound
    InsertResult r;
    EXPECT_DEATH((mutate_map::map_insert_with_path_occ<false, true, false>(r, t.alloc, t.root, 1, 1,
                                                                           8, t.path, 0, nullptr)),
                 "tree_version on a tree with no tree word bound");
    t.alloc.set_root_covered(0);
    t.insert(1, 1);
    t.alloc.set_root_covered(1);
    EXPECT_DEATH((mutate_map::map_remove_occ<true, false>(t.alloc, t.root, 1, 8, 0, nullptr)),
                 "tree_version on a tree with no tree word bound");
    t.alloc.set_root_covered(0);
}

// ---------------------------------------------------------------------------
// Blocks: edited in place while the capacity class holds, else replaced and
// the old one retired after the new one is published.

TEST(ReclaimingMapBlocks, ValueArraysAndLeavesMoveOnlyWithTheirCapacityClass) {
    ReclaimingMapTree t(ReclaimingMode::DeferredCovered);
    constexpr u64 P = Q | 0x1200;
    two_levels(t);  // P's level-1 slot holds the one-key immediate {0x00}
    const Edge* slot = slot_at(t.root, P, 1);
    ASSERT_NE(slot, nullptr);
    // Keys added: {retired bytes, block kept}. 2 -> 3 and 4 -> 5 keys
    // replace the value array, 7 -> 8 turns the immediate into a leaf.
    const struct {
        u64 retired;
        bool kept;
    } grow[] = {{0, false}, {16, false}, {0, true}, {32, false}, {0, true}, {0, true}, {64, false}};
    for (u64 x = 1; x <= 7; ++x) {
        const void* block = slot->ptr<void>();
        const u64 retired = t.collector->retired_bytes();
        EXPECT_EQ(t.insert(P | x, 100 + x).existed, 0u);
        EXPECT_EQ(t.collector->retired_bytes() - retired, grow[x - 1].retired) << "key " << x;
        EXPECT_EQ(slot->ptr<void>() == block, grow[x - 1].kept) << "key " << x;
    }
    ASSERT_EQ(slot->tag_byte(), linear_leaf_tag(1));
    // And back: the leaf keeps 7 keys in place, then becomes an immediate of
    // 6 (its 72-byte block retired); 5 -> 4, 3 -> 2 and 2 -> 1 keys replace
    // or drop the value array.
    const struct {
        u64 retired;
        bool kept;
    } shrink[] = {{0, true}, {72, false}, {0, true},  {64, false},
                  {0, true}, {32, false}, {16, false}};
    for (u64 x = 7; x >= 1; --x) {
        const void* block = slot->ptr<void>();
        const u64 retired = t.collector->retired_bytes();
        const mutate_map::RemoveResult r = t.remove(P | x);
        EXPECT_TRUE(r.found);
        EXPECT_EQ(r.value, 100 + x);
        EXPECT_EQ(t.collector->retired_bytes() - retired, shrink[7 - x].retired) << "key " << x;
        EXPECT_EQ(slot->ptr<void>() == block, shrink[7 - x].kept) << "key " << x;
    }
    EXPECT_EQ(slot->tag_byte(), immediate_tag(1, 1));
    EXPECT_EQ(slot->w0, 19u) << "the survivor's value moved inline";
    EXPECT_EQ(validated_population<true>(t.root), 33u);
}

// ---------------------------------------------------------------------------
// The insert path.

TEST(ReclaimingMapInsertPath, OwedCountsAreSettledAndThePathEmptiedAlsoForPresentKeys) {
    for (bool versioned : {false, true}) {
        SCOPED_TRACE(versioned ? "versioned" : "unversioned");
        MapTree tree;  // local allocator; the exclusive insert names a hot leaf
        tree.check_path = false;
        constexpr u64 P = Q | 0x1200;
        for (u64 x = 0; x < 33; ++x) tree.insert(Q | (x << 8), x);  // level-1 slots under a BranchB
        for (u64 x = 1; x < 13; ++x) tree.insert(P | x, x);         // a 1-byte leaf in one of them
        ASSERT_EQ(tree.path.len, 3u);
        // As if 3 keys had gone in through the hot leaf: the ancestors owe them.
        for (u64 i = 1; i < tree.path.len; ++i)
            if (tree.path.levels[i] <= 7) tree.path.edges[i]->add_pop0(tree.path.levels[i], -3);
        tree.path.pending = 3;

        InsertResult r;
        if (versioned)
            mutate_map::map_insert_with_path_occ<false, true, false>(
                r, tree.alloc, tree.root, P | 4, 9, 8, tree.path, 0, nullptr);
        else
            mutate_map::map_insert_with_path_occ<false, true, true>(r, tree.alloc, tree.root, P | 4,
                                                                    9, 8, tree.path);
        EXPECT_EQ(r.existed, 1u);
        EXPECT_EQ(tree.path.len, 0u);
        EXPECT_EQ(tree.path.pending, 0);
        EXPECT_EQ(tree.path.hot_linear, nullptr);
        EXPECT_EQ(tree.path.hot_bitmap, nullptr);
        EXPECT_EQ(validated_population<true>(tree.root), 45u) << "owed counts not settled";
        // A new key in the same leaf does not name it again.
        mutate_map::map_insert_with_path_occ<false, true, true>(r, tree.alloc, tree.root, P | 200,
                                                                1, 8, tree.path);
        EXPECT_EQ(r.existed, 0u);
        EXPECT_EQ(tree.path.len, 0u);
        EXPECT_EQ(validated_population<true>(tree.root), 46u);
    }
}

// ---------------------------------------------------------------------------
// Fatal errors.

TEST(ReclaimingMapDeathTest, BrokenEdgesAreFatal) {
    NodeAlloc alloc;
    InsertPath path;
    InsertResult r;
    Edge bad;
    bad.set_tag(13);
    EXPECT_DEATH(
        (mutate_map::map_insert_with_path_occ<false, true, true>(r, alloc, bad, 1, 1, 1, path)),
        "valid edge tag");
    EXPECT_DEATH((mutate_map::map_remove_occ<true, true>(alloc, bad, 1, 1)), "valid edge tag");
    Edge wide;  // eight 1-byte keys would run into the tag byte
    wide.set_tag(immediate_tag(1, 8));
    EXPECT_DEATH(
        (mutate_map::map_insert_with_path_occ<false, true, true>(r, alloc, wide, 1, 1, 1, path)),
        "valid edge tag");
    Edge full;
    full.set_tag(TAG_FULL);
    EXPECT_DEATH((mutate_map::map_insert_with_path_occ<false, true, false>(r, alloc, full, 1, 1, 1,
                                                                           path, 0, nullptr)),
                 "full-tolvane edges are set-flavor only");
    EXPECT_DEATH((mutate_map::map_remove_occ<true, true>(alloc, full, 1, 1)),
                 "full-tolvane edges are set-flavor only");
    // A linear leaf without its block names the leaf, in both modes alike.
    Edge blockless;
    blockless.set_tag(linear_leaf_tag(1));
    blockless.set_pop0(1, 2);
    EXPECT_DEATH((mutate_map::map_remove_occ<true, true>(alloc, blockless, 1, 1)),
                 "fatal error: leaf\n");
    EXPECT_DEATH((mutate_map::map_remove(alloc, blockless, 1, 1)), "fatal error: leaf\n");
}

}  // namespace
}  // namespace tolvane::test
