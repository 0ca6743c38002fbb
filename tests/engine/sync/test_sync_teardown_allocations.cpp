// Clearing and dropping a concurrent container ask nothing of the heap, so
// that they still work when memory has run out: its entries go back at once
// instead of queueing one garbage record per block in the collector. The
// containers hold every node form (dense runs, clusters, sparse keys) and
// garbage from earlier removals when they are cleared or dropped.

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "mem/allocation_probe.hpp"
#include "tolvane/sync/olc_readers.hpp"
#include "tolvane/sync/sync_map.hpp"
#include "tolvane/sync/sync_set.hpp"

namespace tolvane::sync {
namespace {

using test::AllocationProbe;

u64 draw_key(std::mt19937_64& rng) {
    const u64 r = rng();
    switch (r % 4) {
        case 0: return 0x0101010101010100ull + (r >> 8) % 3000;         // dense
        case 1: return (r >> 20) % 7 << 56 | ((r >> 8) % 4096) << 8;    // clustered
        case 2: return ((r >> 8) % 40) << 56 | ((r >> 16) % 64);        // top-byte spread
        default: return r & 0xFFFF00000000FFFFull;                      // sparse
    }
}

void put(SyncTolvaneMap& m, u64 key) { m.insert(key, key ^ 0x5A5A); }
void put(SyncTolvaneSet& s, u64 key) { s.insert(key); }

// `keys` keys; then every third of them removed again, so that the
// collector's bins hold retired blocks too.
template <class C>
void fill(C& c, unsigned keys, u64 seed) {
    std::mt19937_64 rng(seed);
    std::vector<u64> added;
    for (unsigned i = 0; i < keys; ++i) {
        added.push_back(draw_key(rng));
        put(c, added.back());
    }
    for (std::size_t i = 0; i < added.size(); i += 3) c.remove(added[i]);
}

template <class C>
void clears_without_allocating(unsigned keys) {
    C c;
    auto& s = c.shared();
    fill(c, keys, 7 + keys);
    const u64 retired_before = s.collector->retired_bytes();
    {
        AllocationProbe probe;
        c.clear();
        EXPECT_EQ(probe.allocations(), 0u) << keys << " keys";
    }
    EXPECT_EQ(c.len(), 0u);
    EXPECT_EQ(s.mem_used(), 0);
    // Nothing of the cleared entries waits in the bins.
    EXPECT_LE(s.collector->retired_bytes(), retired_before);
    EXPECT_FALSE(c.validate());

    // The container goes on working, and reuses the blocks it got back.
    fill(c, keys, 99 + keys);
    EXPECT_FALSE(c.validate());
    EXPECT_EQ(c.len() > 0, keys > 0);
}

template <class C>
void drops_without_allocating(unsigned keys) {
    auto c = std::make_unique<C>();
    fill(*c, keys, 3 + keys);
    AllocationProbe probe;
    c.reset();
    EXPECT_EQ(probe.allocations(), 0u) << keys << " keys";
}

// 0 keys: empty; 20: a root leaf; the others: trees of every form.
constexpr unsigned KEY_COUNTS[] = {0, 20, 200, 20000};

TEST(SyncTeardownAllocations, MapClearsWithoutAllocating) {
    for (unsigned keys : KEY_COUNTS) clears_without_allocating<SyncTolvaneMap>(keys);

    // Cleared entries are found by no lookup; refilled keys read back with
    // their new values.
    SyncTolvaneMap m;
    for (u64 k = 0; k < 5000; ++k) m.insert(k * 7919, k);
    {
        AllocationProbe probe;
        m.clear();
        EXPECT_EQ(probe.allocations(), 0u);
    }
    Reader reader = Collector::register_reader(m.shared().collector);
    for (u64 k = 0; k < 5000; k += 13) EXPECT_FALSE(map_get_with(m.shared(), reader, k * 7919));
    for (u64 k = 0; k < 5000; ++k) m.insert(k * 7919, k + 1);
    for (u64 k = 0; k < 5000; k += 13) EXPECT_EQ(map_get_with(m.shared(), reader, k * 7919), k + 1);
    EXPECT_EQ(m.len(), 5000u);
}

TEST(SyncTeardownAllocations, SetClearsWithoutAllocating) {
    for (unsigned keys : KEY_COUNTS) clears_without_allocating<SyncTolvaneSet>(keys);
}

TEST(SyncTeardownAllocations, MapDropsWithoutAllocating) {
    for (unsigned keys : KEY_COUNTS) drops_without_allocating<SyncTolvaneMap>(keys);
}

TEST(SyncTeardownAllocations, SetDropsWithoutAllocating) {
    for (unsigned keys : KEY_COUNTS) drops_without_allocating<SyncTolvaneSet>(keys);
}

}  // namespace
}  // namespace tolvane::sync
