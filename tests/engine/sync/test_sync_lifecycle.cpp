// Construction, clearing, accounting and the refold of a concurrent
// container, single-threaded.

#include <gtest/gtest.h>

#include "tolvane/sync/sync_map.hpp"
#include "tolvane/sync/sync_set.hpp"

namespace tolvane::sync {
namespace {

TEST(SyncLifecycle, NewClearAndMemoryFigures) {
    SyncTolvaneMap m;
    Shared<TolvaneMap>& s = m.shared();
    EXPECT_EQ(m.len(), 0u);
    EXPECT_EQ(m.mem_used(), 0);
    EXPECT_EQ(s.tree.alloc.root_covered(), 1);
    EXPECT_EQ(s.tree.alloc.tree_word(), &s.root_version);

    // Clearing an empty map still counts as one mutation: two increments.
    m.clear();
    EXPECT_EQ(s.version_relaxed(), 2u);

    for (u64 k = 0; k < 1000; ++k) m.insert(k * 977, k);
    EXPECT_EQ(m.len(), 1000u);
    EXPECT_GT(m.mem_used(), 0);
    EXPECT_GE(m.mem_held(), static_cast<u64>(m.mem_used()));
    s.mark_dirty(0);  // as an optimistic write would
    const u64 claimed = s.slot_mask.load();

    m.clear();
    EXPECT_EQ(m.len(), 0u);
    EXPECT_EQ(m.mem_used(), 0);
    EXPECT_EQ(load_relaxed(s.root_kind), ROOT_EMPTY);
    EXPECT_EQ(s.slot_mask.load(), claimed);
    EXPECT_NE(s.dirty.peek(0), 0u);  // left for the next refold
    EXPECT_FALSE(m.validate());
    EXPECT_EQ(s.dirty.peek(0), 0u);

    // Freed blocks wait in the collector, counted, until it lets them go.
    EXPECT_GT(s.collector_held(), 0u);
    s.collector->drain();
    EXPECT_EQ(s.collector_held(), 0u);
}

// A set's first key gets a root-leaf block of one key, given back with the
// same size (debug builds check every release against its allocation).
TEST(SyncLifecycle, FirstSetKeyBlockComesAndGoes) {
    SyncTolvaneSet set;
    EXPECT_TRUE(set.insert(7));
    EXPECT_GT(set.shared().mem_used(), 0);
    EXPECT_TRUE(set.remove(7));
    EXPECT_EQ(set.shared().mem_used(), 0);
    EXPECT_EQ(set.len(), 0u);
}

// Without dirty bits the refold takes the counters' total as the length;
// with dirty bits on a root leaf it only consumes them.
TEST(SyncLifecycle, RefoldTakesCountersTotal) {
    SyncTolvaneSet set;
    Shared<TolvaneSet>& s = set.shared();
    for (u64 k = 0; k < 40; ++k) set.insert(k << 20);
    {
        Shared<TolvaneSet>::ExclusiveSection section(s);
        set_tree_length(s.tree, 7);  // stale, as after optimistic writes
        s.pop.add_shard(3, 2);       // two keys counted by slot 3 ...
        s.pop.add_base(-2);          // ... and two fewer in the base
        s.refold_population();
        EXPECT_EQ(s.tree.len, 40u);
        EXPECT_EQ(s.pop.shards[3].value.load(), 0);
        EXPECT_EQ(s.pop.base.value.load(), 40);
    }
    EXPECT_FALSE(set.validate());

    for (u64 k = 0; k < 30; ++k) set.remove(k << 20);
    EXPECT_EQ(load_relaxed(s.root_kind), ROOT_LEAF);
    EXPECT_EQ(set.len(), 10u);
    s.mark_dirty(u64{5} << 56);
    const u64 version = s.version_relaxed();
    EXPECT_FALSE(set.validate());
    EXPECT_EQ(s.dirty.peek(0), 0u);
    EXPECT_EQ(s.version_relaxed(), version);  // nothing republished
}

}  // namespace
}  // namespace tolvane::sync
