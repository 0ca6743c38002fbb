// Writers replace published blocks through one deferred allocator while
// registered readers check every block they can reach. A block recycled or
// freed too early shows up as a broken stamp (it was zeroed or refilled), as a
// use after free (ASan) or as a data race (TSan).

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "tolvane/mem/alloc.hpp"
#include "tolvane/mem/occ.hpp"

using namespace tolvane;

namespace {

#if TOLVANE_TSAN
constexpr int WRITES_PER_WRITER = 20000;
#else
constexpr int WRITES_PER_WRITER = 60000;
#endif
constexpr int WRITERS = 3;
constexpr int READERS = 3;
constexpr int CELLS_PER_WRITER = 16;

struct Shape {
    std::size_t size, align;
};
constexpr Shape SHAPES[] = {{64, 64}, {128, 64}, {4160, 64}, {16, 16},  {25, 16},
                            {48, 16}, {100, 16}, {300, 16},  {384, 16}, {256, 16}};

// Block contents: stamp (shape index in the low byte, sequence above) then
// bytes derived from the stamp.
unsigned char fill_byte(std::uint64_t stamp, std::size_t i) {
    return static_cast<unsigned char>((stamp >> 8) * 131 + i * 7 + 1);
}

void* make_block(NodeAlloc& a, unsigned shape, std::uint64_t seq) {
    const Shape s = SHAPES[shape];
    void* block = s.align == 64 ? a.allocate(s.size) : a.allocate_zeroed(s.size);
    const std::uint64_t stamp = (seq << 8) | shape;
    auto* p = static_cast<unsigned char*>(block);
    std::memcpy(p, &stamp, 8);
    for (std::size_t i = 8; i < s.size; ++i) p[i] = fill_byte(stamp, i);
    return block;
}

bool block_intact(const void* block) {
    std::uint64_t stamp;
    std::memcpy(&stamp, block, 8);
    const unsigned shape = static_cast<unsigned>(stamp & 0xFF);
    if (shape >= std::size(SHAPES) || (stamp >> 8) == 0) return false;
    const auto* p = static_cast<const unsigned char*>(block);
    for (std::size_t i = 8; i < SHAPES[shape].size; ++i)
        if (p[i] != fill_byte(stamp, i)) return false;
    return true;
}

unsigned shape_of(const void* block) {
    std::uint64_t stamp;
    std::memcpy(&stamp, block, 8);
    return static_cast<unsigned>(stamp & 0xFF);
}

}  // namespace

TEST(ConcurrentEpoch, ReadersNeverSeeRecycledBlocks) {
    auto collector = std::make_shared<Collector>();
    NodeAlloc alloc;
    alloc.defer_to(collector);
    std::array<std::atomic<void*>, WRITERS * CELLS_PER_WRITER> cells;
    std::uint64_t seq = 1;
    for (auto& cell : cells) cell.store(make_block(alloc, 0, seq++), std::memory_order_relaxed);
    const std::uint64_t initial = cells.size();

    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> bad{0}, checked{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < READERS; ++r) {
        readers.emplace_back([&, r] {
            Reader reader = Collector::register_reader(collector);
            std::mt19937_64 rng(100 + r);
            std::uint64_t mine = 0;
            while (!stop.load(std::memory_order_acquire)) {
                reader.announce();
                for (int i = 0; i < 8; ++i) {
                    const void* b = cells[rng() % cells.size()].load(std::memory_order_acquire);
                    if (!block_intact(b)) bad.fetch_add(1, std::memory_order_relaxed);
                    ++mine;
                }
                reader.go_idle();
                if (rng() % 64 == 0) collector->try_advance();
            }
            checked.fetch_add(mine, std::memory_order_relaxed);
        });
    }
    std::vector<std::thread> writers;
    for (int w = 0; w < WRITERS; ++w) {
        writers.emplace_back([&, w] {
            std::mt19937_64 rng(7 + w);
            for (int i = 0; i < WRITES_PER_WRITER; ++i) {
                const unsigned shape = static_cast<unsigned>(rng() % std::size(SHAPES));
                const std::uint64_t s = (std::uint64_t{static_cast<unsigned>(w) + 1} << 40) | (i + 1);
                if (rng() % 8 == 0) {
                    // Built and dropped before anyone could see it.
                    void* scratch = make_block(alloc, shape, s);
                    alloc.release_unpublished(scratch, SHAPES[shape].size, SHAPES[shape].align);
                    continue;
                }
                void* fresh = make_block(alloc, shape, s);
                auto& cell = cells[w * CELLS_PER_WRITER + rng() % CELLS_PER_WRITER];
                void* old = cell.exchange(fresh, std::memory_order_acq_rel);
                const Shape os = SHAPES[shape_of(old)];
                alloc.release(old, os.size, os.align);
                if (i % 32 == 31) collector->try_advance();
            }
        });
    }
    for (auto& t : writers) t.join();
    stop.store(true, std::memory_order_release);
    for (auto& t : readers) t.join();

    EXPECT_EQ(bad.load(), 0u);
    EXPECT_GT(checked.load(), 0u);
    EXPECT_EQ(alloc.total_allocs(), initial + std::uint64_t{WRITERS} * WRITES_PER_WRITER);
    EXPECT_EQ(alloc.live_nodes(), cells.size());
    std::uint64_t live = 0;
    for (auto& cell : cells) {
        void* b = cell.load();
        const Shape s = SHAPES[shape_of(b)];
        live += charged_size(s.size, s.align);
        alloc.release(b, s.size, s.align);
    }
    EXPECT_GT(live, 0u);
    EXPECT_EQ(alloc.live_nodes(), 0u);
    EXPECT_EQ(alloc.live_bytes(), 0u);
    EXPECT_EQ(alloc.bytes_held(), 0u);
    collector->drain();
    EXPECT_EQ(collector->free_list_bytes(), 0u);
    EXPECT_EQ(collector->retired_bytes(), 0u);
}

TEST(ConcurrentEpoch, SlotsClaimedAndReturnedUnderContention) {
    // Many short-lived threads claim at once; every live claim is distinct and
    // the mask ends as it began.
    const std::uint64_t before = occ::ALLOC_SLOTS_MASK.load();
    for (int round = 0; round < 4; ++round) {
        std::array<std::uint64_t, 24> slots{};
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < slots.size(); ++i) {
            threads.emplace_back([&, i] {
                ready.fetch_add(1);
                while (!go.load()) std::this_thread::yield();
                slots[i] = occ::current_slot();
                ready.fetch_add(1);
                while (ready.load() < static_cast<int>(2 * slots.size())) std::this_thread::yield();
            });
        }
        while (ready.load() < static_cast<int>(slots.size())) std::this_thread::yield();
        go.store(true);
        for (auto& t : threads) t.join();
        std::uint64_t seen = 0;
        for (std::uint64_t s : slots) {
            ASSERT_LT(s, 64u);
            EXPECT_FALSE(seen & (std::uint64_t{1} << s)) << "slot " << s << " claimed twice";
            seen |= std::uint64_t{1} << s;
        }
        EXPECT_EQ(occ::ALLOC_SLOTS_MASK.load(), before);
    }
}
