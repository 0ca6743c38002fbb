// The node allocator after defer_to: blocks flow through the collector,
// counters through the statistics lines; and the fatal misuses of deferral,
// tree-word binding and root covering.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "support/slot_thread.hpp"
#include "tolvane/mem/alloc.hpp"
#include "tolvane/mem/occ.hpp"

using namespace tolvane;

namespace {

struct DeferredAlloc {
    std::shared_ptr<Collector> collector = std::make_shared<Collector>();
    NodeAlloc alloc;
    DeferredAlloc() { alloc.defer_to(collector); }
    void advance_twice() {
        collector->try_advance();
        collector->try_advance();
    }
};

bool all_zero(const void* block, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(block);
    for (std::size_t i = 0; i < n; ++i)
        if (p[i]) return false;
    return true;
}

}  // namespace

TEST(NodeAllocDeferred, ReleasedBlocksWaitInTheCollector) {
    DeferredAlloc d;
    NodeAlloc& a = d.alloc;
    EXPECT_TRUE(a.deferred());
    EXPECT_EQ(a.mode_word(), NodeAlloc::MODE_DEFERRED);
    EXPECT_EQ(a.collector(), d.collector.get());
    void* node = a.allocate(64);
    void* leaf = a.allocate_zeroed(25);
    EXPECT_TRUE(all_zero(leaf, 25));
    EXPECT_EQ(a.live_bytes(), 96u);
    EXPECT_EQ(a.bytes_held(), 96u) << "deferred allocator carved a page";
    std::memset(node, 0x5A, 64);
    std::memset(leaf, 0x5A, 25);
    a.release(node, 64, 64);
    a.release(leaf, 25, 16);
    EXPECT_EQ(a.live_bytes(), 0u);
    EXPECT_EQ(a.bytes_held(), 0u);
    EXPECT_EQ(d.collector->retired_bytes(), 89u);
    EXPECT_EQ(a.release_free(), 0u);

    d.collector->try_advance();
    void* early = a.allocate(64);
    EXPECT_NE(early, node) << "reused before the grace period ended";
    d.collector->try_advance();
    void* leaf2 = a.allocate_zeroed(25);
    EXPECT_EQ(leaf2, leaf);
    EXPECT_TRUE(all_zero(leaf2, 25));
    void* node2 = a.allocate(64);
    EXPECT_EQ(node2, node);
    EXPECT_EQ(a.total_allocs(), 5u);
    EXPECT_EQ(a.live_nodes(), 3u);
    a.release(leaf2, 25, 16);
    a.release(node2, 64, 64);
    EXPECT_EQ(a.live_nodes(), 1u);
    EXPECT_EQ(a.live_bytes(), 64u);
    a.release(early, 64, 64);
}

TEST(NodeAllocDeferred, UnpublishedBlocksSkipTheGracePeriod) {
    DeferredAlloc d;
    NodeAlloc& a = d.alloc;
    void* leaf = a.allocate_zeroed(48);
    a.release_unpublished(leaf, 48, 16);
    EXPECT_EQ(d.collector->retired_bytes(), 0u);
    EXPECT_EQ(d.collector->free_list_bytes(), 48u);
    void* again = a.allocate_zeroed(48);
    EXPECT_EQ(again, leaf);
    void* wide = a.allocate(4160);
    a.release_unpublished(wide, 4160, 64);  // no class: straight back to the system
    EXPECT_EQ(d.collector->free_list_bytes(), 0u);
    a.release_unpublished(again, 48, 16);
    EXPECT_EQ(a.live_bytes(), 0u);
    EXPECT_EQ(a.live_nodes(), 0u);
}

