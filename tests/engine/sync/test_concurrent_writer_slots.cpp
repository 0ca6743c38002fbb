// Writer slots, the drain of the exclusive section and the per-thread caches
// of slots and writer readers, driven directly through the shared block.

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <bit>
#include <latch>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "tolvane/sync/shared.hpp"

namespace tolvane::sync {
namespace {

using Block = Shared<TolvaneSet>;

// 65 writers stay inside their slots at once: the first 64 claim distinct
// slots, the 65th shares slot (token & 63) with one of them. An exclusive
// section started meanwhile enters only after every one of them has left,
// both writers of the shared slot included.
TEST(SyncWriterSlots, SixtyFifthWriterSharesASlotAndIsDrained) {
    Block s;
    constexpr unsigned kWriters = 65;
    std::vector<u64> slots(kWriters);
    std::atomic<unsigned> inside{0};
    std::latch all_inside(kWriters), section_started(1);
    std::atomic<bool> section_saw_writers{false};
    std::vector<std::thread> writers;
    for (unsigned i = 0; i < 64; ++i)
        writers.emplace_back([&, i] {
            slots[i] = s.enter_writer();
            inside.fetch_add(1);
            all_inside.count_down();
            section_started.wait();
            inside.fetch_sub(1);
            s.leave_writer(slots[i]);
        });
    // The 65th enters only after all 64 bits are taken.
    while (s.slot_mask.load() != ~u64{0}) std::this_thread::yield();
    writers.emplace_back([&] {
        slots[64] = s.enter_writer();
        EXPECT_EQ(slots[64], thread_token::get() & 63);
        inside.fetch_add(1);
        all_inside.count_down();
        section_started.wait();
        inside.fetch_sub(1);
        s.leave_writer(slots[64]);
    });
    all_inside.wait();
    EXPECT_EQ(std::set<u64>(slots.begin(), slots.begin() + 64).size(), 64u);
    EXPECT_EQ(s.slot_lines[slots[64]].active.load(), 2u);

    std::thread section([&] {
        section_started.count_down();
        Block::ExclusiveSection guard(s);
        if (inside.load() != 0) section_saw_writers = true;
    });
    section.join();
    for (std::thread& t : writers) t.join();
    EXPECT_FALSE(section_saw_writers.load());
    for (const auto& line : s.slot_lines) EXPECT_EQ(line.active.load(), 0u);
}

// One thread writing to 129 containers in turn evicts its oldest cache
// entry: coming back to the first container claims a second slot there.
TEST(SyncWriterSlots, CacheEvictsOldestAfter128Containers) {
    std::vector<std::unique_ptr<Block>> blocks;
    for (unsigned i = 0; i < WRITER_SLOT_CACHE_CAP + 1; ++i) blocks.push_back(std::make_unique<Block>());
    std::thread([&] {
        for (auto& b : blocks) b->leave_writer(b->enter_writer());
        EXPECT_EQ(WRITER_CACHED_SLOTS.size(), WRITER_SLOT_CACHE_CAP);
        // The second container is still cached: no new claim.
        blocks[1]->leave_writer(blocks[1]->enter_writer());
        EXPECT_EQ(std::popcount(blocks[1]->slot_mask.load()), 1);
        blocks[0]->leave_writer(blocks[0]->enter_writer());
        EXPECT_EQ(std::popcount(blocks[0]->slot_mask.load()), 2);
    }).join();
}

// 17 containers pinned in turn leave 16 cached readers, the least recently
// used one dropped. A dropped container's collector lives on while a thread
// caches a reader for it, until that thread's next miss or its exit.
TEST(SyncWriterSlots, WriterReadersCacheAndCollectorLifetime) {
    std::vector<std::unique_ptr<Block>> blocks;
    for (unsigned i = 0; i < WRITER_READERS_CAP + 1; ++i) blocks.push_back(std::make_unique<Block>());
    std::thread([&] {
        for (auto& b : blocks) WriterPin pin(b->collector);
        EXPECT_EQ(cached_writer_readers(), WRITER_READERS_CAP);
        EXPECT_FALSE(has_cached_writer_reader(blocks[0]->collector.get()));
        EXPECT_TRUE(has_cached_writer_reader(blocks[1]->collector.get()));
    }).join();

    auto dropped = std::make_unique<Block>();
    auto other = std::make_unique<Block>();
    const std::weak_ptr<Collector> watch = dropped->collector;
    std::barrier step(2);
    std::thread cacher([&] {
        { WriterPin pin(dropped->collector); }
        step.arrive_and_wait();  // the container is dropped after this
        step.arrive_and_wait();  // and found alive
        { WriterPin pin(other->collector); }  // a miss: readers of dead collectors go
        step.arrive_and_wait();
    });
    step.arrive_and_wait();
    dropped.reset();
    EXPECT_FALSE(watch.expired());
    step.arrive_and_wait();
    step.arrive_and_wait();
    EXPECT_TRUE(watch.expired());
    cacher.join();

    // A thread that exits releases its cached readers too.
    auto gone = std::make_unique<Block>();
    const std::weak_ptr<Collector> watch_gone = gone->collector;
    std::thread([&] { WriterPin pin(gone->collector); }).join();
    gone.reset();
    EXPECT_TRUE(watch_gone.expired());
}

// The countdown of a slot runs one epoch advance per 32 optimistic writes,
// and exclusive mutations advance once per 32.
TEST(SyncWriterSlots, EpochAdvancesEvery32Writes) {
    Block s;
    const u64 start = s.collector->epoch();
    for (unsigned i = 0; i < 31; ++i) s.note_optimistic_write(5);
    EXPECT_EQ(s.collector->epoch(), start);
    s.note_optimistic_write(5);
    EXPECT_EQ(s.collector->epoch(), start + 1);
    EXPECT_EQ(s.slot_lines[5].countdown.load(), COUNTDOWN_START);

    Block::ExclusiveSection section(s);
    for (unsigned i = 0; i < 31; ++i) s.exclusive_mutation([](TolvaneSet&) {});
    EXPECT_EQ(s.collector->epoch(), start + 1);
    s.exclusive_mutation([](TolvaneSet&) {});
    EXPECT_EQ(s.collector->epoch(), start + 2);
    EXPECT_EQ(s.version_relaxed(), 64u);  // two increments per mutation
}

}  // namespace
}  // namespace tolvane::sync
