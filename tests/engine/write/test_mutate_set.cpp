// Exclusive set mutation: the insert path record, the shapes inserts and
// removes build at their edges, the skip-level wrap, a reclaiming form change
// leaving the old node intact for readers, and the fatal invariants. The
// other branch form changes are reached and validated by the transition
// counters in test_mutate_oracle.cpp.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "support/oracle.hpp"
#include "support/set_tree.hpp"
#include "support/tree_builder.hpp"
#include "tolvane/write/mutate_branch.hpp"
#include "tolvane/write/mutate_free.hpp"
#include "tolvane/write/mutate_insert.hpp"
#include "tolvane/write/mutate_path.hpp"
#include "tolvane/write/mutate_remove.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/mem/occ.hpp"
#include "tolvane/check/validate.hpp"

namespace tolvane::test {
namespace {

using tolvane::testing::Children;
using tolvane::testing::TreeBuilder;

validate::Validation validate_at(const Edge& e, unsigned slot_level) {
    ValidateStats stats{};
    return validate::tolvane_validate_and_stats<false>(e, slot_level, stats, 0);
}

Children immediates(u8 child_level, const std::vector<u8>& digits) {
    Children out;
    for (u8 d : digits) {
        Edge e;
        const u64 key = d;
        mutate::write_immed(e, child_level, &key, 1);
        out.push_back({d, e});
    }
    return out;
}

// ---------------------------------------------------------------------------
// Insert path record.

TEST(InsertPathRecord, FlushSettlesPendingWithinEachAncestorsOwnBytes) {
    Edge leaf, root, mid, low;
    root.w1 = 0x0123456789ABCDEFull & low_bytes_mask(7);
    root.set_tag(TAG_BRANCH_L3);
    mid.set_pop0(3, 0xFFFFFE);  // two below the top of a 3-byte field
    mid.set_byte(11, 0xAA);     // skipped digit above the field
    mid.set_tag(TAG_BRANCH_B);
    low.set_pop0(2, 10);
    low.set_tag(TAG_BRANCH_L7);
    const Edge root_before = root;

    InsertPath path;
    path.fill(&leaf, reinterpret_cast<void*>(0x40), nullptr, 30, 0x1122334455667788ull);
    path.append(&root, 8);
    path.append(&mid, 3);
    path.append(&low, 2);
    path.pending = 5;
    path.flush_and_reset();

    EXPECT_EQ(root, root_before) << "a level-8 node carries no pop0";
    EXPECT_EQ(mid.pop0(3), 3u) << "the field wraps inside its three bytes";
    EXPECT_EQ(mid.byte(11), 0xAA);
    EXPECT_EQ(mid.tag_byte(), TAG_BRANCH_B);
    EXPECT_EQ(low.pop0(2), 15u);
    EXPECT_TRUE(leaf.is_empty()) << "the hot leaf's own count is kept exact, never adjusted";
    EXPECT_EQ(path.len, 0u);
    EXPECT_EQ(path.pending, 0);
    EXPECT_EQ(path.prefix, InsertPath::NO_PREFIX);
    EXPECT_EQ(path.hot_bitmap, nullptr);
    EXPECT_EQ(path.hot_linear, nullptr);
    EXPECT_EQ(path.hot_count, 0u);
}

TEST(InsertPathRecord, HoldsTheLeafAndSevenAncestors) {
    Edge edges[9];
    InsertPath path;
    path.append(&edges[1], 8);
    EXPECT_EQ(path.len, 0u) << "ancestors are recorded only after a fill";
    path.fill(&edges[0], nullptr, reinterpret_cast<u8*>(0x10), 3, 0x100);
    for (unsigned i = 1; i <= 8; ++i) path.append(&edges[i], static_cast<u8>(9 - i));
    EXPECT_EQ(path.len, 8u);
    EXPECT_EQ(path.edges[7], &edges[7]);
    EXPECT_EQ(path.levels[7], 2u);
    EXPECT_EQ(path.prefix, 1u);
}

TEST(InsertPathRecordDeathTest, LengthAboveEightIsFatal) {
    InsertPath path;
    path.len = 9;
    EXPECT_DEATH(path.flush_and_reset(), "index out of bounds");
}

// ---------------------------------------------------------------------------
// Shapes built by inserts.

TEST(ExclusiveInsert, FirstKeyMakesALevel8BranchWithAnImmediate) {
    SetTree tree;
    ASSERT_TRUE(tree.insert(0x0102030405060708ull));
    ASSERT_EQ(tree.root.tag_byte(), TAG_BRANCH_L3);
    EXPECT_EQ(tree.root.decode_area(), 0u);
    const auto* node = tree.root.ptr<BranchL3>();
    EXPECT_EQ(node->level, 8);
    ASSERT_EQ(node->count, 1);
    EXPECT_EQ(node->digits[0], 0x01);
    EXPECT_EQ(node->children[0].tag_byte(), 112);
    EXPECT_EQ(node->children[0].w0, 0x02030405060708ull);
    for (u64 k = 1; k < 40; ++k) tree.insert(k << 56);
    EXPECT_EQ(tree.root.decode_area(), 0u) << "the root edge never carries a population";
}

// A bitmap leaf under a skipped prefix shrinks into a linear leaf of 1-byte
// keys that keeps the prefix; a key that parts from the prefix one byte up
// wraps it under a level-2 branch, where it lands in a level-1 slot with
// fewer keys than an immediate could hold. That tree is sound.
TEST(ExclusiveInsert, WrappedShrunkenLeafIsAHealthyTree) {
    SetTree tree;
    const u64 base = 0x0001020304050600ull;
    for (u64 x = 0; x <= 32; ++x) ASSERT_TRUE(tree.insert(base + x));
    for (u64 x = 2; x <= 32; ++x) ASSERT_TRUE(tree.remove(base + x));
    ASSERT_TRUE(tree.insert(0x0001020304050700ull));

    const validate::Validation v = tree.validate();
    EXPECT_TRUE(v.ok()) << v.error;
    EXPECT_EQ(v.population, 3u);
    const KeyTrace t = trace_key(tree.root, base);
    ASSERT_TRUE(t.present);
    const TraceStep* wrap = t.at(7);
    ASSERT_NE(wrap, nullptr);
    EXPECT_EQ(wrap->tag, TAG_BRANCH_L3);
    EXPECT_EQ(wrap->node_level, 2u);
    EXPECT_EQ(t.steps.back().tag, TAG_LEAF_1);
    EXPECT_EQ(t.steps.back().slot_level, 1u);
    EXPECT_EQ(t.steps.back().size, 2u);
    EXPECT_TRUE(tree.contains(base + 1));
    EXPECT_TRUE(tree.contains(0x0001020304050700ull));
    EXPECT_FALSE(tree.contains(base + 2));
}

TEST(ExclusiveInsert, FullEdgeAndBitmapLeafAboveLevelOne) {
    SetTree tree;
    // One 256-key block under a level-2 branch: the 256th key makes a full edge.
    const u64 block = 0x5500000000001000ull;
    tree.insert(block + 0x100);  // a neighbour, so the block sits in a level-1 slot
    tree.insert(block + 0x10000);
    for (u64 x = 0; x < 256; ++x) ASSERT_TRUE(tree.insert(block + x));
    const KeyTrace t = trace_key(tree.root, block);
    ASSERT_EQ(t.steps.back().tag, TAG_FULL);
    EXPECT_EQ(t.steps.back().slot_level, 1u);
    EXPECT_EQ(t.steps.back().slot->byte(8), 0xFF);
    EXPECT_EQ(tree.path.len, 0u);
    for (u64 x = 0; x < 256; x += 17) EXPECT_FALSE(tree.insert(block + x));

    // 256 keys alone below a slot of level 7 stay a bitmap leaf.
    SetTree lone;
    const u64 cluster = 0x66778899AABBCC00ull;
    for (u64 x = 0; x < 256; ++x) ASSERT_TRUE(lone.insert(cluster + 255 - x));
    const KeyTrace u = trace_key(lone.root, cluster);
    ASSERT_EQ(u.steps.back().tag, TAG_LEAF_BITMAP);
    EXPECT_EQ(u.steps.back().slot_level, 7u);
    EXPECT_EQ(u.steps.back().size, 256u);
    const validate::Validation v = lone.validate();
    EXPECT_TRUE(v.ok()) << v.error;
    EXPECT_EQ(v.population, 256u);
}

// After the 33rd key of a full leaf the path is empty or names the hot leaf
// under the full key's prefix, never a shortened one.
TEST(ExclusiveInsert, SplitNeverLeavesAShortenedPrefixBehind) {
    for (u64 top : {0xFF00000000000000ull, 0x0000000000000000ull, 0x1200345600000000ull}) {
        SetTree tree;
        std::vector<u64> keys;
        for (u64 x = 0; x <= 0xF; ++x) keys.push_back(top + x);
        for (u64 x = 0x100; x <= 0x110; ++x) keys.push_back(top + x);
        for (u64 k : keys) {
            ASSERT_TRUE(tree.insert(k));
            ASSERT_TRUE(tree.path.len == 0 || tree.path.prefix == (k >> 8)) << std::hex << k;
        }
        // The next key with the hot prefix must land where a lookup finds it.
        tree.fast_path = true;
        ASSERT_TRUE(tree.insert(top + 0x111));
        EXPECT_TRUE(tree.contains(top + 0x111));
        const validate::Validation v = tree.validate();
        EXPECT_TRUE(v.ok()) << v.error;
        EXPECT_EQ(v.population, keys.size() + 1);
    }
}

// ---------------------------------------------------------------------------
// Shapes built by removes.

TEST(ExclusiveRemove, FullEdgeExpandsIntoTheNodeItStandsFor) {
    NodeAlloc alloc;
    {
        Edge e = TreeBuilder<false>::full_edge(1);
        ASSERT_TRUE(mutate::remove(alloc, e, 0x37, 1));
        ASSERT_EQ(e.tag_byte(), TAG_LEAF_BITMAP);
        EXPECT_EQ(e.byte(8), 254);
        EXPECT_FALSE(mutate::remove(alloc, e, 0x37, 1));
        const validate::Validation v = validate_at(e, 1);
        EXPECT_TRUE(v.ok()) << v.error;
        EXPECT_EQ(v.population, 255u);
        mutate::free_subtree<false, false>(alloc, e);
    }
    {
        Edge e = TreeBuilder<false>::full_edge(2);
        ASSERT_TRUE(mutate::remove(alloc, e, 0x1234, 2));
        ASSERT_EQ(e.tag_byte(), TAG_BRANCH_U);
        EXPECT_EQ(e.pop0(2), 65534u);
        const auto* node = e.ptr<BranchU>();
        for (unsigned d = 0; d < 256; ++d)
            EXPECT_EQ(node->children[d].tag_byte(), d == 0x12 ? TAG_LEAF_BITMAP : TAG_FULL) << d;
        EXPECT_EQ(node->children[0x12].byte(8), 254);
        ASSERT_TRUE(mutate::remove(alloc, e, 0xFF00, 2));
        const validate::Validation v = validate_at(e, 2);
        EXPECT_TRUE(v.ok()) << v.error;
        EXPECT_EQ(v.population, 65534u);
        mutate::free_subtree<false, false>(alloc, e);
    }
    {
        Edge e = TreeBuilder<false>::full_edge(3);
        ASSERT_TRUE(mutate::remove(alloc, e, 0xABCDEF, 3));
        const validate::Validation v = validate_at(e, 3);
        EXPECT_TRUE(v.ok()) << v.error;
        EXPECT_EQ(v.population, (u64{1} << 24) - 1);
        mutate::free_subtree<false, false>(alloc, e);
    }
    EXPECT_EQ(alloc.live_bytes(), 0u);
    EXPECT_EQ(alloc.live_nodes(), 0u);
}

TEST(ExclusiveRemove, LeavesFoldBackIntoImmediatesCarryingTheirPrefix) {
    NodeAlloc alloc;
    TreeBuilder<false> b(alloc);
    // Five 1-byte keys under two skipped digits in a level-3 slot: the
    // removal leaves four 3-byte keys in an immediate.
    Edge e = TreeBuilder<false>::skip(b.linear_leaf(1, {1, 2, 3, 4, 5}), 1, 3, 0xABCD00);
    ASSERT_TRUE(mutate::remove(alloc, e, 0xABCD03, 3));
    const EdgeKind k = e.tag();
    ASSERT_TRUE(k.is_immediate());
    EXPECT_EQ(k.key_bytes, 3);
    EXPECT_EQ(k.count, 4);
    const KeyList16 keys = mutate::immed_keys(e, 3, 4);
    EXPECT_EQ(keys[0], 0xABCD01u);
    EXPECT_EQ(keys[3], 0xABCD05u);
    EXPECT_FALSE(mutate::remove(alloc, e, 0xABCE01, 3)) << "another prefix is absent";
    EXPECT_EQ(alloc.live_bytes(), 0u);

    // Two keys of an immediate: the survivor keeps only its own bytes.
    const u64 pair[2] = {0x0102, 0x0304};
    Edge imm;
    mutate::write_immed(imm, 2, pair, 2);
    ASSERT_TRUE(mutate::remove(alloc, imm, 0x0102, 2));
    EXPECT_EQ(imm.tag_byte(), 0x20);
    EXPECT_EQ(imm.w0, 0x0304u);
    EXPECT_EQ(imm.decode_area(), 0u);
    ASSERT_TRUE(mutate::remove(alloc, imm, 0x0304, 2));
    EXPECT_TRUE(imm.is_empty());
}

// ---------------------------------------------------------------------------
// Branch form changes.

TEST(BranchForms, WrapMovesTheEdgeOneNodeDown) {
    NodeAlloc alloc;
    TreeBuilder<false> b(alloc);
    // A bitmap leaf of 30 keys in a level-5 slot: decode positions 1..4 hold
    // key bytes 1..4.
    std::vector<u64> keys;
    for (u64 x = 0; x < 30; ++x) keys.push_back(x);
    Edge e = TreeBuilder<false>::skip(b.bitmap_leaf(keys), 1, 5, 0x44332211'00ull);
    const Edge old = e;
    mutate::wrap_skip_level<false>(alloc, e, 3, 5, 30);
    ASSERT_EQ(e.tag_byte(), TAG_BRANCH_L3);
    EXPECT_EQ(e.pop0(3), 29u);
    EXPECT_EQ(e.byte(11), 0x33);
    EXPECT_EQ(e.byte(12), 0x44);
    EXPECT_EQ(e.byte(13), 0);
    const auto* node = e.ptr<BranchL3>();
    EXPECT_EQ(node->level, 3);
    EXPECT_EQ(node->count, 1);
    EXPECT_EQ(node->digits[0], 0x22);
    EXPECT_EQ(node->summary, 1u << 2);
    const Edge& child = node->children[0];
    EXPECT_EQ(child.w0, old.w0);
    EXPECT_EQ(child.byte(8), 29);
    EXPECT_EQ(child.byte(9), 0x11);
    for (unsigned j = 10; j < 15; ++j) EXPECT_EQ(child.byte(j), 0) << j;
    EXPECT_EQ(child.tag_byte(), TAG_LEAF_BITMAP);
    const validate::Validation v = validate_at(e, 5);
    EXPECT_TRUE(v.ok()) << v.error;

    // At the slot level itself the slot keeps only the population.
    Edge f = TreeBuilder<false>::skip(b.bitmap_leaf(keys), 1, 2, 0x9900);
    mutate::wrap_skip_level<false>(alloc, f, 2, 2, 30);
    EXPECT_EQ(f.decode_area(), 29u);
    EXPECT_EQ(f.ptr<BranchL3>()->children[0].decode_area(), 29u);
    EXPECT_EQ(f.ptr<BranchL3>()->digits[0], 0x99);
    b.free(e);
    b.free(f);
    EXPECT_EQ(alloc.live_bytes(), 0u);
}

TEST(BranchForms, ReclaimingFormRetiresTheOldNodeIntact) {
    auto collector = std::make_shared<Collector>();
    NodeAlloc alloc;
    alloc.defer_to(collector);
    {
        TreeBuilder<false> b(alloc);
        Edge e = b.branch_b(2, immediates(1, {4, 40, 90}));
        auto* old = e.ptr<BranchB>();
        unsigned char before[sizeof(BranchB)];
        std::memcpy(before, old, sizeof before);
        mutate::downgrade_b_to_l7<true>(alloc, e);
        // Retired, not reused: a reader still inside sees every byte as it
        // was, except the version word, which now says obsolete.
        unsigned char after[sizeof(BranchB)];
        std::memcpy(after, old, sizeof after);
        u32 version;
        std::memcpy(&version, after + offsetof(BranchB, version), 4);
        EXPECT_EQ(version, 0x80000001u);
        std::memcpy(after + offsetof(BranchB, version), before + offsetof(BranchB, version), 4);
        EXPECT_EQ(std::memcmp(before, after, sizeof before), 0);
        ASSERT_EQ(e.tag_byte(), TAG_BRANCH_L7);
        mutate::free_subtree<true, false>(alloc, e);
    }
}

// ---------------------------------------------------------------------------
// Broken invariants stop the process.

TEST(ExclusiveMutationDeathTest, BrokenTreesAreFatal) {
    NodeAlloc alloc;
    InsertPath path;
    Edge bad;
    bad.set_tag(13);
    EXPECT_DEATH(mutate::insert_with_path_flat(alloc, bad, 1, 1, path), "valid immediate tag");
    EXPECT_DEATH(mutate::remove(alloc, bad, 1, 1), "valid edge tag");
    Edge full = TreeBuilder<false>::full_edge(7);
    EXPECT_DEATH(mutate::remove(alloc, full, 1, 8), "full edge at level 8");

    TreeBuilder<false> b(alloc);
    Edge e = b.branch_b(2, immediates(1, {1, 2, 40, 41, 42, 80, 81}));
    Edge* sub = e.ptr<BranchB>()->subarrays[0];
    e.ptr<BranchB>()->subarrays[0] = nullptr;
    EXPECT_DEATH(mutate::insert_with_path_flat(alloc, e, 0x0300, 2, path), "subarray");
    e.ptr<BranchB>()->subarrays[0] = sub;
    b.free(e);
}

}  // namespace
}  // namespace tolvane::test