TEST(NodeAllocDeferred, CountersSumOverThreads) {
    DeferredAlloc d;
    NodeAlloc& a = d.alloc;
    std::vector<void*> blocks;
    {
        test::SlotThread other;
        other.run([&] {
            blocks.push_back(a.allocate(128));
            blocks.push_back(a.allocate_zeroed(100));
            blocks.push_back(a.allocate(4160));
        });
    }
    EXPECT_EQ(a.live_bytes(), 128u + 112 + 4160);
    // This thread's line goes negative; only the sum counts.
    a.release(blocks[0], 128, 64);
    a.release(blocks[1], 100, 16);
    a.release(blocks[2], 4160, 64);
    EXPECT_EQ(a.live_bytes(), 0u);
    EXPECT_EQ(a.live_nodes(), 0u);
    EXPECT_EQ(a.bytes_held(), 0u);
    EXPECT_EQ(a.total_allocs(), 3u);
    void* extra = a.allocate_zeroed(16);
    EXPECT_EQ(a.bytes_held(), 16u);
    EXPECT_EQ(a.total_allocs(), 4u);
    a.release(extra, 16, 16);
}

TEST(NodeAllocDeferred, LocalBlocksWithoutPagesMayOutliveDeferral) {
    // Deferral is allowed while only system blocks are live; they are
    // released through the collector afterwards.
    auto c = std::make_shared<Collector>();
    NodeAlloc a;
    void* big = a.allocate_zeroed(384);
    a.defer_to(c);
    EXPECT_EQ(a.live_bytes(), 384u);
    a.release(big, 384, 16);
    EXPECT_EQ(a.live_bytes(), 0u);
    EXPECT_EQ(c->retired_bytes(), 384u);
}

TEST(NodeAllocDeferred, TreeWordAndRootCover) {
    DeferredAlloc d;
    NodeAlloc& a = d.alloc;
    std::uint64_t word = 0;
    EXPECT_EQ(a.tree_version(), nullptr);
    a.bind_tree_word(&word);
    a.bind_tree_word(&word);  // same word again is fine
    EXPECT_EQ(a.tree_word(), &word);
    EXPECT_EQ(a.tree_version(), nullptr) << "root not covered yet";
    a.cover_root();
    EXPECT_EQ(a.root_covered(), 1u);
    EXPECT_EQ(a.tree_version(), &word);
    a.set_root_covered(2);
    EXPECT_EQ(a.tree_version(), nullptr);
    d.alloc.defer_to(d.collector);  // same collector again is fine
}

TEST(NodeAllocDeathTest, DeferralMisuseIsFatal) {
    auto c = std::make_shared<Collector>();
    {
        NodeAlloc a;
        a.defer_to(c);
        EXPECT_DEATH(a.defer_to(std::make_shared<Collector>()),
                     "NodeAlloc already deferred to a different collector");
    }
    {
        NodeAlloc a;
        void* n = a.allocate(64);
        EXPECT_DEATH(a.defer_to(c), "defer_to on an allocator that already slab-carved memory");
        a.release(n, 64, 64);
        EXPECT_DEATH(a.defer_to(c), "defer_to on an allocator that already slab-carved memory");
    }
    {
        NodeAlloc a;
        a.release(a.allocate_zeroed(300), 300, 16);  // a free list without any page
        EXPECT_DEATH(a.defer_to(c), "defer_to on an allocator with active freelists");
        a.release_free();
        a.defer_to(c);
        EXPECT_TRUE(a.deferred());
    }
}

TEST(NodeAllocDeathTest, BindingMisuseIsFatal) {
    std::uint64_t w1 = 0, w2 = 0;
    {
        NodeAlloc a;
        a.bind_tree_word(&w1);
        EXPECT_DEATH(a.bind_tree_word(&w2), "NodeAlloc already bound to a different tree word");
        EXPECT_DEATH(a.cover_root(), "cover_root before defer_to");
    }
    {
        NodeAlloc a;
        a.defer_to(std::make_shared<Collector>());
        EXPECT_DEATH(a.cover_root(), "cover_root before bind_tree_word");
        a.set_root_covered(1);
        EXPECT_DEATH(a.tree_version(), "tree_version on a tree with no tree word bound");
    }
}
