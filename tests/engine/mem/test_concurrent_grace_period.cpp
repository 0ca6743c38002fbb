// Waiting out a grace period: the wait returns once the epoch has moved on
// twice, and not while a reader that announced before it is still inside.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "tolvane/mem/occ.hpp"

using namespace tolvane;

namespace {

TEST(ConcurrentGracePeriod, WithoutReadersTheEpochMovesOnTwice) {
    auto collector = std::make_shared<Collector>();
    for (std::uint64_t round = 0; round < 3; ++round) {
        const std::uint64_t before = collector->epoch();
        collector->wait_grace_period();
        EXPECT_EQ(collector->epoch(), before + 2);
    }
    // An idle reader does not hold the epoch back.
    Reader idle = Collector::register_reader(collector);
    collector->wait_grace_period();
    EXPECT_EQ(collector->epoch(), 8u);
}

TEST(ConcurrentGracePeriod, WaitsForTheReaderInsideAndNoLonger) {
    auto collector = std::make_shared<Collector>();
    Reader inside = Collector::register_reader(collector);
    inside.announce();
    const std::uint64_t announced = collector->epoch();

    std::atomic<bool> returned{false};
    std::atomic<std::uint64_t> epoch_at_return{0};
    std::thread waiter([&] {
        collector->wait_grace_period();
        epoch_at_return.store(collector->epoch());
        returned.store(true);
    });
    // The epoch may pass the reader's once, but no further while it stays.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(returned.load());
    EXPECT_LE(collector->epoch(), announced + 1);

    inside.go_idle();
    waiter.join();
    EXPECT_TRUE(returned.load());
    EXPECT_GE(epoch_at_return.load(), announced + 2);
}

// A reader that keeps announcing the current epoch, as a stream of lookups
// does, lets the wait finish.
TEST(ConcurrentGracePeriod, BusyReadersLetTheWaitFinish) {
    auto collector = std::make_shared<Collector>();
    std::atomic<bool> stop{false};
    std::thread reader_thread([&] {
        Reader reader = Collector::register_reader(collector);
        while (!stop.load(std::memory_order_acquire)) {
            reader.announce();
            reader.go_idle();
        }
    });
    for (int round = 0; round < 200; ++round) {
        const std::uint64_t before = collector->epoch();
        collector->wait_grace_period();
        EXPECT_GE(collector->epoch(), before + 2);
    }
    stop.store(true, std::memory_order_release);
    reader_thread.join();
}

}  // namespace
