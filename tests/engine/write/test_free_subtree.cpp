// Subtree freeing: every block of every node form goes back (live bytes and
// nodes return to zero, ASan finds no leak), in the exclusive, reclaiming
// and unpublished ways, in local and deferred mode; freed nodes keep their
// child edges only in the reclaiming way; single branch nodes are marked
// obsolete before they go.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "support/random_tree.hpp"
#include "support/tree_builder.hpp"
#include "tolvane/write/mutate_free.hpp"
#include "tolvane/mem/occ.hpp"

namespace tolvane {
namespace {

using testing::Children;
using testing::TreeBuilder;

enum class Way { Exclusive, Reclaiming, Unpublished };

template <bool Map>
void free_by(Way way, NodeAlloc& alloc, Edge& e) {
    switch (way) {
        case Way::Exclusive:
            mutate::free_subtree<false, Map>(alloc, e);
            break;
        case Way::Reclaiming:
            mutate::free_subtree<true, Map>(alloc, e);
            break;
        case Way::Unpublished:
            mutate::free_subtree_unpublished<Map>(alloc, e);
            break;
    }
}

std::vector<u64> range(u64 from, u64 count) {
    std::vector<u64> keys;
    for (u64 i = 0; i < count; ++i) keys.push_back(from + i);
    return keys;
}

template <bool Map>
void free_random_trees(Way way, bool deferred, u64 seed, int trees) {
    auto collector = std::make_shared<Collector>();
    NodeAlloc alloc;
    if (deferred) alloc.defer_to(collector);
    TreeBuilder<Map> b(alloc);
    for (int t = 0; t < trees; ++t) {
        testing::RandomTree<Map> gen(b, seed + static_cast<u64>(t));
        Edge root = gen.root();
        ASSERT_EQ(alloc.live_nodes() == 0, root.is_empty() || root.tag_byte() == TAG_FULL);
        free_by<Map>(way, alloc, root);
        EXPECT_TRUE(root.is_empty()) << "seed " << seed + t;
        EXPECT_EQ(alloc.live_bytes(), 0u) << "seed " << seed + t;
        EXPECT_EQ(alloc.live_nodes(), 0u) << "seed " << seed + t;
    }
    if (deferred) {
        if (way == Way::Unpublished)
            EXPECT_EQ(collector->retired_bytes(), 0u);
        else
            EXPECT_GT(collector->retired_bytes(), 0u);
    }
}

TEST(FreeSubtree, EveryFormGoesBackInEveryWayAndMode) {
    for (Way way : {Way::Exclusive, Way::Reclaiming, Way::Unpublished}) {
        SCOPED_TRACE(static_cast<int>(way));
        free_random_trees<false>(way, false, 100, 40);
        free_random_trees<true>(way, false, 200, 40);
        if (way != Way::Exclusive) {
            free_random_trees<false>(way, true, 300, 20);
            free_random_trees<true>(way, true, 400, 20);
        }
    }
}

TEST(FreeSubtree, EdgesThatOwnNothingAreOnlyCleared) {
    NodeAlloc alloc;
    TreeBuilder<false> sb(alloc);
    TreeBuilder<true> mb(alloc);
    for (Way way : {Way::Exclusive, Way::Reclaiming, Way::Unpublished}) {
        Edge full = TreeBuilder<false>::full_edge(1);
        free_by<false>(way, alloc, full);
        EXPECT_TRUE(full.is_empty());
        Edge imm = sb.immediate(1, range(0, 15));
        free_by<false>(way, alloc, imm);
        EXPECT_TRUE(imm.is_empty());
        // One map key keeps its value in word 0: not a pointer to give back.
        Edge single = mb.immediate(3, {5}, {0x1234567});
        free_by<true>(way, alloc, single);
        EXPECT_TRUE(single.is_empty());
        // Invalid tags are not interpreted: the edge stays as it is.
        for (u8 tag : {13, 31, 200}) {
            Edge odd;
            odd.w0 = 0xABCDEF;
            odd.set_tag(tag);
            const Edge before = odd;
            free_by<false>(way, alloc, odd);
            free_by<true>(way, alloc, odd);
            EXPECT_EQ(odd, before);
        }
    }
    EXPECT_EQ(alloc.total_allocs(), 0u);
}

// Freed nodes keep their child edges only in the reclaiming way, where
// readers may still be inside them. Their blocks sit on the free lists, so
// their edge bytes can still be looked at.
TEST(FreeSubtree, OnlyTheReclaimingWayLeavesFreedNodesIntact) {
    for (Way way : {Way::Exclusive, Way::Reclaiming, Way::Unpublished}) {
        NodeAlloc alloc;
        TreeBuilder<false> b(alloc);
        const Edge leaf = b.linear_leaf(1, {1, 2, 3});
        Edge top =
            b.branch_l7(3, {{7, b.branch_l3(2, {{4, leaf}})}, {9, b.immediate(2, {0x0102})}});
        auto* l7 = top.ptr<BranchL7>();
        const Edge inner = l7->children[0];
        const Edge leaf_copy = inner.ptr<BranchL3>()->children[0];
        ASSERT_EQ(leaf_copy, leaf);
        free_by<false>(way, alloc, top);
        EXPECT_TRUE(top.is_empty());
        Edge after[2];
        std::memcpy(static_cast<void*>(after), l7->children, sizeof after);
        Edge inner_after;
        std::memcpy(static_cast<void*>(&inner_after), inner.ptr<BranchL3>()->children,
                    sizeof inner_after);
        if (way == Way::Reclaiming) {
            EXPECT_EQ(after[0], inner);
            EXPECT_FALSE(after[1].is_empty());
            EXPECT_EQ(inner_after, leaf);
        } else {
            EXPECT_TRUE(after[0].is_empty());
            EXPECT_TRUE(after[1].is_empty());
            EXPECT_TRUE(inner_after.is_empty());
        }
        EXPECT_EQ(alloc.live_bytes(), 0u);
    }
}

// Deferred mode: the reclaiming way retires every block until two epoch
// advances have passed; the unpublished way recycles them at once.
TEST(FreeSubtree, DeferredModeRetiresOrRecyclesEveryBlock) {
    for (Way way : {Way::Reclaiming, Way::Unpublished}) {
        auto collector = std::make_shared<Collector>();
        NodeAlloc alloc;
        alloc.defer_to(collector);
        TreeBuilder<false> b(alloc);
        // Only sizes that are multiples of 16 and have a class, so requested
        // and charged bytes agree and every block lands on a free list.
        Children kids;
        for (u64 d : range(0, 8)) kids.emplace_back(static_cast<u8>(d * 20), b.immediate(1, {d}));
        Edge root = b.branch_l3(
            8, {{1, b.branch_l7(7, {{1, b.skip(b.branch_b(2, kids), 2, 6, 0)},
                                    {2, b.skip(b.linear_leaf(2, range(0, 8)), 2, 6, 0)},
                                    {3, b.skip(b.bitmap_leaf(range(0, 30)), 1, 6, 0)}})}});
        const u64 live = alloc.live_bytes();
        ASSERT_EQ(live, 64u + 128 + (128 + 8 * 16) + 16 + 64);
        free_by<false>(way, alloc, root);
        EXPECT_TRUE(root.is_empty());
        EXPECT_EQ(alloc.live_bytes(), 0u);
        if (way == Way::Reclaiming) {
            EXPECT_EQ(collector->retired_bytes(), live);
            EXPECT_EQ(collector->free_list_bytes(), 0u);
            collector->try_advance();
            EXPECT_EQ(collector->free_list_bytes(), 0u);
            collector->try_advance();
        } else {
            EXPECT_EQ(collector->retired_bytes(), 0u);
        }
        EXPECT_EQ(collector->retired_bytes(), 0u);
        EXPECT_EQ(collector->free_list_bytes(), live);
    }
}

TEST(FreeBranchNode, MarksObsoleteThenGivesTheNodeBack) {
    // Deferred: the node is retired, so its version word can still be read.
    auto collector = std::make_shared<Collector>();
    NodeAlloc deferred;
    deferred.defer_to(collector);
    TreeBuilder<false> db(deferred);
    for (bool small : {true, false}) {
        const Edge e = small ? db.branch_l3(2, {{1, db.immediate(1, {1})}})
                             : db.branch_l7(2, {{1, db.immediate(1, {1})}});
        u32* version = node_version_word(e);
        *version = 6;
        const Edge child = small ? e.ptr<BranchL3>()->children[0] : e.ptr<BranchL7>()->children[0];
        mutate::free_branch_node(deferred, e.ptr<void>(), small);
        EXPECT_EQ(*version, 0x80000007u);
        EXPECT_EQ(collector->retired_bytes(), small ? 64u : 64u + 128);
        EXPECT_EQ(small ? e.ptr<BranchL3>()->children[0] : e.ptr<BranchL7>()->children[0], child);
    }
    EXPECT_EQ(deferred.live_bytes(), 0u);

    // Local: back on the free list of its class, ready for the next node.
    NodeAlloc local;
    TreeBuilder<false> lb(local);
    const Edge l7 = lb.branch_l7(2, {{1, lb.immediate(1, {1})}});
    mutate::free_branch_node(local, l7.ptr<void>(), false);
    EXPECT_EQ(local.live_bytes(), 0u);
    void* again = local.allocate(128);
    EXPECT_EQ(again, l7.ptr<void>());
    local.release(again, 128, 64);
}

TEST(FreeBranchNode, EveryBranchKindGetsTheMarkInItsOwnVersionWord) {
    auto collector = std::make_shared<Collector>();
    NodeAlloc deferred;
    deferred.defer_to(collector);
    TreeBuilder<false> b(deferred);
    Children seven;
    for (u64 d = 0; d < 7; ++d) seven.emplace_back(static_cast<u8>(d), b.immediate(1, {d}));
    Children wide;
    for (u64 d = 0; d < 200; ++d) wide.emplace_back(static_cast<u8>(d), b.immediate(1, {d}));
    const Edge forms[] = {b.branch_l3(2, {{1, b.immediate(1, {1})}}),
                          b.branch_l7(2, {{1, b.immediate(1, {1})}}), b.branch_b(2, seven),
                          b.branch_u(2, wide)};
    for (const Edge& e : forms) {
        u32* version = node_version_word(e);
        *version = 6;
        const u32 group0 = e.tag_byte() == TAG_BRANCH_B ? e.ptr<BranchB>()->bitmap[0] : 0;
        const u64 retired = collector->retired_bytes();
        mutate::free_branch_node(deferred, e);
        EXPECT_EQ(*version, 0x80000007u) << int{e.tag_byte()};
        const u64 bytes = e.tag_byte() == TAG_BRANCH_L3 ? 64u
                          : e.tag_byte() == TAG_BRANCH_U ? BRANCH_U_BYTES
                                                         : 128u;
        EXPECT_EQ(collector->retired_bytes() - retired, bytes);
        if (e.tag_byte() != TAG_BRANCH_B) continue;
        // The children were the caller's: its one subarray goes back apart.
        BranchB* node = e.ptr<BranchB>();
        EXPECT_EQ(node->bitmap[0], group0);
        deferred.release(node->subarrays[0], edge_subarray_bytes(7), LEAF_ALIGN);
    }
}

void free_overfull_linear_branch() {
    NodeAlloc alloc;
    TreeBuilder<false> b(alloc);
    Edge e = b.branch_l3(2, {{1, b.immediate(1, {1})}});
    e.ptr<BranchL3>()->count = 4;
    mutate::free_subtree<false, false>(alloc, e);
}

void free_leaf_without_block() {
    NodeAlloc alloc;
    Edge e;
    e.set_tag(linear_leaf_tag(2));
    mutate::free_subtree<true, false>(alloc, e);
}

void free_map_bitmap_leaf_without_subarray() {
    NodeAlloc alloc;
    TreeBuilder<true> b(alloc);
    Edge e = b.bitmap_leaf(range(0, 30), range(0, 30));
    e.ptr<LeafBitmapL>()->value_subarrays[0] = nullptr;
    mutate::free_subtree<false, true>(alloc, e);
}

void free_map_immediate_without_values() {
    NodeAlloc alloc;
    Edge e;
    e.set_tag(immediate_tag(1, 2));
    mutate::free_subtree_unpublished<true>(alloc, e);
}

TEST(FreeSubtreeDeathTest, BrokenInvariantsAreFatal) {
    EXPECT_DEATH(free_overfull_linear_branch(), "linear branch count above capacity");
    EXPECT_DEATH(free_leaf_without_block(), "leaf ptr");
    EXPECT_DEATH(free_map_bitmap_leaf_without_subarray(), "value subarray");
    EXPECT_DEATH(free_map_immediate_without_values(), "map immediate value array");
}

}  // namespace
}  // namespace tolvane
