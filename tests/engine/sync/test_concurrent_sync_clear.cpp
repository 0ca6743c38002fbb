// A concurrent map cleared and refilled over and over while readers look
// keys up and another writer inserts its own. Every key always maps to the
// same value, so a reader that finds a key must read that value: a block
// handed out again before the readers inside it had left would show up as a
// wrong value, as a use after free (ASan) or as a data race (TSan). The
// clearing thread asks nothing of the heap while it clears.

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "mem/allocation_probe.hpp"
#include "tolvane/sync/olc_readers.hpp"
#include "tolvane/sync/sync_map.hpp"

namespace tolvane::sync {
namespace {

using test::AllocationProbe;

#if TOLVANE_TSAN
constexpr unsigned ROUNDS = 12;
constexpr u64 KEYS_PER_ROUND = 1500;
#else
constexpr unsigned ROUNDS = 40;
constexpr u64 KEYS_PER_ROUND = 4000;
#endif
constexpr unsigned READERS = 2;

u64 value_of(u64 key) { return key * 3 + 1; }

// Clustered and sparse keys, so that clearing frees branches of every form.
u64 clearer_key(u64 i) { return (i % 7) << 56 | (i * 2654435761u) % 100000; }
u64 other_writer_key(u64 i) { return u64{0xEE} << 56 | i; }

TEST(ConcurrentSyncClear, ReadersNeverSeeClearedBlocksReused) {
    SyncTolvaneMap m;
    Shared<TolvaneMap>& s = m.shared();
    std::atomic<bool> stop{false};
    std::atomic<u64> wrong{0}, found{0}, clear_allocations{0};

    std::vector<std::thread> threads;
    for (unsigned r = 0; r < READERS; ++r) {
        threads.emplace_back([&, r] {
            Reader reader = Collector::register_reader(s.collector);
            std::mt19937_64 rng(11 + r);
            u64 hits = 0;
            while (!stop.load(std::memory_order_acquire)) {
                const u64 i = rng() % KEYS_PER_ROUND;
                const u64 key = rng() % 2 ? clearer_key(i) : other_writer_key(i);
                if (const std::optional<u64> v = map_get_with(s, reader, key)) {
                    ++hits;
                    if (*v != value_of(key)) wrong.fetch_add(1, std::memory_order_relaxed);
                }
            }
            found.fetch_add(hits, std::memory_order_relaxed);
        });
    }
    threads.emplace_back([&] {
        for (u64 i = 0; !stop.load(std::memory_order_acquire); i = (i + 1) % KEYS_PER_ROUND) {
            m.insert(other_writer_key(i), value_of(other_writer_key(i)));
            if (i % 64 == 0) m.remove(other_writer_key((i * 31) % KEYS_PER_ROUND));
        }
    });

    for (unsigned round = 0; round < ROUNDS; ++round) {
        for (u64 i = 0; i < KEYS_PER_ROUND; ++i) m.insert(clearer_key(i), value_of(clearer_key(i)));
        AllocationProbe probe;
        m.clear();
        clear_allocations.fetch_add(probe.allocations(), std::memory_order_relaxed);
    }
    stop.store(true, std::memory_order_release);
    for (std::thread& t : threads) t.join();

    EXPECT_EQ(wrong.load(), 0u);
    EXPECT_GT(found.load(), 0u);
    EXPECT_EQ(clear_allocations.load(), 0u);
    EXPECT_FALSE(m.validate());
}

}  // namespace
}  // namespace tolvane::sync
